// The shipped program with its dialog template out of reach: a copy of the
// built executable whose DIALOG resource carries id 103 instead of 102, all
// else byte for byte the same.
#include <gtest/gtest.h>

#include <string.h>

#include <fstream>

#include "program.h"

namespace {

// Little-endian fields of a PE file; 0 past its end.
DWORD field(const std::string &pe, size_t at, size_t size)
{
    DWORD value = 0;
    if (at + size <= pe.size())
        memcpy(&value, pe.data() + at, size);
    return value;
}

// The file offset of the numbered entry `id` in the resource directory at
// `directory`, or 0.
size_t entryOf(const std::string &pe, size_t directory, DWORD id)
{
    size_t entries = field(pe, directory + 12, 2) + field(pe, directory + 14, 2);
    for (size_t entry = directory + 16; entry < directory + 16 + 8 * entries; entry += 8)
        if (field(pe, entry, 4) == id)
            return entry;
    return 0;
}

// The file offset of the directory entry that names resource `type`/`id`, or
// 0. Read from the headers, so it serves PE32 and PE32+ alike.
size_t resourceEntry(const std::string &pe, DWORD type, DWORD id)
{
    size_t header = field(pe, 0x3C, 4);
    size_t optional = header + 24;
    bool pe32plus = field(pe, optional, 2) == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    DWORD rootRva = field(pe, optional + (pe32plus ? 112 : 96) + 8 * IMAGE_DIRECTORY_ENTRY_RESOURCE, 4);
    size_t sections = optional + field(pe, header + 20, 2);
    size_t root = 0;
    for (DWORD i = 0; i < field(pe, header + 6, 2); i++) {
        size_t section = sections + 40 * i;
        DWORD rva = field(pe, section + 12, 4), size = field(pe, section + 16, 4);
        if (rootRva >= rva && rootRva < rva + size)
            root = field(pe, section + 20, 4) + rootRva - rva;
    }
    size_t types = root != 0 ? entryOf(pe, root, type) : 0;
    DWORD names = types != 0 ? field(pe, types + 4, 4) : 0;
    if (!(names & 0x80000000))   // a subdirectory, or no such type
        return 0;
    return entryOf(pe, root + (names & 0x7FFFFFFF), id);
}

TEST(DialogCannotOpen, ShowsTheSystemsReasonAndEndsWithStatus1)
{
    std::string pe = readFile(windowsPath(programPath(UPDATER)));
    size_t entry = resourceEntry(pe, 5 /* RT_DIALOG */, 102);
    ASSERT_NE(0u, entry) << "no DIALOG 102 in " << programPath(UPDATER);
    const DWORD otherId = 103;
    memcpy(&pe[entry], &otherId, 4);
    const char *const copy = "velmora-flash-dialog-103.exe";
    {
        std::ofstream out(windowsPath(programPath(copy)).c_str(), std::ios::binary | std::ios::trunc);
        out << pe;
        ASSERT_TRUE(out.good());
    }

    BoxWatcher boxes;
    Program program;
    ASSERT_TRUE(program.start(copy));
    ASSERT_TRUE(boxes.waitForBoxes(1, startMs()));
    ASSERT_TRUE(program.waitForExit(startMs()));
    EXPECT_EQ(1u, program.exitCode());
    EXPECT_EQ(std::vector<Box>({ { "Error", "failure with error 1814: Resource name not found.\r\n" } }),
              boxes.boxes());
}

}  // namespace
