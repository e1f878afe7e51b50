#!/usr/bin/env python3
"""Times the updater's two deliveries of the firmware image against their
everyday equivalents on the same printer simulator, and compares its peak
memory with an empty dialog built the same way.

    network path:  Send Firmware click -> last byte at the simulator
                   vs  nc -q0 127.0.0.1 9100 < image
    spooler path:  Send Firmware click -> last byte, through the CUPS raw queue
                   vs  lp -d QUEUE -o raw image

Run by bench/run.sh, which builds, starts the services in a private network
and passes: BUILD_TREE RUN_DIR [RUNS]. Prints medians, ratios and memory.
"""
import glob
import os
import shutil
import statistics
import subprocess
import sys
import time

QUEUE = "velmora-main"


def wine_env(tree, run):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": os.path.join(tree, "wineprefix"),
        "WINELOADER": "/usr/lib/wine/wine64" if tree.endswith("x86_64") else "/usr/lib/wine/wine",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "DISPLAY": ":" + open(os.path.join(run, "display")).read().strip(),
        "CUPS_SERVER": os.path.join(run, "cups", "cups.sock"),
    })
    return env


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Printer:
    """The simulator's job folder: wait for the next job, read its report."""

    def __init__(self, run):
        self.jobs = os.path.join(run, "printer")

    def clear(self):
        for f in glob.glob(os.path.join(self.jobs, "job-*")):
            os.unlink(f)

    def wait_for_job(self, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            done = glob.glob(os.path.join(self.jobs, "job-*.done"))
            if done:
                report = dict(line.split("=", 1) for line in open(done[0]).read().splitlines())
                return report
            time.sleep(0.01)
        raise RuntimeError("no job reached the printer simulator within %d s" % timeout)


def check(report, size):
    if int(report["bytes"]) != size or report["pjl"] != "yes":
        raise RuntimeError("the simulator got %s bytes (pjl %s), expected %d" % (report["bytes"], report["pjl"], size))


def program_send(tree, run, env, printer, mode, target, size):
    printer.clear()
    out = subprocess.run(
        [env["WINELOADER"], os.path.join(tree, "bench", "send_click.exe"),
         windows_path(os.path.join(tree, "velmora-flash.exe")), mode, target],
        env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    values = dict(line.split("=", 1) for line in out.stdout.split() if "=" in line)
    if out.returncode != 0 or "click_at" not in values:
        raise RuntimeError("send_click failed: %s %s" % (out.stdout, out.stderr))
    report = printer.wait_for_job()
    check(report, size)
    return float(report["last_byte_at"]) - float(values["click_at"]), int(values.get("peak_working_set", 0))


def command_send(argv, env, printer, size, stdin=None):
    printer.clear()
    start = time.time()
    subprocess.run(argv, env=env, stdin=stdin, stdout=subprocess.DEVNULL, check=True, timeout=120)
    report = printer.wait_for_job()
    check(report, size)
    return float(report["last_byte_at"]) - start


def idle_peak(tree, env, program, caption=None):
    argv = [env["WINELOADER"], os.path.join(tree, "bench", "send_click.exe"), windows_path(program), "idle"]
    if caption:
        argv.append(caption)
    out = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    values = dict(line.split("=", 1) for line in out.stdout.split() if "=" in line)
    return int(values.get("peak_working_set", 0))


def main():
    tree, run = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    env = wine_env(tree, run)
    printer = Printer(run)
    image = os.path.join(tree, "res", "firmware.bin")
    size = os.path.getsize(image)
    for tool in ("nc", "lp"):
        if not shutil.which(tool):
            sys.exit("bench: %s is missing" % tool)

    times = {"program, network": [], "nc": [], "program, spooler": [], "lp": []}
    peaks = []
    for i in range(runs):
        # Interleaved, so that a slow moment of the machine hits all alike.
        t, peak = program_send(tree, run, env, printer, "net", "127.0.0.1", size)
        times["program, network"].append(t)
        peaks.append(peak)
        with open(image, "rb") as f:
            times["nc"].append(command_send(["nc", "-q0", "127.0.0.1", "9100"], env, printer, size, stdin=f))
        t, peak = program_send(tree, run, env, printer, "local", QUEUE, size)
        times["program, spooler"].append(t)
        peaks.append(peak)
        times["lp"].append(command_send(["lp", "-d", QUEUE, "-o", "raw", image], env, printer, size))
        print("run %d of %d done" % (i + 1, runs), file=sys.stderr)

    med = {k: statistics.median(v) for k, v in times.items()}
    print("Delivery of the %d-byte image, click (or command start) to last byte at the printer;" % size)
    print("median of %d interleaved runs each:" % runs)
    for k in times:
        print("  %-18s %7.3f s   (runs: %s)" % (k, med[k], ", ".join("%.3f" % t for t in times[k])))
    print("  network ratio, program / nc: %.2f" % (med["program, network"] / med["nc"]))
    print("  spooler ratio, program / lp: %.2f" % (med["program, spooler"] / med["lp"]))

    empty = idle_peak(tree, env, os.path.join(tree, "bench", "empty_dialog.exe"), "Empty dialog")
    idle = idle_peak(tree, env, os.path.join(tree, "velmora-flash.exe"))
    mib = 1024.0 * 1024.0
    print("Peak working set under Wine:")
    print("  empty dialog:                %7.1f MiB" % (empty / mib))
    print("  updater, idle:               %7.1f MiB" % (idle / mib))
    print("  updater, after a send:       %7.1f MiB (median)" % (statistics.median(peaks) / mib))
    print("  image size:                  %7.1f MiB" % (size / mib))


if __name__ == "__main__":
    main()
