"""The soak run: peers on keep-alive connections fetch random ranges of five shared
files and of files shared while they run, a local client hands over a new file every
second, one shared file is rewritten now and then, and another program adds and
deletes catalogue entries in the registry behind the daemon's back. Every byte a peer receives is
compared with the file its MD5 names. The run measures the daemon's threads and memory
on the Linux side before, during and after.

The same run serves the short system test and the long benchmark (bench/soak); only
its length differs."""

import hashlib
import os
import random
import threading
import time
from dataclasses import dataclass, field
from typing import Optional

from conftest import ENGINE_KEY, reg_delete_key, reg_subkeys, winpath
from http_peer import register
from live_daemon import Peer, ipc_share, process_figures, settle

PEERS = 50
# 1 KiB to 8 MiB; the two small ones are below what a share accepts, so the
# catalogue entries of all five are written straight into the registry.
CORE_SIZES = (1 << 10, 64 << 10, 256 << 10, 1 << 20, 8 << 20)
# The rewritten file is shared again under its new MD5, so it must be shareable.
REWRITTEN = 2
MIN_SHARE = 128 << 10
SHARE_EVERY_S = 1.0
REWRITE_EVERY_S = 15.0
# Another program's change to the catalogue must be honoured this soon.
OUTSIDE_EVERY_S = 4.0
OUTSIDE_GRACE_S = 0.1
# Longest range a peer asks for: big enough for many chunks per answer, small
# enough that the 8 MiB file does not take all the time.
MAX_SPAN = 1 << 20
# Threads and memory must come back to within this much of the starting level.
TOLERANCE = 0.10
RETURN_TIMEOUT_S = 60
MAX_ERRORS_KEPT = 20


@dataclass
class Item:
    md5: str
    path: object
    data: bytes
    replaced_at: Optional[float] = None  # just before the rewrite replaced the file
    gone_at: Optional[float] = None      # just after (plus the grace of an outside change)
    reported: bool = True                # shared over IPC, so the tracker heard of it


class Pool:
    """The files the peers may ask for, as the run knows them at each moment."""

    def __init__(self, core):
        self.lock = threading.Lock()
        self.core = list(core)
        self.shared = []
        self.retired = []

    def pick(self, rng):
        with self.lock:
            roll = rng.random()
            if roll < 0.02 and self.retired:
                return rng.choice(self.retired)
            if roll < 0.2 and self.shared:
                return rng.choice(self.shared)
            return rng.choice(self.core)

    def add_shared(self, item):
        with self.lock:
            self.shared.append(item)

    def retire_shared(self, rng):
        with self.lock:
            if not self.shared:
                return None
            item = self.shared.pop(rng.randrange(len(self.shared)))
            self.retired.append(item)
            return item

    def replace_core(self, index, item):
        with self.lock:
            self.retired.append(self.core[index])
            self.core[index] = item


@dataclass
class Figures:
    seconds: float = 0
    peers: int = PEERS
    requests: int = 0
    bytes_verified: int = 0
    expected_404s: int = 0
    connections: int = 0
    shares: int = 0
    share_max_s: float = 0
    rewrites: int = 0
    outside_adds: int = 0
    outside_deletes: int = 0
    errors: int = 0
    error_samples: list = field(default_factory=list)
    cold: tuple = ()        # (threads, RSS KiB) right after start
    start: tuple = ()       # after the warm-up, quiet: the starting level
    peak: tuple = (0, 0)
    after: tuple = ()       # once the peers have left
    return_s: float = 0     # how long the return to the starting level took
    daemon_survived: bool = True
    missing_entries: list = field(default_factory=list)
    kept_stale_entries: list = field(default_factory=list)
    unreported: list = field(default_factory=list)

    def within_tolerance(self, figures):
        return (figures is not None and figures[0] <= self.start[0] * (1 + TOLERANCE)
                and figures[1] <= self.start[1] * (1 + TOLERANCE))

    def text(self):
        mib = self.bytes_verified / (1 << 20)
        lines = [
            "soak: %d s, %d peers" % (self.seconds, self.peers),
            "  requests answered and verified  %d (%.1f per second)"
            % (self.requests, self.requests / max(self.seconds, 1)),
            "  bytes verified                  %d (%.0f MiB, %.1f MiB/s)"
            % (self.bytes_verified, mib, mib / max(self.seconds, 1)),
            "  404s for rewritten files        %d" % self.expected_404s,
            "  peer connections opened         %d" % self.connections,
            "  files shared over IPC           %d (longest hand-over %.2f s)"
            % (self.shares, self.share_max_s),
            "  rewrites                        %d" % self.rewrites,
            "  outside adds / deletes          %d / %d" % (self.outside_adds, self.outside_deletes),
            "  errors                          %d" % self.errors,
            "  threads  cold %s, start %s, peak %s, after %s"
            % (self.cold[0], self.start[0], self.peak[0], self.after[0] if self.after else "-"),
            "  RSS KiB  cold %s, start %s, peak %s, after %s"
            % (self.cold[1], self.start[1], self.peak[1], self.after[1] if self.after else "-"),
            "  back within %d %% of the start after %.1f s"
            % (TOLERANCE * 100, self.return_s),
        ]
        lines += ["  error: " + sample for sample in self.error_samples]
        return "\n".join(lines)


def make_core(folder, seed=0):
    """The five files, with their MD5s: {md5: path} and the items."""
    rng = random.Random(seed)
    items = []
    for index, size in enumerate(CORE_SIZES):
        data = rng.randbytes(size)
        path = folder / ("core%d.bin" % index)
        path.write_bytes(data)
        items.append(Item(hashlib.md5(data).hexdigest(), path, data))
    return items


class SoakRun:
    def __init__(self, daemon, folder, core, seconds):
        self.daemon = daemon
        self.folder = folder
        self.shared_folder = folder / "shared"
        self.shared_folder.mkdir(exist_ok=True)
        self.seconds = seconds
        self.pool = Pool(core)
        self.figures = Figures(seconds=seconds)
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.share_count = 0

    # --- bookkeeping -----------------------------------------------------------------

    def error(self, text):
        with self.lock:
            self.figures.errors += 1
            if len(self.figures.error_samples) < MAX_ERRORS_KEPT:
                self.figures.error_samples.append(text)

    def count(self, **amounts):
        with self.lock:
            for name, amount in amounts.items():
                setattr(self.figures, name, getattr(self.figures, name) + amount)

    # --- one request, checked --------------------------------------------------------

    @staticmethod
    def choose_range(rng, size):
        """(Range header line, first byte, last byte) by the daemon's range rule."""
        roll = rng.random()
        if roll < 0.1:
            return "", 0, size - 1
        first = rng.randrange(size)
        if roll < 0.3:
            return "Range: bytes=%d-\r\n" % first, first, size - 1
        last = min(size - 1, first + rng.randrange(MAX_SPAN))
        # An end of 0 reads as "to the last byte".
        return "Range: bytes=%d-%d\r\n" % (first, last), first, last or size - 1

    def check(self, item, first, last, answer, sent_at, done_at):
        size = len(item.data)
        length = last - first + 1
        if answer.status in (200, 206):
            status = 200 if length == size else 206
            if (answer.status != status
                    or answer.header("Content-Range") != "bytes %d-%d/%d" % (first, last, size)
                    or answer.body != item.data[first:last + 1]):
                self.error("%s bytes %d-%d: %r, %d of %d body bytes %s"
                           % (item.md5, first, last, answer.head[:40], len(answer.body), length,
                              "match" if answer.body == item.data[first:first + len(answer.body)]
                              else "differ"))
            elif item.gone_at is not None and sent_at > item.gone_at:
                self.error("%s served after its file was rewritten" % item.md5)
            else:
                self.count(requests=1, bytes_verified=length)
        elif answer.not_found:
            if item.replaced_at is not None and done_at >= item.replaced_at:
                self.count(expected_404s=1)
            else:
                self.error("%s answered 404 while shared" % item.md5)
        else:
            self.error("%s: unexpected answer %r with %d body bytes"
                       % (item.md5, answer.head[:80], len(answer.body)))

    # --- the actors ------------------------------------------------------------------

    def peer_loop(self, index):
        rng = random.Random(1000 + index)
        peer = Peer(self.daemon.http_port)
        try:
            while not self.stop.is_set():
                item = self.pool.pick(rng)
                header, first, last = self.choose_range(rng, len(item.data))
                sent_at = time.monotonic()
                try:
                    answer = peer.get(item.md5, header)
                except OSError as failure:
                    self.error("%s: %s" % (item.md5, failure))
                    peer.close()
                    continue
                self.check(item, first, last, answer, sent_at, time.monotonic())
        finally:
            self.count(connections=peer.connections)
            peer.close()

    def share_one(self, number):
        rng = random.Random(number)
        data = rng.randbytes(rng.randrange(MIN_SHARE, 3 * MIN_SHARE))
        path = self.shared_folder / ("s%05d.pak" % number)
        path.write_bytes(data)
        item = Item(hashlib.md5(data).hexdigest(), path, data)
        started = time.monotonic()
        try:
            got = ipc_share(self.daemon.ipc_port, winpath(path), item.md5,
                            "http://cdn.example/soak/%d" % number, "1")
        except OSError as failure:
            self.error("share %d: %s" % (number, failure))
            return
        took = time.monotonic() - started
        if got:
            self.error("share %d: the IPC service answered %r" % (number, got[:40]))
        with self.lock:
            self.figures.shares += 1
            self.figures.share_max_s = max(self.figures.share_max_s, took)
        self.pool.add_shared(item)

    def share_loop(self, workers):
        # One hand-over a second, each on its own thread: a slow one does not
        # hold back the next.
        next_at = time.monotonic()
        while not self.stop.wait(max(0, next_at - time.monotonic())):
            next_at += SHARE_EVERY_S
            self.share_count += 1
            worker = threading.Thread(target=self.share_one, args=(self.share_count,))
            worker.start()
            workers.append(worker)

    def rewrite_once(self, rng):
        old = self.pool.core[REWRITTEN]
        data = rng.randbytes(len(old.data))  # same size: only the time tells
        fresh = old.path.with_suffix(".new")
        fresh.write_bytes(data)
        stamp = max(int(time.time()), int(os.stat(old.path).st_mtime) + 2)
        os.utime(fresh, (stamp, stamp))
        # Replaced in one step, as a downloader finishing a file does: an answer
        # under way keeps reading the old file, a new lookup meets the new one.
        old.replaced_at = time.monotonic()
        os.replace(fresh, old.path)
        old.gone_at = time.monotonic()
        probe = Peer(self.daemon.http_port)
        try:
            answer = probe.get(old.md5)
            if answer.not_found:
                self.count(expected_404s=1)
            else:
                self.error("rewritten %s: %r" % (old.md5, answer.head[:60]))
        except OSError as failure:
            self.error("rewritten %s: %s" % (old.md5, failure))
        finally:
            probe.close()
        item = Item(hashlib.md5(data).hexdigest(), old.path, data)
        got = ipc_share(self.daemon.ipc_port, winpath(old.path), item.md5,
                        "http://cdn.example/soak/rewritten", "1")
        if got:
            self.error("share of the rewritten file answered %r" % got[:40])
        self.pool.replace_core(REWRITTEN, item)
        self.count(rewrites=1)

    def rewrite_loop(self):
        rng = random.Random(7)
        while not self.stop.wait(REWRITE_EVERY_S):
            try:
                self.rewrite_once(rng)
            except OSError as failure:
                self.error("rewrite: %s" % failure)

    def probe(self, item, want_found, what):
        peer = Peer(self.daemon.http_port)
        try:
            answer = peer.get(item.md5)
            if want_found and answer.body != item.data:
                self.error("%s %s: %r" % (what, item.md5, answer.head[:60]))
            if not want_found and not answer.not_found:
                self.error("%s %s still served: %r" % (what, item.md5, answer.head[:60]))
        except OSError as failure:
            self.error("%s %s: %s" % (what, item.md5, failure))
        finally:
            peer.close()

    def outside_once(self, rng, number):
        """Another program adds an entry, or deletes one: either shows within the grace."""
        if number % 2 == 0:
            data = rng.randbytes(MIN_SHARE + number)
            path = self.shared_folder / ("outside%04d.pak" % number)
            path.write_bytes(data)
            item = Item(hashlib.md5(data).hexdigest(), path, data, reported=False)
            register({item.md5: path}, self.folder)
            time.sleep(OUTSIDE_GRACE_S)
            self.probe(item, True, "added outside")
            self.pool.add_shared(item)
            self.count(outside_adds=1)
            return
        item = self.pool.retire_shared(rng)
        if item is None:
            return
        item.replaced_at = time.monotonic()
        reg_delete_key(ENGINE_KEY + "\\" + item.md5)
        item.gone_at = time.monotonic() + OUTSIDE_GRACE_S
        time.sleep(OUTSIDE_GRACE_S)
        self.probe(item, False, "deleted outside")
        self.count(outside_deletes=1)

    def outside_loop(self):
        rng = random.Random(11)
        number = 0
        while not self.stop.wait(OUTSIDE_EVERY_S):
            try:
                self.outside_once(rng, number)
            except OSError as failure:
                self.error("outside change: %s" % failure)
            number += 1

    def watch_loop(self):
        while not self.stop.wait(1):
            now = process_figures(self.daemon.pid)
            if now is None:
                self.figures.daemon_survived = False
                self.error("the daemon is gone")
                self.stop.set()
                return
            self.figures.peak = (max(self.figures.peak[0], now[0]),
                                 max(self.figures.peak[1], now[1]))

    # --- the run ---------------------------------------------------------------------

    def warm_up(self):
        """Every kind of work once, on a few connections, so that what Wine and the
        engine set up on first use (socket and web libraries, heap, the catalogue)
        counts in the starting level rather than as growth."""
        rng = random.Random(1)
        for _ in range(3):
            peer = Peer(self.daemon.http_port)
            for item in self.pool.core:
                header, first, last = self.choose_range(rng, len(item.data))
                self.check(item, first, last, peer.get(item.md5, header), 0, 0)
            answer = peer.get("f" * 32)
            if not answer.not_found:
                self.error("unknown MD5: %r" % answer.head[:60])
            peer.close()
        self.share_count += 1
        self.share_one(self.share_count)

    def run(self):
        pid = self.daemon.pid
        self.figures.cold = process_figures(pid)
        self.warm_up()
        self.figures.start = settle(pid)
        self.figures.peak = self.figures.start

        peers = [threading.Thread(target=self.peer_loop, args=(i,)) for i in range(PEERS)]
        share_workers = []
        helpers = [threading.Thread(target=self.share_loop, args=(share_workers,)),
                   threading.Thread(target=self.rewrite_loop),
                   threading.Thread(target=self.outside_loop),
                   threading.Thread(target=self.watch_loop)]
        for thread in peers + helpers:
            thread.start()
        self.stop.wait(self.seconds)
        self.stop.set()
        for thread in peers + helpers + share_workers:
            thread.join(timeout=180)
            if thread.is_alive():
                self.error("%s still runs after the end" % thread.name)

        # The peers have closed their connections: their threads end, and
        # their buffers go back.
        left_at = time.monotonic()
        deadline = left_at + RETURN_TIMEOUT_S
        while True:
            after = process_figures(pid)
            if self.figures.within_tolerance(after) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        self.figures.after = after or ()
        self.figures.return_s = time.monotonic() - left_at
        self.figures.daemon_survived = self.figures.daemon_survived and after is not None
        self.check_catalogue()
        return self.figures

    def check_catalogue(self):
        keys = {name.lower() for name in reg_subkeys(ENGINE_KEY)}
        with self.pool.lock:
            live = self.pool.core + self.pool.shared
            retired = {item.md5 for item in self.pool.retired}
        self.figures.missing_entries = sorted(
            item.md5 for item in live if item.md5 not in retired and item.md5 not in keys)
        self.figures.kept_stale_entries = sorted(md5 for md5 in retired if md5 in keys)
        reported = {dict(request["query"]).get("md5") for request in self.daemon.tracker.requests()}
        with self.pool.lock:
            self.figures.unreported = sorted(item.md5 for item in self.pool.shared
                                             if item.reported and item.md5 not in reported)
