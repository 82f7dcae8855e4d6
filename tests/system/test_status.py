"""The local status view (zrvdctl status, GET /status from loopback only) and the
check of every shared file's content against its MD5 text."""

import hashlib
import json
import os
import random
import shutil
import subprocess
import textwrap
import time

import pytest

from conftest import (BIN, ENGINE_KEY, reg_add, reg_query, reg_subkeys, wait_for, wine_env,
                      winpath)
from live_daemon import NOT_FOUND, Peer, ipc_share
from live_daemon import live, tracker  # noqa: F401  (fixtures, used by name)

URL = "http://cdn.example/files/%s.pak"
MISMATCH = b"does not match its MD5 "
MATCH = b"matches its MD5 "


def make_file(folder, name, size, seed):
    data = random.Random(seed).randbytes(size)
    (folder / name).write_bytes(data)
    return folder / name, data, hashlib.md5(data).hexdigest()


def status_of(daemon):
    result = daemon.install.ctl("status", "--json")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def status(daemon):
    return status_of(daemon)["catalogue"]


def verified(md5):
    return reg_query(ENGINE_KEY + "\\" + md5, "Verified") == ("REG_DWORD", "0x1")


def started(live, **settings):
    reg_add(ENGINE_KEY, "VerifyFiles", "REG_DWORD", 1)
    for name, value in settings.items():
        reg_add(ENGINE_KEY, name, "REG_DWORD", value)
    return live.start()


# Two shares and a download, as the status reports them: counted where they
# happened, the connection gone again, both files checked and marked.
def test_status_after_shares_and_download(live, tmp_path):
    daemon = started(live)
    a, data_a, md5_a = make_file(tmp_path, "a.pak", 300_000, 1)
    b, _, md5_b = make_file(tmp_path, "b.pak", 200_000, 2)
    assert ipc_share(daemon.ipc_port, winpath(a), md5_a, URL % md5_a, "0") == b""
    assert ipc_share(daemon.ipc_port, winpath(b), md5_b, URL % md5_b, "2") == b""
    peer = Peer(daemon.http_port)
    assert peer.get(md5_a).body == data_a
    peer.close()

    now = wait_for(lambda: (lambda s: s["peers"]["connections"] == 0
                            and s["catalogue"]["verified"] == 2 and s)(status_of(daemon)), 30)
    assert now, status_of(daemon)
    assert now["engine"]["http_port"] == daemon.http_port
    assert now["engine"]["ipc_port"] == daemon.ipc_port
    assert now["engine"]["last_web_report"]["result"] == "ok"
    files = sorted(now["catalogue"].pop("files"), key=lambda f: f["path"])
    assert now["catalogue"] == {"entries": 2, "total_bytes": 500_000, "verified": 2,
                                "pending": 0, "failed": 0, "checking": None}
    assert files == [{"md5": md5_a.upper(), "path": winpath(a), "size": 300_000, "state": "checked",
                      "bytes": len(data_a)},
                     {"md5": md5_b.upper(), "path": winpath(b), "size": 200_000, "state": "checked",
                      "bytes": 0}]
    assert (now["peers"]["requests"], now["peers"]["bytes"]) == (1, len(data_a))
    assert now["peers"]["top"] == [{"md5": md5_a.upper(), "path": winpath(a),
                                    "bytes": len(data_a)}]
    assert now["daemon"]["upload_cap"] == "normal, no cap"
    assert verified(md5_a) and verified(md5_b)
    table = daemon.install.ctl("status").stdout.decode()
    assert "2 files" in table and "verified 2, pending 0, failed 0" in table, table


# A share whose file does not match its MD5 is served until its (slowed) check
# ends, then gone; a matching file stays; a file rewritten and shared again is
# checked again; `zrvdctl verify` checks even verified entries.
def test_check_drops_mismatch_keeps_match(live, tmp_path):
    daemon = started(live, VerifyReadMBps=1)
    bad, bad_data, _ = make_file(tmp_path, "bad.pak", 3 << 20, 3)
    bad_md5 = hashlib.md5(b"something else").hexdigest()
    good, _, good_md5 = make_file(tmp_path, "good.pak", 200_000, 4)
    assert ipc_share(daemon.ipc_port, winpath(bad), bad_md5, URL % bad_md5, "2") == b""
    peer = Peer(daemon.http_port)
    assert peer.get(bad_md5).body == bad_data  # served while its check reads at 1 MiB/s
    assert ipc_share(daemon.ipc_port, winpath(good), good_md5, URL % good_md5, "2") == b""

    assert wait_for(lambda: MISMATCH + bad_md5.encode() in daemon.log(), 30), "no line"
    assert bad_md5 not in [name.lower() for name in reg_subkeys(ENGINE_KEY)]
    assert peer.get(bad_md5).not_found
    assert wait_for(lambda: verified(good_md5), 30)
    assert peer.get(good_md5).status == 200

    assert daemon.install.ctl("verify").returncode == 0
    assert wait_for(lambda: daemon.log().count(MATCH + good_md5.encode()) == 2, 30)

    good.write_bytes(random.Random(5).randbytes(200_000))
    assert ipc_share(daemon.ipc_port, winpath(good), good_md5, URL % good_md5, "2") == b""
    assert wait_for(lambda: MISMATCH + good_md5.encode() in daemon.log(), 30)
    assert peer.get(good_md5).not_found
    assert status(daemon)["failed"] == 2
    assert [(f["md5"], f["state"]) for f in status(daemon)["files"]] == [
        (bad_md5.upper(), "failed"), (good_md5.upper(), "failed")]


# While a protected game runs the check waits before its first read, and the
# status says so; it ends once the game has.
def test_check_waits_for_the_game(live, tmp_path):
    daemon = started(live)
    game = tmp_path / "game.exe"
    shutil.copy2(BIN / "zrvd_idle.exe", game)
    running = subprocess.Popen(["wine", str(game), "60"], env=wine_env())
    try:
        time.sleep(2)  # the game's process is up under Wine
        assert daemon.install.ctl("add", winpath(game)).returncode == 0
        assert wait_for(lambda: status_of(daemon)["daemon"]["game_running"], 10)
        path, _, md5 = make_file(tmp_path, "d.pak", 200_000, 7)
        assert ipc_share(daemon.ipc_port, winpath(path), md5, URL % md5, "2") == b""
        time.sleep(3)
        assert status(daemon)["checking"] == md5
        assert not verified(md5)
    finally:
        running.kill()
        running.wait(timeout=30)
    assert wait_for(lambda: verified(md5), 30)


PEER_SCRIPT = textwrap.dedent("""
    import socket, sys, hashlib
    host, port, md5, token = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    # A loopback Host and the right token: only the peer's address can refuse.
    head = "\\r\\nHost: 127.0.0.1:%d\\r\\nX-Status-Token: %s\\r\\nConnection: close\\r\\n\\r\\n"
    def ask(line):
        with socket.create_connection((host, port), timeout=30) as s:
            s.sendall(line.encode() + (head % (port, token)).encode())
            got = b""
            while chunk := s.recv(65536):
                got += chunk
            return got
    for line in ("GET /no-such-path HTTP/1.1", "GET /status HTTP/1.1", "POST /verify HTTP/1.1",
                 "GET / HTTP/1.1", "GET /ui/page.js HTTP/1.1", "POST /pause HTTP/1.1"):
        print(ask(line).hex())
    answer = ask("GET /%s HTTP/1.1" % md5)
    print(hashlib.md5(answer.split(b"\\r\\n\\r\\n", 1)[1]).hexdigest())
""")


def ip(*args, check=True):
    return subprocess.run(["ip", *args], capture_output=True, check=check, timeout=30)


@pytest.fixture
def other_host():
    """A network namespace joined to this host by a veth pair; (our address, its
    address, a runner of commands inside it). Removed again whatever happens."""
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("needs root and iproute2; the rule itself: unit test LocalOnly")
    tag = os.getpid() % 100000
    ns, here, there = "zrvd%d" % tag, "zvh%d" % tag, "zvn%d" % tag
    # A subnet per run, so that test runs of other build trees never collide.
    subnet = "10.250.%d" % (tag % 250 + 1)
    try:
        ip("netns", "add", ns)
        ip("link", "add", here, "type", "veth", "peer", "name", there)
        ip("link", "set", there, "netns", ns)
        ip("addr", "add", subnet + ".1/30", "dev", here)
        ip("link", "set", here, "up")
        ip("netns", "exec", ns, "ip", "addr", "add", subnet + ".2/30", "dev", there)
        ip("netns", "exec", ns, "ip", "link", "set", there, "up")
        yield subnet + ".1", lambda *cmd: subprocess.run(
            ["ip", "netns", "exec", ns, *cmd], capture_output=True, timeout=60)
    finally:
        ip("link", "del", here, check=False)
        ip("netns", "del", ns, check=False)


# From another host the status paths, the page and its actions answer exactly as
# an unknown path does, while the same host downloads a shared file.
def test_other_host_sees_no_status(live, tmp_path, other_host):
    address, inside = other_host
    daemon = started(live)
    path, data, md5 = make_file(tmp_path, "c.pak", 200_000, 6)
    assert ipc_share(daemon.ipc_port, winpath(path), md5, URL % md5, "2") == b""
    token = status_of(daemon)["page"]["token"]
    result = inside("/usr/bin/python3", "-c", PEER_SCRIPT, address, str(daemon.http_port), md5,
                    token)
    assert result.returncode == 0, result.stderr
    *answers, body_md5 = result.stdout.decode().split()
    assert [bytes.fromhex(answer) for answer in answers] == [NOT_FOUND] * 6
    assert body_md5 == md5
    assert status_of(daemon)["peers"]["requests"] == 1  # loopback still reads it
