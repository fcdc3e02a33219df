#!/usr/bin/env python3
"""Helpers of the spooler tests.

    helpers.py png-images FILE      one line per PNG image in FILE: WIDTHxHEIGHT grey|colour;
                                    "not PNG at byte N" where anything else stands
    helpers.py dark-rows FILE       the runs of rows of the first image in FILE (8-bit grey or
                                    colour) that are dark across half the width or more,
                                    as "FIRST-LAST ..."
    helpers.py syslog SOCKET FILE   a syslog daemon for the test's private /dev/log: appends
                                    every message to FILE, until killed
    helpers.py printer PORT FILE    a network printer on 127.0.0.1:PORT (raw socket, as
                                    socket:// devices speak to): appends what each connection
                                    sends to FILE, until killed
"""
import os
import socket
import struct
import sys
import zlib


def png_images(path):
    data = open(path, "rb").read()
    at = 0
    while at < len(data):
        if data[at:at + 8] != b"\x89PNG\r\n\x1a\n":
            print(f"not PNG at byte {at}")
            return
        width, height, _, colour_type = struct.unpack(">IIBB", data[at + 16:at + 26])
        print(f"{width}x{height} {'grey' if colour_type == 0 else 'colour'}")
        at += 8
        while at + 8 <= len(data):  # chunks: length, type, data, CRC
            length, kind = struct.unpack(">I4s", data[at:at + 8])
            at += 12 + length
            if kind == b"IEND":
                break


def dark_rows(path):
    data = open(path, "rb").read()
    width, height, _, colour_type = struct.unpack(">IIBB", data[16:26])
    pixel = 1 if colour_type == 0 else 3
    compressed, at = b"", 8
    while at + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            compressed += data[at + 8:at + 8 + length]
        if kind == b"IEND":
            break
        at += 12 + length
    raw, stride = zlib.decompress(compressed), width * pixel
    previous, runs, start = bytearray(stride), [], None
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):  # undo the row's PNG filter
            left = line[x - pixel] if x >= pixel else 0
            up, corner = previous[x], previous[x - pixel] if x >= pixel else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                guess = left + up - corner
                nearest = min((abs(guess - left), 0, left), (abs(guess - up), 1, up),
                              (abs(guess - corner), 2, corner))[2]
                line[x] = (line[x] + nearest) & 255
        previous = line
        dark = sum(1 for x in range(0, stride, pixel) if line[x] < 128) * 2 >= width
        if dark and start is None:
            start = y
        if not dark and start is not None:
            runs.append(f"{start}-{y - 1}")
            start = None
    if start is not None:
        runs.append(f"{start}-{height - 1}")
    print(" ".join(runs))


def syslog(path, log):
    if os.path.exists(path):
        os.unlink(path)
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind(path)
    os.chmod(path, 0o666)
    with open(log, "ab", buffering=0) as out:
        while True:
            out.write(receiver.recv(65536).rstrip(b"\0\n") + b"\n")


def printer(port, path):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(port)))
    listener.listen(4)
    with open(path, "ab", buffering=0) as out:
        while True:
            connection, _ = listener.accept()
            while True:
                data = connection.recv(1 << 20)
                if not data:
                    break
                out.write(data)
            connection.close()


if __name__ == "__main__":
    {"png-images": png_images, "dark-rows": dark_rows, "syslog": syslog, "printer": printer}[sys.argv[1]](*sys.argv[2:])
