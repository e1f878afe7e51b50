#!/bin/sh
# Succeeds when this machine can run 32-bit x86 programs natively, and with
# them the 32-bit Wine loader. Some virtual machines offer no 32-bit mode at
# all. While a test run has them registered with an emulator
# (tools/emulation.sh), the loader would start either way: the answer is then
# no, and the 64-bit build is right on any machine.
ls /proc/sys/fs/binfmt_misc/flash-i386-* >/dev/null 2>&1 && exit 1
/usr/lib/wine/wine --version >/dev/null 2>&1
