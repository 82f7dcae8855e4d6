#!/usr/bin/env python3
"""Download benchmark: the daemon's file service under Wine against nginx, on
loopback, with the same file. Prints requests/s for 16 KiB ranges, MB/s for 1 MiB
ranges at random offsets, MB/s for one whole 256 MiB file, and resident memory
with 1,000 idle keep-alive connections open. MB is 10^6 bytes."""

import argparse
import hashlib
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
ENGINE_KEY = r"HKLM\Software\TESK\Morwick\p4p"
FILE_SIZE = 256 << 20
CONNECTIONS = 8
IDLE_CONNECTIONS = 1000

RANDOM_RANGES_LUA = """
local size = %d
local chunk = 1048576
local counter = 0
setup = function(thread)
  counter = counter + 1
  thread:set("seed", counter)
end
init = function(args)
  math.randomseed(seed * 7919)
end
request = function()
  local first = math.random(0, size - chunk)
  return wrk.format("GET", nil, {["Range"] = "bytes=" .. first .. "-" .. (first + chunk - 1)})
end
"""

# Exact totals, printed by every wrk run.
REPORT_LUA = """
done = function(summary, latency, requests)
  io.write(string.format("REPORT %d %d %d %d\\n", summary.requests, summary.bytes,
                         summary.duration, summary.errors.status + summary.errors.connect +
                         summary.errors.read + summary.errors.write + summary.errors.timeout))
end
"""


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def rss_kib(pids):
    total = 0
    for pid in pids:
        try:
            for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


class Daemon:
    """The product under Wine in a prefix of its own, kept alive by a launcher window."""

    def __init__(self):
        self.prefix = SOURCE / "build" / "win32" / "bench-prefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all")
        self.env.pop("DISPLAY", None)
        self.launcher = None
        self.game = None

    def start(self, work, binaries, md5, path, with_log):
        # The persistent wineserver must not hold our output pipe open.
        subprocess.run([str(SOURCE / "scripts" / "wineprefix"), str(self.prefix)], check=True,
                       env=self.env)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.game = work / "game"
        self.game.mkdir()
        for name in ("zrvd_daemon.exe", "kovashare.dll", "zrvdctl.exe"):
            shutil.copy2(binaries / name, self.game / name)
        self.wine("reg", "delete", ENGINE_KEY, "/f")
        for name, value in (("TrackerHost", "127.0.0.1:9"), ("ProbeHost", "127.0.0.1:9")):
            self.wine("reg", "add", ENGINE_KEY, "/v", name, "/t", "REG_SZ", "/d", value, "/f")
        if with_log:
            self.wine("reg", "add", ENGINE_KEY, "/v", "P4PShareLogFilePath", "/t", "REG_SZ",
                      "/d", winpath(work / "engine.log"), "/f")
        stamp = time.strftime("%Y%m%d%H%M%S", time.localtime(path.stat().st_mtime))
        reg = work / "entry.reg"
        reg.write_text("\r\n".join([
            "REGEDIT4", "", f"[HKEY_LOCAL_MACHINE\\Software\\TESK\\Morwick\\p4p\\{md5}]",
            '"LocalPath"="%s"' % winpath(path).replace("\\", "\\\\"),
            f'"Url"="http://files.invalid/{md5}"', f'"ModifyTime"="{stamp}"',
            f'"Length"=dword:{path.stat().st_size:08x}', '"FileType"=dword:00000000', ""]))
        self.wine("regedit", "/S", winpath(reg))
        self.launcher = subprocess.Popen(["wine", str(self.game / "zrvdctl.exe"), "launcher",
                                          "36000"], env=self.env, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL)
        self.launcher.stdout.readline()
        self.wine(self.game / "zrvd_daemon.exe")
        if self.wine(self.game / "zrvdctl.exe", "wait", "30").returncode != 0:
            raise SystemExit("the daemon did not start")
        self.pid = self.find_pid()
        self.port = self.find_http_port()

    def wine(self, *args):
        return subprocess.run(["wine", *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def find_pid(self):
        """The daemon of our prefix (others may run daemons in prefixes of their own)."""
        pids = self.prefix_processes("zrvd_daemon.bin")
        if not pids:
            raise SystemExit("no daemon process")
        return pids[0]

    def find_http_port(self):
        """Listening sockets belong to the prefix's wineserver; the file service is the
        one on every address (the IPC service listens on loopback only)."""
        for _ in range(50):
            servers = {str(pid) for pid in self.prefix_processes("wineserver")}
            out = subprocess.run(["ss", "-ltnpH"], capture_output=True, text=True).stdout
            for line in out.splitlines():
                owners = set(re.findall(r"pid=(\d+),", line))
                local = line.split()[3]
                if owners & servers and local.startswith("0.0.0.0:"):
                    return int(local.rsplit(":", 1)[1])
            time.sleep(0.2)
        raise SystemExit("the daemon's HTTP port was not found")

    def prefix_processes(self, name):
        """Processes whose command holds `name` and that run in our prefix."""
        out = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
        found = []
        for line in out.splitlines():
            pid, _, args = line.strip().partition(" ")
            if name not in args.lower():
                continue
            try:
                environ = Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if f"WINEPREFIX={self.prefix}".encode() in environ:
                found.append(int(pid))
        return found

    def pids(self):
        return [self.pid]

    def stop(self):
        if self.game is not None:
            self.wine(self.game / "zrvdctl.exe", "quit")
        if self.launcher is not None:
            self.launcher.kill()
            self.launcher.wait()
        subprocess.run(["wineserver", "-k"], env=self.env)


class Nginx:
    """Debian's nginx serving the same file under its MD5 name."""

    def __init__(self, work, md5, path):
        self.root = work / "nginx"
        (self.root / "html").mkdir(parents=True)
        (self.root / "tmp").mkdir()
        os.symlink(path, self.root / "html" / md5)
        self.port = free_port()
        conf = self.root / "nginx.conf"
        conf.write_text(f"""
worker_processes auto;
pid {self.root}/nginx.pid;
error_log {self.root}/error.log;
events {{ worker_connections 4096; }}
http {{
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  default_type application/octet-stream;
  client_body_temp_path {self.root}/tmp;
  proxy_temp_path {self.root}/tmp;
  fastcgi_temp_path {self.root}/tmp;
  uwsgi_temp_path {self.root}/tmp;
  scgi_temp_path {self.root}/tmp;
  server {{ listen 127.0.0.1:{self.port}; root {self.root}/html; }}
}}
""")
        subprocess.run(["nginx", "-c", str(conf), "-p", str(self.root)], check=True)
        for _ in range(50):
            if (self.root / "nginx.pid").exists():
                break
            time.sleep(0.1)
        self.master = int((self.root / "nginx.pid").read_text())

    def pids(self):
        children = Path(f"/proc/{self.master}/task/{self.master}/children").read_text().split()
        return [self.master, *map(int, children)]

    def stop(self):
        os.kill(self.master, 15)


def winpath(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wrk(url, seconds, script, headers=()):
    args = ["wrk", f"-t{min(2, CONNECTIONS)}", f"-c{CONNECTIONS}", f"-d{seconds}s", "-s", str(script)]
    for header in headers:
        args += ["-H", header]
    out = subprocess.run(args + [url], capture_output=True, text=True, timeout=seconds + 60).stdout
    found = re.search(r"REPORT (\d+) (\d+) (\d+) (\d+)", out)
    if not found:
        raise SystemExit("wrk gave no report:\n" + out)
    requests, size, micros, errors = map(int, found.groups())
    if errors:
        raise SystemExit(f"wrk saw {errors} errors against {url}:\n{out}")
    return requests / (micros / 1e6), size / (micros / 1e6) / 1e6


def whole_file_mbps(url):
    out = subprocess.run(["curl", "-s", "--noproxy", "*", "-o", "/dev/null", "-w",
                          "%{size_download} %{time_total}", url],
                         capture_output=True, text=True, timeout=300).stdout.split()
    size, seconds = int(out[0]), float(out[1])
    if size != FILE_SIZE:
        raise SystemExit(f"whole file from {url}: {size} bytes")
    return size / seconds / 1e6


def idle_memory_mib(port, md5, pids):
    """Resident memory of `pids` with 1,000 keep-alive connections that each made one request."""
    peers = []
    try:
        for _ in range(IDLE_CONNECTIONS):
            peer = socket.create_connection(("127.0.0.1", port), timeout=60)
            peer.sendall(f"GET /{md5} HTTP/1.1\r\nHost: x\r\nRange: bytes=0-99\r\n\r\n".encode())
            peers.append(peer)
        for peer in peers:
            answer = b""
            while not answer.endswith(b"\r\n\r\n"):
                byte = peer.recv(1)
                if not byte:
                    raise SystemExit("an idle connection was closed before its answer")
                answer += byte
            peer.recv(100, socket.MSG_WAITALL)
        time.sleep(2)
        return rss_kib(pids) / 1024
    finally:
        for peer in peers:
            peer.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=int, default=10, help="length of each wrk run")
    parser.add_argument("--rounds", type=int, default=3, help="runs per measure (median kept)")
    parser.add_argument("--log", action="store_true", help="let the daemon write its log")
    parser.add_argument("--bin", default=str(SOURCE / "build" / "win32" / "bin"))
    options = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="zrvd-bench-"))
    work.chmod(0o755)  # nginx's workers run as another user
    servers = {}
    try:
        log("writing a 256 MiB file")
        path = work / "file.bin"
        generator = random.Random(256)
        with open(path, "wb") as f:
            for _ in range(FILE_SIZE // (16 << 20)):
                f.write(generator.randbytes(16 << 20))
        md5 = hashlib.md5(path.read_bytes()).hexdigest()
        scripts = {"random": work / "random.lua", "fixed": work / "fixed.lua"}
        scripts["random"].write_text(RANDOM_RANGES_LUA % FILE_SIZE + REPORT_LUA)
        scripts["fixed"].write_text(REPORT_LUA)

        log("starting nginx and the daemon")
        servers["nginx"] = Nginx(work, md5, path)
        servers["daemon"] = Daemon()
        servers["daemon"].start(work, Path(options.bin), md5, path, options.log)
        baseline = {name: rss_kib(server.pids()) / 1024 for name, server in servers.items()}

        results = {name: {"rps16k": [], "mbps1m": [], "whole": []} for name in servers}
        for round_number in range(options.rounds):
            for name, server in servers.items():
                url = f"http://127.0.0.1:{server.port}/{md5}"
                log(f"round {round_number + 1}: {name}")
                rps, _ = wrk(url, options.seconds, scripts["fixed"], ["Range: bytes=0-16383"])
                results[name]["rps16k"].append(rps)
                _, mbps = wrk(url, options.seconds, scripts["random"])
                results[name]["mbps1m"].append(mbps)
                results[name]["whole"].append(whole_file_mbps(url))
                log(f"  {rps:.0f} requests/s, {mbps:.0f} MB/s (1 MiB ranges), "
                    f"{results[name]['whole'][-1]:.0f} MB/s (whole file)")
        memory = {}
        # Connection threads of the last runs end first: they count against the bound.
        time.sleep(5)
        for name, server in servers.items():
            log(f"memory with {IDLE_CONNECTIONS} idle connections: {name}")
            memory[name] = idle_memory_mib(server.port, md5, server.pids())

        rows = [
            ("16 KiB ranges, 8 keep-alive connections", "requests/s", "rps16k", "%.0f"),
            ("1 MiB ranges at random offsets, 8 connections", "MB/s", "mbps1m", "%.0f"),
            ("one whole 256 MiB file", "MB/s", "whole", "%.0f"),
        ]
        print(f"{'measure':<48}{'unit':<12}{'daemon':>10}{'nginx':>10}{'ratio':>8}")
        for title, unit, key, form in rows:
            daemon = statistics.median(results["daemon"][key])
            nginx = statistics.median(results["nginx"][key])
            print(f"{title:<48}{unit:<12}{form % daemon:>10}{form % nginx:>10}"
                  f"{daemon / nginx:>8.2f}")
        print(f"{'resident memory, started':<48}{'MiB':<12}{baseline['daemon']:>10.0f}"
              f"{baseline['nginx']:>10.0f}")
        print(f"{'resident memory, 1,000 idle keep-alive conns':<48}{'MiB':<12}"
              f"{memory['daemon']:>10.0f}{memory['nginx']:>10.0f}")
        print(f"(median of {options.rounds} rounds of {options.seconds} s; daemon log "
              f"{'on' if options.log else 'off'}; MB = 10^6 bytes)")
    finally:
        for server in servers.values():
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
