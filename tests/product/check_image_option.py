#!/usr/bin/env python3
"""Checks the FIRMWARE_IMAGE build option in fresh build trees of the sources:
an unusable image stops the configuration with a clear message, a usable one
ends up in the program byte for byte. The tree that builds is configured
with linker flags of its own, as a packager's might be: the program still
carries its runtimes and imports only Windows' own libraries.

    check_image_option.py CMAKE SOURCE_DIR CASE     CASE: missing, no_head, no_tail, other_size
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pe_resources  # noqa: E402
from check_program import IMPORTED_AT_START  # noqa: E402

# The framing a Velmora expects, written out here rather than taken from the
# generator, so that a change there cannot pass unseen.
UEL = b"\x1b%-12345X"
HEAD, TAIL = UEL + b"@PJL ENTER LANGUAGE=ACL\r\n", UEL
BODY = bytes(range(256)) * 40   # 10,240 bytes: far from the stand-in's size

# Case: the image file (None: no file at all), and the reason the configuration
# must give (None: it must build).
CASES = {
    "missing": (None, "it cannot be read (No such file or directory)"),
    "no_head": (b"@PJL ENTER LANGUAGE=ACL\r\n" + BODY + TAIL,
                "it does not start with ESC %-12345X@PJL ENTER LANGUAGE=ACL CR LF"),
    "no_tail": (HEAD + BODY, "it does not end with ESC %-12345X"),
    "other_size": (HEAD + BODY + TAIL, None),
}


def run(command):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout


def main(argv):
    if len(argv) != 4 or argv[3] not in CASES:
        print(__doc__, file=sys.stderr)
        return 2
    cmake, source, case = argv[1:]
    content, reason = CASES[case]
    with tempfile.TemporaryDirectory(prefix="flash-image-") as scratch:
        image = os.path.join(scratch, "given.bin")
        if content is not None:
            with open(image, "wb") as f:
                f.write(content)
        tree = os.path.join(scratch, "build")
        status, output = run([cmake, "-S", source, "-B", tree,
                              "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake" % source,
                              "-DFLASH_TESTS=OFF", "-DFIRMWARE_IMAGE=%s" % image,
                              "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed"])
        if reason is not None:
            expected = ("FIRMWARE_IMAGE: %s is not a firmware image: %s. "
                        "Refusing to build an updater that sends a broken image." % (image, reason))
            # CMake wraps long messages; compare with the line breaks undone.
            said = re.sub(r"\s+", " ", output)
            if status == 0:
                print("FAIL: the configuration went on with %s; output:\n%s" % (case, output))
                return 1
            if expected not in said:
                print("FAIL: the configuration stopped without saying\n  %s\noutput:\n%s" % (expected, output))
                return 1
            print("ok: stopped with: %s" % expected)
            return 0

        if status != 0:
            print("FAIL: configuring with a well-framed image failed:\n%s" % output)
            return 1
        status, output = run([cmake, "--build", tree, "--target", "velmora-flash"])
        if status != 0:
            print("FAIL: building with a well-framed image failed:\n%s" % output)
            return 1
        program = pe_resources.load(os.path.join(tree, "velmora-flash.exe"))
        imported = [dll for dll in program.imports(delay_loaded=False) if dll.lower() not in IMPORTED_AT_START]
        if imported:
            print("FAIL: built with linker flags of its own, the program imports %s" % ", ".join(imported))
            return 1
        embedded = program.resource("FILE", 1009, 1033)
        if embedded != content:
            print('FAIL: "FILE"/1009 is %s, expected the given image of %d bytes' % (
                "missing" if embedded is None else "%d other bytes" % len(embedded), len(content)))
            return 1
        print('ok: "FILE"/1009 is the given image, %d bytes' % len(content))
        return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
