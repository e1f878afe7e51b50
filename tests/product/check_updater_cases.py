#!/usr/bin/env python3
"""Runs tools/check-updater.py on one kind of file and checks its report.

    check_updater_cases.py PROGRAM NOIMAGE_PROGRAM SCRATCH CASE

PROGRAM is the build tree's program, NOIMAGE_PROGRAM the same without its
image; SCRATCH holds the trees of `release_checks.py build` (the signed copy
and its certificate). Tampered copies are made here.
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "..", "tools", "check-updater.py")
IMAGE_SHA256 = "1441bd3d415aca429d64d97696d7e7ba883c826e17984579845271d9c749f29c"
SIGNER = "CN = Velmora throwaway test signer"
INTACT = ["image:             FILE 1009, 2097219 bytes", "image SHA-256:     " + IMAGE_SHA256,
          "PJL head:          intact", "PJL tail:          intact"]
OURS = "program:           the 32-bit GUI updater"


def image_byte(offset):
    """A change of one byte of the image, `offset` from its start (negative: from its end)."""
    def change(data, image):
        at = data.find(image) + offset % len(image)
        return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]
    return change


def console(data, _image):
    at = int.from_bytes(data[0x3C:0x40], "little") + 24 + 68   # the optional header's subsystem
    return data[:at] + b"\x03" + data[at + 1:]


# Case: the file (its source and a change made to it), the options, the exit
# status, and lines the report must hold (a compiled pattern: the whole output
# must match it). {ca} and {file} stand for the certificate and the file checked.
CASES = {
    "built": ("program", None, [], 0, [OURS] + INTACT + ["signature:         none: the file is not signed",
                                                         "verdict:           nothing wrong found"]),
    "signed": ("signed", None, ["--ca", "{ca}"], 0,
               [OURS] + INTACT + ["signed by:         " + SIGNER, "signed digest:     matches the file's contents",
                                  "certificate chain: trusted by {ca}", "verdict:           nothing wrong found"]),
    "signed_untrusted": ("signed", None, [], 1,
                         ["signed digest:     matches the file's contents",
                          "certificate chain: NOT trusted by the system's certificate authorities: "
                          "self-signed certificate",
                          "verdict:           PROBLEM: the signer is not trusted"]),
    "changed_image_byte": ("program", image_byte(1000), [], 0,
                           ["image SHA-256:     " + "{changed_image_sha256}", "PJL head:          intact",
                            "signature:         none: the file is not signed"]),
    "changed_image_byte_signed": ("signed", image_byte(1000), ["--ca", "{ca}"], 1,
                                  ["image SHA-256:     {changed_image_sha256}", "signed by:         " + SIGNER,
                                   "signed digest:     does NOT match the file's contents: changed after signing",
                                   "verdict:           PROBLEM: the file was changed after it was signed"]),
    "broken_head": ("program", image_byte(0), [], 1,
                    ["PJL head:          NOT intact", "PJL tail:          intact",
                     "verdict:           PROBLEM: the image's PJL framing is broken"]),
    "broken_tail": ("program", image_byte(-1), [], 1,
                    ["PJL head:          intact", "PJL tail:          NOT intact"]),
    "no_image": ("noimage", None, [], 1, [OURS, "image:             none: no FILE 1009 resource",
                                          "verdict:           PROBLEM: no firmware image"]),
    "console_program": ("program", console, [], 1,
                        ["program:           NOT the 32-bit GUI updater: a 32-bit x86 Windows console program"]),
    "no_osslsigncode": ("signed", None, [], 1,
                        [re.compile(r"signature:         present \(\d+ bytes\), not checked: osslsigncode is not "
                                    r"installed \(Debian package osslsigncode\)"),
                         "verdict:           PROBLEM: the signature could not be checked"]),
    "extract_image": ("program", None, ["--extract-image", "{out}"], 0, ["image written to:  {out}"]),
    # Bad inputs: one line, exit status 2.
    "truncated": ("signed", lambda data, _image: data[:len(data) // 2], [], 2,
                  [re.compile(r"{file}: damaged: its sections need \d+ bytes, the file has \d+ \(cut short\?\)")]),
    "truncated_signature": ("signed", lambda data, _image: data[:-100], [], 2,
                            [re.compile(r"{file}: damaged: its signature ends at byte \d+, the file at \d+ "
                                        r"\(cut short\?\)")]),
    "truncated_headers": ("program", lambda data, _image: data[:300], [], 2,
                          ["{file}: damaged: its headers or resources point past the end of the file"]),
    "not_a_program": ("text", None, [], 2, ["{file}: not a Windows program: no MZ header"]),
    "missing": ("missing", None, [], 2, ["{file}: cannot be read: No such file or directory"]),
    # Only in a 64-bit build tree: its program is not the one to ship.
    "64_bit": ("program", None, [], 1,
               ["program:           NOT the 32-bit GUI updater: a 64-bit x86-64 Windows GUI program",
                "verdict:           PROBLEM: not the 32-bit GUI program"]),
}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main(argv):
    if len(argv) != 5 or argv[4] not in CASES:
        print(__doc__ + "cases: " + " ".join(CASES), file=sys.stderr)
        return 2
    program, noimage, scratch, case = argv[1:]
    source, change, options, status, expected = CASES[case]
    signed_tree = os.path.join(scratch, "second-tree")
    image = read(os.path.join(signed_tree, "res", "firmware.bin")) if os.path.isdir(signed_tree) else b""
    with tempfile.TemporaryDirectory(prefix="flash-check-") as work:
        path = os.path.join(work, "checked.exe")
        original = {"program": program, "noimage": noimage, "signed": os.path.join(signed_tree, "velmora-flash-signed.exe")}
        data = b"This is a text file.\n" if source == "text" else b"" if source == "missing" else read(original[source])
        if change:
            data = change(data, image)
        if source != "missing":
            with open(path, "wb") as f:
                f.write(data)
        # {changed_image_sha256}: the image as the case's change leaves it.
        fields = {"ca": os.path.join(scratch, "cert.pem"), "file": path, "out": os.path.join(work, "image.bin"),
                  "changed_image_sha256": hashlib.sha256(change(image, image)).hexdigest() if change else ""}
        env = dict(os.environ, PATH=work) if case == "no_osslsigncode" else None
        done = subprocess.run([sys.executable, CHECKER] + [o.format(**fields) for o in options] + [path],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        problems = []
        if done.returncode != status:
            problems.append("exit status %d, expected %d" % (done.returncode, status))
        said = done.stdout.splitlines()
        for line in expected:
            if isinstance(line, str):
                if line.format(**fields) not in said:
                    problems.append("no line %r" % line.format(**fields))
            elif not any(re.fullmatch(line.pattern.replace("{file}", re.escape(path)), s) for s in said):
                problems.append("no line matching %r" % line.pattern)
        if status == 2 and len(said) != 1:
            problems.append("%d lines for a bad input, expected 1" % len(said))
        if "Traceback" in done.stdout:
            problems.append("a traceback")
        if status != 2 and "SHA-256:           %s" % hashlib.sha256(data).hexdigest() not in said:
            problems.append("no line with the file's SHA-256")
        if case == "extract_image" and (not os.path.exists(fields["out"]) or
                                        hashlib.sha256(read(fields["out"])).hexdigest() != IMAGE_SHA256):
            problems.append("the image written out is not the built one")
    for p in problems:
        print("FAIL %s: %s" % (case, p))
    print("%s %s: check-updater.py said:\n%s" % ("FAIL" if problems else "ok", case, done.stdout), end="")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
