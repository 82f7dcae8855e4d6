#!/usr/bin/env python3
"""Upload cap benchmark: the daemon under Wine serves one large file to 1, 8 and 50 peers
on loopback, each reading as fast as it can, under caps of 256 KiB/s, 2 MiB/s and
20 MiB/s and with no cap. For each row it prints the aggregate rate over the cap, the
smallest and largest peer's share over the fair share, and the CPU seconds per wall
second of the daemon and its prefix's wineserver. KiB and MiB are 2^10 and 2^20 bytes,
MB and GB 10^6 and 10^9."""

import argparse
import os
import re
import shutil
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "peer_download"))
from peer_download import SOURCE, Daemon, cpu_seconds  # noqa: E402

# Sparse: the throttle is measured, not the disk. The catalogue stores the length as a
# DWORD, so the file stays below 4 GiB.
FILE_SIZE = 1 << 30
FILE_MD5 = "5eed0000c0ffee005eed0000c0ffee00"
# Each peer asks for ranges this long, one after another, each on a new connection.
RANGE_BYTES = 256 << 20
CAP_LINE = re.compile(rb"Upload cap in force: ([^\r\n]*)\r?\n")


def log(text):
    print(text, file=sys.stderr, flush=True)


def quantum(cap_bytes, waiters):
    """The most one turn of the shared budget grants (as the throttle sizes it, with
    every peer waiting for its turn)."""
    share = cap_bytes // 16
    if waiters > 8:
        share = share * 8 // waiters
    return min(64 << 10, max(512, share))


class Peers:
    """`count` threads, each downloading ranges of the file as fast as it reads, counting
    the bytes it receives (heads included: the budget pays for them too)."""

    def __init__(self, port, count):
        self.port, self.count = port, count
        self.received = [0] * count
        self.errors = []
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self.run, args=(index,), daemon=True)
                        for index in range(count)]

    def start(self):
        for thread in self.threads:
            thread.start()

    def finish(self):
        self.stop.set()
        for thread in self.threads:
            thread.join(timeout=30)

    def snapshot(self):
        return list(self.received)

    def run(self, index):
        buffer = bytearray(1 << 20)
        view = memoryview(buffer)
        first = (index * (64 << 20)) % (FILE_SIZE - RANGE_BYTES)
        try:
            while not self.stop.is_set():
                self.one_range(index, view, first)
                first = (first + RANGE_BYTES) % (FILE_SIZE - RANGE_BYTES)
        except OSError as error:
            if not self.stop.is_set():
                self.errors.append(f"peer {index}: {error}")

    def one_range(self, index, view, first):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as peer:
            # Wakes up now and then to see whether the row has ended: with 50 peers
            # under the smallest cap a turn comes round every few seconds.
            peer.settimeout(0.5)
            peer.sendall(f"GET /{FILE_MD5} HTTP/1.1\r\nHost: x\r\n"
                         f"Range: bytes={first}-{first + RANGE_BYTES - 1}\r\n\r\n".encode())
            head = b""
            body = 0
            expected = None
            while not self.stop.is_set():
                try:
                    got = peer.recv_into(view)
                except socket.timeout:
                    continue
                if got == 0:
                    if expected is None or body < expected:
                        raise OSError("connection closed early")
                    return
                self.received[index] += got
                if expected is None:
                    head += bytes(view[:got])
                    if b"\r\n\r\n" not in head:
                        continue
                    head, _, rest = head.partition(b"\r\n\r\n")
                    if not head.startswith(b"HTTP/1.1 206"):
                        raise OSError("answer " + head.split(b"\r\n")[0].decode(errors="replace"))
                    expected = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
                    body = len(rest)
                else:
                    body += got
                if body >= expected:
                    return


def daemon_threads(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except FileNotFoundError:
        return 0


def switches(pid):
    """Voluntary context switches of the live threads of `pid` so far: each is one sleep
    of a thread (a wait for the budget, the socket, the mutex, or the wineserver's
    answer)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            text = Path(f"/proc/{pid}/task/{tid}/status").read_text()
        except FileNotFoundError:
            continue
        total += int(re.search(r"^voluntary_ctxt_switches:\s*(\d+)", text, re.M).group(1))
    return total


def set_cap(daemon, kbps, mark):
    """Writes the cap with zrvdctl and waits for the daemon's line that puts it in force;
    answers the seconds from the end of the write to the line and the new log mark."""
    want = f"normal, {kbps} KiB/s" if kbps else "normal, no cap"
    result = daemon.wine(daemon.game / "zrvdctl.exe", "limit", str(kbps))
    if result.returncode != 0:
        raise SystemExit(f"zrvdctl limit {kbps} failed")
    written = time.monotonic()
    engine_log = daemon.work / "engine.log"
    while time.monotonic() - written < 15:
        text = engine_log.read_bytes() if engine_log.exists() else b""
        if len(text) < mark:  # the log was set aside for a fresh one
            mark = 0
        lines = CAP_LINE.findall(text[mark:])
        if lines and lines[-1].decode() == want:
            return time.monotonic() - written, len(text)
        time.sleep(0.05)
    raise SystemExit(f"no line 'Upload cap in force: {want}' within 15 s")


def settle(daemon, baseline, timeout=15):
    """Waits until the connection threads of the last row have ended; answers how many
    threads above the idle count are left."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if daemon_threads(daemon.pid) <= baseline:
            return 0
        time.sleep(0.2)
    return daemon_threads(daemon.pid) - baseline


def measure_row(daemon, cap_kbps, peers, options):
    cpu_pids = daemon.cpu_pids()
    server_pids = daemon.prefix_processes("wineserver")
    group = Peers(daemon.port, peers)
    group.start()
    try:
        time.sleep(options.warmup)
        cpu_before = cpu_seconds(cpu_pids)
        server_before = cpu_seconds(server_pids)
        switches_before = switches(daemon.pid)
        before = group.snapshot()
        start = time.monotonic()
        time.sleep(options.seconds)
        after = group.snapshot()
        wall = time.monotonic() - start
        cpu = cpu_seconds(cpu_pids) - cpu_before
        server_cpu = cpu_seconds(server_pids) - server_before
        slept = switches(daemon.pid) - switches_before
    finally:
        group.finish()
    if group.errors:
        raise SystemExit("peer errors:\n" + "\n".join(group.errors[:10]))
    shares = [b - a for a, b in zip(before, after)]
    total = sum(shares)
    fair = total / peers
    return {
        "cap": cap_kbps, "peers": peers, "rate": total / wall, "wall": wall,
        "min": min(shares) / fair if fair else 0, "max": max(shares) / fair if fair else 0,
        "cpu_per_s": cpu / wall, "server_per_s": server_cpu / wall, "cpu_per_gb": cpu / (total / 1e9) if total else None,
        "turns": (fair / quantum(cap_kbps * 1024, peers)) if cap_kbps else None,
        "sleeps": (slept / (total / quantum(cap_kbps * 1024, peers))
                   if cap_kbps and total else None),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=10, help="measured window of each row")
    parser.add_argument("--warmup", type=float, default=2, help="unmeasured start of each row")
    parser.add_argument("--caps", default="256,2048,20480", help="caps in KiB/s")
    parser.add_argument("--peers", default="1,8,50", help="peer counts")
    parser.add_argument("--bin", default=str(SOURCE / "build" / "win32" / "bin"))
    options = parser.parse_args()
    caps = [int(cap) for cap in options.caps.split(",")]
    counts = [int(count) for count in options.peers.split(",")]

    work = Path(tempfile.mkdtemp(prefix="zrvd-upload-bench-"))
    daemon = None
    try:
        path = work / "file.bin"
        with open(path, "wb") as f:
            f.truncate(FILE_SIZE)
        log("starting the daemon")
        # Its log is on: the cap lines tell when a cap is in force. Every request logs
        # a few lines; with 256 MiB ranges that is a few lines a second at most.
        daemon = Daemon(work, Path(options.bin), FILE_MD5, path, True,
                        prefix="bench-upload-prefix")
        # Its peers are on loopback, which is LAN: under the caps only when asked.
        daemon.dwords["LanPeersUncapped"] = 0
        daemon.start()
        time.sleep(2)
        mark = 0

        idle_threads = daemon_threads(daemon.pid)
        pids = daemon.cpu_pids()
        before = cpu_seconds(pids)
        started = time.monotonic()
        time.sleep(options.seconds)
        idle_cpu = (cpu_seconds(pids) - before) / (time.monotonic() - started)
        log(f"idle: {idle_cpu:.4f} CPU s/s, {idle_threads} threads")

        rows = []
        for cap in caps + [0]:
            took, mark = set_cap(daemon, cap, mark)
            log(f"cap {cap or 'none'} KiB/s in force {took:.2f} s after zrvdctl returned")
            for count in counts:
                row = measure_row(daemon, cap, count, options)
                row["load"] = os.getloadavg()[0]
                left = settle(daemon, idle_threads)
                row["left"] = left
                rows.append(row)
                log(f"  {count} peers: {row['rate'] / 2**20:.3f} MiB/s, shares "
                    f"{row['min']:.3f}-{row['max']:.3f}, {row['cpu_per_s']:.4f} CPU s/s "
                    f"(wineserver {row['server_per_s']:.4f}), "
                    f"load {row['load']:.1f}"
                    + (f", {left} daemon threads still up after 15 s" if left else ""))

        print(f"{'cap KiB/s':>10}{'peers':>6}{'MiB/s':>10}{'rate/cap':>10}{'min share':>11}"
              f"{'max share':>11}{'turns/peer':>12}{'CPU s/s':>9}{'CPU s/GB':>10}{'load':>6}")
        print(f"{'idle':>10}{'-':>6}{'-':>10}{'-':>10}{'-':>11}{'-':>11}{'-':>12}"
              f"{idle_cpu:>9.4f}{'-':>10}{'-':>12}{'-':>6}")
        for row in rows:
            cap = row["cap"]
            print(f"{cap if cap else 'none':>10}{row['peers']:>6}{row['rate'] / 2**20:>10.2f}"
                  + (f"{row['rate'] / (cap * 1024):>10.3f}" if cap else f"{'-':>10}")
                  + f"{row['min']:>11.3f}{row['max']:>11.3f}"
                  + (f"{row['turns']:>12.1f}" if row["turns"] is not None else f"{'-':>12}")
                  + f"{row['cpu_per_s']:>9.4f}"
                  + (f"{row['cpu_per_gb']:>10.2f}" if row["cpu_per_gb"] else f"{'-':>10}")
                  + (f"{row['sleeps']:>12.1f}" if row["sleeps"] is not None else f"{'-':>12}")
                  + f"{row['load']:>6.1f}")
        print(f"({options.seconds:g} s measured after {options.warmup:g} s of warm-up per row; "
              "shares are each peer's bytes over the fair share, total/peers; turns/peer is "
              "the fair share in grants of the budget; CPU is the daemon and its wineserver; "
              "sleeps/turn is the daemon threads' voluntary context switches per grant; "
              "load is the 1-minute load average at the row's end)")
    finally:
        if daemon is not None:
            daemon.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
