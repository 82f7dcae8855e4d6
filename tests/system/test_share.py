"""Handing files over on the IPC port: the catalogue entry, the tracker report, the
bounds on clients, and what a peer can download afterwards."""

import os
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import (BIN, ENGINE_KEY, SOURCE, Install, kill_daemons, linux_daemon_pids,
                      reg_add, reg_delete_key, reg_query, reg_subkeys, wait_for, wine, winpath)

sys.path.insert(0, str(SOURCE / "tools"))
from tracker_sim import TrackerSim  # noqa: E402

ENGINE_PATH = ENGINE_KEY.split("\\", 1)[1]
URL_SAFE = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$()*,-._")
REG_SZ, REG_DWORD = 1, 4
MIN_SIZE = 131072


def gbk(text):
    return text.encode("gbk")


def url_encode(text):
    return "".join(chr(b) if b in URL_SAFE else "%%%02X" % b for b in text.encode("latin-1"))


def md5_of(n):
    return "%032x" % n


# --- the daemon, one per module: starting it under Wine costs seconds ---------------

@pytest.fixture(scope="module")
def tracker():
    sim = TrackerSim().start()
    yield sim
    sim.stop()


@pytest.fixture(scope="module")
def daemon(wineserver, tracker, tmp_path_factory):
    kill_daemons()
    reg_delete_key(ENGINE_KEY)
    inst = Install(tmp_path_factory.mktemp("share") / "game")
    reg_add(ENGINE_KEY, "P4PShareLogFilePath", "REG_SZ", winpath(inst.log))
    reg_add(ENGINE_KEY, "TrackerHost", "REG_SZ", tracker.address)
    reg_add(ENGINE_KEY, "VerifyFiles", "REG_DWORD", 0)  # made-up MD5 texts
    launcher = inst.ctl_popen("launcher", "3600")
    assert launcher.stdout.readline().startswith(b"launcher window up")
    inst.start()
    inst.ipc_port = int(inst.ctl("port").stdout.decode().strip())
    assert inst.ipc_port > 0
    yield inst
    launcher.kill()
    kill_daemons()


@pytest.fixture
def sim(tracker):
    """The module's simulator, answering OK with a fresh record for each test."""
    tracker.set_answer("ok")
    tracker.release_answers()
    tracker.clear_requests()
    yield tracker
    tracker.release_answers()
    tracker.set_answer("ok")


@pytest.fixture
def files(tmp_path):
    def make(name, size, sparse=False):
        path = tmp_path / name
        with open(path, "wb") as f:
            if sparse:
                f.truncate(size)
            else:
                f.write(os.urandom(size))
        return path
    return make


def share(daemon, path, md5, url="http://cdn.example/files/a b.pak", mode="1", timeout=90):
    return daemon.ctl("share", winpath(path), md5, url, mode, timeout=timeout)


def entry_key(md5):
    return ENGINE_KEY + "\\" + md5


def stored(md5, name):
    """(type, size, bytes) of a value as the registry keeps it, or None."""
    result = wine(BIN / "regvalue.exe", ENGINE_PATH + "\\" + md5, name)
    if result.returncode != 0:
        return None
    kind, size, data = (result.stdout.decode().split() + [""])[:3]
    return int(kind), int(size), bytes.fromhex(data)


def utf16(text):
    return text.encode("utf-16-le")


def log_since(daemon, mark):
    return daemon.log_text()[mark:]


def send_raw(port, data, half_close=True, timeout=60):
    """Sends bytes on a fresh IPC connection and reads to the end; returns what came."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.sendall(data)
        if half_close:
            conn.shutdown(socket.SHUT_WR)
        got = b""
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                return got
            got += chunk


def http_port(daemon):
    found = re.search(gbk("侦听端口: ") + rb"(\d+)" + gbk(" 成功"), daemon.log_text())
    return int(found.group(1)) if found else None


def task_count(pid):
    try:
        return len(os.listdir("/proc/%d/task" % pid))
    except FileNotFoundError:
        return 0


# --- one file, end to end -----------------------------------------------------------

# A 131,072-byte file: the entry with its five values in their stored types and
# sizes, the exact report, the end of the stream only after it, and the file
# downloadable from the HTTP port.
def test_share_registers_reports_and_serves(daemon, sim, files):
    path = files("min.pak", MIN_SIZE)
    md5 = "0123456789ABCDEF0123456789abcdef"
    url = "http://cdn.example/files/a b.pak?x=1&y=~+%"
    sim.hold_answers()
    client = daemon.ctl_popen("share", winpath(path), md5, url, "1")
    try:
        requests = sim.wait_for_requests(1, 60)
        assert len(requests) == 1
        time.sleep(1)
        assert client.poll() is None, "the client saw the end before the report was answered"
    finally:
        sim.release_answers()
    assert client.wait(timeout=60) == 0

    target = requests[0]["target"]
    prefix = "/insert.php?url=%s&md5=%s&size=131072&mode=1&uid=" % (url_encode(url), md5)
    assert target.startswith(prefix), target
    assert re.fullmatch(r"[0-9A-F]{32}", target[len(prefix):]), target
    # The whole head, as the one-call URL open sends it.
    assert requests[0]["head"] == ["GET %s HTTP/1.1" % target, "Accept: */*",
                                   "Host: %s" % sim.address, "User-Agent: Browser1.0"]

    windows_path = winpath(path)
    assert stored(md5, "LocalPath") == (REG_SZ, 2 * len(windows_path), utf16(windows_path))
    assert stored(md5, "Url") == (REG_SZ, 2 * len(url), utf16(url))
    kind, size, data = stored(md5, "ModifyTime")
    assert (kind, size) == (REG_SZ, 28) and re.fullmatch(rb"(\d\x00){14}", data)
    assert stored(md5, "Length") == (REG_DWORD, 4, MIN_SIZE.to_bytes(4, "little"))
    assert stored(md5, "FileType") == (REG_DWORD, 4, bytes(4))

    port = http_port(daemon)
    assert port, "no HTTP port in the log"
    got = subprocess.run(["curl", "-s", "-f", "--max-time", "30",
                          "http://127.0.0.1:%d/%s" % (port, md5.lower())],
                         capture_output=True, timeout=60)
    assert got.returncode == 0
    assert got.stdout == path.read_bytes()


# One byte short: nothing written, only the four opening lines.
def test_smaller_file_writes_nothing(daemon, sim, files):
    path = files("small.pak", MIN_SIZE - 1)
    md5 = md5_of(0x131071)
    mark = len(daemon.log_text())
    assert share(daemon, path, md5).returncode == 0
    assert md5 not in reg_subkeys(ENGINE_KEY)
    assert sim.requests() == []
    log = log_since(daemon, mark)
    assert gbk("插入文件: " + winpath(path)) in log
    assert b"Mode: 1" in log
    assert gbk("共享文件") not in log


# Mode "2" registers without a report; a second share of the MD5 overwrites it.
def test_mode_2_and_overwrite(daemon, sim, files):
    md5 = md5_of(2)
    first = files("first.pak", MIN_SIZE + 10)
    assert share(daemon, first, md5, mode="2").returncode == 0
    assert stored(md5, "LocalPath")[2] == utf16(winpath(first))
    assert sim.requests() == []

    second = files("second.pak", MIN_SIZE)
    assert share(daemon, second, md5, url="http://other.example/", mode="2").returncode == 0
    assert stored(md5, "LocalPath")[2] == utf16(winpath(second))
    assert stored(md5, "Length")[2] == MIN_SIZE.to_bytes(4, "little")
    assert stored(md5, "Url")[2] == utf16("http://other.example/")
    assert sim.requests() == []


# A sparse file of 4 GiB + 1 byte is refused with its line and writes nothing.
def test_file_over_4_gib_is_refused(daemon, sim, files):
    path = files("huge.pak", 4 * 1024 ** 3 + 1, sparse=True)
    md5 = md5_of(4)
    mark = len(daemon.log_text())
    assert share(daemon, path, md5).returncode == 0
    assert gbk("文件太大，不予共享!") in log_since(daemon, mark)
    assert md5 not in reg_subkeys(ENGINE_KEY)
    assert sim.requests() == []


# MD5 texts that would name the engine key or another key write nothing.
def test_md5_naming_other_keys_is_refused(daemon, sim, files):
    path = files("a.pak", MIN_SIZE)
    before = set(reg_subkeys(ENGINE_KEY))
    mark = len(daemon.log_text())
    for md5 in ("", "x\\y"):
        send_raw(daemon.ipc_port, ("%s\r\n%s\r\nhttp://u/\r\n2\r\n" % (winpath(path), md5)).encode())
    assert log_since(daemon, mark).count(b"refused") == 2
    assert set(reg_subkeys(ENGINE_KEY)) == before
    assert reg_query(ENGINE_KEY, "LocalPath") is None


# Malformed requests register nothing; of two requests on one connection only the
# first counts.
def test_malformed_requests(daemon, sim, files):
    path = winpath(files("m.pak", MIN_SIZE))
    md5a, md5b = md5_of(0xA), md5_of(0xB)
    send_raw(daemon.ipc_port, ("%s\r\n%s\r\nhttp://u/\r\n2" % (path, md5a)).encode())
    send_raw(daemon.ipc_port, ("%s\r\n" % path).encode())
    assert md5a not in reg_subkeys(ENGINE_KEY)
    both = "%s\r\n%s\r\nhttp://u/\r\n2\r\n" % (path, md5a) + "%s\r\n%s\r\nhttp://u/\r\n2\r\n" % (path, md5b)
    send_raw(daemon.ipc_port, both.encode(), half_close=False)
    keys = reg_subkeys(ENGINE_KEY)
    assert md5a in keys and md5b not in keys


# --- bounds on clients ------------------------------------------------------------

# A request over 64 KiB is cut off with its line; the service goes on.
def test_oversized_request_is_dropped(daemon, sim, files):
    mark = len(daemon.log_text())
    got = send_raw(daemon.ipc_port, b"C:\\x\r\n" + b"u" * (70 * 1024) + b"\r\n", half_close=False)
    assert got == b""
    assert b"IPC request longer than 65536 bytes; dropped" in log_since(daemon, mark)
    path = files("after.pak", MIN_SIZE)
    assert share(daemon, path, md5_of(0x64), mode="2").returncode == 0
    assert md5_of(0x64) in reg_subkeys(ENGINE_KEY)


# A client that connects and sends nothing is dropped after 30 seconds.
def test_silent_client_is_dropped(daemon, sim):
    mark = len(daemon.log_text())
    with socket.create_connection(("127.0.0.1", daemon.ipc_port), timeout=60) as conn:
        started = time.monotonic()
        assert conn.recv(1) == b""
        waited = time.monotonic() - started
    assert waited >= 25, "dropped after %.1f s" % waited
    assert b"IPC client sent no request within 30000 ms; dropped" in log_since(daemon, mark)


# A tracker that never answers holds a report only until the web time-out; other
# requests are served meanwhile, and the next reports still go out.
def test_tracker_that_never_answers(daemon, sim, files):
    sim.set_answer("silent")
    stuck = daemon.ctl_popen("share", winpath(files("s.pak", MIN_SIZE)), md5_of(0x51), "http://u/", "1")
    sim.wait_for_requests(1, 60)
    other = files("o.pak", MIN_SIZE)
    assert share(daemon, other, md5_of(0x52), mode="2", timeout=30).returncode == 0
    assert md5_of(0x52) in reg_subkeys(ENGINE_KEY)
    assert stuck.poll() is None
    assert stuck.wait(timeout=90) == 0
    assert md5_of(0x51) in reg_subkeys(ENGINE_KEY)

    sim.set_answer("ok")
    mark = len(daemon.log_text())
    assert share(daemon, files("n.pak", MIN_SIZE), md5_of(0x53), mode="0").returncode == 0
    answered = [r for r in sim.requests() if "md5=%s" % md5_of(0x53) in r["target"]]
    assert len(answered) == 1
    assert gbk("收到回复: OK\r\n") in log_since(daemon, mark)


# 200 clients at once, each with its own file: 200 entries, 200 reports, and every
# request thread gone afterwards.
def test_200_clients_at_once(daemon, sim, files):
    count = 200
    paths = [winpath(files("c%03d.pak" % i, MIN_SIZE, sparse=True)) for i in range(count)]
    md5s = [md5_of(0x20000 + i) for i in range(count)]
    pid = linux_daemon_pids()[0]
    baseline = task_count(pid)
    mark = len(daemon.log_text())
    results = [None] * count
    start = threading.Barrier(count)

    def client(i):
        start.wait()
        request = "%s\r\n%s\r\nhttp://cdn.example/%d\r\n1\r\n" % (paths[i], md5s[i], i)
        try:
            results[i] = send_raw(daemon.ipc_port, request.encode(), half_close=False, timeout=120)
        except OSError as error:
            results[i] = error

    threads = [threading.Thread(target=client, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert results == [b""] * count

    keys = set(reg_subkeys(ENGINE_KEY))
    assert all(md5 in keys for md5 in md5s)
    reported = {dict(r["query"]).get("md5") for r in sim.requests()}
    assert set(md5s) <= reported
    assert len(sim.requests()) == count

    # 自动删除IThread和IThreadHandler。 once per request thread.
    done = gbk("自动删除IThread和IThreadHandler。")
    assert wait_for(lambda: sum(1 for line in log_since(daemon, mark).split(b"\r\n")
                                if b":IPCSerive " in line and done in line) == count, 30)
    assert wait_for(lambda: task_count(pid) <= baseline, 30), (task_count(pid), baseline)
