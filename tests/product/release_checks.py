#!/usr/bin/env python3
"""Checks of a release. The fixture builds the program in two folders, the
second configured with a throwaway certificate; the checks compare and verify
what they made, and run tools/check-updater.py on it and on damaged copies.

    release_checks.py build CMAKE SOURCE_DIR SCRATCH        the two trees (ctest fixture)
    release_checks.py sign-copy PROGRAM IMAGE OUT           a signed copy in OUT, as a signed build makes it
    release_checks.py check SCRATCH CHECK                   one check of the two trees
    release_checks.py checker PROGRAM NOIMAGE SCRATCH CASE  one report of the checking command
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
TREES = ("one", "second-tree")   # different lengths, so that a path written into the program shows
SIGNER = "Velmora throwaway test signer"


class Failed(Exception):
    pass


def run(command, env=None, cwd=None):
    done = subprocess.run(command, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace")
    return done.returncode, done.stdout


def must(command, env=None):
    status, said = run(command, env)
    if status != 0:
        raise Failed("%s ended with %d:\n%s" % (" ".join(command), status, said))
    return said


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def changed_byte(data, at):
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


# ---------------------------------------------------------------- set-up

PASSWORD = dict(os.environ, SIGNING_PFX_PASSWORD="throwaway-5xq")


def throwaway_pfx(folder):
    """A self-signed certificate, cert.pem, and its PKCS#12 file."""
    key, cert, pfx = (os.path.join(folder, n) for n in ("key.pem", "cert.pem", "signer.pfx"))
    must(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "7", "-subj", "/CN=" + SIGNER,
          "-keyout", key, "-out", cert])
    must(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx,
          "-passout", "env:SIGNING_PFX_PASSWORD"], PASSWORD)
    return pfx


def build(cmake, source, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    pfx = throwaway_pfx(scratch)
    unsigned = {k: v for k, v in os.environ.items() if k != "SIGNING_PFX_PASSWORD"}
    for tree, signing, env in ((TREES[0], [], unsigned), (TREES[1], ["-DSIGNING_PFX=" + pfx], PASSWORD)):
        tree = os.path.join(scratch, tree)
        must([cmake, "-S", source, "-B", tree, "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake" % source,
              "-DFLASH_TESTS=OFF"] + signing, env)
        print(must([cmake, "--build", tree], env))


def sign_copy(program, image, out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, "res"))
    copy, image_copy = os.path.join(out, "velmora-flash.exe"), os.path.join(out, "res", "firmware.bin")
    shutil.copyfile(program, copy)
    shutil.copyfile(image, image_copy)
    print(must([sys.executable, os.path.join(TOOLS, "release_files.py"), copy, image_copy,
                "--sign", throwaway_pfx(out), "--osslsigncode", shutil.which("osslsigncode")], PASSWORD))
    print(check_signed_verifies(out, out))


# ---------------------------------------------------------------- the two trees

def check_reproducible(one, second):
    first, other = read(os.path.join(one, "velmora-flash.exe")), read(os.path.join(second, "velmora-flash.exe"))
    if first != other:
        at = next((i for i, (a, b) in enumerate(zip(first, other)) if a != b), min(len(first), len(other)))
        raise Failed("the two builds differ, first at byte %d (%d and %d bytes)" % (at, len(first), len(other)))
    return "both builds: %d bytes, SHA-256 %s" % (len(first), sha256(first))


def check_sha256sums(one, second):
    for tree, programs in ((one, ["velmora-flash.exe"]), (second, ["velmora-flash.exe", "velmora-flash-signed.exe"])):
        image = read(os.path.join(tree, "res", "firmware.bin"))
        expected = "".join("%s  %s\n" % (sha256(read(os.path.join(tree, p))), p) for p in programs) + \
            "%s  res/firmware.bin\n# res/firmware.bin is the firmware image inside the program: %d bytes\n" % (
                sha256(image), len(image))
        if read(os.path.join(tree, "SHA256SUMS")).decode() != expected:
            raise Failed("%s/SHA256SUMS is\n%sexpected\n%s" % (tree, read(os.path.join(tree, "SHA256SUMS")).decode(), expected))
        status, said = run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=tree)
        if status != 0 or said != "".join("%s: OK\n" % p for p in programs + ["res/firmware.bin"]):
            raise Failed("sha256sum -c in %s ended with %d:\n%s" % (tree, status, said))
    if os.path.exists(os.path.join(one, "velmora-flash-signed.exe")):
        raise Failed("the build without SIGNING_PFX made a signed copy")
    return "SHA256SUMS names what each tree holds, and sha256sum -c passes"


def check_signed_verifies(scratch, second):
    status, said = run(["osslsigncode", "verify", "-in", os.path.join(second, "velmora-flash-signed.exe"),
                        "-CAfile", os.path.join(scratch, "cert.pem")])
    if status != 0 or "Signature verification: ok" not in said or "Subject: /CN=" + SIGNER not in said:
        raise Failed("osslsigncode verify refused the signed copy (%d):\n%s" % (status, said))
    return "osslsigncode verify accepts the signed copy, signed by /CN=" + SIGNER


def check_signed_program(_one, second):
    """The signed copy is the same program: every file check of check_program.py."""
    return must([sys.executable, os.path.join(HERE, "check_program.py"),
                 os.path.join(second, "velmora-flash-signed.exe"), os.path.join(second, "res", "firmware.bin")])


def check_signed_changed_byte(scratch, second):
    data = read(os.path.join(second, "velmora-flash-signed.exe"))
    at = data.find(read(os.path.join(second, "res", "firmware.bin"))) + 1000
    with tempfile.TemporaryDirectory(prefix="flash-release-") as work:
        with open(os.path.join(work, "changed.exe"), "wb") as f:
            f.write(changed_byte(data, at))
        status, said = run(["osslsigncode", "verify", "-in", f.name, "-CAfile", os.path.join(scratch, "cert.pem")])
    if status != 1 or "MISMATCH" not in said:
        raise Failed("with byte %d changed, osslsigncode verify ended with %d, expected 1 on the digest:\n%s"
                     % (at, status, said))
    return "with image byte %d changed, osslsigncode verify fails on the digest" % at


CHECKS = {"reproducible": (check_reproducible, TREES), "sha256sums": (check_sha256sums, TREES),
          "signed_verifies": (check_signed_verifies, ("", TREES[1])),
          "signed_program": (check_signed_program, TREES),
          "signed_changed_byte": (check_signed_changed_byte, ("", TREES[1]))}

# ---------------------------------------------------------------- the checking command

OURS, UNSIGNED, GOOD = "program: the 32-bit GUI updater", "signature: none: the file is not signed", \
    "verdict: nothing wrong found"
KNOWN_ONLY = "libraries: only Windows' known DLLs at start, which Windows takes from its own folder"
INTACT = ["image: FILE 1009, {size} bytes", "image SHA-256: {built}", "PJL head: intact", "PJL tail: intact"]

# Case: the file checked (and a change made to a copy of it), options, exit
# status, lines of the report ({ca}, {file}, {out}: the certificate, the copy
# checked, --extract-image's file; {image}: the SHA-256 of the changed image;
# {built}, {size}: the SHA-256 and size of the image the build made).
CASES = {
    "built": ("program", None, [], 0, [OURS, KNOWN_ONLY] + INTACT + [
        UNSIGNED, "verdict: nothing wrong found; unsigned, so compare the SHA-256 lines with the published ones"]),
    "signed": ("signed", None, ["--ca", "{ca}"], 0,
               [OURS] + INTACT + ["signed by: CN = " + SIGNER, "signed digest: matches the file's contents",
                                  "certificate chain: trusted by {ca}", GOOD]),
    "signed_untrusted": ("signed", None, [], 1, [
        "certificate chain: NOT trusted by the system's certificate authorities: self-signed certificate",
        "verdict: PROBLEM: the signer is not trusted"]),
    "changed_image_byte": ("program", 1000, [], 0, ["image SHA-256: {image}", "PJL head: intact", UNSIGNED]),
    "changed_image_byte_signed": ("signed", 1000, ["--ca", "{ca}"], 1, [
        "image SHA-256: {image}", "signed by: CN = " + SIGNER,
        "signed digest: does NOT match the file's contents: changed after signing",
        "verdict: PROBLEM: the file was changed after it was signed"]),
    "broken_head": ("program", 0, [], 1, ["PJL head: NOT intact", "PJL tail: intact",
                                          "verdict: PROBLEM: the image's PJL framing is broken"]),
    "no_image": ("noimage", None, [], 1, [OURS, "image: none: no FILE 1009 resource",
                                          "verdict: PROBLEM: no firmware image"]),
    "no_osslsigncode": ("signed", None, [], 1, [
        r"signature: present \(\d+ bytes\), not checked: osslsigncode is not installed \(Debian package osslsigncode\)",
        "verdict: PROBLEM: the signature could not be checked"]),
    # Built the way the updater once was: a library that is not a known DLL imported at start.
    "imports_winspool": ("program", "imports", [], 1, [
        "libraries: imports WINSPOOL.DRV, not among Windows' known DLLs: this copy runs any file of that name "
        "that lies beside it", "verdict: PROBLEM: it runs libraries planted beside it"]),
    "extract_image": ("program", None, ["--extract-image", "{out}"], 0, ["image written to: {out}"]),
    # Bad inputs: one line and exit status 2.
    "truncated": ("signed", "half", [], 2, [r"{file}: damaged: its sections need \d+ bytes, the file has \d+ \(cut short\?\)"]),
    "truncated_headers": ("program", "head", [], 2, ["{file}: damaged: its headers or resources point past the end of the file"]),
    "not_a_program": ("text", None, [], 2, ["{file}: not a Windows program: no MZ header"]),
    "64_bit": ("program", None, [], 1, ["program: NOT the 32-bit GUI updater: a 64-bit x86-64 Windows GUI program"]),
}

# The defences the headers and the code show: the shipped program, and copies
# with one header flag cleared or set (change "flags:-BIT" or "section:+BIT",
# on the first section, the code) or the symbol table cut off.
UNSIGNED_GOOD = "verdict: nothing wrong found; unsigned, so compare the SHA-256 lines with the published ones"
ASLR = r"ASLR: yes: loaded at a different address at each start \(DYNAMIC_BASE, \d+ relocations\)"
DEP = "DEP: yes: its data and stack are never run as code (NX_COMPAT)"
NO_WX = "writable code: none: no section is both writable and executable"
SEH = "SEH overwrite: protected: the program has no exception handlers and says so (NO_SEH), so Windows calls none in it"
COOKIE = r"stack cookies: yes: the code checks a cookie in \d+ places before a function returns, and stops if an " \
    r"overrun changed it \(%s\)"
CASES.update({
    "defences": ("program", None, [], 0, [ASLR, DEP, NO_WX, SEH, COOKIE % "___stack_chk_guard", UNSIGNED_GOOD]),
    "stripped": ("program", "symbols:0", [], 0, [
        COOKIE % r"the dword at 0x[0-9A-F]+, found by the pattern of its checks: no symbol table", UNSIGNED_GOOD]),
    "no_aslr": ("program", "flags:-0x40", [], 1, [
        "ASLR: NO: loaded at the same address at every start, where an attack knows to find its code (no DYNAMIC_BASE)",
        DEP, "verdict: PROBLEM: it is loaded at the same address at every start"]),
    "no_dep": ("program", "flags:-0x100", [], 1, [
        ASLR, "DEP: NO: where Windows leaves DEP to each program, its data and stack can be run as code (no NX_COMPAT)",
        "verdict: PROBLEM: its data can be run as code"]),
    "writable_code": ("program", "section:+0x80000000", [], 1, [
        "writable code: NO: section .text is both writable and executable: its code can be changed while it runs",
        "verdict: PROBLEM: a section is both writable and executable"]),
    "no_seh_flag": ("program", "flags:-0x400", [], 0, [
        "SEH overwrite: NOT protected: an exception handler address written over the stack would be called",
        UNSIGNED_GOOD]),
})


def patched_header(data, change):
    """A copy of data with one header field changed, as named in the table above."""
    field, value = change.split(":")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    at, size = {"flags": (pe + 24 + 70, "<H"), "symbols": (pe + 12, "<Q"),
                "section": (pe + 24 + struct.unpack_from("<H", data, pe + 20)[0] + 36, "<I")}[field]
    old = struct.unpack_from(size, data, at)[0]
    new = old | int(value[1:], 16) if value[0] == "+" else old & ~int(value[1:], 16) if value[0] == "-" else int(value)
    copy = bytearray(data)
    struct.pack_into(size, copy, at, new)
    return bytes(copy)


def checker_case(program, noimage, scratch, case):
    source, change, options, status, expected = CASES[case]
    second = os.path.join(scratch, TREES[1])
    files = {"program": program, "noimage": noimage, "signed": os.path.join(second, "velmora-flash-signed.exe")}
    data = read(files[source]) if source in files else b"This is a text file.\n"
    # The 64-bit tree makes no release; its one case needs no image.
    built_image = os.path.join(second, "res", "firmware.bin")
    built = read(built_image) if os.path.exists(built_image) else b""
    image = built if isinstance(change, int) else b""
    if isinstance(change, int):
        data = changed_byte(data, data.find(image) + change)
    elif change == "imports":
        data = data.replace(b"KERNEL32.dll\0", b"WINSPOOL.DRV\0", 1)
    elif change and ":" in change:
        data = patched_header(data, change)
    elif change:
        data = data[:len(data) // 2] if change == "half" else data[:300]
    with tempfile.TemporaryDirectory(prefix="flash-check-") as work:
        path = os.path.join(work, "checked.exe")
        with open(path, "wb") as f:
            f.write(data)
        fields = {"ca": os.path.join(scratch, "cert.pem"), "file": path, "out": os.path.join(work, "image.bin"),
                  "image": sha256(changed_byte(image, change)) if image else "",
                  "built": sha256(built), "size": str(len(built))}
        env = dict(os.environ, PATH=work) if case == "no_osslsigncode" else None
        status_was, said = run([sys.executable, os.path.join(TOOLS, "check-updater.py")] +
                               [o.format(**fields) for o in options] + [path], env)
        lines = [re.sub(r":\s+", ": ", s, count=1) for s in said.splitlines()]
        problems = ["exit status %d, expected %d" % (status_was, status)] if status_was != status else []
        problems += ["no line %r" % e.format(**fields) for e in expected
                     if not any(re.fullmatch(e.format(**{k: re.escape(v) for k, v in fields.items()}), s) or
                                s == e.format(**fields) for s in lines)]
        if status == 2 and len(lines) != 1:
            problems.append("%d lines for a bad input, expected 1" % len(lines))
        if status != 2 and "SHA-256: " + sha256(data) not in lines:
            problems.append("no line with the file's SHA-256")
        if options[:1] == ["--extract-image"] and (not os.path.exists(fields["out"]) or read(fields["out"]) != built):
            problems.append("the image written out is not the built one")
    if problems:
        raise Failed("; ".join(problems) + "\ncheck-updater.py said:\n" + said)
    return "check-updater.py said:\n" + said


def main(argv):
    try:
        if len(argv) == 5 and argv[1] == "build":
            build(*argv[2:])
        elif len(argv) == 5 and argv[1] == "sign-copy":
            sign_copy(*argv[2:])
        elif len(argv) == 4 and argv[1] == "check" and argv[3] in CHECKS:
            check, trees = CHECKS[argv[3]]
            print("ok %s: %s" % (argv[3], check(*(os.path.join(argv[2], t) for t in trees))))
        elif len(argv) == 6 and argv[1] == "checker" and argv[5] in CASES:
            print("ok %s: %s" % (argv[5], checker_case(*argv[2:])), end="")
        else:
            print(__doc__ + "checks: %s\ncases: %s" % (" ".join(CHECKS), " ".join(CASES)), file=sys.stderr)
            return 2
    except Failed as e:
        print("FAIL %s: %s" % (argv[-1], e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
