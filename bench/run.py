#!/usr/bin/env python3
"""Times the updater's two deliveries of the firmware image against the
platform's floor and the everyday tools on the same printer simulator, times
its start-up, and compares its peak memory with an empty dialog built the
same way.

    network path:  Send Firmware click -> last byte at the simulator
                   vs  floor_socket.exe (the least the platform needs)
                   vs  nc -q0 127.0.0.1 9100 < image
    spooler path:  Send Firmware click -> last byte, through the CUPS raw queue
                   vs  floor_spooler.exe (the same spooler calls, nothing else)
                   vs  lp -d QUEUE -o raw image
    start-up:      process start -> dialog visible with its list filled, for
                   the empty dialog and the updater, beside the spooler's own
                   listing time (list_printers.exe), with the standard queues
                   and with 60 long-named ones

    over links:    the network path's three rows again, the printer simulator
                   across an emulated link (tools/link.py) at 198.18.0.2, for
                   each link in LINKS

Run by bench/run.sh, which builds, starts the services in a private network
and passes: BUILD_TREE RUN_DIR [RUNS] [--links]; with --links only the rows
over links are timed. Prints medians, ratios, where the time goes, and
memory.
"""
import datetime
import glob
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import time

QUEUE = "velmora-main"
HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "tools")
SERVICES = os.path.join(TOOLS, "services.sh")
# The queues tools/services.sh starts with (three printers and one that
# rejects jobs), and the 60 long names the tests use: velmora-long-NN- and
# 84 q's, NN = 10..69. Their level-1 records outgrow the updater's first
# buffer, so it asks the spooler twice.
STANDARD_COUNT = 4
LONG_QUEUES = ["velmora-long-%d-%s" % (n, "q" * 84) for n in range(10, 70)]
PROGRAM_CAPTION = "Velmora_Firmware_Download"
EMPTY_CAPTION = "Empty dialog"

# Rate, one-way delay in ms, share of packets lost each way: a printer on
# the same switch; one across a building's or a campus's network; one in a
# branch office over a VPN; the second on a link that loses packets.
LINKS = [("100 Mbit/s, 0.5 ms", "100M", 0.25, 0.0),
         ("50 Mbit/s, 20 ms", "50M", 10, 0.0),
         ("20 Mbit/s, 80 ms", "20M", 40, 0.0),
         ("50 Mbit/s, 20 ms, 0.5% loss", "50M", 10, 0.005)]

SPOOLER_CALLS = [("open", "OpenPrinterA"), ("doc", "StartDocPrinterA"), ("page", "StartPagePrinter"),
                 ("write", "WritePrinter"), ("endpage", "EndPagePrinter"), ("enddoc", "EndDocPrinter"),
                 ("close", "ClosePrinter"), ("end", None)]
SOCKET_CALLS = [("resolve", "gethostbyname"), ("socket", "socket"), ("connect", "connect"), ("send", "send"),
                ("shutdown", "shutdown"), ("drain", "recv until closed"), ("close", "closesocket"), ("end", None)]


def wine_env(tree, run):
    """The environment tools/services.sh gives a Wine program of TREE."""
    services = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "services.sh")
    loader = subprocess.run([services, "loader", tree], capture_output=True, text=True, check=True).stdout.strip()
    line = subprocess.run([services, "env", run, os.path.join(tree, "wineprefix"), loader],
                          capture_output=True, text=True, check=True).stdout
    env = dict(os.environ)
    env.update(word.split("=", 1) for word in shlex.split(line)[1:])
    return env


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def bench_program(tree, env, name, *args):
    """Runs bench/NAME.exe under Wine; its NAME=VALUE output lines."""
    out = subprocess.run([env["WINELOADER"], os.path.join(tree, "bench", name + ".exe")] + list(args),
                         env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        raise RuntimeError("%s %s failed: %s %s" % (name, " ".join(args), out.stdout, out.stderr))
    return dict(line.split("=", 1) for line in out.stdout.split() if "=" in line)


class Printer:
    """The simulator's job folder: wait for the next job, read its report."""

    def __init__(self, run):
        self.jobs = os.path.join(run, "printer")

    def clear(self):
        for f in glob.glob(os.path.join(self.jobs, "job-*")):
            os.unlink(f)

    def wait_for_job(self, size, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            done = glob.glob(os.path.join(self.jobs, "job-*.done"))
            if done:
                report = dict(line.split("=", 1) for line in open(done[0]).read().splitlines())
                if int(report["bytes"]) != size or report["pjl"] != "yes":
                    raise RuntimeError("the simulator got %s bytes (pjl %s), expected %d"
                                       % (report["bytes"], report["pjl"], size))
                return report
            time.sleep(0.01)
        raise RuntimeError("no job reached the printer simulator within %d s" % timeout)


class Link:
    """tools/link.py from here to a printer's namespace, and the printer
    simulator there, its jobs in RUN/link/printer; both stopped on leaving."""

    def __init__(self, run, rate, delay, loss, seconds):
        self.run = os.path.join(run, "link")
        self.argv = [os.path.join(TOOLS, "link.py"), "--rate", rate, "--delay", str(delay), "--loss", str(loss),
                     "--seconds", str(seconds)]
        self.processes = []

    def __enter__(self):
        os.makedirs(self.run, exist_ok=True)
        with open(os.path.join(self.run, "link.log"), "a") as log:
            link = subprocess.Popen(self.argv, stdout=subprocess.PIPE, stderr=log, text=True)
        self.processes.append(link)
        try:
            where = dict(word.split("=", 1) for word in link.stdout.readline().split())
            if "netns" not in where:
                raise RuntimeError("tools/link.py did not start; see %s/link.log" % self.run)
            self.address = where["printer"]
            ready = os.path.join(self.run, "printer.ready")
            if os.path.exists(ready):
                os.unlink(ready)
            with open(os.path.join(self.run, "printer.log"), "a") as log:
                # Ended with this process, like the link, should it die
                # without stopping them.
                self.processes.append(subprocess.Popen(
                    ["setpriv", "--pdeathsig", "TERM", "nsenter", "--net=" + where["netns"], sys.executable,
                     os.path.join(TOOLS, "printer_sim.py"), "--host", self.address,
                     "--jobs", os.path.join(self.run, "printer"), "--ready-file", ready],
                    stdout=log, stderr=log))
            end = time.time() + 10
            while not os.path.exists(ready):
                if time.time() > end or self.processes[-1].poll() is not None:
                    raise RuntimeError("no printer simulator across the link; see %s" % self.run)
                time.sleep(0.05)
        except BaseException:
            self.__exit__()
            raise
        self.printer = Printer(self.run)
        return self

    def __exit__(self, *_):
        for process in reversed(self.processes):
            process.terminate()
            process.wait(10)
            if process.stdout:
                process.stdout.close()


class CupsLog:
    """CUPS's access log (microsecond times): when the daemon had the whole
    document of the latest job, i.e. when the request carrying it was done."""

    def __init__(self, run):
        self.path = os.path.join(run, "cups", "log", "access_log")
        self.offset = 0

    def skip_to_end(self):
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def document_received_at(self):
        with open(self.path) as f:
            f.seek(self.offset)
            lines = [l for l in f.read().splitlines() if " Send-Document " in l or " Print-Job " in l]
        if not lines:
            return None
        stamp = lines[-1].split("[", 1)[1].split("]", 1)[0]
        return datetime.datetime.strptime(stamp, "%d/%b/%Y:%H:%M:%S.%f %z").timestamp()


def delivery(printer, cups, size, start_and_values):
    """One timed delivery. start_and_values() sends and returns the start time
    and any further values; the result holds the milestones after the start:
    last byte, the printer's connection, and CUPS having the document."""
    printer.clear()
    cups.skip_to_end()
    start, values = start_and_values()
    report = printer.wait_for_job(size)
    last = float(report["last_byte_at"])
    accepted = float(report["accepted_at"])
    received = cups.document_received_at()
    return {
        "total": last - start,
        "connected": accepted - start,
        "at CUPS": received - start if received is not None else None,
        "values": values,
    }


def program_send(tree, env, mode, target):
    values = bench_program(tree, env, "send_click", windows_path(os.path.join(tree, "velmora-flash.exe")),
                           mode, target)
    return float(values["click_at"]), values


def floor_send(tree, env, name, target):
    values = bench_program(tree, env, name, target)
    start = min(float(v) for k, v in values.items() if k.endswith("_at"))
    return start, values


def command_send(argv, env, stdin_path=None):
    with open(stdin_path or os.devnull, "rb") as stdin:
        start = time.time()
        subprocess.run(argv, env=env, stdin=stdin, stdout=subprocess.DEVNULL, check=True, timeout=120)
    return start, {}


def startup(tree, env, program, caption, count=None):
    args = [windows_path(program), "startup", caption] + ([str(count)] if count is not None else [])
    return float(bench_program(tree, env, "send_click", *args)["startup_seconds"])


def listing(tree, env, count):
    values = bench_program(tree, env, "list_printers")
    if int(values["printers"]) != count:
        raise RuntimeError("the spooler lists %s printers, expected %d" % (values["printers"], count))
    return float(values["end_at"]) - float(values["load_at"])


def idle_peak(tree, env, program, caption=None):
    args = [windows_path(program), "idle"] + ([caption] if caption else [])
    return int(bench_program(tree, env, "send_click", *args).get("peak_working_set", 0))


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


def print_rows(rows):
    for name, samples in rows.items():
        totals = [s["total"] for s in samples]
        print("  %-18s %7.3f s   (runs: %s)" % (name, med(totals), ", ".join("%.3f" % t for t in totals)))


def print_ratio(rows, program, *others):
    total = med(s["total"] for s in rows[program])
    print("  %s: %s" % (program, ", ".join(
        "%.2f x %s" % (total / med(s["total"] for s in rows[o]), o) for o in others)))


def print_milestones(rows, names, milestones):
    print("    %-18s %s" % ("", "".join("%16s" % m for m in milestones)))
    for name in names:
        print("    %-18s %s" % (name, "".join("%13.1f ms" % (1000 * med(s[m] for s in rows[name]))
                                          for m in milestones)))


def print_calls(samples, calls):
    """Median time of each call of a floor client."""
    parts = []
    for (stamp, call), (following, _) in zip(calls, calls[1:]):
        spent = med(float(s["values"][following + "_at"]) - float(s["values"][stamp + "_at"]) for s in samples)
        parts.append("%s %.1f" % (call, 1000 * spent))
    print("    per call, ms: " + ", ".join(parts))


def startup_block(tree, env, runs, count, label):
    empty_dialog = os.path.join(tree, "bench", "empty_dialog.exe")
    program = os.path.join(tree, "velmora-flash.exe")
    # The first process after a change of queues may pay for the change:
    # one listing and one start go untimed.
    listing(tree, env, count)
    startup(tree, env, program, PROGRAM_CAPTION, count)
    times = {"empty dialog": [], "spooler's listing": [], "updater": []}
    for _ in range(runs):
        times["empty dialog"].append(startup(tree, env, empty_dialog, EMPTY_CAPTION))
        times["spooler's listing"].append(listing(tree, env, count))
        times["updater"].append(startup(tree, env, program, PROGRAM_CAPTION, count))
    m = {k: med(v) for k, v in times.items()}
    print("  %s:" % label)
    for k, v in times.items():
        print("    %-18s %7.3f s   (runs: %s)" % (k, m[k], ", ".join("%.3f" % t for t in v)))
    print("    updater / (empty dialog + listing): %.2f" % (m["updater"] / (m["empty dialog"] + m["spooler's listing"])))


def link_block(tree, env, run, runs, cups, image, size):
    """The network path's rows again over each of LINKS, with the ratios."""
    results = {}
    for label, rate, delay, loss in LINKS:
        # The link ends itself, should this be stuck: a minute a run, more
        # than the slowest program on the slowest link needs.
        with Link(run, rate, delay, loss, 120 + 60 * runs) as link:
            senders = {
                "program": lambda: program_send(tree, env, "net", link.address),
                "socket floor": lambda: floor_send(tree, env, "floor_socket", link.address),
                "nc": lambda: command_send(["nc", "-q0", link.address, "9100"], env, image),
            }
            rows = results[label] = {name: [] for name in senders}
            for i in range(runs):
                for name, send in senders.items():
                    rows[name].append(delivery(link.printer, cups, size, send))
        print("%s: %d runs done" % (label, runs), file=sys.stderr)

    print("Over emulated links (tools/link.py; rate, round trip, loss each way), the printer at %s across"
          " it; the same start to the last byte; median of %d interleaved runs each:" % (link.address, runs))
    print("  %-28s %9s %13s %9s %11s %14s" % ("link", "program", "socket floor", "nc", "program/nc",
                                              "program/floor"))
    for label, rows in results.items():
        m = {name: med(s["total"] for s in samples) for name, samples in rows.items()}
        print("  %-28s %7.3f s %11.3f s %7.3f s %11.2f %14.2f" % (
            label, m["program"], m["socket floor"], m["nc"], m["program"] / m["nc"],
            m["program"] / m["socket floor"]))
    print("  runs, s:")
    for label, rows in results.items():
        print("    %s: %s" % (label, "; ".join("%s %s" % (name, ", ".join("%.3f" % s["total"] for s in samples))
                                      for name, samples in rows.items())))


def main():
    only_links = "--links" in sys.argv
    args = [a for a in sys.argv[1:] if a != "--links"]
    tree, run = args[0], args[1]
    runs = int(args[2]) if len(args) > 2 else 5
    env = wine_env(tree, run)
    printer = Printer(run)
    cups = CupsLog(run)
    image = os.path.join(tree, "res", "firmware.bin")
    size = os.path.getsize(image)
    for tool in ("nc", "lp"):
        if not shutil.which(tool):
            sys.exit("bench: %s is missing" % tool)
    if only_links:
        link_block(tree, env, run, runs, cups, image, size)
        return

    rows = {name: [] for name in ("program, network", "socket floor", "nc",
                                  "program, spooler", "spooler floor", "lp")}
    senders = {
        "program, network": lambda: program_send(tree, env, "net", "127.0.0.1"),
        "socket floor": lambda: floor_send(tree, env, "floor_socket", "127.0.0.1"),
        "nc": lambda: command_send(["nc", "-q0", "127.0.0.1", "9100"], env, image),
        "program, spooler": lambda: program_send(tree, env, "local", QUEUE),
        "spooler floor": lambda: floor_send(tree, env, "floor_spooler", QUEUE),
        "lp": lambda: command_send(["lp", "-d", QUEUE, "-o", "raw", image], env),
    }
    for i in range(runs):
        # Interleaved, so that a slow moment of the machine hits all alike.
        for name, send in senders.items():
            rows[name].append(delivery(printer, cups, size, send))
        print("run %d of %d done" % (i + 1, runs), file=sys.stderr)

    print("Delivery of the %d-byte image, from the click (floors: their first call; commands: their"
          " start) to the last byte at the printer; median of %d interleaved runs each:" % (size, runs))
    print_rows(rows)
    print("Ratios of the medians:")
    print_ratio(rows, "program, network", "socket floor", "nc")
    print_ratio(rows, "program, spooler", "spooler floor", "lp")

    print("Where the time goes (medians after the same start):")
    print("  spooler path:")
    print_milestones(rows, ("program, spooler", "spooler floor", "lp"), ("at CUPS", "connected", "total"))
    print_calls(rows["spooler floor"], SPOOLER_CALLS)
    floor = rows["spooler floor"]
    after_call = [s["at CUPS"] - (float(s["values"]["enddoc_at"]) - float(s["values"]["open_at"])) for s in floor]
    call = [float(s["values"]["close_at"]) - float(s["values"]["enddoc_at"]) for s in floor]
    print("    EndDocPrinter: the document is at CUPS %.1f ms after the call begins; the call returns"
          " %.1f ms after that" % (1000 * med(after_call), 1000 * (med(call) - med(after_call))))
    print("  network path:")
    print_milestones(rows, ("program, network", "socket floor", "nc"), ("connected", "total"))
    print_calls(rows["socket floor"], SOCKET_CALLS)

    print("Start-up, process start to the dialog visible with its list filled; median of %d runs:" % runs)
    startup_block(tree, env, runs, STANDARD_COUNT, "standard queues (%d)" % STANDARD_COUNT)
    subprocess.run([SERVICES, "queues", run] + LONG_QUEUES, check=True)
    try:
        startup_block(tree, env, runs, len(LONG_QUEUES), "%d long-named queues" % len(LONG_QUEUES))
    finally:
        subprocess.run([SERVICES, "queues", run, "--standard"], check=True)

    empty = idle_peak(tree, env, os.path.join(tree, "bench", "empty_dialog.exe"), EMPTY_CAPTION)
    idle = idle_peak(tree, env, os.path.join(tree, "velmora-flash.exe"))
    peaks = [int(s["values"].get("peak_working_set", 0)) for s in rows["program, network"] + rows["program, spooler"]]
    mib = 1024.0 * 1024.0
    print("Peak working set under Wine:")
    print("  empty dialog:                %7.1f MiB" % (empty / mib))
    print("  updater, idle:               %7.1f MiB" % (idle / mib))
    print("  updater, after a send:       %7.1f MiB (median)" % (statistics.median(peaks) / mib))
    print("  image size:                  %7.1f MiB" % (size / mib))
    link_block(tree, env, run, runs, cups, image, size)


if __name__ == "__main__":
    main()
