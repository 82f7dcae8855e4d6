"""Helpers for the file-service system tests: a daemon with catalogue entries
written by the test, its HTTP port from the log, and a raw loopback peer."""

import hashlib
import os
import random
import re
import socket
import subprocess
import time
from pathlib import Path

from conftest import (ENGINE_KEY, Install, kill_daemons, reg_add, reg_delete_key, wait_for, wine,
                      winpath)

# "侦听端口: %d 成功" as the log writes it, in GBK.
LISTENING = re.compile("侦听端口: (\\d+) 成功".encode("gbk"))
NOT_FOUND = b"HTTP/1.0 404 Not Found\r\n\r\n"
# Where the daemon's tracker traffic goes: a loopback port nobody answers.
NOWHERE = "127.0.0.1:9"
# Every test peer comes from 127.0.0.1: the per-address bound must let them all in.
PEERS_FROM_LOOPBACK = 2000


def md5_of(path, chunk=1 << 20):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        while block := f.read(chunk):
            digest.update(block)
    return digest.hexdigest()


def modify_time(path):
    """The catalogue's 14-digit local last-write time of a file."""
    return time.strftime("%Y%m%d%H%M%S", time.localtime(os.stat(path).st_mtime))


def reg_text(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def register(entries, folder):
    """Writes catalogue entries {md5: path} in one registry import."""
    lines = ["REGEDIT4", ""]
    for md5, path in entries.items():
        lines += [f"[HKEY_LOCAL_MACHINE\\Software\\TESK\\Morwick\\p4p\\{md5}]",
                  f'"LocalPath"="{reg_text(winpath(path))}"',
                  f'"Url"="http://files.invalid/{md5}"',
                  f'"ModifyTime"="{modify_time(path)}"',
                  f'"Length"=dword:{os.stat(path).st_size:08x}',
                  '"FileType"=dword:00000000', ""]
    reg_file = Path(folder) / "entries.reg"
    reg_file.write_text("\r\n".join(lines), encoding="ascii")
    wine("regedit", "/S", winpath(reg_file), check=True)


def write_random(path, size, seed):
    """A file of `size` pseudo-random bytes; the same seed gives the same bytes."""
    Path(path).write_bytes(random.Random(seed).randbytes(size))
    return path


class ServingDaemon:
    """A daemon kept alive by a launcher window, with its HTTP port."""

    def __init__(self, folder, entries, dwords=None):
        kill_daemons()
        reg_delete_key(ENGINE_KEY)
        self.install = Install(Path(folder) / "game")
        reg_add(ENGINE_KEY, "P4PShareLogFilePath", "REG_SZ", winpath(self.install.log))
        reg_add(ENGINE_KEY, "TrackerHost", "REG_SZ", NOWHERE)
        reg_add(ENGINE_KEY, "ProbeHost", "REG_SZ", NOWHERE)
        reg_add(ENGINE_KEY, "MaxConnectionsPerPeer", "REG_DWORD", PEERS_FROM_LOOPBACK)
        reg_add(ENGINE_KEY, "VerifyFiles", "REG_DWORD", 0)  # made-up MD5 texts
        for name, value in (dwords or {}).items():
            reg_add(ENGINE_KEY, name, "REG_DWORD", value)
        register(entries, folder)
        self.launcher = self.install.ctl_popen("launcher", "3600")
        assert self.launcher.stdout.readline().startswith(b"launcher window up")
        self.install.start()
        found = wait_for(lambda: LISTENING.search(self.install.log_text()), 30)
        assert found, "no listening line in the log"
        self.port = int(found.group(1))

    def url(self, md5):
        return f"http://127.0.0.1:{self.port}/{md5}"

    def log(self):
        return self.install.log_text()

    def stop(self):
        kill_daemons()
        self.launcher.kill()
        self.launcher.wait(timeout=30)


def connect(port, timeout=30):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def read_head(sock):
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        byte = sock.recv(1)
        if not byte:
            break
        head += byte
    return head


def read_exactly(sock, count):
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(min(1 << 20, count - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def header(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b": ")
        if key.decode("latin-1").lower() == name.lower():
            return value.decode("latin-1")
    return None


def request(sock, md5, headers="", method="GET", version="HTTP/1.1"):
    """Sends one request; returns (head, body) with the body Content-length promises."""
    sock.sendall(f"{method} /{md5} {version}\r\nHost: 127.0.0.1\r\n{headers}\r\n".encode())
    head = read_head(sock)
    length = header(head, "Content-length")
    body = read_exactly(sock, int(length)) if length else b""
    return head, body


def read_to_end(sock):
    data = b""
    try:
        while chunk := sock.recv(65536):
            data += chunk
    except ConnectionResetError:
        pass
    return data


def curl(*args, timeout=300):
    return subprocess.run(["curl", "-s", "-S", "--noproxy", "*", *args], capture_output=True,
                          timeout=timeout)
