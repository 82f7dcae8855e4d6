#!/usr/bin/env python3
"""Download benchmark: the daemon's file service under Wine beside a minimal Win32 file
server under Wine (bench/ceiling_server, what the platform allows) and nginx, on loopback,
with the same file, the servers taking turns in each round. Prints requests/s for 16 KiB
ranges, MB/s for 1 MiB ranges at random offsets and for one whole 256 MiB file, CPU
seconds per GB served in each of those, wineserver round trips per 16 KiB request, and
resident memory at start and with 1,000 idle keep-alive connections open.
MB and GB are 10^6 and 10^9 bytes."""

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
SERVERS = ("daemon", "minimal", "nginx")
# Round trips are counted over this many 16 KiB requests on one connection, after a
# warm-up that keeps connection set-up and first-use costs out of the count.
TRACED_REQUESTS = 2000
TRACE_WARMUP = 50
# A request line of the wineserver's trace (`-d1`): "<thread>: <request>( <fields> )";
# its answer reads "<thread>: <request>() = ...".
TRACE_REQUEST = re.compile(rb"^([0-9a-f]+): ([a-z_0-9]+)\( ", re.M)
# Where a thread's trace id meets its Linux thread id.
TRACE_THREAD = re.compile(rb"^([0-9a-f]+): init_(?:first_)?thread\( (?:unix_pid=\d+, )?"
                          rb"unix_tid=(\d+)", re.M)
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# The send and idle time-outs of the daemon's and the minimal server's connections.
SOCKET_TIMEOUT_S = 60

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


def cpu_seconds(pids):
    """User and system time of `pids` so far, their ended threads included."""
    total = 0
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        total += int(fields[11]) + int(fields[12])  # utime and stime
    return total / CLOCK_TICKS


class WinePrefix:
    """A Wine prefix of our own with its persistent wineserver, so that the server's
    wineserver CPU and requests are its own. With `trace`, the wineserver runs in the
    foreground with its request trace (`-d1`) going to that file."""

    def __init__(self, name):
        self.prefix = SOURCE / "build" / "win32" / name
        # No gateway search may leave the bench machine.
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        ZRVD_PORT_MAPPING="0")
        self.env.pop("DISPLAY", None)
        self.traced_server = None
        self.trace = None

    def start_wineserver(self, trace=None):
        subprocess.run([str(SOURCE / "scripts" / "wineprefix"), str(self.prefix)], check=True,
                       env=self.env)
        self.trace = trace
        if trace is None:
            # The persistent wineserver must not hold our output pipe open.
            subprocess.run(["wineserver", "-p"], env=self.env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            return
        with open(trace, "wb") as sink:
            self.traced_server = subprocess.Popen(["wineserver", "-f", "-p", "-d1"], env=self.env,
                                                  stdin=subprocess.DEVNULL,
                                                  stdout=subprocess.DEVNULL, stderr=sink)
        for _ in range(100):
            if self.prefix_processes("wineserver"):
                return
            time.sleep(0.1)
        raise SystemExit("the traced wineserver did not start")

    def stop_wineserver(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if self.traced_server is not None:
            self.traced_server.wait(timeout=60)
            self.traced_server = None

    def wine(self, *args):
        return subprocess.run(["wine", *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

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

    def cpu_pids(self):
        """The server process and its wineserver: the wineserver does the socket and
        file work that a kernel would do on Windows."""
        return self.pids() + self.prefix_processes("wineserver")


class Daemon(WinePrefix):
    """The product under Wine in a prefix of its own, kept alive by a launcher window."""

    def __init__(self, work, binaries, md5, path, with_log, prefix="bench-prefix"):
        super().__init__(prefix)
        self.work, self.md5, self.path, self.with_log = work, md5, path, with_log
        self.launcher = None
        # The content check would read the file while the serving is measured.
        self.dwords = {"VerifyFiles": 0, "PortMapping": 0}
        self.game = work / "game"
        self.game.mkdir()
        for name in ("zrvd_daemon.exe", "kovashare.dll", "zrvdctl.exe"):
            shutil.copy2(binaries / name, self.game / name)

    def start(self, trace=None):
        self.start_wineserver(trace)
        work, md5, path = self.work, self.md5, self.path
        self.wine("reg", "delete", ENGINE_KEY, "/f")
        for name, value in (("TrackerHost", "127.0.0.1:9"), ("ProbeHost", "127.0.0.1:9")):
            self.wine("reg", "add", ENGINE_KEY, "/v", name, "/t", "REG_SZ", "/d", value, "/f")
        # All the benchmark's peers come from 127.0.0.1.
        self.wine("reg", "add", ENGINE_KEY, "/v", "MaxConnectionsPerPeer", "/t", "REG_DWORD",
                  "/d", str(IDLE_CONNECTIONS + 100), "/f")
        for name, value in self.dwords.items():
            self.wine("reg", "add", ENGINE_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value),
                      "/f")
        if self.with_log:
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

    def pids(self):
        return [self.pid]

    def stop(self):
        if self.launcher is not None:
            self.wine(self.game / "zrvdctl.exe", "quit")
            self.launcher.kill()
            self.launcher.wait()
            self.launcher = None
        self.stop_wineserver()


class Minimal(WinePrefix):
    """bench/ceiling_server under Wine in a prefix of its own, serving the file under its
    MD5 name."""

    def __init__(self, work, binaries, md5, path):
        super().__init__("bench-ceiling-prefix")
        self.folder = work / "minimal"
        self.folder.mkdir()
        os.symlink(path, self.folder / md5)
        self.program = self.folder / "ceiling_server.exe"
        shutil.copy2(binaries / "ceiling_server.exe", self.program)
        self.process = None

    def start(self, trace=None):
        self.start_wineserver(trace)
        self.process = subprocess.Popen(["wine", str(self.program), winpath(self.folder)],
                                        env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        words = self.process.stdout.readline().split()
        if len(words) != 2 or words[0] != b"port":
            raise SystemExit("the minimal server did not start")
        self.port = int(words[1])
        pids = self.prefix_processes("ceiling_server.exe")
        if not pids:
            raise SystemExit("no minimal server process")
        self.pid = pids[0]

    def pids(self):
        return [self.pid]

    def stop(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None
        self.stop_wineserver()


class Nginx:
    """Debian's nginx serving the same file under its MD5 name."""

    def __init__(self, work, md5, path):
        self.root = work / "nginx"
        (self.root / "html").mkdir(parents=True)
        (self.root / "tmp").mkdir()
        os.symlink(path, self.root / "html" / md5)
        self.master = None

    def start(self, trace=None):
        assert trace is None
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

    def cpu_pids(self):
        return self.pids()

    def stop(self):
        if self.master is not None:
            os.kill(self.master, 15)
            self.master = None


def winpath(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wrk(url, seconds, script, headers=()):
    """Returns (requests, bytes, seconds) of one wrk run."""
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
    return requests, size, micros / 1e6


def whole_file(url):
    """Returns (1, bytes, seconds) of one download of the whole file with curl."""
    out = subprocess.run(["curl", "-s", "--noproxy", "*", "-o", "/dev/null", "-w",
                          "%{size_download} %{time_total}", url],
                         capture_output=True, text=True, timeout=300).stdout.split()
    size, seconds = int(out[0]), float(out[1])
    if size != FILE_SIZE:
        raise SystemExit(f"whole file from {url}: {size} bytes")
    return 1, size, seconds


def measured(server, run):
    """Runs `run` and adds the CPU time the server spent meanwhile to what it returns."""
    before = cpu_seconds(server.cpu_pids())
    requests, size, seconds = run()
    return requests, size, seconds, cpu_seconds(server.cpu_pids()) - before


def read_answer(peer, expected_body):
    answer = b""
    while b"\r\n\r\n" not in answer:
        data = peer.recv(65536)
        if not data:
            raise SystemExit("the connection was closed before the answer")
        answer += data
    head, _, body = answer.partition(b"\r\n\r\n")
    while len(body) < expected_body:
        data = peer.recv(65536)
        if not data:
            raise SystemExit("the connection was closed in the middle of a body")
        body += data
    if not head.startswith(b"HTTP/1.1 206") or len(body) != expected_body:
        raise SystemExit("unexpected answer: " + head.decode(errors="replace"))


def round_trips(server, md5, trace):
    """Wineserver requests per 16 KiB request: the server runs with a wineserver of its own
    that traces every request it gets (`wineserver -f -p -d1`), and we count the trace's
    request lines written by the server's threads while one keep-alive connection makes
    TRACED_REQUESTS requests (after TRACE_WARMUP that are not counted). Other processes of
    the prefix (Wine's services starting up) are left out by thread: the trace names each
    thread's Linux id when it starts, and the server's are those under /proc/<pid>/task."""
    server.start(trace)
    try:
        request = (f"GET /{md5} HTTP/1.1\r\nHost: x\r\nRange: bytes=0-16383\r\n\r\n").encode()
        with socket.create_connection(("127.0.0.1", server.port), timeout=60) as peer:
            for _ in range(TRACE_WARMUP):
                peer.sendall(request)
                read_answer(peer, 16384)
            first = trace.stat().st_size
            for _ in range(TRACED_REQUESTS):
                peer.sendall(request)
                read_answer(peer, 16384)
            last = trace.stat().st_size
            tasks = {int(tid) for tid in os.listdir(f"/proc/{server.pid}/task")}
        with open(trace, "rb") as f:
            before = f.read(first)
            window = f.read(last - first)
    finally:
        server.stop()
    linux_tid = {found.group(1): int(found.group(2)) for found in TRACE_THREAD.finditer(before)}
    names = {}
    others = 0
    for found in TRACE_REQUEST.finditer(window):
        if linux_tid.get(found.group(1)) in tasks:
            names[found.group(2)] = names.get(found.group(2), 0) + 1
        else:
            others += 1
    top = sorted(names.items(), key=lambda item: -item[1])[:10]
    log("  per request: " + ", ".join(f"{name.decode()} {count / TRACED_REQUESTS:.2f}"
                                        for name, count in top)
        + f"; other processes {others / TRACED_REQUESTS:.2f}")
    trace.unlink()
    return sum(names.values()) / TRACED_REQUESTS


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


def ratio(a, b):
    return f"{a / b:.2f}" if b else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=int, default=10, help="length of each wrk run")
    parser.add_argument("--rounds", type=int, default=3, help="runs per measure (median kept)")
    parser.add_argument("--servers", default=",".join(SERVERS),
                        help="comma-separated subset of " + ", ".join(SERVERS))
    parser.add_argument("--log", action="store_true", help="let the daemon write its log")
    parser.add_argument("--bin", default=str(SOURCE / "build" / "win32" / "bin"))
    options = parser.parse_args()
    chosen = [name for name in SERVERS if name in options.servers.split(",")]
    if not chosen or set(options.servers.split(",")) - set(SERVERS):
        parser.error("--servers takes names from " + ", ".join(SERVERS))

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

        log("starting " + ", ".join(chosen))
        binaries = Path(options.bin)
        makers = {"daemon": lambda: Daemon(work, binaries, md5, path, options.log),
                  "minimal": lambda: Minimal(work, binaries, md5, path),
                  "nginx": lambda: Nginx(work, md5, path)}
        for name in chosen:
            servers[name] = makers[name]()
            servers[name].start()
        time.sleep(2)  # nginx forks its workers after the master has written its pid
        baseline = {name: rss_kib(server.pids()) / 1024 for name, server in servers.items()}

        measures = ("rps16k", "mbps1m", "whole")
        results = {name: {key: [] for key in measures} for name in servers}
        for round_number in range(options.rounds):
            for name, server in servers.items():
                url = f"http://127.0.0.1:{server.port}/{md5}"
                log(f"round {round_number + 1}: {name}")
                runs = {
                    "rps16k": lambda: wrk(url, options.seconds, scripts["fixed"],
                                          ["Range: bytes=0-16383"]),
                    "mbps1m": lambda: wrk(url, options.seconds, scripts["random"]),
                    "whole": lambda: whole_file(url),
                }
                for key in measures:
                    results[name][key].append(measured(server, runs[key]))
                    if key != "whole":
                        wrk_ended = time.monotonic()
                rps16k, mbps1m, whole = (results[name][key][-1] for key in measures)
                log(f"  {rps16k[0] / rps16k[2]:.0f} requests/s, "
                    f"{mbps1m[1] / mbps1m[2] / 1e6:.0f} MB/s (1 MiB ranges), "
                    f"{whole[1] / whole[2] / 1e6:.0f} MB/s (whole file); CPU s/GB "
                    + " ".join(f"{run[3] / (run[1] / 1e9):.2f}" for run in (rps16k, mbps1m, whole)))
        memory = {}
        # Connection threads of the last runs end first: they count against the bound of
        # 1,000. Under Wine a few threads whose connection wrk dropped at the end of its run
        # stay blocked until their 60 s time-out, so the wait covers that time-out.
        time.sleep(max(5.0, SOCKET_TIMEOUT_S + 5 - (time.monotonic() - wrk_ended)))
        for name, server in servers.items():
            log(f"memory with {IDLE_CONNECTIONS} idle connections: {name}")
            memory[name] = idle_memory_mib(server.port, md5, server.pids())

        trips = {}
        for name, server in servers.items():
            if isinstance(server, WinePrefix):
                log(f"wineserver round trips: {name} (restarted with a tracing wineserver)")
                server.stop()
                trips[name] = round_trips(server, md5, work / f"{name}.trace")

        def median(name, key, value):
            return statistics.median(value(run) for run in results[name][key])

        figures = {name: {} for name in servers}
        for name in servers:
            figures[name]["rps16k"] = median(name, "rps16k", lambda r: r[0] / r[2])
            figures[name]["mbps1m"] = median(name, "mbps1m", lambda r: r[1] / r[2] / 1e6)
            figures[name]["whole"] = median(name, "whole", lambda r: r[1] / r[2] / 1e6)
            for key in measures:
                figures[name]["cpu_" + key] = median(name, key, lambda r: r[3] / (r[1] / 1e9))
            figures[name]["trips"] = trips.get(name)
            figures[name]["rss_start"] = baseline[name]
            figures[name]["rss_idle"] = memory[name]

        rows = [
            ("16 KiB ranges, 8 keep-alive connections", "requests/s", "rps16k", "%.0f"),
            ("1 MiB ranges at random offsets, 8 conns", "MB/s", "mbps1m", "%.0f"),
            ("one whole 256 MiB file", "MB/s", "whole", "%.0f"),
            ("CPU per GB served, 16 KiB ranges", "s/GB", "cpu_rps16k", "%.2f"),
            ("CPU per GB served, 1 MiB ranges", "s/GB", "cpu_mbps1m", "%.2f"),
            ("CPU per GB served, whole file", "s/GB", "cpu_whole", "%.2f"),
            ("wineserver round trips per 16 KiB request", "", "trips", "%.1f"),
            ("resident memory, started", "MiB", "rss_start", "%.0f"),
            ("resident memory, 1,000 idle keep-alive conns", "MiB", "rss_idle", "%.0f"),
        ]
        pairs = [(a, b) for a, b in (("daemon", "minimal"), ("daemon", "nginx"))
                 if a in servers and b in servers]
        print(f"{'measure':<46}{'unit':<12}" + "".join(f"{name:>10}" for name in servers)
              + "".join(("d/min" if b == "minimal" else "d/nginx").rjust(10) for _, b in pairs))
        for title, unit, key, form in rows:
            cells = "".join(("-" if figures[name][key] is None else form % figures[name][key])
                            .rjust(10) for name in servers)
            ratios = "".join((ratio(figures[a][key], figures[b][key])
                              if figures[a][key] is not None and figures[b][key] is not None
                              else "-").rjust(10) for a, b in pairs)
            print(f"{title:<46}{unit:<12}{cells}{ratios}")
        print(f"(median of {options.rounds} rounds of {options.seconds} s; round trips over "
              f"{TRACED_REQUESTS} requests on one connection; daemon log "
              f"{'on' if options.log else 'off'}; MB = 10^6 bytes, GB = 10^9 bytes)")
    finally:
        for server in servers.values():
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
