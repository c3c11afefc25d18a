#!/usr/bin/env python3
"""HTTPS content server for the tests: serves the files of one folder, misbehaves on request.

Usage:
  content_server.py --root DIR --cert PEM --key PEM [--host ADDR] [--port N]
                    [--ready FILE] [--control FILE] [--log FILE]

--port 0 picks a free port; once the server listens, the port number is written to --ready
(atomically). The --control file is JSON, re-read on every request and TLS handshake:

  {"rules": {"/path": {rule}, ...}, "certificates": {"host": "NAME", ...}}

A host named under "certificates" is answered with NAME.pem and NAME-key.pem from the folder of
--cert instead (e.g. "untrusted" or "wrong-host", see make_test_ca.sh).

A rule switches on misbehaviour for requests of that path (the query is ignored):
  "status": N              answer status N with a short text body
  "sequence": [rule, ...]  the k-th request gets the k-th rule of the list, later requests the
                           last one: [{"status": 503}, {}] answers 503 once, then the file
                           (the count starts again when the rule changes)
  "redirect": URL          answer "redirect_status" (default 301) with Location: URL
  "redirect_loop": true    redirect to the same path with ?hop=K+1, for ever
  "delay_ms": N            wait N ms before answering
  "chunked": true          send the body with chunked transfer coding (no length)
  "gzip": true             gzip the body when the client accepts it
  "stall_after": N         send N bytes of the body, then send nothing for "stall_seconds"
                           (default 30), then close
  "trickle_rate": N        send the body at about N bytes per second
  "cut_after": N           send N bytes of the body, then reset the connection

Every request is appended to the --log file as one JSON line:
  {"method": ..., "path": ..., "query": ..., "headers": {name: value}}
before it is answered. Python standard library only.
"""

import argparse
import gzip
import http.server
import json
import os
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

CHUNK_BYTES = 256 * 1024
TRICKLE_SLICES_PER_SECOND = 10


class Behaviour:
    """The control file and the per-rule request counters."""

    def __init__(self, control_path):
        self.control_path = control_path
        self.lock = threading.Lock()
        self.counters = {}

    def control(self, part):
        try:
            with open(self.control_path, "r", encoding="utf-8") as f:
                found = json.load(f).get(part, {})
        except (OSError, ValueError, TypeError, AttributeError):
            return {}
        return found if isinstance(found, dict) else {}

    def rule_for(self, path):
        rule = self.control("rules").get(path, {})
        return rule if isinstance(rule, dict) else {}

    def count(self, path, rule):
        """How many earlier requests this path had under this same rule."""
        key = (path, json.dumps(rule, sort_keys=True))
        with self.lock:
            seen = self.counters.get(key, 0)
            self.counters[key] = seen + 1
            return seen


class RequestLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def add(self, record):
        if not self.path:
            return
        line = json.dumps(record) + "\n"
        with self.lock:
            with open(self.path, "a", encoding="utf-8") as f:
                f.write(line)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "EmberdaleTestServer/1"

    def log_message(self, format, *args):  # noqa: A002 - keep stderr quiet
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        self.server.request_log.add({
            "method": "GET",
            "path": path,
            "query": url.query,
            "headers": {k: v for k, v in self.headers.items()},
        })
        rule = self.server.behaviour.rule_for(path)
        seen = self.server.behaviour.count(path, rule)
        self.close_connection = True
        if rule.get("sequence"):
            rule = rule["sequence"][min(seen, len(rule["sequence"]) - 1)]

        if rule.get("delay_ms"):
            time.sleep(rule["delay_ms"] / 1000.0)
        if "status" in rule:
            return self.answer_status(rule["status"])
        if "redirect" in rule:
            return self.answer_redirect(rule["redirect"], rule.get("redirect_status", 301))
        if rule.get("redirect_loop"):
            hops = urllib.parse.parse_qs(url.query).get("hop", ["0"])[0]
            target = "%s?hop=%d" % (url.path, int(hops) + 1)
            return self.answer_redirect(target, rule.get("redirect_status", 302))
        self.answer_file(path, rule)

    def answer_status(self, status):
        body = ("status %d\n" % status).encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def answer_redirect(self, location, status):
        self.send_response(status)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()

    def answer_file(self, path, rule):
        root = os.path.realpath(self.server.root)
        local = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if os.path.commonpath([root, local]) != root or not os.path.isfile(local):
            return self.answer_status(404)

        use_gzip = rule.get("gzip") and "gzip" in self.headers.get("Accept-Encoding", "")
        if use_gzip:
            with open(local, "rb") as f:
                data = gzip.compress(f.read())
            size, source = len(data), BytesSource(data)
        else:
            size, source = os.path.getsize(local), FileSource(local)

        with source:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            if use_gzip:
                self.send_header("Content-Encoding", "gzip")
            if rule.get("chunked"):
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.end_headers()
            self.send_body(source, rule)

    def send_body(self, source, rule):
        chunked = bool(rule.get("chunked"))
        limit = None
        for key in ("stall_after", "cut_after"):
            if key in rule:
                limit = rule[key]
        rate = rule.get("trickle_rate")
        piece = max(1, rate // TRICKLE_SLICES_PER_SECOND) if rate else CHUNK_BYTES
        sent = 0
        while limit is None or sent < limit:
            want = piece if limit is None else min(piece, limit - sent)
            data = source.read(want)
            if not data:
                break
            self.send_piece(data, chunked)
            sent += len(data)
            if rate:
                time.sleep(1.0 / TRICKLE_SLICES_PER_SECOND)
        if "stall_after" in rule:
            time.sleep(rule.get("stall_seconds", 30))
            return
        if "cut_after" in rule:
            return self.reset_connection()
        if chunked:
            self.wfile.write(b"0\r\n\r\n")

    def send_piece(self, data, chunked):
        if chunked:
            self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
        else:
            self.wfile.write(data)

    def reset_connection(self):
        """Ends the connection with a TCP reset, without a TLS close_notify."""
        raw = socket.socket(fileno=os.dup(self.connection.fileno()))
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        raw.close()
        self.connection.close()
        self.wfile = NullWriter()


class NullWriter:
    def write(self, data):
        return len(data)

    def flush(self):
        pass

    def close(self):
        pass

    @property
    def closed(self):
        return False


class FileSource:
    def __init__(self, path):
        self.file = open(path, "rb")

    def read(self, n):
        return self.file.read(n)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.file.close()


class BytesSource:
    def __init__(self, data):
        self.data, self.offset = data, 0

    def read(self, n):
        piece = self.data[self.offset:self.offset + n]
        self.offset += len(piece)
        return piece

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128
    allow_reuse_address = True

    def finish_request(self, request, client_address):
        """Does the TLS handshake on the connection's own thread, not in the accept loop."""
        request.settimeout(10)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            tls.settimeout(120)
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            tls.close()

    def handle_error(self, request, client_address):
        pass

    def choose_certificate(self, tls, host, _context):
        """The TLS server-name callback: the certificate the control file names for `host`."""
        name = self.behaviour.control("certificates").get(host)
        if name:
            folder = os.path.dirname(self.certificate)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(folder, name + ".pem"),
                                    os.path.join(folder, name + "-key.pem"))
            tls.context = context


def write_atomically(path, text):
    temp = path + ".tmp"
    with open(temp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temp, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--ready")
    parser.add_argument("--control")
    parser.add_argument("--log")
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    server = Server((args.host, args.port), Handler)
    server.context, server.certificate = context, args.cert
    context.sni_callback = server.choose_certificate
    server.root = args.root
    server.behaviour = Behaviour(args.control)
    server.request_log = RequestLog(args.log)
    if args.ready:
        write_atomically(args.ready, "%d\n" % server.server_address[1])
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
