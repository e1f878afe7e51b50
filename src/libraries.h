// Where the program takes Windows' own libraries from: the system folder,
// and nowhere else.
#ifndef FLASH_LIBRARIES_H
#define FLASH_LIBRARIES_H

// Takes the program's folder and the current folder out of the search for
// libraries, for whatever Windows' own libraries load in turn. First thing
// at start.
void searchSystemFolderOnly(void);

#endif
