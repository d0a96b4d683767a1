#!/usr/bin/env python3
"""Measures login-history, as three builds make it, against its floors and peers.

Usage: python3 bench/bench.py [--quick] [--runs N] [--out FILE]

Builds the program three ways under build-bench/: CMake's Release build with
GCC (-O3, link-time optimisation), the build a distribution makes (build type
None, -O2, no LTO, the flags of dpkg-buildflags) and CMake's Release build
with clang. The floors and the log generator come from the first, so that
every ratio has the same denominator: read_floor reads the log record by
record through stdio and looks at nothing; report_floor adds a user
comparison and, per match, one localtime_r and one 60-byte fwrite.

Everything runs under tools/with-log, with a scratch directory as /var/log
(needs root, or an unprivileged user namespace); each log is made by
make_log at /var/log/wtmp. The tables:

1. Instructions per record, counted by valgrind's callgrind on 100,000
   records, an empty log's count subtracted, with peak memory. These do not
   move with the machine's noise: steer by them. --quick stops here.
2. Wall and CPU time on a million records: medians of --runs runs, commands
   interleaved, the log's pages dropped and read again right before every
   run, as ratios to dd reading the same log.
3. Scaling from 10 thousand to 4 million records (1% match), with peak
   memory, heap allocations and the peers that read the same log.

Writes the tables to --out (default bench/RESULTS.md) and, with gnuplot,
time against log size to scaling.png beside it.
"""
import argparse
import contextlib
import datetime
import functools
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


def dpkg_flags(kind):
    return subprocess.run(["dpkg-buildflags", "--get", kind], cwd=SOURCE, check=True,
                          capture_output=True, text=True).stdout.strip()


def build_all():
    """The three builds, as {label: directory}; the first also makes the floors."""
    debian_flags = f"{dpkg_flags('CPPFLAGS')} {dpkg_flags('CXXFLAGS')}"
    builds = [
        ("GCC, Release (-O3, LTO)", "gcc-release", {}, ["-DCMAKE_BUILD_TYPE=Release"]),
        ("GCC, Debian's flags (-O2, no LTO)", "gcc-debian", {},
         ["-DCMAKE_BUILD_TYPE=None", f"-DCMAKE_CXX_FLAGS={debian_flags}",
          f"-DCMAKE_EXE_LINKER_FLAGS={dpkg_flags('LDFLAGS')}"]),
        ("clang, Release", "clang-release", {"CXX": "clang++"}, ["-DCMAKE_BUILD_TYPE=Release"]),
    ]
    directories = {}
    for label, name, env, options in builds:
        directory = os.path.join(SOURCE, "build-bench", name)
        print(f"== building: {label}", flush=True)
        subprocess.run(["cmake", "-S", SOURCE, "-B", directory, "-DBUILD_TESTING=OFF"] + options,
                       env=dict(os.environ, **env), check=True, stdout=subprocess.DEVNULL)
        targets = ["login-history"] + (["make_log", "read_floor", "report_floor"]
                                       if not directories else [])
        subprocess.run(["cmake", "--build", directory, "--parallel", "--target"] + targets,
                       check=True, stdout=subprocess.DEVNULL)
        directories[label] = directory
    return directories


@contextlib.contextmanager
def log_at_var_log(make_log, name, records, match_every, step):
    """A log made by make_log at /var/log/wtmp, which is the scratch directory
    that tools/with-log put there, while the block runs."""
    print(f"-- {name}: {records:,} records", flush=True)
    subprocess.run([make_log, str(records), str(match_every), str(step), WTMP], check=True)
    try:
        yield
    finally:
        os.remove(WTMP)


def instructions(argv, tz):
    """Instructions that argv executes, as callgrind counts them."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, TZ=tz))
    found = re.search(r"Collected : (\d+)", done.stderr)
    if not found:
        sys.exit(f"callgrind counted nothing for {argv}: {done.stderr[-500:]}")
    return int(found.group(1))


def peak_rss(argv):
    """Peak resident memory of argv in MiB, from /usr/bin/time, whose own small
    child execs argv (a child of this Python process would count its memory)."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        return int(report.read().split()[-1]) / 1024


def heap_allocations(argv):
    done = subprocess.run(["valgrind", "--tool=memcheck"] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    found = re.search(r"total heap usage: ([\d,]+) allocs", done.stderr)
    return int(found.group(1).replace(",", "")) if found else None


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


def medians(commands, runs, tz):
    """Median wall and CPU seconds of each argv, runs interleaved so that all
    meet the same state of a shared machine, the log freshly cached before each."""
    walls = [[] for _ in commands]
    cpus = [[] for _ in commands]
    for _ in range(runs):
        for index, argv in enumerate(commands):
            freshly_cached(WTMP)
            start = time.perf_counter()
            child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, TZ=tz))
            _, _, usage = os.wait4(child.pid, 0)
            walls[index].append(time.perf_counter() - start)
            cpus[index].append(usage.ru_utime + usage.ru_stime)
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(walls, cpus)]


def instruction_tables(programs, floors, log):
    """Table 1, and the summary of each build: instructions per record in the
    no-match and the all-match (UTC) case, as ratios to the floors, and peak memory."""
    labels = list(programs)
    rows = ["| case | TZ | floor | " + " | ".join(labels) + " |",
            "|---|---|---|" + "---|" * len(labels)]
    summary = {}
    empty = {}
    with log("empty", 0, 0, 1):
        for argv in list(programs.values()) + list(floors.values()):
            for tz in ("UTC", "America/New_York"):
                empty[(argv[0], tz)] = instructions(argv, tz)
    for name, match_every, step, zones in CASES:
        floor = "read_floor" if match_every == 0 else "report_floor"
        with log(name, CALLGRIND_RECORDS, match_every, step):
            for tz in zones:
                def per_record(argv):
                    return (instructions(argv, tz) - empty[(argv[0], tz)]) / CALLGRIND_RECORDS
                least = per_record(floors[floor])
                cells = []
                for label, argv in programs.items():
                    ours = per_record(argv)
                    cells.append(f"{ours:.0f} = {ours / least:.2f} × {floor}")
                    if tz == "UTC" and name in ("no match", "all match, 1 s apart"):
                        summary.setdefault(label, []).append(f"{ours:.0f} = {ours / least:.3f}")
                rows.append(f"| {name} | {tz} | {floor} {least:.0f} | " + " | ".join(cells) + " |")
                print(rows[-1], flush=True)
    with log("memory", WALL_RECORDS, 100, 7):
        builds = ["| build | no match (× F1) | all match, UTC (× F4) | peak RSS, 1M records |",
                  "|---|---|---|---|"]
        for label, argv in programs.items():
            builds.append(f"| {label} | {summary[label][0]} | {summary[label][1]} | "
                          f"{peak_rss(argv):.1f} MiB |")
            print(builds[-1], flush=True)
    return builds, rows


def wall_table(programs, floors, log, runs):
    rows = ["| case | TZ | command | median wall | ratio to dd | median CPU | CPU above dd |",
            "|---|---|---|---|---|---|---|"]
    for name, match_every, step, zones in CASES:
        floor = "read_floor" if match_every == 0 else "report_floor"
        commands = [("dd bs=1M", ["dd", f"if={WTMP}", "of=/dev/null", "bs=1M"])]
        commands += list(programs.items()) + [(floor, floors[floor])]
        with log(name, WALL_RECORDS, match_every, step):
            for tz in zones:
                results = medians([argv for _, argv in commands], runs, tz)
                dd_wall, dd_cpu = results[0]
                for (label, _), (wall, cpu) in zip(commands, results):
                    rows.append(f"| {name} | {tz} | {label} | {wall * 1000:.1f} ms | "
                                f"{wall / dd_wall:.2f}x | {cpu * 1000:.1f} ms | "
                                f"{(cpu - dd_cpu) * 1000:+.1f} ms |")
                    print(rows[-1], flush=True)
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


def scaling_table(program, log, runs, sizes):
    rows = ["| records | command | median wall | ratio to dd | peak RSS | heap allocations |",
            "|---|---|---|---|---|---|"]
    points = {}
    for records in sizes:
        with log(f"scaling {records}", records, 100, 7):
            commands = [("dd bs=1M", ["dd", f"if={WTMP}", "of=/dev/null", "bs=1M"]),
                        ("login-history", program)] + peers(records)
            # The peers are slow: three runs each at most.
            results = medians([argv for _, argv in commands[:2]], runs, "UTC")
            results += medians([argv for _, argv in commands[2:]], min(runs, 3), "UTC")
            for (label, argv), (wall, _) in zip(commands, results):
                allocations = ""
                if label == "login-history" and records in (sizes[0], sizes[-1]):
                    allocations = str(heap_allocations(argv))
                rows.append(f"| {records:,} | {label} | {wall * 1000:.1f} ms | "
                            f"{wall / results[0][0]:.2f}x | {peak_rss(argv):.2f} MiB | "
                            f"{allocations} |")
                print(rows[-1], flush=True)
                points.setdefault(label.split()[0], []).append((records, wall))
    return rows, points


def plot(points, png):
    """Time against log size, log-log, for login-history, dd and each peer."""
    with tempfile.TemporaryDirectory() as scratch:
        commands = []
        for index, (label, series) in enumerate(sorted(points.items())):
            data = os.path.join(scratch, f"{index}.dat")
            with open(data, "w") as out:
                out.writelines(f"{records} {seconds}\n" for records, seconds in sorted(series))
            commands.append(f"'{data}' using 1:2 with linespoints title '{label}'")
        script = (f"set terminal png size 800,500; set output '{png}'; set logscale xy; "
                  "set xlabel 'records in the log (1% match)'; set ylabel 'median seconds'; "
                  "set key top left; plot " + ", ".join(commands))
        subprocess.run(["gnuplot", "-e", script], check=True)


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
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--quick", action="store_true",
                        help="instructions and memory only, printed; RESULTS.md left as it is")
    parser.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if not args.inside:
        # Everything runs with a scratch directory as /var/log.
        scratch = tempfile.mkdtemp(prefix="login-history-bench.", dir="/var/tmp")
        try:
            done = subprocess.run([os.path.join(SOURCE, "tools", "with-log"), scratch,
                                   sys.executable, os.path.abspath(__file__), "--inside"]
                                  + sys.argv[1:])
        finally:
            shutil.rmtree(scratch)
        sys.exit(done.returncode)

    directories = build_all()
    reference = next(iter(directories.values()))
    programs = {label: [os.path.join(d, "login-history"), "bench"]
                for label, d in directories.items()}
    floors = {name: [os.path.join(reference, name), "bench"]
              for name in ("read_floor", "report_floor")}
    log = functools.partial(log_at_var_log, os.path.join(reference, "make_log"))
    print("== instructions per record (callgrind), and memory", flush=True)
    builds, instruction_rows = instruction_tables(programs, floors, log)
    if args.quick:
        return
    print("== a million records, freshly cached", flush=True)
    wall_rows = wall_table(programs, floors, log, args.runs)
    print("== scaling, 1% match", flush=True)
    scaling_rows, points = scaling_table(programs[next(iter(programs))], log, args.runs,
                                         [10_000, 20_000, 40_000, 1_000_000, 4_000_000])

    text = "\n".join([
        "# A recent benchmark run", "",
        f"`python3 bench/bench.py` on {datetime.date.today().isoformat()}, on {machine()}. "
        "What each table measures, and how: the comment at the top of bench/bench.py.", "",
        "## The three builds: instructions per record against the floors, and memory", "",
        *builds, "",
        "## Instructions per record, every case", "",
        *instruction_rows, "",
        f"## A million records, freshly cached (medians of {args.runs} runs)", "",
        *wall_rows, "",
        "## Scaling, 1% match, the Release build", "",
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
