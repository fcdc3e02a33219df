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
    helpers.py png-bomb FILE        a 69-byte PNG whose header claims 65535 x 65535 pixels
    helpers.py jpeg-claim FILE SIZE changes the frame header of the JPEG FILE to claim SIZE x
                                    SIZE pixels
    helpers.py big-pdf FILE MIB     a one-page PDF of MIB MiB: its page, and a stream no page
                                    uses (a hole in the file, read as zeros)
    helpers.py pwg-resolution FILE DPI
                                    changes the PWG raster FILE's first page header to DPI
    helpers.py ipp-operation PORT OPERATION USER JOB-ID [NAME:PASSWORD]
                                    cancel-job (of JOB-ID), get-jobs, pause-printer or
                                    resume-printer as USER, with Basic
                                    credentials when given; prints the HTTP status code, or the
                                    IPP status code when the HTTP status is 200
    helpers.py txt-vs-attributes NAME TYPE URI
                                    the TXT record of DNS-SD service NAME of TYPE (avahi-browse)
                                    against the printer's attributes at URI (ipptool): a line
                                    "KEY equal" or "KEY differs: TXT | ATTRIBUTE" for UUID, pdl,
                                    Color, URF and adminurl, and "TLS=VALUE" or "TLS absent"
    helpers.py hostile KIND PORT [FILE SECONDS]
                                    a hostile request to the IPP server on 127.0.0.1:PORT;
                                    prints the HTTP status code, or "closed":
                                    nested-collection (media-col 100,000 deep), content-length
                                    (2^63), bad-chunk (a chunk size that is no number),
                                    rebinding (the delete form, Host: a name of the attacker's),
                                    stalled-raster (FILE's PWG header and first lines, then
                                    nothing for SECONDS), slow-raster (FILE at 32 KB/s)
"""
import os
import socket
import struct
import sys
import time
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


def png_bomb(path):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", 65535, 65535, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 16))
                  + chunk(b"IEND", b""))


def jpeg_claim(path, size):
    data = bytearray(open(path, "rb").read())
    at = 2
    while data[at] == 0xFF and data[at + 1] not in (0xC0, 0xC1, 0xC2):  # to the frame header
        at += 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    data[at + 5:at + 9] = struct.pack(">HH", int(size), int(size))
    open(path, "wb").write(data)


def ipp_attribute(tag, name, value):
    name, value = name.encode(), value if isinstance(value, bytes) else value.encode()
    return bytes([tag]) + struct.pack(">H", len(name)) + name + struct.pack(">H", len(value)) + value


def print_job(port, document_format, job_attributes=b""):
    operation = (ipp_attribute(0x47, "attributes-charset", "utf-8")
                 + ipp_attribute(0x48, "attributes-natural-language", "en")
                 + ipp_attribute(0x45, "printer-uri", f"ipp://localhost:{port}/ipp/print")
                 + ipp_attribute(0x42, "requesting-user-name", "mallory")
                 + ipp_attribute(0x49, "document-format", document_format))
    return (struct.pack(">BBHI", 2, 0, 2, 1) + b"\x01" + operation
            + (b"\x02" + job_attributes if job_attributes else b"") + b"\x03")


def big_pdf(path, mib):
    offsets = {}
    with open(path, "wb") as out:
        out.write(b"%PDF-1.4\n")

        def pdf_object(number, body):
            offsets[number] = out.tell()
            out.write(b"%d 0 obj\n%s\nendobj\n" % (number, body))
        content = b"0 0 0 rg 72 72 200 200 re f"
        pdf_object(1, b"<< /Type /Catalog /Pages 2 0 R >>")
        pdf_object(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
        pdf_object(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R >>")
        pdf_object(4, b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content))
        offsets[5] = out.tell()
        length = int(mib) << 20
        out.write(b"5 0 obj\n<< /Length %d >>\nstream\n" % length)
        out.seek(length, os.SEEK_CUR)
        out.write(b"\nendstream\nendobj\n")
        xref = out.tell()
        out.write(b"xref\n0 6\n0000000000 65535 f \n")
        for number in range(1, 6):
            out.write(b"%010d 00000 n \n" % offsets[number])
        out.write(b"trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % xref)


def pwg_resolution(path, dpi):
    data = bytearray(open(path, "rb").read())
    data[4 + 276:4 + 284] = struct.pack(">II", int(dpi), int(dpi))  # HWResolution
    open(path, "wb").write(data)


def ipp_operation(port, operation, user, job_id=None, credentials=None):
    codes = {"cancel-job": 0x0008, "get-jobs": 0x000A, "pause-printer": 0x0010,
             "resume-printer": 0x0011}
    operation_attributes = (ipp_attribute(0x47, "attributes-charset", "utf-8")
                            + ipp_attribute(0x48, "attributes-natural-language", "en")
                            + ipp_attribute(0x45, "printer-uri", f"ipp://localhost:{port}/ipp/print")
                            + ipp_attribute(0x42, "requesting-user-name", user))
    if operation == "cancel-job":
        operation_attributes += ipp_attribute(0x21, "job-id", struct.pack(">i", int(job_id)))
    body = struct.pack(">BBHI", 2, 0, codes[operation], 1) + b"\x01" + operation_attributes + b"\x03"
    fields = f"Content-Length: {len(body)}\r\n"
    if credentials:
        import base64
        fields += f"Authorization: Basic {base64.b64encode(credentials.encode()).decode()}\r\n"
    connection = post(port, body, fields)
    connection.settimeout(30)
    reply = b""
    while b"\r\n\r\n" not in reply or len(reply.partition(b"\r\n\r\n")[2]) < 4:
        more = connection.recv(4096)
        if not more:
            break
        reply += more
    status = reply.split(b" ")[1].decode() if reply.startswith(b"HTTP/") else "closed"
    body = reply.partition(b"\r\n\r\n")[2]
    print(f"0x{struct.unpack('>H', body[2:4])[0]:04x}" if status == "200" and len(body) >= 4 else status)


def txt_vs_attributes(name, service_type, uri):
    import subprocess
    browsed = subprocess.run(["avahi-browse", "-rtp", service_type], capture_output=True,
                             text=True).stdout
    txt = {}
    for line in browsed.splitlines():
        fields = line.split(";")
        if fields[0] == "=" and fields[3] == name:
            for entry in fields[9].split('" "'):
                key, _, value = entry.strip('"').partition("=")
                txt[key] = value
            break
    attributes = {}
    listed = subprocess.run(["ipptool", "-tv", uri, "get-printer-attributes.test"],
                            capture_output=True, text=True).stdout
    for line in listed.splitlines():
        key, _, value = line.strip().partition(" = ")
        if " (" in key:
            attributes[key.split(" (")[0]] = value
    formats = set(attributes.get("document-format-supported", "").split(","))
    pairs = {
        "UUID": (txt.get("UUID"), attributes.get("printer-uuid", "").removeprefix("urn:uuid:")),
        "pdl": (sorted(txt.get("pdl", "").split(",")), sorted(formats - {"application/octet-stream"})),
        "Color": (txt.get("Color"), {"true": "T", "false": "F"}.get(attributes.get("color-supported"))),
        "URF": (txt.get("URF"), attributes.get("urf-supported")),
        "adminurl": (txt.get("adminurl"), attributes.get("printer-more-info")),
    }
    for key, (told, attribute) in pairs.items():
        print(f"{key} equal" if told == attribute and told else f"{key} differs: {told} | {attribute}")
    print(f"TLS={txt['TLS']}" if "TLS" in txt else "TLS absent")


def http_status(connection):
    connection.settimeout(30)
    try:
        reply = connection.recv(4096)
    except OSError:
        reply = b""
    return reply.split(b" ")[1].decode() if reply.startswith(b"HTTP/") else "closed"


def post(port, body, fields=None, host="localhost"):
    connection = socket.create_connection(("127.0.0.1", int(port)))
    fields = fields or f"Content-Length: {len(body)}\r\n"
    try:  # a server that refuses the request may close before it is all sent
        connection.sendall(f"POST /ipp/print HTTP/1.1\r\nHost: {host}:{port}\r\n"
                           f"Content-Type: application/ipp\r\n{fields}\r\n".encode() + body)
    except OSError:
        pass
    return connection


def hostile(kind, port, path=None, seconds="0"):
    if kind == "nested-collection":
        depth = 100000
        media_col = (ipp_attribute(0x34, "media-col", b"") + (ipp_attribute(0x4A, "", "a")
                     + ipp_attribute(0x34, "", b"")) * depth + ipp_attribute(0x37, "", b"") * (depth + 1))
        connection = post(port, print_job(port, "application/postscript", media_col) + b"%!PS\n")
    elif kind == "content-length":
        connection = post(port, print_job(port, "application/postscript"),
                          "Content-Length: 9223372036854775808\r\n")
    elif kind == "bad-chunk":
        connection = post(port, b"zz\r\n" + print_job(port, "application/postscript"),
                          "Transfer-Encoding: chunked\r\n")
    elif kind == "rebinding":
        connection = socket.create_connection(("127.0.0.1", int(port)))
        connection.sendall(f"GET /quorvin/delete HTTP/1.1\r\nHost: 7f000001.attacker.example:{port}\r\n\r\n".encode())
    elif kind in ("stalled-raster", "slow-raster"):
        raster = open(path, "rb").read()
        body = print_job(port, "image/pwg-raster") + raster
        connection = post(port, b"", f"Content-Length: {len(body)}\r\n")
        if kind == "stalled-raster":
            connection.sendall(body[:len(body) - len(raster) + 4 + 1796 + 1000])
            time.sleep(float(seconds))
            print("held")
            return
        for at in range(0, len(body), 8192):
            try:
                connection.sendall(body[at:at + 8192])
            except OSError:
                break
            time.sleep(0.25)
    print(http_status(connection))


if __name__ == "__main__":
    {"png-images": png_images, "dark-rows": dark_rows, "syslog": syslog, "printer": printer,
     "png-bomb": png_bomb, "jpeg-claim": jpeg_claim, "big-pdf": big_pdf,
     "pwg-resolution": pwg_resolution,
     "ipp-operation": ipp_operation, "txt-vs-attributes": txt_vs_attributes,
     "hostile": hostile}[sys.argv[1]](*sys.argv[2:])
