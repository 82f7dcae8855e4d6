"""A daemon started as the launcher starts it, reporting to a local tracker simulator,
with the loopback clients that the soak and fault tests drive it through: the IPC
hand-over, a keep-alive HTTP peer, and the Linux side's view of its threads and memory."""

import os
import re
import socket
import subprocess
import sys
import time

import pytest

from conftest import (ENGINE_KEY, SOURCE, kill_daemons, linux_daemon_pids, reg_add,
                      wait_for, wine_env)
from http_peer import PEERS_FROM_LOOPBACK

sys.path.insert(0, str(SOURCE / "tools"))
from tracker_sim import TrackerSim  # noqa: E402

# "侦听端口: %d 成功" as the log writes it, in GBK.
LISTENING = re.compile("侦听端口: (\\d+) 成功".encode("gbk"))
NOT_FOUND = b"HTTP/1.0 404 Not Found\r\n\r\n"


def gbk(text):
    return text.encode("gbk")


class LiveDaemon:
    """The daemon of `install`, kept up by a launcher window, its tracker host and
    probe host pointed at `tracker`. start() may be called again after a kill."""

    def __init__(self, install, tracker):
        self.install = install
        self.tracker = tracker
        self.launcher = None
        self.pid = self.http_port = self.ipc_port = None
        reg_add(ENGINE_KEY, "TrackerHost", "REG_SZ", tracker.address)
        reg_add(ENGINE_KEY, "ProbeHost", "REG_SZ", tracker.probe_address)
        reg_add(ENGINE_KEY, "PortMapping", "REG_DWORD", 0)
        # Many test peers come from one address.
        reg_add(ENGINE_KEY, "MaxConnectionsPerPeer", "REG_DWORD", PEERS_FROM_LOOPBACK)

    def start(self):
        self.stop()
        self.launcher = self.install.ctl_popen("launcher", "3600")
        assert self.launcher.stdout.readline().startswith(b"launcher window up")
        self.install.start()
        pids = wait_for(linux_daemon_pids, 30)
        assert len(pids) == 1, pids
        self.pid = pids[0]
        found = wait_for(lambda: LISTENING.search(self.install.log_text()), 30)
        assert found, "no listening line in the log"
        self.http_port = int(found.group(1))
        self.ipc_port = int(self.install.ctl("port").stdout.decode().strip())
        assert self.ipc_port > 0
        return self

    def alive(self):
        return self.pid in linux_daemon_pids()

    def log(self):
        return self.install.log_text()

    def stop(self):
        kill_daemons()
        if self.launcher:
            self.launcher.kill()
            self.launcher.wait(timeout=30)
            self.launcher = None


@pytest.fixture
def tracker():
    sim = TrackerSim().start()
    yield sim
    if not sim.stopping.is_set():
        sim.stop()


@pytest.fixture
def live(install, tracker):
    """A LiveDaemon not yet started; whatever the test leaves running is ended."""
    daemon = LiveDaemon(install, tracker)
    yield daemon
    daemon.stop()


def restart_wineserver():
    """Brings a persistent wineserver (and Wine's own services) back after
    `wineserver -k`, the way the session started them, so that later tests run on."""
    env = wine_env()
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=60)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def kill_wineserver():
    """Everything in our prefix dies at once, as a crash of the whole session would."""
    subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60)
    assert wait_for(lambda: not linux_daemon_pids(), 30)


# --- local clients --------------------------------------------------------------------

def ipc_share(port, path, md5, url, mode, timeout=120):
    """Hands a file over as the download client does: the four lines in one piece,
    then waits for the end of the stream. Returns what came back (never anything).
    A path given as bytes is sent as it is (a GBK name, say)."""
    if isinstance(path, str):
        path = path.encode("latin-1")
    request = path + ("\r\n%s\r\n%s\r\n%s\r\n" % (md5, url, mode)).encode("latin-1")
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.sendall(request)
        conn.shutdown(socket.SHUT_WR)
        got = b""
        while chunk := conn.recv(4096):
            got += chunk
        return got


class Answer:
    """One HTTP answer as a peer reads it."""

    def __init__(self, head, body, closed):
        self.head = head
        self.body = body
        self.closed = closed  # the daemon ended the connection after it

    @property
    def status(self):
        parts = self.head.split(b" ", 2)
        return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None

    def header(self, name):
        for line in self.head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b": ")
            if key.decode("latin-1").lower() == name.lower():
                return value.decode("latin-1")
        return None

    @property
    def not_found(self):
        """Exactly the 404 bytes, and then the end of the stream."""
        return self.head == NOT_FOUND and self.body == b"" and self.closed


class Peer:
    """A keep-alive HTTP connection to the daemon, reconnecting when it was closed."""

    def __init__(self, port, timeout=60):
        self.port = port
        self.timeout = timeout
        self.sock = self.reader = None
        self.connections = 0

    def connect(self):
        self.close()
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout)
        self.reader = self.sock.makefile("rb", buffering=1 << 16)
        self.connections += 1

    def close(self):
        if self.reader:
            self.reader.close()
        if self.sock:
            self.sock.close()
        self.sock = self.reader = None

    def send(self, md5, headers=""):
        if self.sock is None:
            self.connect()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (md5, headers))
                          .encode("latin-1"))

    def read_head(self):
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            line = self.reader.readline(8192)
            if not line:
                break
            head += line
        return head

    def read_answer(self, body_limit=None):
        """Reads one answer: the body that Content-length promises (at most
        `body_limit` bytes of it), and for a 404 whether the stream ended."""
        head = self.read_head()
        length = Answer(head, b"", False).header("Content-length")
        want = int(length) if length is not None else 0
        if body_limit is not None:
            want = min(want, body_limit)
        body = self.reader.read(want) if want else b""
        closed = False
        if head == NOT_FOUND or not head:
            closed = self.reader.read(1) == b""
            self.close()
        return Answer(head, body, closed)

    def get(self, md5, headers=""):
        self.send(md5, headers)
        return self.read_answer()

    def read_more(self, count):
        return self.reader.read(count)


# --- the daemon as Linux sees it --------------------------------------------------------

def process_figures(pid):
    """(threads, resident KiB) of a Linux process, or None when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as status:
            fields = dict(line.split(":", 1) for line in status if ":" in line)
        return int(fields["Threads"]), int(fields["VmRSS"].split()[0])
    except (OSError, KeyError, ValueError):
        return None


def settle(pid, seconds=5, timeout=60):
    """Waits until the thread count has not changed for `seconds`; returns the figures."""
    last = process_figures(pid)
    stable_since = time.monotonic()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = process_figures(pid)
        if now is None or last is None or now[0] != last[0]:
            stable_since = time.monotonic()
        last = now
        if time.monotonic() - stable_since >= seconds:
            break
    return last


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
