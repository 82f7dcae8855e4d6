#!/usr/bin/env python3
"""Slowest-answer benchmark: the daemon under Wine at its real connection bound, held by
peers that each read just over the minimum rate, and an honest peer that wants in.

63 loopback addresses (127.0.0.2 to 127.0.0.64) open 16 connections each (the default
bound per address), each with an 8 KiB receive buffer, ask for a 1 GiB file and empty
their receive buffer every 45 s (a few tens of KiB a minute: above the minimum rate,
below the rate under which the slowest answer gives way). An honest peer on 127.0.0.100
asks for a 64 KiB range every few seconds, each try given a time of its own. Prints when
the honest peer was first answered whole, counted from the moment every dripping
connection had its answer under way, beside the bound that the rules give: one window
of sending (60 s) and the next try."""

import argparse
import os
import re
import resource
import select
import selectors
import shutil
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "peer_download"))
from peer_download import Daemon  # noqa: E402

FILE_SIZE = 1 << 30
FILE_MD5 = "51ee9e5151ee9e5151ee9e5151ee9e51"
ADDRESSES = 63
PER_ADDRESS = 16
RECEIVE_BUFFER = 8 << 10
DRAIN_EVERY_S = 45
HONEST_FROM = "127.0.0.100"
HONEST_RANGE = 64 << 10
WINDOW_S = 60
EVICTED = re.compile(rb"the fewest of \d+ open: a new one takes its place")
REFUSED = re.compile(rb"Http connection refused: \d+ connections open")
TOO_SLOW = re.compile(rb"of its answer in \d+ s, fewer than \d+")


def log(text):
    print(text, file=sys.stderr, flush=True)


class Drippers:
    """The dripping connections, served by one thread: each drains its receive buffer
    at its own moment of every period, spread evenly over the period."""

    def __init__(self, port, reconnect, together):
        self.port, self.reconnect, self.together = port, reconnect, together
        self.socks = []
        self.next_drain = {}
        self.closed = 0
        self.reopened = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def connect(self, address):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
        sock.bind((address, 0))
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", self.port))
        return sock

    def open(self):
        selector = selectors.DefaultSelector()
        for address in range(ADDRESSES):
            for _ in range(PER_ADDRESS):
                selector.register(self.connect(f"127.0.0.{2 + address}"), selectors.EVENT_WRITE)
        deadline = time.monotonic() + 120
        while len(selector.get_map()) and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1):
                sock = key.fileobj
                selector.unregister(sock)
                if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    sock.close()
                    continue
                sock.send(f"GET /{FILE_MD5} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
                self.socks.append(sock)
        for key in list(selector.get_map().values()):
            key.fileobj.close()
        selector.close()
        now = time.monotonic()
        for index, sock in enumerate(self.socks):
            spread = 0 if self.together else DRAIN_EVERY_S * index / len(self.socks)
            self.next_drain[sock] = now + spread
        return len(self.socks)

    def run(self):
        while not self.stop.is_set():
            now = time.monotonic()
            for sock in list(self.next_drain):
                if self.next_drain[sock] > now:
                    continue
                self.next_drain[sock] = now + DRAIN_EVERY_S
                while True:
                    try:
                        got = sock.recv(1 << 16)
                    except BlockingIOError:
                        break
                    except OSError:
                        got = b""
                    if not got:
                        del self.next_drain[sock]
                        address = sock.getsockname()[0]
                        sock.close()
                        self.closed += 1
                        if self.reconnect:
                            self.reopen(address)
                        break
            self.stop.wait(0.1)

    def reopen(self, address):
        """A hostile peer comes back at once, asks again and drips again."""
        sock = self.connect(address)
        try:
            _, writable, _ = select.select([], [sock], [], 5)
            if not writable or sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                raise OSError
            sock.send(f"GET /{FILE_MD5} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        except OSError:
            sock.close()
            return
        self.reopened += 1
        self.next_drain[sock] = time.monotonic() + DRAIN_EVERY_S

    def open_count(self):
        return len(self.next_drain)

    def close(self):
        self.stop.set()
        self.thread.join()
        for sock in self.next_drain:
            sock.close()


def honest_try(port, timeout):
    """One request for a range; 'answered', 'closed' or 'timed out' and the seconds."""
    started = time.monotonic()
    try:
        with socket.socket() as sock:
            sock.settimeout(timeout)
            sock.bind((HONEST_FROM, 0))
            sock.connect(("127.0.0.1", port))
            sock.sendall(f"GET /{FILE_MD5} HTTP/1.1\r\nHost: x\r\n"
                         f"Range: bytes=0-{HONEST_RANGE - 1}\r\n\r\n".encode())
            data = b""
            while True:
                left = timeout - (time.monotonic() - started)
                if left <= 0:
                    raise socket.timeout()
                sock.settimeout(left)
                chunk = sock.recv(1 << 16)
                if not chunk:
                    return "closed", time.monotonic() - started
                data += chunk
                head_end = data.find(b"\r\n\r\n")
                if head_end >= 0 and len(data) - head_end - 4 >= HONEST_RANGE:
                    return "answered", time.monotonic() - started
    except socket.timeout:
        return "timed out", time.monotonic() - started
    except OSError:
        return "closed", time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--retry-every", type=float, default=3,
                        help="seconds between the honest peer's tries (default 3)")
    parser.add_argument("--try-timeout", type=float, default=20,
                        help="seconds each try may take to be answered whole (default 20)")
    parser.add_argument("--no-reconnect", action="store_true",
                        help="dripping connections closed by the daemon stay closed")
    parser.add_argument("--together", action="store_true",
                        help="every dripping connection drains at the same moments")
    parser.add_argument("--most", type=float, default=240,
                        help="seconds after which the run ends unanswered (default 240)")
    parser.add_argument("--binaries", type=Path,
                        help="the folder of the daemon's binaries (default build/win32/bin)")
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    work = Path(tempfile.mkdtemp(prefix="slowest-answer-"))
    binaries = args.binaries or Path(__file__).resolve().parents[2] / "build" / "win32" / "bin"
    path = work / "big.bin"
    with open(path, "wb") as f:
        f.truncate(FILE_SIZE)  # sparse: the rates matter, not the bytes
    daemon = Daemon(work, binaries, FILE_MD5, path, with_log=True, prefix="slowest-prefix")
    daemon.dwords["MaxConnectionsPerPeer"] = PER_ADDRESS
    drippers = None
    try:
        daemon.start()
        drippers = Drippers(daemon.port, not args.no_reconnect, args.together)
        opened = drippers.open()
        drippers.thread.start()
        flood_at = time.monotonic()
        log(f"{opened} dripping connections open")
        answered_at = None
        tries = []
        while time.monotonic() - flood_at < args.most:
            began = time.monotonic()
            outcome, took = honest_try(daemon.port, args.try_timeout)
            tries.append((began - flood_at, outcome, took))
            log(f"{began - flood_at:6.1f} s: {outcome} after {took:.1f} s; "
                f"{drippers.open_count()} dripping connections open")
            if outcome == "answered":
                answered_at = time.monotonic() - flood_at
                break
            rest = args.retry_every - (time.monotonic() - began)
            if rest > 0:
                time.sleep(rest)
        engine_log = (work / "engine.log").read_bytes()
        bound = WINDOW_S + args.retry_every + args.try_timeout
        print(f"dripping connections: {opened}, closed by the daemon during the run: "
              f"{drippers.closed}, opened again: {drippers.reopened}")
        print(f"log: {len(EVICTED.findall(engine_log))} slowest answers closed, "
              f"{len(REFUSED.findall(engine_log))} connections refused at the bound, "
              f"{len(TOO_SLOW.findall(engine_log))} dripping connections dropped as below the "
              f"minimum rate (each reads above it)")
        print(f"honest tries: {len(tries)}, "
              + ", ".join(f"{outcome}: {sum(1 for t in tries if t[1] == outcome)}"
                          for outcome in ("answered", "closed", "timed out")))
        if answered_at is None:
            print(f"honest peer answered: not within {args.most:.0f} s")
        else:
            print(f"honest peer answered at {answered_at:.1f} s; the rules' bound "
                  f"{bound:.0f} s (window {WINDOW_S} s + retry {args.retry_every:.0f} s + "
                  f"try {args.try_timeout:.0f} s); ratio {answered_at / bound:.2f}")
        return 0 if answered_at is not None and answered_at <= bound else 1
    finally:
        if drippers is not None:
            drippers.close()
        daemon.stop()
        if os.environ.get("KEEP_WORK") is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
