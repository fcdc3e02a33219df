#!/usr/bin/env python3
"""Helpers of the spooler tests.

    helpers.py png-images FILE      one line per PNG image in FILE: WIDTHxHEIGHT grey|colour;
                                    "not PNG at byte N" where anything else stands
    helpers.py syslog SOCKET FILE   a syslog daemon for the test's private /dev/log: appends
                                    every message to FILE, until killed
"""
import os
import socket
import struct
import sys


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


def syslog(path, log):
    if os.path.exists(path):
        os.unlink(path)
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind(path)
    os.chmod(path, 0o666)
    with open(log, "ab", buffering=0) as out:
        while True:
            out.write(receiver.recv(65536).rstrip(b"\0\n") + b"\n")


if __name__ == "__main__":
    {"png-images": png_images, "syslog": syslog}[sys.argv[1]](*sys.argv[2:])
