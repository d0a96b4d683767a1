#!/usr/bin/env python3
"""Measures login-history, as three builds make it, against its floors and peers.

Usage: python3 bench/bench.py [--quick] [--runs N] [--out FILE]
HACKING.md tells what it measures; it writes --out (default bench/RESULTS.md).
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

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
WTMP = "/var/log/wtmp"
DD = ("dd bs=1M", ["dd", f"if={WTMP}", "of=/dev/null", "bs=1M"])
CALLGRIND_RECORDS = 100_000
ZONES = ["UTC", "America/New_York"]
# (name, match every, seconds between records, time zones)
CASES = [("no match", 0, 7, ["UTC"]), ("1% match", 100, 7, ZONES),
         ("all match, 1 s apart", 1, 1, ZONES), ("all match, 3600 s apart", 1, 3600, ZONES)]
SCALING = [10_000, 20_000, 40_000, 1_000_000, 4_000_000]


def output(argv, **options):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **options).stdout


def build_all():
    """The three builds, as {label: directory}; the first also makes the floors."""
    flags = {kind: output(["dpkg-buildflags", "--get", kind], cwd=SOURCE).strip()
             for kind in ("CPPFLAGS", "CXXFLAGS", "LDFLAGS")}
    debian = ["-DCMAKE_BUILD_TYPE=None", f"-DCMAKE_CXX_FLAGS={flags['CPPFLAGS']} {flags['CXXFLAGS']}",
              f"-DCMAKE_EXE_LINKER_FLAGS={flags['LDFLAGS']}"]
    builds = [("GCC, Release (-O3, LTO)", "gcc-release", "g++", ["-DCMAKE_BUILD_TYPE=Release"]),
              ("GCC, Debian's flags (-O2, no LTO)", "gcc-debian", "g++", debian),
              ("clang, Release", "clang-release", "clang++", ["-DCMAKE_BUILD_TYPE=Release"])]
    directories = {}
    for label, name, compiler, options in builds:
        directory = os.path.join(SOURCE, "build-bench", name)
        print(f"== building: {label}", flush=True)
        output(["cmake", "-S", SOURCE, "-B", directory, "-DBUILD_TESTING=OFF"] + options,
               env=dict(os.environ, CXX=compiler))
        extra = [] if directories else ["make_log", "read_floor", "report_floor"]
        output(["cmake", "--build", directory, "--parallel", "--target", "login-history"] + extra)
        directories[label] = directory
    return directories


def valgrind(options, pattern, argv, tz="UTC"):
    """The count that valgrind, run with options, reports for argv."""
    done = subprocess.run(["valgrind"] + options + argv, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, env=dict(os.environ, TZ=tz))
    found = re.search(pattern, done.stderr)
    if not found:
        sys.exit(f"valgrind counted nothing for {argv}: {done.stderr[-500:]}")
    return int(found.group(1).replace(",", ""))


def peak_rss(argv):
    """Peak resident memory of argv in MiB, from /usr/bin/time, whose own small
    child execs argv (a child of this Python process would count its memory)."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        return int(report.read().split()[-1]) / 1024


def freshly_cached(path):
    """Drops the file's pages, reads it once, and checks that every page is resident."""
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    while os.read(fd, 1 << 22):
        pass
    os.close(fd)
    resident, size = output(["fincore", "--bytes", "--noheadings", "--raw", "--output", "RES,SIZE",
                             path]).split()
    if int(resident) < int(size) - 4096:
        sys.exit(f"{path}: only {resident} of {size} bytes resident after reading it")


def header(*names):
    return ["| " + " | ".join(names) + " |", "|---" * len(names) + "|"]


TIMES = ("median wall", "ratio to dd", "median CPU", "CPU above dd", "peak RSS")


def timing_rows(cells, commands, tz="UTC"):
    """A row for each (label, argv, runs) of commands, dd's first: median wall and
    CPU time, runs interleaved so that all meet the same state of a shared
    machine, and peak memory."""
    walls, cpus = {}, {}
    for run in range(max(runs for _, _, runs in commands)):
        for label, argv, runs in commands:
            if run < runs:
                freshly_cached(WTMP)
                start = time.perf_counter()
                child = subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, env=dict(os.environ, TZ=tz))
                usage = os.wait4(child.pid, 0)[2]
                walls.setdefault(label, []).append(time.perf_counter() - start)
                cpus.setdefault(label, []).append(usage.ru_utime + usage.ru_stime)
    wall = {label: statistics.median(times) for label, times in walls.items()}
    cpu = {label: statistics.median(times) for label, times in cpus.items()}
    dd = commands[0][0]
    rows = [f"| {cells} | {label} | {wall[label] * 1000:.1f} ms | {wall[label] / wall[dd]:.2f}x | "
            f"{cpu[label] * 1000:.1f} ms | {(cpu[label] - cpu[dd]) * 1000:+.1f} ms | "
            f"{peak_rss(argv):.2f} MiB |" for label, argv, _ in commands]
    print("\n".join(rows), flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--quick", action="store_true",
                        help="instructions and memory only, printed; RESULTS.md left as it is")
    parser.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    args = parser.parse_args()
    if missing := [p for t, p in [("valgrind",) * 2, ("clang++", "clang"), ("dpkg-buildflags", "dpkg-dev"),
                   ("/usr/bin/time", "time"), ("fincore", "util-linux-extra")] if not shutil.which(t)]:
        sys.exit("bench: needs Debian's " + ", ".join(missing))
    if "LOGIN_HISTORY_BENCH_LOG" not in os.environ:  # run again, inside tools/with-log
        scratch = tempfile.mkdtemp(prefix="login-history-bench.", dir="/var/tmp")
        try:
            done = subprocess.run([os.path.join(SOURCE, "tools", "with-log"), scratch,
                                   sys.executable, os.path.abspath(__file__)] + sys.argv[1:],
                                  env=dict(os.environ, LOGIN_HISTORY_BENCH_LOG=scratch))
        finally:
            shutil.rmtree(scratch)
        sys.exit(done.returncode)

    directories = build_all()
    reference = next(iter(directories.values()))
    programs = {label: [os.path.join(d, "login-history"), "bench"]
                for label, d in directories.items()}
    floors = {name: [os.path.join(reference, name), "bench"]
              for name in ("read_floor", "report_floor")}

    def make_log(name, records, match_every=100, step=7):  # at /var/log/wtmp
        print(f"-- {name}: {records:,} records", flush=True)
        output([os.path.join(reference, "make_log"), str(records), str(match_every), str(step),
                WTMP])

    def instructions(argv, tz):
        return valgrind(["--tool=callgrind", "--callgrind-out-file=/dev/null"],
                        r"Collected : (\d+)", argv, tz)

    def per_record(argv, tz):
        return (instructions(argv, tz) - empty[argv[0], tz]) / CALLGRIND_RECORDS

    print("== instructions per record (callgrind), and memory", flush=True)
    make_log("empty", 0)
    empty = {(argv[0], tz): instructions(argv, tz)
             for argv in [*programs.values(), *floors.values()] for tz in ZONES}
    in_utc = {}  # (case, build): instructions per record and ratio to the floor
    rows = header("case", "TZ", "floor", *programs)
    for name, match_every, step, zones in CASES:
        floor = "read_floor" if match_every == 0 else "report_floor"
        make_log(name, CALLGRIND_RECORDS, match_every, step)
        for tz in zones:
            least = per_record(floors[floor], tz)
            cells = []
            for label, argv in programs.items():
                ours = per_record(argv, tz)
                cells.append(f"{ours:.0f} = {ours / least:.2f} × {floor}")
                if tz == "UTC":
                    in_utc[name, label] = f"{ours:.0f} = {ours / least:.3f}"
            rows.append(f"| {name} | {tz} | {floor} {least:.0f} | " + " | ".join(cells) + " |")
            print(rows[-1], flush=True)
    builds = header("build", "no match (× read_floor)", "all match, UTC (× report_floor)", "peak RSS, 1M records")
    make_log("memory", 1_000_000)
    for label, argv in programs.items():
        builds.append(f"| {label} | {in_utc['no match', label]} | "
                      f"{in_utc['all match, 1 s apart', label]} | {peak_rss(argv):.1f} MiB |")
        print(builds[-1], flush=True)
    if args.quick:
        return

    print("== a million records, freshly cached", flush=True)
    wall_rows = header("case", "TZ", "command", *TIMES)
    for name, match_every, step, zones in CASES:
        floor = "read_floor" if match_every == 0 else "report_floor"
        commands = [(label, argv, args.runs)
                    for label, argv in [DD, *programs.items(), (floor, floors[floor])]]
        make_log(name, 1_000_000, match_every, step)
        for tz in zones:
            wall_rows += timing_rows(f"{name} | {tz}", commands, tz)

    print("== scaling, 1% match, the Release build", flush=True)
    release = next(iter(programs.values()))
    scaling_rows = header("records", "command", *TIMES)
    for records in SCALING:
        make_log(f"scaling {records}", records)  # first: the peers are tried on it
        peers = [("utmpdump", ["utmpdump", WTMP])]
        if records <= 1_000_000:  # who takes seconds and hundreds of MiB on a million
            peers.append(("who", ["who", WTMP]))
        if records <= 40_000:  # last grows faster than quadratically
            peers.append(("last", ["last", "-f", WTMP, "bench"]))
        commands = [(label, argv, args.runs) for label, argv in [DD, ("login-history", release)]]
        commands += [(label, argv, min(args.runs, 3)) for label, argv in peers  # those that read it
                     if shutil.which(argv[0]) and not subprocess.run(argv, capture_output=True).returncode]
        scaling_rows += timing_rows(f"{records:,}", commands)
        if records in (SCALING[0], SCALING[-1]):
            allocations = valgrind(["--tool=memcheck"], r"total heap usage: ([\d,]+) allocs",
                                   release)
            scaling_rows.append(f"| {records:,} | login-history: {allocations:,} heap "
                                "allocations ||||||")

    with open("/proc/cpuinfo") as info:
        model = re.search(r"model name\s*: (.*)", info.read())
    text = "\n".join([
        "# A recent benchmark run", "",
        f"`python3 bench/bench.py` on {datetime.date.today().isoformat()}, on {model and model[1]}, "
        f"{os.cpu_count()} cores, Linux {platform.release()}. "
        "What each table measures, and how: HACKING.md, on the benchmark.", "",
        "## The three builds: instructions per record against the floors, and memory", "",
        *builds, "", "## Instructions per record, every case", "", *rows, "",
        f"## A million records, freshly cached (medians of {args.runs} runs)", "", *wall_rows, "",
        "## Scaling, 1% match, the Release build", "", *scaling_rows, ""])
    with open(args.out, "w") as out:
        out.write(text)
    print(text)


if __name__ == "__main__":
    main()
