/* Ids shared by flash.rc and the code. */
#ifndef FLASH_RESOURCE_H
#define FLASH_RESOURCE_H

#define IDI_APP             100
#define IDD_MAIN            102
#define IDR_FIRMWARE        1009
#define IDB_FACE_SMILE      1010

#define IDC_EXIT            1000
#define IDC_SEND_FIRMWARE   1001
#define IDC_PRINT_CONFIG    1002  /* the "Progress" group box carries this id too */
#define IDC_NET             1003
#define IDC_PRINTER_COMBO   1004
#define IDC_HOST_EDIT       1006
#define IDC_FACE            1007
#define IDC_HOST_LABEL      1020
#define IDC_PRINTER_LABEL   1021

#endif
