#!/usr/bin/env python3
"""Reads what a Windows program carries, straight from its PE file: the DLLs
it imports and its resources. Standard library only.

    pe_resources.py PROGRAM                  list imports and resources
    pe_resources.py PROGRAM TYPE NAME OUT    write one resource's bytes to OUT
                                             (TYPE and NAME: a number or a name)
    pe_resources.py PROGRAM renumber TYPE ID NEW_ID OUT
                                             write a copy of PROGRAM whose
                                             resource TYPE/ID is numbered NEW_ID
"""
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
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = self.u16(optional)
        if magic not in (0x10B, 0x20B):
            raise NotAProgram("unknown optional header 0x%x" % magic)
        self.pe32plus = magic == 0x20B
        self.subsystem = self.u16(optional + 68)
        directories = optional + (112 if self.pe32plus else 96)
        count = self.u32(directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.sections = []
        self.raw_end = 0   # where the sections' bytes end; past the file's end in a cut-short copy
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, max(vsize, raw_size), raw_offset))
            self.raw_end = max(self.raw_end, raw_offset + raw_size)

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise NotAProgram("address 0x%x lies in no section" % rva)

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
