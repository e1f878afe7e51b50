#!/usr/bin/env python3
"""Checks of a release: two builds of the sources in two folders, the second
signed with a throwaway certificate, give the same program and the files
that name and sign it.

    release_checks.py build CMAKE SOURCE_DIR SCRATCH   make SCRATCH's two trees (ctest fixture)
    release_checks.py CHECK SCRATCH                    one check of them
    release_checks.py sign-copy PROGRAM IMAGE OUT      a signed copy in OUT, as a signed build makes it
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")

# Different lengths, so that a path the build wrote into the program shows.
TREES = ("one", "second-tree")
SIGNER = "Velmora throwaway test signer"
PASSWORD = "throwaway-5xq"
# The stand-in image, written out here rather than taken from its generator.
IMAGE_SHA256 = "1441bd3d415aca429d64d97696d7e7ba883c826e17984579845271d9c749f29c"
IMAGE_SIZE = 2097219


class Failed(Exception):
    pass


def run(command, env=None, cwd=None):
    done = subprocess.run(command, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace")
    return done.returncode, done.stdout


def must(command, env=None):
    status, said = run(command, env)
    if status != 0:
        raise Failed("%s failed (%d):\n%s" % (" ".join(command), status, said))
    return said


def with_password():
    return dict(os.environ, SIGNING_PFX_PASSWORD=PASSWORD)


def without_password():
    env = dict(os.environ)
    env.pop("SIGNING_PFX_PASSWORD", None)
    return env


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_throwaway_pfx(folder):
    """A self-signed certificate (cert.pem) and its PKCS#12 file (signer.pfx)."""
    key, cert, pfx = (os.path.join(folder, n) for n in ("key.pem", "cert.pem", "signer.pfx"))
    must(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "7", "-subj", "/CN=" + SIGNER,
          "-keyout", key, "-out", cert])
    must(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx,
          "-passout", "env:SIGNING_PFX_PASSWORD"], with_password())
    os.remove(key)
    return pfx


def paths(scratch):
    one, signed_tree = (os.path.join(scratch, t) for t in TREES)
    return {"one": one, "signed_tree": signed_tree, "cert": os.path.join(scratch, "cert.pem"),
            "signed": os.path.join(signed_tree, "velmora-flash-signed.exe")}


# ---------------------------------------------------------------- set-up

def build(cmake, source, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    pfx = make_throwaway_pfx(scratch)
    for tree, signing, env in ((TREES[0], [], without_password()),
                               (TREES[1], ["-DSIGNING_PFX=" + pfx], with_password())):
        tree = os.path.join(scratch, tree)
        must([cmake, "-S", source, "-B", tree, "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake" % source,
              "-DFLASH_TESTS=OFF"] + signing, env)
        print(must([cmake, "--build", tree], env))


def sign_copy(program, image, out):
    """Signs a copy of PROGRAM the way a signed build does: tools/release_files.py."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, "res"))
    copy = os.path.join(out, "velmora-flash.exe")
    shutil.copyfile(program, copy)
    shutil.copyfile(image, os.path.join(out, "res", "firmware.bin"))
    pfx = make_throwaway_pfx(out)
    print(must([sys.executable, os.path.join(TOOLS, "release_files.py"), copy, os.path.join(out, "res", "firmware.bin"),
                "--sign", pfx, "--osslsigncode", shutil.which("osslsigncode") or "osslsigncode"], with_password()))
    check_verifies(os.path.join(out, "velmora-flash-signed.exe"), os.path.join(out, "cert.pem"))


# ---------------------------------------------------------------- checks

def check_verifies(signed, cert):
    status, said = run(["osslsigncode", "verify", "-in", signed, "-CAfile", cert])
    if status != 0 or "Signature verification: ok" not in said or "Subject: /CN=" + SIGNER not in said:
        raise Failed("osslsigncode verify refused %s (%d):\n%s" % (signed, status, said))
    return "osslsigncode verify accepts %s, signed by /CN=%s" % (signed, SIGNER)


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def check_reproducible(p):
    first, second = (read(os.path.join(p[t], "velmora-flash.exe")) for t in ("one", "signed_tree"))
    if first != second:
        raise Failed("the two builds differ, first at byte %d (sizes %d and %d)"
                     % (first_difference(first, second), len(first), len(second)))
    return "both builds: %d bytes, SHA-256 %s" % (len(first), hashlib.sha256(first).hexdigest())


def expected_sums(tree, programs):
    lines = ["%s  %s" % (hashlib.sha256(read(os.path.join(tree, n))).hexdigest(), n) for n in programs]
    return "\n".join(lines + ["%s  res/firmware.bin" % IMAGE_SHA256,
                              "# res/firmware.bin is the firmware image inside the program: %d bytes" % IMAGE_SIZE]) + "\n"


def check_sums(p):
    for tree, programs in ((p["one"], ["velmora-flash.exe"]),
                           (p["signed_tree"], ["velmora-flash.exe", "velmora-flash-signed.exe"])):
        sums = read(os.path.join(tree, "SHA256SUMS")).decode()
        if sums != expected_sums(tree, programs):
            raise Failed("%s/SHA256SUMS is\n%sexpected\n%s" % (tree, sums, expected_sums(tree, programs)))
        status, said = run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=tree)
        expected = "".join("%s: OK\n" % n for n in programs + ["res/firmware.bin"])
        if status != 0 or said != expected:
            raise Failed("sha256sum -c in %s (%d) said\n%sexpected\n%s" % (tree, status, said, expected))
    if os.path.exists(os.path.join(p["one"], "velmora-flash-signed.exe")):
        raise Failed("the build without SIGNING_PFX made a signed copy")
    return "SHA256SUMS of both trees name what they hold, and sha256sum -c passes"


def check_signed_verifies(p):
    return check_verifies(p["signed"], p["cert"])


def check_signed_program(p):
    """The signed copy is the same program: every file check of check_program.py."""
    status, said = run([sys.executable, os.path.join(HERE, "check_program.py"), p["signed"],
                        os.path.join(p["signed_tree"], "res", "firmware.bin")])
    if status != 0:
        raise Failed(said)
    return said.strip()


def check_signed_changed_byte(p):
    data = read(p["signed"])
    image = read(os.path.join(p["signed_tree"], "res", "firmware.bin"))
    at = data.find(image) + len(image) // 2
    with tempfile.TemporaryDirectory(prefix="flash-release-") as scratch:
        changed = os.path.join(scratch, "changed.exe")
        with open(changed, "wb") as f:
            f.write(data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:])
        status, said = run(["osslsigncode", "verify", "-in", changed, "-CAfile", p["cert"]])
    if status != 1 or "MISMATCH" not in said:
        raise Failed("with byte %d changed, osslsigncode verify ended with %d (expected 1, a digest mismatch):\n%s"
                     % (at, status, said))
    return "one image byte changed (file byte %d): osslsigncode verify fails on the digest" % at


def check_password_nowhere(p):
    """The signing password stays out of the cache and the build files."""
    for folder, _dirs, files in os.walk(p["signed_tree"]):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.getsize(path) < 4 << 20 and PASSWORD.encode() in read(path):
                raise Failed("the signing password is written in %s" % path)
    return "the signing password is in no file of the signed build tree"


CHECKS = {
    "reproducible": check_reproducible,
    "sha256sums": check_sums,
    "signed_verifies": check_signed_verifies,
    "signed_program": check_signed_program,
    "signed_changed_byte": check_signed_changed_byte,
    "password_nowhere": check_password_nowhere,
}


def main(argv):
    try:
        if len(argv) == 5 and argv[1] == "build":
            build(*argv[2:])
        elif len(argv) == 5 and argv[1] == "sign-copy":
            sign_copy(*argv[2:])
        elif len(argv) == 3 and argv[1] in CHECKS:
            print("ok %s: %s" % (argv[1], CHECKS[argv[1]](paths(argv[2]))))
        else:
            print(__doc__ + "checks: " + " ".join(CHECKS), file=sys.stderr)
            return 2
    except Failed as e:
        print("FAIL %s: %s" % (argv[1], e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
