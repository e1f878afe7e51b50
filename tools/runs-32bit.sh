#!/bin/sh
# Succeeds when this machine can run 32-bit x86 programs, and with them the
# 32-bit Wine loader. Some virtual machines offer no 32-bit mode at all.
/usr/lib/wine/wine --version >/dev/null 2>&1
