#!/usr/bin/env python3
"""Times login-history against the raw read limit and its peers.

Usage: python3 bench/bench.py BUILD_DIR [--runs N] [--quick] [--out FILE]

Generates login logs with BUILD_DIR/make_log in a temporary directory, then,
inside one private mount namespace, bind-mounts each log's directory over
/var/log and times every command on /var/log/wtmp there: dd (the raw read
limit), login-history, utmpdump, who and last. Prints one table of medians,
ratios to dd of the same log and peak resident memory, and writes it, with
the machine it ran on, to --out (default bench/RESULTS.md). Needs root, or an
unprivileged user namespace.
"""
import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024


def run_once(argv):
    """Seconds that argv takes with its output to /dev/null."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        subprocess.run(argv, stdout=null, stderr=null, check=False)
        return time.perf_counter() - start


def peak_rss(argv):
    """Peak resident memory of argv in bytes. Taken by /usr/bin/time, whose own
    small child is what execs argv: a child forked from this Python process
    would count Python's memory as its own."""
    with tempfile.NamedTemporaryFile("r") as report, open(os.devnull, "wb") as null:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdout=null, stderr=null, check=False)
        return int(report.read().split()[-1]) * 1024


def measure(argv, runs):
    """Median time over `runs` runs after one warm-up, and the peak RSS."""
    run_once(argv)
    times = [run_once(argv) for _ in range(runs)]
    return statistics.median(times), peak_rss(argv)


def measure_pair(first, second, runs):
    """Like measure for two commands, their runs alternating so that both
    meet the same state of a shared, noisy machine."""
    run_once(first)
    run_once(second)
    times = ([], [])
    for _ in range(runs):
        times[0].append(run_once(first))
        times[1].append(run_once(second))
    return ((statistics.median(times[0]), peak_rss(first)),
            (statistics.median(times[1]), peak_rss(second)))


def heap_allocations(binary, user):
    """Number of heap allocations valgrind counts over one run on /var/log/wtmp."""
    done = subprocess.run(["valgrind", "--tool=memcheck", binary, user],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    found = re.search(r"total heap usage: ([\d,]+) allocs", done.stderr)
    return int(found.group(1).replace(",", "")) if found else None


def peers(name, records, runs):
    """The other tools that read the same log, on the logs where each
    finishes in reasonable time: who takes seconds and hundreds of MiB on a
    million records, and last grows faster than quadratically."""
    wtmp = "/var/log/wtmp"
    chosen = [("utmpdump", ["utmpdump", wtmp], min(runs, 3))]
    if records <= 1_000_000 and "1% match" in name:
        chosen.append(("who FILE", ["who", wtmp], 3 if records < 1_000_000 else 1))
    if records <= 40_000:
        chosen.append(("last -f FILE bench", ["last", "-f", wtmp, "bench"], 3))
    return chosen


def on_var_log(directory):
    subprocess.run(["mount", "--bind", directory, "/var/log"], check=True)


def off_var_log():
    subprocess.run(["umount", "/var/log"], check=True)


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="only dd and login-history on 1M")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if not args.inside:
        wrap = ["unshare", "--mount", "--propagation", "private"]
        if os.geteuid() != 0:
            wrap = ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"]
        os.execvp(wrap[0], wrap + [sys.executable, os.path.abspath(__file__), "--inside"]
                  + sys.argv[1:])

    build = os.path.abspath(args.build)
    binary = os.path.join(build, "login-history")
    make_log = os.path.join(build, "make_log")
    scratch = tempfile.mkdtemp(prefix="login-history-bench.")
    logs = {}

    def log(name, records, match_every):
        directory = os.path.join(scratch, name)
        os.mkdir(directory)
        subprocess.run([make_log, str(records), str(match_every),
                        os.path.join(directory, "wtmp")], check=True)
        logs[name] = (directory, records)

    log("1M, no match", 1_000_000, 0)
    log("1M, 1% match", 1_000_000, 100)
    log("1M, all match", 1_000_000, 1)
    if not args.quick:
        log("4M, 1% match", 4_000_000, 100)
        for records in (10_000, 20_000, 40_000):
            log(f"{records // 1000}k, 1% match", records, 100)
        log("1k, 1% match", 1_000, 100)  # for the heap allocation count only
    os.sync()  # no writeback of the new logs while they are timed

    rows = []  # (log, command, seconds, ratio to dd, peak RSS)
    try:
        for name, (directory, records) in logs.items():
            if records < 1_000_000 and args.quick:
                continue
            on_var_log(directory)
            try:
                if name.startswith("1k"):
                    allocations = heap_allocations(binary, "bench")
                    rows.append((name, "login-history: heap allocations (valgrind)", allocations, None, None))
                    continue
                (dd, dd_peak), ours = measure_pair(
                    ["dd", "if=/var/log/wtmp", "of=/dev/null", "bs=1M"], [binary, "bench"],
                    args.runs)
                results = [("dd bs=1M (raw read)", (dd, dd_peak)), ("login-history bench", ours)]
                if not args.quick:
                    results += [(label, measure(argv, runs))
                                for label, argv, runs in peers(name, records, args.runs)]
                for label, (seconds, peak) in results:
                    rows.append((name, label, seconds, seconds / dd, peak))
                    print(f"{name:15} {label:22} {seconds:9.4f} s {seconds / dd:8.2f}x "
                          f"{peak / MIB:7.2f} MiB", flush=True)
                if not args.quick and name == "1M, 1% match":
                    allocations = heap_allocations(binary, "bench")
                    rows.append((name, "login-history: heap allocations (valgrind)", allocations, None, None))
            finally:
                off_var_log()
    finally:
        shutil.rmtree(scratch)

    lines = [f"Run {datetime.date.today().isoformat()} on {machine()}.",
             f"Medians of {args.runs} runs (3 for the peers, 1 for who on 1M records), "
             "each after a warm-up run, all output to /dev/null; ratios are to dd over the "
             "same log in the same run, dd and login-history runs alternating. Peak RSS from /usr/bin/time; heap allocations "
             "counted by valgrind.", "",
             "| log | command | median | ratio to dd | peak RSS |", "|---|---|---|---|---|"]
    for name, label, seconds, ratio, peak in rows:
        if ratio is None:
            lines.append(f"| {name} | {label} | {seconds} allocations | | |")
        else:
            lines.append(f"| {name} | {label} | {seconds:.4f} s | {ratio:.2f}x | {peak / MIB:.2f} MiB |")
    table = "\n".join(lines) + "\n"
    print()
    print(table)
    if args.quick:
        return
    with open(args.out, "w") as out:
        out.write("# A recent benchmark run\n\nMade by `python3 bench/bench.py build`.\n\n" + table)
    if shutil.which("gnuplot"):
        plot(rows, logs, os.path.join(os.path.dirname(args.out), "scaling.png"))
        with open(args.out, "a") as out:
            out.write("\n![time against log size](scaling.png)\n")


def plot(rows, logs, png):
    """Time against log size, log-log, for login-history and each peer."""
    series = {}
    for name, label, seconds, ratio, _ in rows:
        if ratio is not None and "1% match" in name:
            series.setdefault(label.split()[0], []).append((logs[name][1], seconds))
    with tempfile.TemporaryDirectory() as scratch:
        commands = []
        for index, (label, points) in enumerate(sorted(series.items())):
            data = os.path.join(scratch, f"{index}.dat")
            with open(data, "w") as out:
                for records, seconds in sorted(points):
                    out.write(f"{records} {seconds}\n")
            commands.append(f"'{data}' using 1:2 with linespoints title '{label}'")
        script = (f"set terminal png size 800,500; set output '{png}'; set logscale xy; "
                  "set xlabel 'records in the log (1% match)'; set ylabel 'median seconds'; "
                  "set key top left; plot " + ", ".join(commands))
        subprocess.run(["gnuplot", "-e", script], check=True)


if __name__ == "__main__":
    main()
