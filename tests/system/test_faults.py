"""Faults from outside while the daemon serves: the tracker goes away, a shared file
is deleted under a download, another program deletes the catalogue's registry key, and
the whole Wine session is killed mid-download and started again."""

import hashlib
import os
import random
import re
import subprocess
import threading
import time

import pytest

from conftest import (ENGINE_KEY, reg_add, reg_delete_key, reg_query, reg_subkeys, wait_for, wine,
                      winpath)
from http_peer import register
from live_daemon import (Answer, Peer, TrackerSim, gbk, ipc_share, kill_wineserver,
                         restart_wineserver)
from live_daemon import live, tracker  # noqa: F401  (fixtures, used by name)

URL = "http://cdn.example/files/%s.pak"
# "发送请求: %s" and "收到回复: %s", the web report's two log lines.
SENDING = gbk("发送请求: ")
RECEIVED = gbk("收到回复: ")


RECREATED = re.compile(rb"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3})\]\(P2PClient:[^)]*\) "
                       rb"Engine key \S+ was deleted; created it again\r\n")


def make_file(folder, name, size, seed):
    data = random.Random(seed).randbytes(size)
    path = folder / name
    path.write_bytes(data)
    return path, data, hashlib.md5(data).hexdigest()


def share(daemon, path, md5, mode="2"):
    assert ipc_share(daemon.ipc_port, winpath(path), md5, URL % md5, mode, timeout=90) == b""


def download(port, md5, headers=""):
    peer = Peer(port)
    try:
        return peer.get(md5, headers)
    finally:
        peer.close()


def log_lines_since(daemon, mark, prefix):
    return [line for line in daemon.log()[mark:].split(b"\r\n") if prefix in line]


@pytest.fixture
def daemon(live):
    return live.start()


# The tracker goes away while a peer downloads: the reports fail without holding up
# the shares, which still register their files, the download goes on byte for byte,
# and once the tracker is back on its port the next report is answered again.
def test_tracker_stopped_mid_run(daemon, tracker, tmp_path):
    big, big_data, big_md5 = make_file(tmp_path, "big.pak", 16 << 20, 1)
    share(daemon, big, big_md5, mode="1")
    assert any(big_md5 in r["target"] for r in tracker.wait_for_requests(1, 30))

    peer = Peer(daemon.http_port)
    half = len(big_data) // 2
    assert peer.get(big_md5, "Range: bytes=0-%d\r\n" % (half - 1)).body == big_data[:half]
    port = tracker.http_port
    tracker.stop()
    mark = len(daemon.log())

    files = [make_file(tmp_path, "new%d.pak" % i, (128 << 10) + i, 10 + i) for i in range(3)]
    results = [None] * len(files)

    def hand_over(i):
        path, _, md5 = files[i]
        try:
            results[i] = ipc_share(daemon.ipc_port, winpath(path), md5, URL % md5, "01"[i % 2],
                                   timeout=60)
        except OSError as failure:
            results[i] = failure

    workers = [threading.Thread(target=hand_over, args=(i,)) for i in range(len(files))]
    for worker in workers:
        worker.start()
    # The download goes on meanwhile, on the same connection.
    rest = peer.get(big_md5, "Range: bytes=%d-\r\n" % half)
    assert rest.status == 206 and rest.body == big_data[half:]
    peer.close()
    for worker in workers:
        worker.join(timeout=90)
    assert results == [b""] * len(files)

    keys = {name.lower() for name in reg_subkeys(ENGINE_KEY)}
    for path, data, md5 in files:
        assert md5 in keys
        assert download(daemon.http_port, md5).body == data
    sent = log_lines_since(daemon, mark, SENDING)
    assert len(sent) == len(files), sent
    assert log_lines_since(daemon, mark, RECEIVED) == []

    back = TrackerSim(http_port=port).start()
    try:
        path, _, md5 = make_file(tmp_path, "after.pak", 200 << 10, 20)
        mark = len(daemon.log())
        share(daemon, path, md5, mode="1")
        assert [dict(r["query"]).get("md5") for r in back.requests()] == [md5]
        assert len(log_lines_since(daemon, mark, RECEIVED + b"OK")) == 1
    finally:
        back.stop()


# A shared file deleted while a peer is in the middle of it (from the Linux side:
# Windows programs are refused): every byte the peer got is the file's, the
# connection ends cleanly (the 404 bytes, then the end of the stream), the entry
# is gone, and other files are still served.
def test_file_deleted_during_download(daemon, tmp_path):
    big, big_data, big_md5 = make_file(tmp_path, "big.pak", 32 << 20, 2)
    other, other_data, other_md5 = make_file(tmp_path, "other.pak", 300 << 10, 3)
    share(daemon, big, big_md5)
    share(daemon, other, other_md5)

    peer = Peer(daemon.http_port)
    peer.send(big_md5)
    head = peer.read_head()
    assert head.startswith(b"HTTP/1.1 200 OK\r\n")
    promised = int(Answer(head, b"", False).header("Content-length"))
    assert promised == len(big_data)
    got = peer.read_more(1 << 20)
    assert got == big_data[:len(got)]
    # The daemon is blocked sending the rest, its handle open without delete
    # sharing: a Windows program cannot delete the file under it...
    wine("cmd", "/c", "del", winpath(big))
    assert big.exists()
    # ...but the file can go from the Linux side.
    os.unlink(big)

    got += peer.read_more(promised - len(got))
    assert got == big_data[:len(got)], "a wrong byte after the deletion"
    if len(got) == promised:
        # The whole answer came (the open handle kept the old file); the
        # connection serves on, and its next request finds the file gone.
        answer = peer.get(big_md5)
    else:
        assert peer.read_more(1) == b""
        answer = download(daemon.http_port, big_md5)
    assert answer.not_found, answer.head
    assert big_md5 not in {name.lower() for name in reg_subkeys(ENGINE_KEY)}
    assert download(daemon.http_port, other_md5).body == other_data
    assert daemon.alive()


# Another program deletes catalogue keys while the daemon runs: first one entry,
# then the whole engine key with its settings. Lookups answer 404 and the daemon
# runs on; it creates the key again with its IPC port within a second, and the
# next share through that port registers its entry and is served.
def test_catalogue_key_deleted(daemon, tmp_path):
    first, first_data, first_md5 = make_file(tmp_path, "first.pak", 200 << 10, 4)
    second, second_data, second_md5 = make_file(tmp_path, "second.pak", 300 << 10, 5)
    share(daemon, first, first_md5)
    share(daemon, second, second_md5)
    peer = Peer(daemon.http_port)
    assert peer.get(first_md5).body == first_data

    reg_delete_key(ENGINE_KEY + "\\" + first_md5)
    # "不存在的MD5: %s"
    mark = len(daemon.log())
    assert peer.get(first_md5).not_found  # on the connection open since before
    assert gbk("不存在的MD5: ") + first_md5.encode() in daemon.log()[mark:]
    assert download(daemon.http_port, second_md5).body == second_data

    mark = len(daemon.log())
    reg_delete_key(ENGINE_KEY)
    deleted_at = time.time()
    for md5 in (first_md5, second_md5):
        assert download(daemon.http_port, md5).not_found
    assert daemon.alive()
    # The engine puts the key back with the IPC port within a second, so a
    # download client started now still finds it.
    recreated = wait_for(lambda: RECREATED.search(daemon.log()[mark:]), 10)
    assert recreated, "no line for the recreated key"
    stamp = time.mktime(time.strptime(recreated.group(1).decode(), "%Y-%m-%d %H:%M:%S"))
    assert stamp + int(recreated.group(2)) / 1000 - deleted_at < 1.0
    assert reg_query(ENGINE_KEY, "IPCPort") == ("REG_DWORD", hex(daemon.ipc_port))

    # The settings went with the key, so these shares register only: a report
    # would go to the built-in tracker host, off this machine.
    third, third_data, third_md5 = make_file(tmp_path, "third.pak", 150 << 10, 6)
    share(daemon, third, third_md5)
    assert [name.lower() for name in reg_subkeys(ENGINE_KEY)] == [third_md5]
    assert reg_query(ENGINE_KEY + "\\" + third_md5, "LocalPath") == ("REG_SZ", winpath(third))
    assert download(daemon.http_port, third_md5).body == third_data
    share(daemon, second, second_md5)
    assert download(daemon.http_port, second_md5).body == second_data

    # Deleted and made again at once, as `regedit /s` of a file with [-key] then
    # [key] does: the engine watches the new key, writes its IPC port there
    # again, and takes what the file and later writes put there.
    full = ("HKEY_LOCAL_MACHINE" + ENGINE_KEY[len("HKLM"):]).encode()
    reinstall = tmp_path / "reinstall.reg"
    reinstall.write_bytes(b"REGEDIT4\r\n\r\n[-%s]\r\n\r\n[%s]\r\n"
                          b"\"UploadLimitKBps\"=dword:00000400\r\n" % (full, full))
    mark = len(daemon.log())
    wine("regedit", "/s", winpath(reinstall), check=True)
    assert wait_for(lambda: reg_query(ENGINE_KEY, "IPCPort") == ("REG_DWORD",
                                                                 hex(daemon.ipc_port)), 10)
    assert wait_for(lambda: b"Upload cap in force: normal, 1024 KiB/s" in daemon.log()[mark:], 10)
    reg_add(ENGINE_KEY, "UploadLimitKBps", "REG_DWORD", 2048)
    assert wait_for(lambda: b"Upload cap in force: normal, 2048 KiB/s" in daemon.log()[mark:], 10)


def entry_values(md5):
    return {name: reg_query(ENGINE_KEY + "\\" + md5, name)
            for name in ("LocalPath", "Url", "ModifyTime", "Length", "FileType")}


# Wine's whole session is killed mid-download and started again: the catalogue
# is as it was, the start-up pruning keeps the valid entries and drops the one
# whose file changed, and the peer resumes with a range and ends with the file.
def test_session_killed_mid_download(live, install, tmp_path):
    daemon = live.start()
    try:
        big, big_data, big_md5 = make_file(tmp_path, "big.pak", 32 << 20, 7)
        small, small_data, small_md5 = make_file(tmp_path, "small.pak", 256 << 10, 8)
        stale, _, stale_md5 = make_file(tmp_path, "stale.pak", 64 << 10, 9)
        share(daemon, big, big_md5)
        share(daemon, small, small_md5)
        register({stale_md5: stale}, tmp_path)
        with open(stale, "ab") as f:
            f.write(b"grown since it was registered")
        before = {md5: entry_values(md5) for md5 in (big_md5, small_md5)}

        peer = Peer(daemon.http_port)
        peer.send(big_md5)
        assert peer.read_head().startswith(b"HTTP/1.1 200 OK\r\n")
        got = peer.read_more(5 << 20)
        kill_wineserver()
        try:
            got += peer.read_more(len(big_data))
        except ConnectionError:
            pass
        peer.close()
        assert 5 << 20 <= len(got) < len(big_data)
        assert got == big_data[:len(got)]
    finally:
        restart_wineserver()
        daemon.stop()

    daemon.start()
    assert {md5: entry_values(md5) for md5 in before} == before
    assert stale_md5 not in {name.lower() for name in reg_subkeys(ENGINE_KEY)}
    log = daemon.log()
    # "服务文件%s: %s" for each kept entry, "删除文件列表项: %s" for the dropped one.
    for md5, path in ((big_md5, big), (small_md5, small)):
        assert gbk("服务文件") + md5.encode() + b": " + winpath(path).encode() in log
    assert gbk("删除文件列表项: ") + winpath(stale).encode() in log

    partial = tmp_path / "resumed.pak"
    partial.write_bytes(got)
    result = subprocess.run(
        ["curl", "-s", "-S", "--noproxy", "*", "--max-time", "120", "-C", "-", "-D", "-",
         "-o", str(partial), "http://127.0.0.1:%d/%s" % (daemon.http_port, big_md5)],
        capture_output=True, timeout=180)
    assert result.returncode == 0, result.stderr
    assert ("Content-Range: bytes %d-%d/%d" % (len(got), len(big_data) - 1, len(big_data))
            ).encode() in result.stdout
    assert partial.read_bytes() == big_data
    assert download(daemon.http_port, small_md5).body == small_data
    assert int(install.ctl("port").stdout.decode().strip()) == daemon.ipc_port
