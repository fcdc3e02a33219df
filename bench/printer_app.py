#!/usr/bin/env python3
"""Benchmark of ravo-printer-app: the time from submitting a 10-page job over IPP to the last
byte at the printer, against running the same Ghostscript command bare, in turns.

    python3 bench/printer_app.py [--app build/ravo-printer-app] [--runs 9] [--work build/bench]

The application serves on 127.0.0.1 (--port, 8632 by default) with its printer on a raw
socket printer on --printer-port (9632), which writes what it gets to a file; each run
submits with ipptool and waits until the file holds all the pages (their size is known from
the bare run, which writes the same bytes). Rows: the PostScript and the PDF job with
print-scaling=none (one Ghostscript run, the filter's command), and the PDF with the
default print-scaling=auto (the pages are measured first). Needs no /etc/ravorc.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import GS_COMMAND, fmt, make_ten_pages, timed  # noqa: E402

PRINT_TEST = """{
OPERATION Print-Job
GROUP operation-attributes-tag
ATTR charset attributes-charset utf-8
ATTR naturalLanguage attributes-natural-language en
ATTR uri printer-uri $uri
ATTR name requesting-user-name bench
ATTR mimeMediaType document-format %s
GROUP job-attributes-tag
%s
FILE %s
STATUS successful-ok
}
"""


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.002)


def submit_and_wait(uri, test_file, device, size):
    """Seconds from the submission to the printer holding size bytes."""
    with open(device, "wb"):
        pass
    start = time.perf_counter()
    subprocess.run(["ipptool", uri, test_file], check=True, stdout=subprocess.DEVNULL)
    wait_for(lambda: os.path.getsize(device) >= size, 300, "the printer's last byte")
    return time.perf_counter() - start


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
    ps_job = make_ten_pages(work)
    pdf_job = os.path.join(work, "ten-pages.pdf")
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                    "-sPAPERSIZE=a4", f"-sOutputFile={pdf_job}", ps_job], check=True)
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

        print("| job | command | median | min | max | ratio |")
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
                out.write(PRINT_TEST % (format_name, attributes, job))
            timed(GS_COMMAND, job, bare_output)
            size = os.path.getsize(bare_output)
            app_times, gs_times = [], []
            for run in range(args.runs):
                turns = [("app", None), ("gs", None)] if run % 2 == 0 else [("gs", None), ("app", None)]
                for label, _ in turns:
                    os.sync()
                    if label == "app":
                        app_times.append(submit_and_wait(uri, test_file, device, size))
                    else:
                        gs_times.append(timed(GS_COMMAND, job, bare_output))
            with open(device, "rb") as got, open(bare_output, "rb") as expected:
                same = got.read() == expected.read()
            ratio = statistics.median(app_times) / statistics.median(gs_times)
            print(f"| {name} | ravo-printer-app | {fmt(statistics.median(app_times))} | "
                  f"{fmt(min(app_times))} | {fmt(max(app_times))} | {ratio:.3f} |")
            print(f"| {name} | gs | {fmt(statistics.median(gs_times))} | {fmt(min(gs_times))} | "
                  f"{fmt(max(gs_times))} | baseline |")
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
