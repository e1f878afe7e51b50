#!/usr/bin/env python3
"""Checks a copy of the Velmora firmware updater before anyone runs it.

    check-updater.py [--ca FILE] [--extract-image OUT] PROGRAM

Reports whether PROGRAM is the 32-bit GUI program with its firmware image
(FILE 1009); whether it loads at start only libraries that Windows takes
from its own folder; the SHA-256 of the file and of the image, the image's size and
whether its PJL head and tail are intact; whether the file is signed, by
whom, whether the signature matches the file's contents, and whether its
certificate chain is trusted by the system's authorities (or by --ca FILE).
Signatures are read with osslsigncode and openssl.

Exit status: 0 when nothing is wrong, 1 when the report names a problem, 2
when the file cannot be read as a program at all (one line says why).
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_firmware  # noqa: E402
import pe_resources  # noqa: E402

MACHINES = {0x14C: "32-bit x86", 0x8664: "64-bit x86-64", 0xAA64: "64-bit ARM"}
SUBSYSTEMS = {2: "GUI", 3: "console"}
I386, GUI, DLL_FLAG = 0x14C, 2, 0x2000
SECURITY_DIRECTORY = 4


class Unusable(Exception):
    """The file cannot be read as a program; the text says why, in one line."""


def load(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Unusable("cannot be read: %s" % e.strerror)
    try:
        pe = pe_resources.PE(data)
        if pe.raw_end > len(data):
            raise Unusable("damaged: its sections need %d bytes, the file has %d (cut short?)" % (pe.raw_end, len(data)))
        offset, size = pe.directory(SECURITY_DIRECTORY)
        if size and offset + size > len(data):
            raise Unusable("damaged: its signature ends at byte %d, the file at %d (cut short?)"
                           % (offset + size, len(data)))
        image = pe.resource("FILE", 1009)
    except pe_resources.NotAProgram as e:
        raise Unusable("not a Windows program: %s" % e)
    except (struct.error, IndexError, ValueError, UnicodeDecodeError, RecursionError):
        raise Unusable("damaged: its headers or resources point past the end of the file")
    return data, pe, image


def program_kind(pe):
    characteristics = pe.u16(pe.u32(0x3C) + 22)
    what = "DLL" if characteristics & DLL_FLAG else "%s program" % SUBSYSTEMS.get(pe.subsystem, "subsystem %d" % pe.subsystem)
    kind = "%s Windows %s" % (MACHINES.get(pe.machine, "machine 0x%04X" % pe.machine), what)
    ours = pe.machine == I386 and not pe.pe32plus and pe.subsystem == GUI and not characteristics & DLL_FLAG
    return ours, kind


def run(command):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace")
    return done.returncode, done.stdout


def signer(osslsigncode, path):
    """The subject of the signing certificate, as the signature claims it."""
    openssl = shutil.which("openssl")
    if not openssl:
        return "not read: openssl is not installed (Debian package openssl)"
    with tempfile.TemporaryDirectory(prefix="check-updater-") as scratch:
        pem = os.path.join(scratch, "signature.pem")
        status, said = run([osslsigncode, "extract-signature", "-pem", "-in", path, "-out", pem])
        if status != 0:
            return "not read: osslsigncode cannot extract the signature"
        status, said = run([openssl, "pkcs7", "-in", pem, "-print_certs", "-noout"])
    subjects = re.findall(r"^subject=\s*(.*)$", said, re.M)
    issuers = re.findall(r"^issuer=\s*(.*)$", said, re.M)
    # The signer's certificate is the one that issued none of the others.
    leaves = [s for i, s in enumerate(subjects) if s not in issuers[:i] + issuers[i + 1:]]
    if status != 0 or not leaves:
        return "not read: openssl finds no certificate in the signature"
    return leaves[0]


def signature(path, pe, ca):
    """Report lines and problems about the file's Authenticode signature."""
    _offset, size = pe.directory(SECURITY_DIRECTORY)
    if not size:
        return [("signature", "none: the file is not signed")], []
    osslsigncode = shutil.which("osslsigncode")
    if not osslsigncode:
        return ([("signature", "present (%d bytes), not checked: osslsigncode is not installed "
                  "(Debian package osslsigncode)" % size)], ["the signature could not be checked"])
    lines = [("signature", "Authenticode, %d bytes" % size), ("signed by", signer(osslsigncode, path))]
    status, said = run([osslsigncode, "verify", "-in", path] + (["-CAfile", ca] if ca else []))
    digests = dict(re.findall(r"^(Current|Calculated) message digest\s*:\s*([0-9A-Fa-f]+)", said, re.M))
    if len(digests) != 2:
        last = said.strip().splitlines()
        return lines + [("signature check", "failed: %s" % (last[-1] if last else "osslsigncode said nothing"))], \
            ["the signature could not be checked"]
    if digests["Current"] != digests["Calculated"]:
        return lines + [("signed digest", "does NOT match the file's contents: changed after signing"),
                        ("certificate chain", "not checked")], ["the file was changed after it was signed"]
    lines.append(("signed digest", "matches the file's contents"))
    authority = ca if ca else "the system's certificate authorities"
    if status == 0:
        return lines + [("certificate chain", "trusted by %s" % authority)], []
    # The digest matches: what verify refused is the chain.
    why = re.search(r"Verify error: ?(.*)$", said, re.M)
    return (lines + [("certificate chain", "NOT trusted by %s: %s" % (authority, why.group(1) if why else "see osslsigncode verify"))],
            ["the signer is not trusted"])


def libraries(pe):
    """Report lines and problems about the libraries the loader loads at start."""
    outside = [dll for dll in pe.imports(delay_loaded=False) if dll.lower() not in pe_resources.KNOWN_DLLS]
    if not outside:
        return [("libraries", "only Windows' known DLLs at start, which Windows takes from its own folder")], []
    return ([("libraries", "imports %s, not among Windows' known DLLs: this copy runs any file of that name "
              "that lies beside it" % ", ".join(outside))], ["it runs libraries planted beside it"])


def report(path, ca, extract_to):
    data, pe, image = load(path)
    ours, kind = program_kind(pe)
    lines = [("file", "%s, %d bytes" % (path, len(data))),
             ("SHA-256", hashlib.sha256(data).hexdigest()),
             ("program", "the 32-bit GUI updater" if ours else "NOT the 32-bit GUI updater: a " + kind)]
    problems = [] if ours else ["not the 32-bit GUI program"]
    more, trouble = libraries(pe)
    lines += more
    problems += trouble
    if image is None:
        lines.append(("image", "none: no FILE 1009 resource"))
        problems.append("no firmware image")
    else:
        head, tail = image.startswith(make_firmware.HEAD), image.endswith(make_firmware.TAIL)
        lines += [("image", "FILE 1009, %d bytes" % len(image)),
                  ("image SHA-256", hashlib.sha256(image).hexdigest()),
                  ("PJL head", "intact" if head else "NOT intact"),
                  ("PJL tail", "intact" if tail else "NOT intact")]
        problems += [] if head and tail else ["the image's PJL framing is broken"]
    more, trouble = signature(path, pe, ca)
    lines += more
    problems += trouble
    if extract_to and image is not None:
        try:
            with open(extract_to, "wb") as f:
                f.write(image)
        except OSError as e:
            raise Unusable("cannot write the image to %s: %s" % (extract_to, e.strerror))
        lines.append(("image written to", extract_to))
    if problems:
        verdict = "PROBLEM: " + "; ".join(problems)
    elif not pe.directory(SECURITY_DIRECTORY)[1]:
        # Nothing in an unsigned file shows a change: only a published checksum does.
        verdict = "nothing wrong found; unsigned, so compare the SHA-256 lines with the published ones"
    else:
        verdict = "nothing wrong found"
    lines.append(("verdict", verdict))
    return lines, problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ca", metavar="FILE", help="certificate(s), PEM, to trust instead of the system's")
    parser.add_argument("--extract-image", metavar="OUT", help="write the firmware image to OUT")
    parser.add_argument("program")
    args = parser.parse_args(argv[1:])
    if args.ca and not os.path.isfile(args.ca):
        print("%s: no such certificate file" % args.ca)
        return 2
    try:
        lines, problems = report(args.program, args.ca, args.extract_image)
    except Unusable as e:
        print("%s: %s" % (args.program, e))
        return 2
    for label, text in lines:
        print("%-18s %s" % (label + ":", text))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
