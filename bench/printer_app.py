#!/usr/bin/env python3
"""Benchmark of ravo-printer-app: from submitting a 20-page job at 720 dpi over IPP to the
first byte at the printer and to its last byte, against the same Ghostscript command run bare
(to its first page and to its end), in turns.

    python3 bench/printer_app.py [--app build/ravo-printer-app] [--runs 9] [--work build/bench]

The application serves on 127.0.0.1 (--port, 8632 by default) with its printer on a raw
socket printer on --printer-port (9632), which writes what it gets to a file; each run
submits with ipptool and watches the file until it holds all the pages (their size is known
from the bare run, which writes the same bytes). Rows: the PostScript and the PDF job with
print-scaling=none (one Ghostscript run, the filter's command), and the PDF with the default
print-scaling=auto (its pages measured beside it). Needs no /etc/ravorc. The goals: the first
page within 1.5 x bare Ghostscript's first page + 0.5 s, the last byte within 1.05 x its end.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import fmt  # noqa: E402

RESOLUTION = 720
PAGES = 20
GS_COMMAND = (f"gs -r{RESOLUTION} -g5952x8418 -q -dNOPROMPT -dNOPAUSE -dSAFER -sstdout=%stderr "
              "-sDEVICE=png16m -sOutputFile=- {job} -c quit")

PRINT_TEST = """{
OPERATION Print-Job
GROUP operation-attributes-tag
ATTR charset attributes-charset utf-8
ATTR naturalLanguage attributes-natural-language en
ATTR uri printer-uri $uri
ATTR name requesting-user-name bench
ATTR mimeMediaType document-format %s
GROUP job-attributes-tag
ATTR resolution printer-resolution %ddpi
%s
FILE %s
STATUS successful-ok
}
"""


def make_pages(work):
    """A PostScript job of PAGES pages with text, fills and strokes in colour, and its PDF."""
    os.makedirs(work, exist_ok=True)
    ps_job = os.path.join(work, "twenty-pages.ps")
    with open(ps_job, "w") as out:
        out.write(f"%!PS-Adobe-3.0\n%%Pages: {PAGES}\n")
        for page in range(1, PAGES + 1):
            out.write(f"%%Page: {page} {page}\n"
                      f"{page / PAGES:.2f} 0.3 0.6 setrgbcolor 72 {720 - page * 30} 300 150 rectfill\n"
                      "0 setgray /Helvetica findfont 24 scalefont setfont\n"
                      f"72 760 moveto (Quorvin 7X Series, page {page}) show\n"
                      f"newpath 300 400 {50 + page * 5} 0 360 arc 2 setlinewidth stroke\n"
                      "showpage\n")
    pdf_job = os.path.join(work, "twenty-pages.pdf")
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                    "-sPAPERSIZE=a4", f"-sOutputFile={pdf_job}", ps_job], check=True)
    return ps_job, pdf_job


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.002)


def bare_gs(job, output):
    """Seconds to Ghostscript's first whole page and to its end, its output kept."""
    command = GS_COMMAND.format(job="-" if job.endswith(".ps") else job)
    with open(job, "rb") as stdin, open(output, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, shell=True, stdin=stdin, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        first, seen = None, b""
        while True:
            chunk = process.stdout.read1(1 << 16)
            if not chunk:
                break
            out.write(chunk)
            if first is None:
                seen = seen[-8:] + chunk
                if b"IEND" in seen:
                    first = time.perf_counter() - start
        process.wait()
        return first, time.perf_counter() - start


def submit_and_watch(uri, test_file, device, size):
    """Seconds from the submission to the printer's first byte and to its last."""
    with open(device, "wb"):
        pass
    start = time.perf_counter()
    subprocess.Popen(["ipptool", uri, test_file], stdout=subprocess.DEVNULL)
    wait_for(lambda: os.path.getsize(device) > 0, 300, "the printer's first byte")
    first = time.perf_counter() - start
    wait_for(lambda: os.path.getsize(device) >= size, 300, "the printer's last byte")
    return first, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", default="build/ravo-printer-app")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--work", default="build/bench")
    parser.add_argument("--port", type=int, default=8632)
    parser.add_argument("--printer-port", type=int, default=9632)
    args = parser.parse_args()
    if os.path.exists("/etc/ravorc"):
        raise SystemExit("/etc/ravorc exists: the figures assume the defaults")
    work = os.path.abspath(args.work)
    ps_job, pdf_job = make_pages(work)
    device = os.path.join(work, "printer-device")
    spool = os.path.join(work, "app-spool")
    os.makedirs(spool, exist_ok=True)
    helpers = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "spooler",
                           "helpers.py")
    # The local socket through which the sub-commands reach the server (root's path); the
    # server leaves it behind.
    server_socket = "/run/ravo-printer-app.sock" if os.getuid() == 0 else None
    socket_was_there = server_socket is not None and os.path.exists(server_socket)
    started = [subprocess.Popen([sys.executable, helpers, "printer", str(args.printer_port),
                                 device])]
    try:
        started.append(subprocess.Popen(
            [args.app, "server", "-o", f"server-port={args.port}", "-o",
             f"spool-directory={spool}", "-o", f"log-file={work}/app.log", "-o",
             "log-level=warn", "-o", f"state-file={work}/app.state"]))
        wait_for(lambda: subprocess.run(["curl", "-sf", "-o", "/dev/null",
                                         f"http://localhost:{args.port}/"]).returncode == 0,
                 20, "the application")
        subprocess.run([args.app, "add", "-d", "bench", "-m", "quorvin-7x", "-v",
                        f"socket://127.0.0.1:{args.printer_port}"], check=True)
        uri = f"ipp://localhost:{args.port}/ipp/print/bench"

        print("| job | command | first page: median (min, max) | last byte: median (min, max) "
              "| first: goal | last: ratio |")
        print("|---|---|---|---|---|---|")
        cases = [("PostScript, print-scaling=none", ps_job, "application/postscript",
                  "ATTR keyword print-scaling none"),
                 ("PDF, print-scaling=none", pdf_job, "application/pdf",
                  "ATTR keyword print-scaling none"),
                 ("PDF, print-scaling=auto (default)", pdf_job, "application/pdf", "")]
        for name, job, format_name, attributes in cases:
            bare_output = os.path.join(work, "bare-output.png")
            test_file = os.path.join(work, "print.test")
            with open(test_file, "w") as out:
                out.write(PRINT_TEST % (format_name, RESOLUTION, attributes, job))
            bare_gs(job, bare_output)
            size = os.path.getsize(bare_output)
            app, bare = [], []
            for run in range(args.runs):
                for turn in (("app", "gs") if run % 2 == 0 else ("gs", "app")):
                    os.sync()
                    if turn == "app":
                        app.append(submit_and_watch(uri, test_file, device, size))
                    else:
                        bare.append(bare_gs(job, bare_output))
            with open(device, "rb") as got, open(bare_output, "rb") as expected:
                same = got.read() == expected.read()

            def summary(times, index):
                values = [t[index] for t in times]
                return statistics.median(values), f"{fmt(statistics.median(values))} " \
                    f"({fmt(min(values))}, {fmt(max(values))})"
            app_first, app_first_text = summary(app, 0)
            app_last, app_last_text = summary(app, 1)
            gs_first, gs_first_text = summary(bare, 0)
            gs_last, gs_last_text = summary(bare, 1)
            goal = 1.5 * gs_first + 0.5
            print(f"| {name} | ravo-printer-app | {app_first_text} | {app_last_text} | "
                  f"{fmt(goal)}: {'met' if app_first <= goal else 'missed'} | "
                  f"{app_last / gs_last:.3f} |")
            print(f"| {name} | gs | {gs_first_text} | {gs_last_text} | | baseline |")
            print(f"|  | printer's bytes {'identical to' if same else 'differ from'} bare gs's "
                  "| | | | |")
    finally:
        if len(started) > 1:  # the application ends through its own sub-command, tidily
            subprocess.run([args.app, "shutdown"], stderr=subprocess.DEVNULL)
            started[1].wait()
        started[0].terminate()
        started[0].wait()
        if os.path.exists(f"{work}/app.state"):
            os.remove(f"{work}/app.state")
        if server_socket is not None and not socket_was_there and os.path.exists(server_socket):
            os.remove(server_socket)


if __name__ == "__main__":
    main()
