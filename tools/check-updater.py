#!/usr/bin/env python3
"""Checks a copy of the Velmora firmware updater before anyone runs it.

    check-updater.py [--ca FILE] [--extract-image OUT] PROGRAM

Reports whether PROGRAM is the 32-bit GUI program with its firmware image
(FILE 1009); whether it loads at start only libraries that Windows takes
from its own folder; the defences its headers and code show (ASLR, DEP, no
section both writable and executable, SEH overwrite protection, stack
cookies; the first three missing count as problems); the SHA-256 of the
file and of the image, the image's size and whether its PJL head and tail
are intact; whether the file is signed, by whom, whether the signature
matches the file's contents, and whether its certificate chain is trusted by
the system's authorities (or by --ca FILE). Signatures are read with
osslsigncode and openssl.

Exit status: 0 when nothing is wrong, 1 when the report names a problem, 2
when the file cannot be read as a program at all (one line says why).
"""
import argparse
import collections
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
        safety = defences(pe)
    except pe_resources.NotAProgram as e:
        raise Unusable("not a Windows program: %s" % e)
    except (struct.error, IndexError, ValueError, UnicodeDecodeError, RecursionError):
        raise Unusable("damaged: its headers or resources point past the end of the file")
    return data, pe, image, safety


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


# The names libssp gives the stack cookie: 32-bit symbols carry a leading underscore.
COOKIE_SYMBOLS = ("___stack_chk_guard", "__stack_chk_guard")


def signed(value, bits):
    return value - (1 << bits) if value >> (bits - 1) else value


def cookie_checks(pe):
    """Where 32-bit code checks a stack cookie before returning, counted by the
    cookie's address (rva) and the routine called on a mismatch: an instruction
    that subtracts, xors or compares a dword of writable data with a register,
    a conditional jump on the result, and on the mismatching side a call (to
    the routine that ends the program). The dword's address in the
    instruction is one the loader relocates, so the relocation table finds
    every candidate without decoding the code."""
    found = collections.Counter()
    data = pe.data
    for rva in pe.relocations():
        section = pe.section(rva)
        if not section or not section.flags & pe_resources.SECTION_EXECUTE:
            continue
        at = pe.offset(rva)   # the instruction's 32-bit address operand
        if at < 2 or data[at - 2] not in (0x2B, 0x33, 0x3B) or data[at - 1] & 0xC7 != 0x05 or at + 10 > len(data):
            continue
        held = pe.section(pe.u32(at) - pe.image_base)
        if not held or not held.flags & pe_resources.SECTION_WRITE or held.flags & pe_resources.SECTION_EXECUTE:
            continue
        jump = at + 4
        if data[jump] == 0x75:                            # jne: the mismatch jumps
            failing = jump + 2 + signed(data[jump + 1], 8)
        elif data[jump:jump + 2] == b"\x0f\x85":
            failing = jump + 6 + signed(pe.u32(jump + 2), 32)
        elif data[jump] == 0x74:                          # je: the mismatch falls through
            failing = jump + 2
        elif data[jump:jump + 2] == b"\x0f\x84":
            failing = jump + 6
        else:
            continue
        if 0 <= failing <= len(data) - 5 and data[failing] == 0xE8:
            found[(pe.u32(at) - pe.image_base, failing + 5 + signed(pe.u32(failing + 1), 32))] += 1
    return found


def stack_cookie(pe):
    """The report line about stack cookies."""
    if pe.pe32plus:
        return "not looked for: only 32-bit code is read"
    checks = cookie_checks(pe)
    symbols = pe.symbols()
    named = [(name, symbols[name]) for name in COOKIE_SYMBOLS if name in symbols]
    if named:
        name, cookie = named[0]
        count = sum(n for (rva, _), n in checks.items() if rva == cookie)
        how = name
    else:
        # No symbol table: the cookie is the dword most often checked, before
        # a call of one same routine, in at least two places.
        (cookie, _), count = max(checks.items(), key=lambda item: item[1], default=((0, 0), 0))
        count = count if count >= 2 else 0
        how = "the dword at 0x%X, found by the pattern of its checks: no symbol table" % (pe.image_base + cookie)
    if not count:
        return "none found: an overrun of a buffer on the stack goes undetected" + (
            " (%s is linked in, but no function checks it)" % named[0][0] if named else "")
    return ("yes: the code checks a cookie in %d places before a function returns, and stops if an overrun "
            "changed it (%s)" % (count, how))


def defences(pe):
    """Report lines and problems about the defences Windows applies when the
    headers ask for them, and those compiled into the code."""
    flags, lines, problems = pe.dll_characteristics, [], []
    relocatable = bool(pe.directory(pe_resources.RELOCATION_DIRECTORY)[1]) and \
        not pe.characteristics & pe_resources.RELOCS_STRIPPED
    if flags & pe_resources.DYNAMIC_BASE and relocatable:
        lines.append(("ASLR", "yes: loaded at a different address at each start (DYNAMIC_BASE, %d relocations%s)" % (
            len(pe.relocations()), ", high entropy" if flags & pe_resources.HIGH_ENTROPY_VA else "")))
    else:
        lines.append(("ASLR", "NO: loaded at the same address at every start, where an attack knows to find its "
                      "code (%s)" % ("no relocation table" if flags & pe_resources.DYNAMIC_BASE else "no DYNAMIC_BASE")))
        problems.append("it is loaded at the same address at every start")
    if flags & pe_resources.NX_COMPAT:
        lines.append(("DEP", "yes: its data and stack are never run as code (NX_COMPAT)"))
    else:
        lines.append(("DEP", "NO: where Windows leaves DEP to each program, its data and stack can be run as code "
                      "(no NX_COMPAT)"))
        problems.append("its data can be run as code")
    both = [s.name for s in pe.sections
            if s.flags & pe_resources.SECTION_WRITE and s.flags & pe_resources.SECTION_EXECUTE]
    if both:
        lines.append(("writable code", "NO: section %s is both writable and executable: its code can be changed "
                      "while it runs" % ", ".join(both)))
        problems.append("a section is both writable and executable")
    else:
        lines.append(("writable code", "none: no section is both writable and executable"))
    load_config, _ = pe.directory(pe_resources.LOAD_CONFIG_DIRECTORY)
    handlers = pe.u32(pe.offset(load_config) + 68) if load_config and not pe.pe32plus and \
        pe.u32(pe.offset(load_config)) >= 72 else 0
    if pe.pe32plus:
        seh = "not needed: 64-bit code lists its exception handlers in tables, not on the stack"
    elif flags & pe_resources.NO_SEH:
        seh = "protected: the program has no exception handlers and says so (NO_SEH), so Windows calls none in it"
    elif handlers:
        seh = "protected: Windows calls only the %d exception handlers the program lists (SafeSEH)" % handlers
    else:
        seh = "NOT protected: an exception handler address written over the stack would be called"
    lines += [("SEH overwrite", seh), ("stack cookies", stack_cookie(pe))]
    return lines, problems


def report(path, ca, extract_to):
    data, pe, image, (safety, unsafe) = load(path)
    ours, kind = program_kind(pe)
    lines = [("file", "%s, %d bytes" % (path, len(data))),
             ("SHA-256", hashlib.sha256(data).hexdigest()),
             ("program", "the 32-bit GUI updater" if ours else "NOT the 32-bit GUI updater: a " + kind)]
    problems = [] if ours else ["not the 32-bit GUI program"]
    more, trouble = libraries(pe)
    lines += more + safety
    problems += trouble + unsafe
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
