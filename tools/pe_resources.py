#!/usr/bin/env python3
"""Reads what a Windows program carries, straight from its PE file: the DLLs
it imports, its resources, and what its headers say about how Windows loads
it (flags, sections, relocations, symbols). Standard library only.

    pe_resources.py PROGRAM                  list imports and resources
    pe_resources.py PROGRAM TYPE NAME OUT    write one resource's bytes to OUT
                                             (TYPE and NAME: a number or a name)
    pe_resources.py PROGRAM renumber TYPE ID NEW_ID OUT
                                             write a copy of PROGRAM whose
                                             resource TYPE/ID is numbered NEW_ID
"""
import collections
import struct
import sys

# Resource types by number, for listings.
TYPE_NAMES = {1: "CURSOR", 2: "BITMAP", 3: "ICON", 4: "MENU", 5: "DIALOG", 6: "STRING",
              10: "RCDATA", 12: "GROUP_CURSOR", 14: "GROUP_ICON", 16: "VERSION", 24: "MANIFEST"}


# The libraries Windows always takes from its own system folder, whatever lies
# beside a program: the known DLLs of Windows 7 and later (the registry's
# Session Manager\KnownDLLs), and ntdll, which every process has first. A
# program that imports any other library by name runs the file of that name
# in its own folder, if there is one.
KNOWN_DLLS = frozenset(name + ".dll" for name in (
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "imagehlp", "imm32", "kernel32", "lpk", "msctf",
    "msvcrt", "normaliz", "nsi", "ntdll", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost", "setupapi",
    "shell32", "shlwapi", "urlmon", "user32", "usp10", "wininet", "wldap32", "ws2_32"))


# DllCharacteristics bits.
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x20, 0x40, 0x100, 0x400
# Section flags.
SECTION_EXECUTE, SECTION_WRITE = 0x20000000, 0x80000000
# File header Characteristics: the relocation table was left out.
RELOCS_STRIPPED = 0x1
LOAD_CONFIG_DIRECTORY, RELOCATION_DIRECTORY = 10, 5

Section = collections.namedtuple("Section", "name rva size raw flags")


class NotAProgram(Exception):
    pass


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise NotAProgram("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise NotAProgram("no PE signature")
        self.machine, sections, _, self.symbol_table, self.symbol_count, optional_size, self.characteristics = \
            struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = self.u16(optional)
        if magic not in (0x10B, 0x20B):
            raise NotAProgram("unknown optional header 0x%x" % magic)
        self.pe32plus = magic == 0x20B
        self.image_base = struct.unpack_from("<Q", data, optional + 24)[0] if self.pe32plus else self.u32(optional + 28)
        self.subsystem = self.u16(optional + 68)
        self.dll_characteristics = self.u16(optional + 70)
        directories = optional + (112 if self.pe32plus else 96)
        count = self.u32(directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.sections = []
        self.raw_end = 0   # where the sections' bytes end; past the file's end in a cut-short copy
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            flags = self.u32(table + 40 * i + 36)
            name = name.rstrip(b"\0").decode("latin-1")
            if name[:1] == "/" and name[1:].isdigit() and self.symbol_table:
                name = self.string(int(name[1:])) or name   # a long name, such as .debug_info
            self.sections.append(Section(name, rva, max(vsize, raw_size), raw_offset, flags))
            self.raw_end = max(self.raw_end, raw_offset + raw_size)

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def section(self, rva):
        """The section that holds rva, or None."""
        for section in self.sections:
            if section.rva <= rva < section.rva + section.size:
                return section
        return None

    def offset(self, rva):
        section = self.section(rva)
        if section is None:
            raise NotAProgram("address 0x%x lies in no section" % rva)
        return section.raw + rva - section.rva

    def relocations(self):
        """The addresses (rva) of the pointers the loader adjusts when it loads
        the program elsewhere than at its image base."""
        rva, size = self.directory(RELOCATION_DIRECTORY)
        at, end, found = (self.offset(rva), self.offset(rva) + size, []) if rva and size else (0, 0, [])
        while at + 8 <= end:
            page, block = struct.unpack_from("<II", self.data, at)
            if block < 8:
                break
            for i in range(8, block, 2):
                entry = self.u16(at + i)
                if entry >> 12 in (3, 10):   # a 32-bit or a 64-bit pointer; 0 pads a block
                    found.append(page + (entry & 0xFFF))
            at += block
        return found

    def symbols(self):
        """The COFF symbol table, if the file kept one: name -> rva of every
        symbol defined in a section."""
        found = {}
        for i in range(self.symbol_count if self.symbol_table else 0):
            at = self.symbol_table + 18 * i
            if at + 18 > len(self.data):
                break
            short, value, number = struct.unpack_from("<8sIh", self.data, at)
            name = self.string(struct.unpack_from("<I", short, 4)[0]) if short[:4] == b"\0\0\0\0" \
                else short.rstrip(b"\0").decode("latin-1")
            if name and 0 < number <= len(self.sections):
                found[name] = self.sections[number - 1].rva + value
        return found

    def string(self, at):
        """A long name from the string table that follows the symbols; None
        where the file ends first."""
        start = self.symbol_table + 18 * self.symbol_count + at
        end = self.data.find(b"\0", start)
        return self.data[start:end].decode("latin-1") if end >= 0 else None

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def imports(self, delay_loaded=True):
        """Names of the imported DLLs, as written in the file; delay-loaded ones too,
        unless delay_loaded is False: then only those the loader loads at start."""
        names = []
        # (directory, where the DLL's name lies in a descriptor, descriptor size)
        for index, name_at, size in ((1, 12, 20), (13, 4, 32))[:2 if delay_loaded else 1]:
            rva, _ = self.directory(index)
            while rva:
                name = self.u32(self.offset(rva) + name_at)
                if name == 0:
                    break
                names.append(self.c_string(name))
                rva += size
        return names

    def resources(self):
        """Every resource as (type, name, language, bytes); type and name are
        numbers or strings."""
        rva, _ = self.directory(2)
        if not rva:
            return []
        base = self.offset(rva)
        found = []

        def key(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = self.u16(at)
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(at, path):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                entry_name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                here = path + [key(entry_name)]
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), here)
                elif len(here) == 3:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found.append((here[0], here[1], here[2], self.data[start:start + size]))
                else:
                    raise NotAProgram("resource leaf at depth %d" % len(here))

        walk(base, [])
        return found

    def renumbered(self, type_, id_, new_id):
        """The file's bytes with resource type_/id_ numbered new_id instead;
        both numbers. Nothing else changes."""
        rva, _ = self.directory(2)
        base = self.offset(rva) if rva else 0

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            return [(at + 16 + 8 * i,) + struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                    for i in range(named + numbered)]

        for _, name, target in entries(base) if base else []:
            if name == type_ and target & 0x80000000:
                for at, name2, _ in entries(base + (target & 0x7FFFFFFF)):
                    if name2 == id_:
                        copy = bytearray(self.data)
                        struct.pack_into("<I", copy, at, new_id)
                        return bytes(copy)
        raise NotAProgram("no resource %d/%d" % (type_, id_))

    def resource(self, type_, name, language=None):
        """The bytes of one resource, or None."""
        for t, n, lang, data in self.resources():
            if t == type_ and n == name and (language is None or lang == language):
                return data
        return None


def load(path):
    with open(path, "rb") as f:
        return PE(f.read())


def describe(key, names=None):
    if isinstance(key, str):
        return '"%s"' % key
    if names and key in names:
        return "%s (%d)" % (names[key], key)
    return str(key)


def main(argv):
    if len(argv) == 2:
        program = load(argv[1])
        for dll in program.imports():
            print("import", dll)
        for t, n, lang, data in program.resources():
            print("resource %s/%s language %d: %d bytes" % (describe(t, TYPE_NAMES), describe(n), lang, len(data)))
        return 0
    if len(argv) == 7 and argv[2] == "renumber":
        copy = load(argv[1]).renumbered(int(argv[3]), int(argv[4]), int(argv[5]))
        with open(argv[6], "wb") as f:
            f.write(copy)
        return 0
    if len(argv) == 5:
        def parse(word):
            return int(word) if word.isdigit() else word
        data = load(argv[1]).resource(parse(argv[2]), parse(argv[3]))
        if data is None:
            print("no resource %s/%s in %s" % (argv[2], argv[3], argv[1]), file=sys.stderr)
            return 1
        with open(argv[4], "wb") as f:
            f.write(data)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
