#!/usr/bin/env python3
"""Local stand-in for the tracker host, for tests and demos.

HTTP side: answers "GET /insert.php?..." with "OK\\r\\n<n>\\r\\n", n counting the reports
taken so far, and records every request it receives as one JSON line, with its head as
it came ("head": the request line and each header line, in order). Other paths get
404, except "/_sim/answer", which answers as its query asks (for client tests):

    status=N        status code (200)
    body=TEXT       body, percent-encoded in the query ("")
    length=TEXT     announced Content-Length, sent as given (the body's length); a
                    larger number than the body sends the body and closes, "none"
                    sends no header
    hold=1          answer nothing until the simulator stops

How the insert reports are answered is set with --answer:

    ok              "OK\\r\\n<n>\\r\\n" (default)
    status:N        status N with a one-line body
    body:TEXT       status 200 with TEXT as the body
    silent          read the request and never answer; the connection stays open
                    until the simulator stops
    drop            read the request and close without a byte

UDP side: receives the catalogue announcements on the HTTP port's number (the engine
sends both to the one TrackerHost setting) and records each datagram, byte for byte, as
a JSON line of kind "udp" with its data as latin-1 text.

Probe side: a TCP listener on a port of its own (the ProbeHost setting) that accepts
and records each connection (kind "probe"); nothing is sent or read.

Each part of the tracker is a service with start() and stop() and a port.

Command line:
    tracker_sim.py [--host H] [--http-port P] [--record FILE] [--answer MODE]
                   [--ready-file FILE] [-- COMMAND ...]
Prints "http PORT", "udp PORT" and "probe PORT" when ready (and writes them as JSON to
--ready-file). With a
COMMAND, runs it with ZRVD_TRACKER_SIM=H:PORT (and ZRVD_TRACKER_SIM_RECORD=FILE) in
its environment and exits with its exit code; otherwise serves until interrupted.

As a module: TrackerSim(answer="ok").start(), .http_port, .address, .requests(),
.wait_for_requests(n, timeout), .clear_requests(), .set_answer(mode), .hold_answers(),
.release_answers(), .stop().
"""

import argparse
import datetime
import json
import os
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse

MAX_HEAD_BYTES = 64 * 1024
HEAD_TIMEOUT_S = 30
REASONS = {200: "OK", 206: "Partial Content", 400: "Bad Request", 404: "Not Found",
           500: "Internal Server Error", 503: "Service Unavailable"}


def parse_answer(mode):
    """Checks an --answer mode; returns it unchanged."""
    if mode in ("ok", "silent", "drop") or mode.startswith("body:"):
        return mode
    if mode.startswith("status:") and mode[7:].isdigit():
        return mode
    raise ValueError("unknown answer mode: %r" % mode)


class Recorder:
    """Keeps every request in memory and, when given a file, as JSON lines there."""

    def __init__(self, path=None):
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._items = []
        self._file = open(path, "a", encoding="utf-8") if path else None

    def add(self, item):
        with self._cond:
            self._items.append(item)
            if self._file:
                self._file.write(json.dumps(item, sort_keys=True) + "\n")
                self._file.flush()
            self._cond.notify_all()

    def items(self, kind=None):
        with self._lock:
            return [i for i in self._items if kind is None or i["kind"] == kind]

    def wait_for(self, count, timeout, kind=None):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                got = [i for i in self._items if kind is None or i["kind"] == kind]
                left = deadline - time.monotonic()
                if len(got) >= count or left <= 0:
                    return got
                self._cond.wait(left)

    def clear(self):
        with self._lock:
            self._items.clear()

    def close(self):
        if self._file:
            self._file.close()


def read_head(conn):
    """The request head (up to the blank line) as bytes, or None."""
    data = b""
    conn.settimeout(HEAD_TIMEOUT_S)
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEAD_BYTES:
            return None
        try:
            chunk = conn.recv(4096)
        except OSError:
            return None
        if not chunk:
            return None
        data += chunk
    return data.split(b"\r\n\r\n", 1)[0]


def response(status, body, length=None):
    """A whole answer; `length` is the Content-Length text (none when None)."""
    reason = REASONS.get(status, "Status")
    head = "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nConnection: close\r\n" % (status, reason)
    if length is not None:
        head += "Content-Length: %s\r\n" % length
    return head.encode("latin-1") + b"\r\n" + body


class HttpService:
    """The tracker's web side: insert reports and the scripted test answers."""

    def __init__(self, sim, host, port):
        self.sim = sim
        service = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                service.handle(self.request, self.client_address)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True
            request_queue_size = 256

        self.server = Server((host, port), Handler)
        self.port = self.server.server_address[1]
        self.thread = None

    def start(self):
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    def handle(self, conn, client):
        head = read_head(conn)
        if head is None:
            return
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        method, target = (parts[0], parts[1]) if len(parts) >= 2 else (lines[0], "")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        split = urllib.parse.urlsplit(target)
        item = {
            "kind": "http",
            "time": datetime.datetime.now().isoformat(timespec="milliseconds"),
            "client": "%s:%d" % client,
            "method": method,
            "target": target,
            "path": split.path,
            "query": urllib.parse.parse_qsl(split.query, keep_blank_values=True),
            "headers": headers,
            "head": lines,
        }
        # Recorded before the answer, so that a request left unanswered shows too.
        if method == "GET" and split.path == "/_sim/answer":
            item["answer"] = "scripted"
            self.sim.recorder.add(item)
            self.scripted(conn, split.query)
        elif method == "GET" and split.path == "/insert.php":
            item["answer"] = self.sim.answer
            self.sim.recorder.add(item)
            self.insert(conn, item["answer"])
        else:
            item["answer"] = "status:404"
            self.sim.recorder.add(item)
            conn.sendall(response(404, b"not found\r\n", 11))

    def insert(self, conn, mode):
        self.sim.gate.wait()
        if mode == "silent":
            # Held open, unanswered, until the simulator stops.
            self.sim.stopping.wait()
            return
        if mode == "drop":
            return
        if mode.startswith("status:"):
            status = int(mode[7:])
            body = ("%d\r\n" % status).encode()
            conn.sendall(response(status, body, len(body)))
            return
        if mode.startswith("body:"):
            body = mode[5:].encode("latin-1")
            conn.sendall(response(200, body, len(body)))
            return
        count = self.sim.count_report()
        body = b"OK\r\n%d\r\n" % count
        conn.sendall(response(200, body, len(body)))

    def scripted(self, conn, query):
        fields = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        if fields.get("hold") == "1":
            self.sim.stopping.wait()
            return
        status = int(fields.get("status", "200"))
        body = fields.get("body", "").encode("latin-1")
        length = fields.get("length", str(len(body)))
        conn.sendall(response(status, body, None if length == "none" else length))


class SocketService:
    """A socket served by one thread until the simulator stops."""

    def __init__(self, sim, sock):
        self.sim = sim
        self.sock = sock
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.thread = None

    def start(self):
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.sim.stopping.is_set():
            try:
                item = self.take()
            except socket.timeout:
                continue
            except OSError:
                return
            item["time"] = datetime.datetime.now().isoformat(timespec="milliseconds")
            self.sim.recorder.add(item)

    def stop(self):
        if self.thread:
            self.thread.join(timeout=5)
        self.sock.close()


class UdpService(SocketService):
    """Records every announcement datagram."""

    def __init__(self, sim, host, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((host, port))
        super().__init__(sim, sock)

    def take(self):
        data, client = self.sock.recvfrom(65535)
        return {"kind": "udp", "client": "%s:%d" % client, "data": data.decode("latin-1")}


class ProbeService(SocketService):
    """Accepts the address probe's connections; the engine only reads its own end."""

    def __init__(self, sim, host, port=0):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
        sock.listen(64)
        super().__init__(sim, sock)

    def take(self):
        conn, client = self.sock.accept()
        conn.close()
        return {"kind": "probe", "client": "%s:%d" % client}


class TrackerSim:
    def __init__(self, host="127.0.0.1", http_port=0, record=None, answer="ok"):
        self.host = host
        self.answer = parse_answer(answer)
        self.recorder = Recorder(record)
        self.stopping = threading.Event()
        # Open unless a test holds the insert answers back (hold_answers).
        self.gate = threading.Event()
        self.gate.set()
        self._count_lock = threading.Lock()
        self._reports = 0
        # The UDP side shares the HTTP side's port number; retry when another
        # program holds that number for UDP.
        for attempt in range(20):
            self.http = HttpService(self, host, http_port)
            try:
                self.udp = UdpService(self, host, self.http.port)
                break
            except OSError:
                self.http.server.server_close()
                if http_port or attempt == 19:
                    raise
        self.probe = ProbeService(self, host)
        self.services = [self.http, self.udp, self.probe]

    @property
    def http_port(self):
        return self.http.port

    @property
    def address(self):
        """host:port of the HTTP side, as the TrackerHost setting takes it."""
        return "%s:%d" % (self.host, self.http_port)

    @property
    def probe_port(self):
        return self.probe.port

    @property
    def probe_address(self):
        """host:port of the probe listener, as the ProbeHost setting takes it."""
        return "%s:%d" % (self.host, self.probe_port)

    def datagrams(self):
        """The announcement datagrams received so far, as bytes."""
        return [i["data"].encode("latin-1") for i in self.recorder.items("udp")]

    def wait_for_datagrams(self, count, timeout=30):
        got = self.recorder.wait_for(count, timeout, "udp")
        return [i["data"].encode("latin-1") for i in got]

    def probes(self):
        return self.recorder.items("probe")

    def set_answer(self, mode):
        self.answer = parse_answer(mode)

    def hold_answers(self):
        """Insert reports wait, unanswered, until release_answers."""
        self.gate.clear()

    def release_answers(self):
        self.gate.set()

    def count_report(self):
        with self._count_lock:
            self._reports += 1
            return self._reports

    def requests(self):
        return self.recorder.items("http")

    def clear_requests(self):
        """Forgets what was recorded so far (the record file keeps it)."""
        self.recorder.clear()

    def wait_for_requests(self, count, timeout=30):
        return self.recorder.wait_for(count, timeout, "http")

    def start(self):
        for service in self.services:
            service.start()
        return self

    def stop(self):
        self.stopping.set()
        self.gate.set()
        for service in self.services:
            service.stop()
        self.recorder.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--http-port", type=int, default=0)
    parser.add_argument("--record", help="append each request as a JSON line here")
    parser.add_argument("--answer", default="ok", help="ok | silent | drop | status:N | body:TEXT")
    parser.add_argument("--ready-file", help="write the bound ports here as JSON")
    parser.add_argument("command", nargs=argparse.REMAINDER,
                        help="-- COMMAND ...: run it against the simulator, exit with its code")
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    sim = TrackerSim(args.host, args.http_port, args.record, args.answer).start()
    ports = {"http": sim.http_port, "udp": sim.udp.port, "probe": sim.probe_port}
    for name in ("http", "udp", "probe"):
        print("%s %d" % (name, ports[name]), flush=True)
    if args.ready_file:
        with open(args.ready_file, "w", encoding="utf-8") as ready:
            json.dump(ports, ready)
    try:
        if command:
            env = dict(os.environ, ZRVD_TRACKER_SIM=sim.address,
                       ZRVD_PROBE_SIM=sim.probe_address)
            if args.record:
                env["ZRVD_TRACKER_SIM_RECORD"] = os.path.abspath(args.record)
            return subprocess.call(command, env=env)
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        return 0
    finally:
        sim.stop()


if __name__ == "__main__":
    sys.exit(main())
