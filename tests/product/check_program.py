#!/usr/bin/env python3
"""Checks the built 32-bit program as a file, without running it.

    check_program.py PROGRAM FIRMWARE_BIN CHECK     one check (ctest runs each)
    check_program.py PROGRAM FIRMWARE_BIN           every check
"""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pe_resources  # noqa: E402

RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 5, 14, 16, 24
ENGLISH_US = 1033


def show(value):
    if isinstance(value, int) and value > 0xFFFF:
        return "0x%08X" % value
    return repr(value)


def differences(what, expected, actual, fields):
    return ["%s: %s is %s, expected %s" % (what, f, show(a), show(e))
            for f, e, a in zip(fields, expected, actual) if e != a]


# ---------------------------------------------------------------- checks

def check_file_type(program, _pe, _firmware):
    said = subprocess.run(["file", "-b", program], capture_output=True, text=True).stdout.strip()
    if "PE32 executable (GUI) Intel 80386" not in said:
        return ["file says %r, expected a PE32 executable (GUI) Intel 80386" % said]
    return []


# What the program imports at start: libraries that load nothing from the
# program's folder before it restricts the search. Any other library is
# looked for beside the program first, or runs code of its own (ADVAPI32's
# crypto provider, say) before the restriction. The C and C++ runtimes are
# linked in, not imported.
IMPORTED_AT_START = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}


def check_imports(_program, pe, _firmware):
    return ["imports %s at start: only %s may load before the search for libraries is restricted"
            % (dll, ", ".join(sorted(IMPORTED_AT_START)))
            for dll in pe.imports(delay_loaded=False) if dll.lower() not in IMPORTED_AT_START]


def check_firmware(_program, pe, firmware):
    embedded = pe.resource("FILE", 1009, ENGLISH_US)
    if embedded is None:
        return ['no resource "FILE"/1009 in language 1033']
    with open(firmware, "rb") as f:
        built = f.read()
    problems = []
    if embedded != built:
        first = next((i for i, (a, b) in enumerate(zip(embedded, built)) if a != b), min(len(embedded), len(built)))
        problems.append('"FILE"/1009 first differs from %s at byte %d' % (firmware, first))
    return problems


def check_bitmap(_program, pe, _firmware):
    dib = pe.resource(RT_BITMAP, 1010, ENGLISH_US)
    if dib is None:
        return ["no BITMAP 1010 in language 1033"]
    _size, width, height, _planes, bits = struct.unpack_from("<IiiHH", dib)
    return differences("BITMAP 1010", (52, 51, 8), (width, abs(height), bits), ("width", "height", "bits per pixel"))


def check_icon(_program, pe, _firmware):
    group = pe.resource(RT_GROUP_ICON, 100, ENGLISH_US)
    if group is None:
        return ["no GROUP_ICON 100 in language 1033"]
    _reserved, _kind, count = struct.unpack_from("<HHH", group)
    if count != 1:
        return ["GROUP_ICON 100 holds %d images, expected 1" % count]
    width, height, _colours, _r, _planes, bits, size, ident = struct.unpack_from("<BBBBHHIH", group, 6)
    problems = differences("GROUP_ICON 100 entry", (32, 32, 24, 1), (width, height, bits, ident),
                           ("width", "height", "bits per pixel", "ICON id"))
    image = pe.resource(RT_ICON, ident, ENGLISH_US)
    if image is None:
        return problems + ["no ICON %d in language 1033" % ident]
    _hsize, iwidth, iheight, _planes, ibits = struct.unpack_from("<IiiHH", image)
    problems += differences("ICON %d image" % ident, (32, 64, 24, size), (iwidth, iheight, ibits, len(image)),
                            ("width", "height (with mask)", "bits per pixel", "size"))
    return problems


def check_no_version_or_manifest(_program, pe, _firmware):
    return ["there is a %s resource %s" % ({RT_VERSION: "VERSION", RT_MANIFEST: "MANIFEST"}[t], n)
            for t, n, _lang, _data in pe.resources() if t in (RT_VERSION, RT_MANIFEST)]


def check_languages(_program, pe, _firmware):
    return ["resource %s/%s has language %d, expected 1033" % (pe_resources.describe(t, pe_resources.TYPE_NAMES),
                                                               pe_resources.describe(n), lang)
            for t, n, lang, _data in pe.resources() if lang != ENGLISH_US]


def check_dialog(_program, pe, _firmware):
    # What the dialog shows is checked on the running dialog (tests/dialog);
    # here only that it is there, as a classic template.
    template = pe.resource(RT_DIALOG, 102, ENGLISH_US)
    if template is None:
        return ["no DIALOG 102 in language 1033"]
    if struct.unpack_from("<HH", template, 0) == (1, 0xFFFF):
        return ["DIALOG 102 is an extended (DIALOGEX) template, expected a classic one"]
    return []


CHECKS = {
    "file_type": check_file_type,
    "imports": check_imports,
    "firmware": check_firmware,
    "bitmap": check_bitmap,
    "icon": check_icon,
    "no_version_or_manifest": check_no_version_or_manifest,
    "languages": check_languages,
    "dialog": check_dialog,
}


def main(argv):
    if len(argv) not in (3, 4) or (len(argv) == 4 and argv[3] not in CHECKS):
        print(__doc__ + "checks: " + " ".join(CHECKS), file=sys.stderr)
        return 2
    program, firmware = argv[1], argv[2]
    pe = pe_resources.load(program)
    failed = False
    for name in ([argv[3]] if len(argv) == 4 else CHECKS):
        problems = CHECKS[name](program, pe, firmware)
        for p in problems:
            print("FAIL %s: %s: %s" % (name, program, p))
        if not problems:
            print("ok %s" % name)
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
