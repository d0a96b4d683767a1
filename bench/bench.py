#!/usr/bin/env python3
"""Measures login-history against its floors and its peers.

Usage: python3 bench/bench.py BUILD_DIR [--runs N] [--quick] [--out FILE]

Three tables, from logs that BUILD_DIR/make_log writes to a temporary
directory, each put at /var/log/wtmp by a bind mount inside one private
mount namespace (needs root, or an unprivileged user namespace):

1. Instructions per record, counted by valgrind's callgrind on 100,000
   records (a run on an empty log subtracted), for login-history and for
   its floor: read_floor (reading the log record by record through stdio,
   looking at nothing) where nothing matches, report_floor (that, plus a
   user comparison, one localtime_r and one 60-byte fwrite per match)
   where records match. Instructions do not move with the machine's noise:
   these are the figures to steer by.
2. Wall and CPU time on a million records: medians of --runs runs, the log
   made freshly cached right before every run (its pages dropped with
   posix_fadvise, then read once, then checked to be wholly resident), as
   ratios to dd reading the same log and as CPU milliseconds above dd's.
3. Scaling from 10 thousand to 4 million records (1% match), with peak
   memory, heap allocations, and the peers that read the same log
   (utmpdump, who FILE, last -f FILE USER) on the logs where they finish.

Writes the tables, with the machine they ran on, to --out (default
bench/RESULTS.md) and, with gnuplot, time against log size to
bench/scaling.png beside it.
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
CALLGRIND_RECORDS = 100_000
WALL_RECORDS = 1_000_000
WTMP = "/var/log/wtmp"

# (name, match every, seconds between records, time zones)
CASES = [
    ("no match", 0, 7, ["UTC"]),
    ("1% match", 100, 7, ["UTC", "America/New_York"]),
    ("all match, 1 s apart", 1, 1, ["UTC", "America/New_York"]),
    ("all match, 3600 s apart", 1, 3600, ["UTC", "America/New_York"]),
]


def make_log(build, scratch, name, records, match_every, step):
    directory = os.path.join(scratch, re.sub(r"[^a-z0-9]+", "-", name.lower()))
    os.makedirs(directory, exist_ok=True)
    subprocess.run([os.path.join(build, "make_log"), str(records), str(match_every), str(step),
                    os.path.join(directory, "wtmp")], check=True)
    return directory


def on_var_log(directory):
    subprocess.run(["mount", "--bind", directory, "/var/log"], check=True)


def off_var_log():
    subprocess.run(["umount", "/var/log"], check=True)


def instructions(argv, tz):
    """Instructions that argv executes, as callgrind counts them."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, TZ=tz))
    found = re.search(r"Collected : (\d+)", done.stderr)
    if not found:
        sys.exit(f"callgrind counted nothing for {argv}: {done.stderr[-500:]}")
    return int(found.group(1))


def freshly_cached(path):
    """Drops the file's pages, reads it once, and checks every page is resident:
    a log that has sat in the page cache for a while reads at half the speed of
    one just read, which would move every ratio to dd. Tries three times."""
    for _ in range(3):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            while os.read(fd, 4 * MIB):
                pass
        finally:
            os.close(fd)
        resident, size = subprocess.run(
            ["fincore", "--bytes", "--noheadings", "--raw", "--output", "RES,SIZE", path],
            check=True, capture_output=True, text=True).stdout.split()
        if int(resident) >= int(size) - 4096:
            return
    sys.exit(f"{path}: only {resident} of {size} bytes resident after reading it")


def timed(argv, tz="UTC"):
    """Wall seconds and CPU seconds (user + system) of one run, output to /dev/null."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=null, stderr=null, env=dict(os.environ, TZ=tz))
        _, _, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
    child.returncode = 0
    return wall, usage.ru_utime + usage.ru_stime


def peak_rss(argv):
    """Peak resident memory of argv in bytes, from /usr/bin/time, whose own small
    child execs argv (a child of this Python process would count its memory)."""
    with tempfile.NamedTemporaryFile("r") as report, open(os.devnull, "wb") as null:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdout=null, stderr=null, check=False)
        return int(report.read().split()[-1]) * 1024


def heap_allocations(argv):
    done = subprocess.run(["valgrind", "--tool=memcheck"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    found = re.search(r"total heap usage: ([\d,]+) allocs", done.stderr)
    return int(found.group(1).replace(",", "")) if found else None


def medians(commands, runs, tz):
    """Median wall and CPU seconds of each command, runs interleaved so that all
    meet the same state of a shared machine, the log freshly cached before each."""
    walls = [[] for _ in commands]
    cpus = [[] for _ in commands]
    for _ in range(runs):
        for index, argv in enumerate(commands):
            freshly_cached(WTMP)
            wall, cpu = timed(argv, tz)
            walls[index].append(wall)
            cpus[index].append(cpu)
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(walls, cpus)]


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"


def instruction_table(build, scratch):
    binary = os.path.join(build, "login-history")
    read_floor = os.path.join(build, "read_floor")
    report_floor = os.path.join(build, "report_floor")
    empty = os.path.join(scratch, "empty")
    os.makedirs(empty)
    open(os.path.join(empty, "wtmp"), "wb").close()
    baseline = {}

    def per_record(directory, argv, tz):
        if (argv[0], tz) not in baseline:
            on_var_log(empty)
            try:
                baseline[(argv[0], tz)] = instructions(argv, tz)
            finally:
                off_var_log()
        on_var_log(directory)
        try:
            return (instructions(argv, tz) - baseline[(argv[0], tz)]) / CALLGRIND_RECORDS
        finally:
            off_var_log()

    rows = ["| case | TZ | login-history | floor | instructions of the floor | ratio |",
            "|---|---|---|---|---|---|"]
    for name, match_every, step, zones in CASES:
        directory = make_log(build, scratch, "cg " + name, CALLGRIND_RECORDS, match_every, step)
        floor, floor_name = ((read_floor, "read_floor") if match_every == 0
                             else (report_floor, "report_floor"))
        for tz in zones:
            ours = per_record(directory, [binary, "bench"], tz)
            least = per_record(directory, [floor, "bench"], tz)
            rows.append(f"| {name} | {tz} | {ours:.0f} | {floor_name} | {least:.0f} | "
                        f"{ours / least:.2f} |")
            print(rows[-1], flush=True)
        shutil.rmtree(directory)
    return rows


def wall_table(build, scratch, runs):
    binary = os.path.join(build, "login-history")
    rows = ["| case | TZ | command | median wall | ratio to dd | median CPU | CPU above dd |",
            "|---|---|---|---|---|---|---|"]
    for name, match_every, step, zones in CASES:
        directory = make_log(build, scratch, "wall " + name, WALL_RECORDS, match_every, step)
        floor = os.path.join(build, "read_floor" if match_every == 0 else "report_floor")
        commands = [("dd bs=1M", ["dd", f"if={WTMP}", "of=/dev/null", "bs=1M"]),
                    ("login-history", [binary, "bench"]),
                    (os.path.basename(floor), [floor, "bench"])]
        on_var_log(directory)
        try:
            for tz in zones:
                results = medians([argv for _, argv in commands], runs, tz)
                dd_wall, dd_cpu = results[0]
                for (label, _), (wall, cpu) in zip(commands, results):
                    rows.append(f"| {name} | {tz} | {label} | {wall * 1000:.1f} ms | "
                                f"{wall / dd_wall:.2f}x | {cpu * 1000:.1f} ms | "
                                f"{(cpu - dd_cpu) * 1000:+.1f} ms |")
                    print(rows[-1], flush=True)
        finally:
            off_var_log()
        shutil.rmtree(directory)
    return rows


def peers(records):
    """The other tools that read the same log, where each finishes in reasonable
    time: who takes seconds and hundreds of MiB on a million records, and last
    grows faster than quadratically."""
    chosen = [("utmpdump", ["utmpdump", WTMP])]
    if records <= 1_000_000:
        chosen.append(("who FILE", ["who", WTMP]))
    if records <= 40_000:
        chosen.append(("last -f FILE bench", ["last", "-f", WTMP, "bench"]))
    return chosen


def scaling_table(build, scratch, runs, sizes):
    binary = os.path.join(build, "login-history")
    rows = ["| records | command | median wall | ratio to dd | peak RSS | heap allocations |",
            "|---|---|---|---|---|---|"]
    points = {}
    for records in sizes:
        directory = make_log(build, scratch, f"scaling {records}", records, 100, 7)
        on_var_log(directory)
        try:
            commands = [("dd bs=1M", ["dd", f"if={WTMP}", "of=/dev/null", "bs=1M"]),
                        ("login-history", [binary, "bench"])]
            commands += [(label, argv) for label, argv in peers(records)]
            # The peers are slow: three runs each at most.
            results = medians([argv for _, argv in commands[:2]], runs, "UTC")
            results += medians([argv for _, argv in commands[2:]], min(runs, 3), "UTC")
            for (label, argv), (wall, _) in zip(commands, results):
                allocations = ""
                if label == "login-history" and records in (sizes[0], sizes[-1]):
                    allocations = str(heap_allocations(argv))
                rows.append(f"| {records:,} | {label} | {wall * 1000:.1f} ms | "
                            f"{wall / results[0][0]:.2f}x | {peak_rss(argv) / MIB:.2f} MiB | "
                            f"{allocations} |")
                print(rows[-1], flush=True)
                points.setdefault(label.split()[0], []).append((records, wall))
        finally:
            off_var_log()
        shutil.rmtree(directory)
    return rows, points


def plot(points, png):
    """Time against log size, log-log, for login-history, dd and each peer."""
    with tempfile.TemporaryDirectory() as scratch:
        commands = []
        for index, (label, series) in enumerate(sorted(points.items())):
            data = os.path.join(scratch, f"{index}.dat")
            with open(data, "w") as out:
                for records, seconds in sorted(series):
                    out.write(f"{records} {seconds}\n")
            commands.append(f"'{data}' using 1:2 with linespoints title '{label}'")
        script = (f"set terminal png size 800,500; set output '{png}'; set logscale xy; "
                  "set xlabel 'records in the log (1% match)'; set ylabel 'median seconds'; "
                  "set key top left; plot " + ", ".join(commands))
        subprocess.run(["gnuplot", "-e", script], check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--quick", action="store_true",
                        help="instructions only, printed, RESULTS.md left as it is")
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
    scratch = tempfile.mkdtemp(prefix="login-history-bench.", dir="/var/tmp")
    try:
        print("== instructions per record (callgrind)", flush=True)
        instruction_rows = instruction_table(build, scratch)
        if args.quick:
            return
        print("== a million records, freshly cached", flush=True)
        wall_rows = wall_table(build, scratch, args.runs)
        print("== scaling, 1% match", flush=True)
        scaling_rows, points = scaling_table(build, scratch, args.runs,
                                             [10_000, 20_000, 40_000, 1_000_000, 4_000_000])
    finally:
        shutil.rmtree(scratch)

    text = "\n".join([
        "# A recent benchmark run", "",
        f"Made by `python3 bench/bench.py build` on {datetime.date.today().isoformat()}, "
        f"on {machine()}.", "",
        "## Instructions per record", "",
        f"valgrind's callgrind on {CALLGRIND_RECORDS:,} records, a run on an empty log "
        "subtracted. read_floor reads the log record by record through stdio and looks at "
        "nothing; report_floor adds a user comparison, and for each match one localtime_r "
        "and one 60-byte fwrite. These counts do not move with the machine's noise.", "",
        *instruction_rows, "",
        "## A million records, freshly cached", "",
        f"Medians of {args.runs} runs, the commands interleaved, the log's pages dropped and "
        "read again right before every run; output to /dev/null. CPU is user plus system "
        "time. Wall-clock ratios on a shared machine move by a tenth or more between runs; "
        "the CPU time above dd moves less.", "",
        *wall_rows, "",
        "## Scaling, 1% match", "",
        f"Medians of {args.runs} runs ({min(args.runs, 3)} for the peers), freshly cached "
        "as above. Peak RSS from /usr/bin/time; heap allocations counted by valgrind.", "",
        *scaling_rows, ""])
    with open(args.out, "w") as out:
        out.write(text)
    if shutil.which("gnuplot"):
        plot(points, os.path.join(os.path.dirname(os.path.abspath(args.out)), "scaling.png"))
        with open(args.out, "a") as out:
            out.write("\n![time against log size](scaling.png)\n")
    print(text)


if __name__ == "__main__":
    main()
