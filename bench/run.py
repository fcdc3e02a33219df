#!/usr/bin/env python3
"""Benchmarks of ravofilter against baselines measured in the same run.

Each figure is the median of RUNS alternated runs (filter and baseline take turns), with min
and max; the ratio is filter median / baseline median. Prints a Markdown report.

    python3 bench/run.py [--filter build/ravofilter] [--runs 5] [--work build/bench]

The confinement's cost is measured against build/bench/ravofilter_unconfined, the same
filter linked with a configuration that runs its rasterizer through system() as before; the
CUPS filter's, with build/ravofilter-cups and build/ravofilter laid out as the package installs
them, against that filter alone.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import time

GS_COMMAND = ("gs -r360 -g2976x4209 -q -dNOPROMPT -dNOPAUSE -dSAFER -sstdout=%stderr "
              "-sDEVICE=png16m -sOutputFile=- - -c quit")


def timed(command, stdin_path, stdout_path="/dev/null"):
    """Wall seconds of one shell command, standard input and output redirected."""
    with open(stdin_path, "rb") as job, open(stdout_path, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, shell=True, stdin=job, stdout=out,
                                   stderr=subprocess.DEVNULL)
        status = process.wait()
        elapsed = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"benchmark command failed: {command}")
    return elapsed


def compare(name, commands, stdin_path, runs, stdout_path="/dev/null", repeat=1, medians=None):
    """Alternates the commands; returns a report row per command, the first as the subject.
    The medians, by label, go into the medians dictionary when one is given."""
    times = {label: [] for label, _ in commands}
    for run in range(runs):
        order = commands if run % 2 == 0 else commands[::-1]
        for label, command in order:
            if stdout_path != "/dev/null" and os.path.exists(stdout_path):
                os.remove(stdout_path)
            os.sync()  # no run pays for the writeback of the one before
            loop = command if repeat == 1 else f"i=0; while [ $i -lt {repeat} ]; do {command} || exit 1; i=$((i+1)); done"
            times[label].append(timed(loop, stdin_path, stdout_path) / repeat)
    if medians is not None:
        medians.update({label: statistics.median(t) for label, t in times.items()})
    (subject, _), (baseline, _) = commands
    ratio = statistics.median(times[subject]) / statistics.median(times[baseline])
    rows = []
    for label, _ in commands:
        t = times[label]
        rows.append(f"| {name} | {label} | {fmt(statistics.median(t))} | {fmt(min(t))} | "
                    f"{fmt(max(t))} | {ratio:.3f} |" if label == subject else
                    f"| {name} | {label} | {fmt(statistics.median(t))} | {fmt(min(t))} | "
                    f"{fmt(max(t))} | baseline |")
    return rows


def fmt(seconds):
    return f"{seconds * 1000:.2f} ms" if seconds < 1 else f"{seconds:.3f} s"


def peak_rss_during(command, stdin_path, probe_name):
    """Highest VmHWM (KiB) of the process named probe_name while command runs."""
    with open(stdin_path, "rb") as job, open(os.devnull, "wb") as out:
        process = subprocess.Popen(command, shell=True, stdin=job, stdout=out,
                                   stderr=subprocess.DEVNULL)
        peak = 0
        while process.poll() is None:
            for pid in os.listdir("/proc"):
                try:
                    with open(f"/proc/{pid}/comm") as comm:
                        if comm.read().strip() != probe_name[:15]:
                            continue
                    with open(f"/proc/{pid}/status") as status:
                        for line in status:
                            if line.startswith("VmHWM:"):
                                peak = max(peak, int(line.split()[1]))
                except (OSError, ValueError):
                    pass
            time.sleep(0.02)
    return peak


def make_inputs(work):
    os.makedirs(work, exist_ok=True)
    big = os.path.join(work, "copy-1GiB.bin")
    if not os.path.exists(big) or os.path.getsize(big) != 1 << 30:
        block = b"\0" + os.urandom((1 << 20) - 1)  # starts with NUL: not PostScript
        with open(big, "wb") as out:
            for _ in range(1024):
                out.write(block)
    small = os.path.join(work, "copy-1KiB.bin")
    with open(small, "wb") as out:
        out.write(b"\0" + os.urandom(1023))
    return big, small, make_ten_pages(work)


def make_ten_pages(work):
    """A 10-page PostScript job with text, fills and strokes in colour."""
    os.makedirs(work, exist_ok=True)
    pages = os.path.join(work, "ten-pages.ps")
    with open(pages, "w") as out:
        out.write("%!PS-Adobe-3.0\n%%Pages: 10\n")
        for page in range(1, 11):
            out.write(f"%%Page: {page} {page}\n"
                      f"{page / 10:.1f} 0.3 0.6 setrgbcolor 72 {700 - page * 40} 300 150 rectfill\n"
                      "0 setgray /Helvetica findfont 24 scalefont setfont\n"
                      f"72 760 moveto (Quorvin 7X Series, page {page}) show\n"
                      f"newpath 300 400 {50 + page * 10} 0 360 arc 2 setlinewidth stroke\n"
                      "showpage\n")
    return pages


def install_beside(cups_filter, filter_path, work):
    """The CUPS filter and the filter where the package puts them, so that the one finds the
    other: /usr/lib/cups/filter and /usr/libexec/ravofilter below a prefix in the work folder."""
    prefix = os.path.join(os.path.abspath(work), "prefix")
    placed = {cups_filter: "lib/cups/filter/ravofilter-cups",
              filter_path: "libexec/ravofilter/ravofilter"}
    for source, relative in placed.items():
        target = os.path.join(prefix, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
    return os.path.join(prefix, placed[cups_filter])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--filter", default="build/ravofilter")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--unconfined", default="build/bench/ravofilter_unconfined")
    parser.add_argument("--cups-filter", default="build/ravofilter-cups")
    parser.add_argument("--work", default="build/bench")
    args = parser.parse_args()
    if os.path.exists("/etc/ravorc"):
        raise SystemExit("/etc/ravorc exists: the rasterize figures assume the defaults")
    filter_path = os.path.abspath(args.filter)
    unconfined_path = os.path.abspath(args.unconfined)
    big, small, pages = make_inputs(args.work)
    out_file = os.path.join(args.work, "copy-output.bin")

    gs_version = subprocess.run(["gs", "--version"], capture_output=True, text=True).stdout
    with open("/proc/cpuinfo") as cpuinfo:
        cpu = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    print(f"Machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}, "
          f"Ghostscript {gs_version.strip()}; {args.runs} alternated runs each.\n")
    print("| benchmark | command | median | min | max | ratio |")
    print("|---|---|---|---|---|---|")
    for row in compare("copy 1 GiB into a pipe", [("ravofilter", f"{filter_path} | cat >/dev/null"),
                                                  ("cat", "cat | cat >/dev/null")], big, args.runs):
        print(row)
    for row in compare("copy 1 GiB into a file", [("ravofilter", filter_path), ("cat", "cat")],
                       big, args.runs, stdout_path=out_file):
        print(row)
    os.remove(out_file)
    # 200 runs a sample, each on a freshly opened job, as a spooler starts the filter.
    for row in compare("start-up, 1 KiB job (per run)",
                       [("ravofilter", f"{filter_path} <{small} >/dev/null"),
                        ("cat", f"cat <{small} >/dev/null")], "/dev/null", args.runs, repeat=200):
        print(row)
    raster_times = {}
    for row in compare("rasterize 10 pages, 360 dpi", [("ravofilter", filter_path), ("gs", GS_COMMAND)],
                       pages, args.runs, medians=raster_times):
        print(row)
    # The filter's own cost on that road, out of Ghostscript's noise: the filter with a
    # stand-in gs that only copies the job to /dev/null, against the stand-in run directly.
    # (A redirection in the stand-in would open /dev/null truncating, which the confined
    # rasterizer may not do.)
    stand_in = os.path.join(os.path.abspath(args.work), "stand-in")
    os.makedirs(stand_in, exist_ok=True)
    with open(os.path.join(stand_in, "gs"), "w") as script:
        script.write("#!/bin/sh\nexec cat\n")  # standard output is /dev/null already
    os.chmod(os.path.join(stand_in, "gs"), 0o755)
    own_times = {}
    for row in compare("rasterize road, stand-in gs (per run)",
                       [("ravofilter", f"PATH={stand_in}:$PATH {filter_path}"),
                        ("stand-in gs", f"{stand_in}/{GS_COMMAND}")],
                       pages, args.runs, repeat=20, medians=own_times):
        print(row)
    # What confining the rasterizer costs: the same filter built unconfined, in turns.
    confined_times = {}
    for row in compare("confinement, stand-in gs (per run)",
                       [("ravofilter", f"PATH={stand_in}:$PATH {filter_path}"),
                        ("unconfined", f"PATH={stand_in}:$PATH {unconfined_path}")],
                       pages, args.runs, repeat=20, medians=confined_times):
        print(row)
    for row in compare("rasterize 10 pages, 360 dpi, confinement",
                       [("ravofilter", filter_path), ("unconfined", unconfined_path)],
                       pages, args.runs):
        print(row)
    # The CUPS filter hands every byte of PNG data on once more and reads every message line.
    cups_times = {}
    cups_filter = install_beside(os.path.abspath(args.cups_filter), filter_path, args.work)
    for row in compare("rasterize 10 pages, 360 dpi, through the CUPS filter",
                       [("ravofilter-cups", f"{cups_filter} 1 user title 1 '' {pages} </dev/null"),
                        ("ravofilter", filter_path)],
                       pages, args.runs, medians=cups_times):
        print(row)
    overhead = own_times["ravofilter"] - own_times["stand-in gs"]
    print(f"\nFilter overhead on the rasterize road: {overhead * 1000:.2f} ms a job, "
          f"{100 * overhead / raster_times['gs']:.3f}% of Ghostscript's median "
          f"{raster_times['gs']:.3f} s for the 10 pages.")
    cups_cost = cups_times["ravofilter-cups"] - cups_times["ravofilter"]
    print(f"CUPS filter's cost: {cups_cost * 1000:.2f} ms for the 10 pages "
          f"({100 * cups_cost / cups_times['ravofilter']:.3f}% of the filter's own median).")
    confinement = confined_times["ravofilter"] - confined_times["unconfined"]
    print(f"Confinement cost: {confinement * 1000:.2f} ms a job "
          f"({100 * confinement / raster_times['gs']:.3f}% of the 10 pages).")

    # VmHWM of the process itself: ru_maxrss would carry this script's size over the exec.
    name = os.path.basename(filter_path)
    copy_rss = peak_rss_during(f"exec {filter_path} | cat >/dev/null", big, name)
    cat_rss = peak_rss_during("exec cat | cat >/dev/null", big, "cat")
    raster_rss = peak_rss_during(f"exec {filter_path}", pages, name)
    print(f"\nPeak resident memory of ravofilter itself: copy road {copy_rss} KiB "
          f"(cat: {cat_rss} KiB), rasterize road {raster_rss} KiB (Ghostscript not included).")


if __name__ == "__main__":
    main()
