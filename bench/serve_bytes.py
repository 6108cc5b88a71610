#!/usr/bin/python3
"""What a first visit of the web page costs on the wire through `veltrane serve`, without and
with the compressed copies the web build puts beside each file.

Every file of the page's folder (the page, its scripts, its worker, the module and the service
worker, which fetches the rest for offline use: what a first visit downloads) is requested as a
browser asks for it, and the bytes received are counted (status line, headers and body):
- with Accept-Encoding: identity, which is what every browser got before the copies existed;
- with "gzip, deflate", what Chromium asks over plain HTTP at a network address (a phone at
  http://192.168.1.23:8080/), and "gzip, deflate, br", what it asks of localhost and over
  HTTPS;
- a reload: every file asked again with its ETag (If-None-Match), answered 304.
Every compressed body is decompressed (Python's gzip and brotli modules) and compared with its
file.

usage: /usr/bin/python3 bench/serve_bytes.py [VELTRANE [PAGE_DIR]]
       (defaults: build/release/bin/veltrane and build/web/page)
"""
import gzip
import os
import re
import socket
import subprocess
import sys

try:
    import brotli  # Debian's python3-brotli
except ImportError:
    brotli = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fetch(port, name, headers):
    """GET /NAME with Headers; returns (status, headers as a dict, body, bytes received)."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(f"GET /{name} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{headers}\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = {k.lower(): v for k, _, v in (line.partition(": ") for line in lines[1:])}
    return int(lines[0].split()[1]), fields, body, len(data)


def decoded(fields, body):
    coding = fields.get("content-encoding", "")
    if coding == "gzip":
        return gzip.decompress(body)
    if coding == "br":
        return brotli.decompress(body) if brotli else None
    return body


def main():
    args = sys.argv[1:] + [None, None]
    veltrane = args[0] or os.path.join(ROOT, "build/release/bin/veltrane")
    page = args[1] or os.path.join(ROOT, "build/web/page")
    names = sorted(n for n in os.listdir(page)
                   if not n.endswith((".gz", ".br")) and os.path.isfile(os.path.join(page, n)))
    server = subprocess.Popen([veltrane, "serve", "--port", "0", "--root", page],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r":(\d+)/", server.stdout.readline()).group(1))
        totals, etags = {}, {}
        for label, accept in [("identity", "identity"), ("gzip", "gzip, deflate"),
                              ("br", "gzip, deflate, br")]:
            total = 0
            for name in names:
                status, fields, body, size = fetch(port, name, f"Accept-Encoding: {accept}\r\n")
                with open(os.path.join(page, name), "rb") as f:
                    original = f.read()
                if status != 200 or decoded(fields, body) not in (original, None):
                    sys.exit(f"{name} ({accept}): status {status}, or not the file's bytes")
                total += size
                etags[name] = fields["etag"]
            totals[label] = total
        reload = 0
        for name in names:
            status, _, _, size = fetch(port, name, "Accept-Encoding: gzip, deflate, br\r\n"
                                       f"If-None-Match: {etags[name]}\r\n")
            if status != 304:
                sys.exit(f"{name}: a reload got {status}, not 304")
            reload += size
    finally:
        server.terminate()
        server.wait()

    plain = totals["identity"]
    copies = sorted(n for n in os.listdir(page) if n.endswith((".gz", ".br")))
    print(f"page: {page} ({len(names)} files, {len(copies)} compressed copies beside them)")
    rows = [("first visit, identity (before the copies)", plain, "")]
    for label, who in [("gzip", "gzip, deflate (HTTP at a network address)"),
                       ("br", "gzip, deflate, br (localhost, HTTPS)")]:
        rows.append((f"first visit, {who}", totals[label], f"{plain / totals[label]:.2f}x fewer"))
    rows.append(("reload, every file 304 (If-None-Match)", reload,
                 f"{plain / reload:.0f}x fewer than a first visit"))
    for what, size, ratio in rows:
        print(f"{what:<55} {size:>9,} bytes  {ratio}".rstrip())


if __name__ == "__main__":
    main()
