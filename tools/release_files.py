#!/usr/bin/env python3
"""Writes the release files beside a built updater and prints the sums:
SHA256SUMS, and with --sign a signed copy of the program, NAME-signed.exe.

    release_files.py PROGRAM IMAGE [--sign PFX --osslsigncode PATH]

IMAGE is the firmware image file the build embedded; SHA256SUMS names it by
its path from the program's folder, so that `sha256sum -c SHA256SUMS` checks
the build tree, and states its size in a comment line, which sha256sum skips.
The PFX's password comes from the environment variable SIGNING_PFX_PASSWORD
(set it empty for a PFX without one) and reaches osslsigncode on its standard
input: never on a command line, in the CMake cache or in a file.
"""
import hashlib
import os
import subprocess
import sys

import pe_resources

PASSWORD_VARIABLE = "SIGNING_PFX_PASSWORD"


class Refused(Exception):
    pass


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_replacing(path, data):
    # A half-written file never stands under the final name.
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)


def sign(program, signed, pfx, osslsigncode):
    password = os.environ.get(PASSWORD_VARIABLE)
    if password is None:
        raise Refused("SIGNING_PFX is set, but %s is not: set it to the password of %s "
                      "(empty for none) in the environment of the build" % (PASSWORD_VARIABLE, pfx))
    part = signed + ".part"
    if os.path.exists(part):
        os.remove(part)
    # /dev/stdin rather than "-": osslsigncode before 2.9 takes only a file name.
    done = subprocess.run([osslsigncode, "sign", "-pkcs12", pfx, "-readpass", "/dev/stdin", "-h", "sha256",
                           "-n", "Velmora firmware updater", "-in", program, "-out", part],
                          input=password + "\n", stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        if os.path.exists(part):
            os.remove(part)
        last = done.stdout.strip().splitlines()
        raise Refused("osslsigncode could not sign %s with %s: %s" % (program, pfx, last[0] if last else "no reason given"))
    os.replace(part, signed)


def main(argv):
    if len(argv) not in (3, 7) or (len(argv) == 7 and (argv[3], argv[5]) != ("--sign", "--osslsigncode")):
        print(__doc__, file=sys.stderr)
        return 2
    program, image_path = argv[1], argv[2]
    folder = os.path.dirname(os.path.abspath(program))
    signed = os.path.splitext(program)[0] + "-signed.exe"
    try:
        image = read(image_path)
        if pe_resources.load(program).resource("FILE", 1009) != image:
            raise Refused("%s does not hold %s as its FILE 1009 image" % (program, image_path))
        if len(argv) == 7:
            sign(program, signed, argv[4], argv[6])
            programs = [program, signed]
        else:
            if os.path.exists(signed):   # left from a build that was signed
                os.remove(signed)
            programs = [program]
    except (OSError, pe_resources.NotAProgram, Refused) as e:
        print("release_files.py: %s" % e, file=sys.stderr)
        return 1

    lines = ["%s  %s" % (sha256(read(p)), os.path.basename(p)) for p in programs]
    name = os.path.relpath(os.path.abspath(image_path), folder).replace(os.sep, "/")
    lines += ["%s  %s" % (sha256(image), name),
              "# %s is the firmware image inside the program: %d bytes" % (name, len(image))]
    text = "\n".join(lines) + "\n"
    write_replacing(os.path.join(folder, "SHA256SUMS"), text.encode("utf-8"))
    print("SHA-256 of the release (%s):\n%s" % (os.path.join(folder, "SHA256SUMS"), text), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
