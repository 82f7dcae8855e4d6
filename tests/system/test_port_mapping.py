"""Port mapping on a home network of our own: namespaces home (the daemon and its
whole Wine prefix), router (miniupnpd behind nftables) and wan (a peer outside);
and the guard that no gateway search leaves a machine where the switch says off.
Both run in a prefix of their own, so that its wineserver can live in a namespace."""

import contextlib
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import tempfile
import time

import pytest

from conftest import BIN, ENGINE_KEY, SOURCE, wait_for, winpath

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

N = 10 + os.getpid() % 240
TAG = "zrvd%d" % os.getpid()
PREFIX = BIN.parent / "netns-prefix"
HOME_IP, ROUTER_LAN, ROUTER_WAN = "10.250.%d.2" % N, "10.250.%d.1" % N, "100.64.%d.1" % N
MAPPING = re.compile(r"^\s*\d+\s+TCP\s+(\d+)->([\d.]+):(\d+)\s+'([^']*)'", re.M)
NFT = """table inet filter {
  chain miniupnpd { }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
  chain forward { type filter hook forward priority 0; policy drop;
    ct state established,related accept; jump miniupnpd; }
  chain prerouting { type nat hook prerouting priority -100; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; jump postrouting_miniupnpd; }
}
"""
# ext_ip is a label: miniupnpd maps nothing while its outside address is reserved.
# No packet goes to it; the peer outside connects to ROUTER_WAN.
MINIUPNPD = """ext_ifname=wan
ext_ip=44.0.%d.1
listening_ip=lan
port=5555
enable_natpmp=no
secure_mode=yes
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 10.250.%d.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
""" % (N, N)


def sh(*cmd, ns=None, check=True, text=True):
    cmd = ("ip", "netns", "exec", ns, *cmd) if ns else cmd
    return subprocess.run([str(c) for c in cmd], check=check, capture_output=True, text=text)


@contextlib.contextmanager
def namespaces(*names):
    """Fresh namespaces joined by nothing yet; on the way out every process left in
    them is killed and they are deleted, whatever happened."""
    made = []
    try:
        for name in names:
            sh("ip", "netns", "add", TAG + name)
            made.append(TAG + name)
            sh("ip", "-n", TAG + name, "link", "set", "lo", "up")
        yield made
    finally:
        for name in made:
            for pid in sh("ip", "netns", "pids", name, check=False).stdout.split():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(int(pid), 9)
            sh("ip", "netns", "del", name, check=False)


def veth(a, a_name, a_addr, b, b_name, b_addr):
    sh("ip", "link", "add", a_name, "netns", a, "type", "veth", "peer", "name", b_name, "netns", b)
    for ns, name, addr in ((a, a_name, a_addr), (b, b_name, b_addr)):
        sh("ip", "-n", ns, "addr", "add", addr, "dev", name)
        sh("ip", "-n", ns, "link", "set", name, "up")


class NsDaemon:
    """The product installed in `folder`, run in PREFIX with the prefix's wineserver
    started inside namespace `ns`: every socket of its programs is made there."""

    def __init__(self, ns, folder):
        self.ns, self.folder, self.launcher = ns, folder, None
        folder.mkdir(parents=True, exist_ok=True)
        for name in ("zrvd_daemon.exe", "kovashare.dll", "zrvdctl.exe"):
            shutil.copy2(BIN / name, folder / name)
        self.env = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all",
                        ZRVD_PORT_MAPPING="0")
        self.env.pop("DISPLAY", None)
        subprocess.run([str(SOURCE / "scripts" / "wineprefix"), str(PREFIX)], check=True)
        subprocess.run(["wineserver", "-k"], env=self.env)
        self.server = subprocess.Popen(["ip", "netns", "exec", ns, "wineserver", "-p", "-f"],
                                       env=self.env)
        self.wine("cmd", "/c", "exit", timeout=120)
        # As the common fixture sets the engine key up.
        self.wine("reg", "delete", ENGINE_KEY, "/f", check=False)
        self.reg_dword("VerifyFiles", 0)
        self.reg_dword("PortMapping", 0)
        self.wine("reg", "add", ENGINE_KEY, "/v", "TrackerHost", "/d", "127.0.0.1:9", "/f")
        self.wine("reg", "add", ENGINE_KEY, "/v", "P4PShareLogFilePath", "/d",
                  winpath(folder / "engine.log"), "/f")

    def wine(self, *args, timeout=60, check=True, mapping=False):
        """Runs a program; `mapping` clears the switch that keeps it from any router."""
        env = dict(self.env)
        if mapping:
            del env["ZRVD_PORT_MAPPING"]
        # Files, not pipes: a Wine service started on the way would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            subprocess.run(["ip", "netns", "exec", self.ns, "wine", *map(str, args)], env=env,
                           stdout=out, stderr=subprocess.DEVNULL, timeout=timeout, check=check)
            out.seek(0)
            return out.read().decode("latin-1")

    def ctl(self, *args, timeout=60):
        return self.wine(self.folder / "zrvdctl.exe", *args, timeout=timeout)

    def reg_dword(self, name, value):
        self.wine("reg", "add", ENGINE_KEY, "/v", name, "/t", "REG_DWORD", "/d", value, "/f")

    def start(self, mapping=False):
        """Starts the daemon as the launcher does; the seconds until its window is up."""
        if self.launcher is None:
            self.launcher = subprocess.Popen(
                ["ip", "netns", "exec", self.ns, "wine", self.folder / "zrvdctl.exe", "launcher",
                 "3600"], env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            assert self.launcher.stdout.readline().startswith(b"launcher window up")
        begin = time.monotonic()
        self.wine(self.folder / "zrvd_daemon.exe", timeout=120, mapping=mapping)
        self.ctl("wait", "30")
        return time.monotonic() - begin

    def status(self):
        return json.loads(self.ctl("status", "--json"))

    def pids(self):
        out = sh("ps", "-eo", "pid=,args=").stdout
        return [int(pid) for pid, _, args in (line.strip().partition(" ") for line in
                                               out.splitlines())
                if "zrvd_daemon" in args and self.in_prefix(pid)]

    def quit(self):
        self.ctl("quit")
        assert wait_for(lambda: not self.pids(), 30)

    def kill(self):
        for pid in self.pids():
            os.kill(pid, 9)
        assert wait_for(lambda: not self.pids(), 30)

    def in_prefix(self, pid):
        with contextlib.suppress(OSError), open("/proc/%s/environ" % pid, "rb") as environ:
            return ("WINEPREFIX=%s" % PREFIX).encode() in environ.read().split(b"\0")
        return False

    def close(self):
        if self.launcher:
            self.launcher.kill()
        subprocess.run(["wineserver", "-k"], env=self.env)
        self.server.wait(timeout=60)


# The guard: the daemon as every fixture sets it up sends no search within 10 s,
# even after the engine key (and so PortMapping = 0) is deleted under it; with the
# switch cleared and PortMapping = 1 the capture shows the M-SEARCH.
def test_no_search_leaves_unless_asked(tmp_path):
    with namespaces("g", "c") as (guard, capture):
        veth(guard, "eth0", "10.251.%d.2/24" % N, capture, "cap", "10.251.%d.1/24" % N)
        sh("ip", "-n", guard, "route", "add", "default", "via", "10.251.%d.1" % N)
        dump = open(tmp_path / "capture.txt", "w")
        tcpdump = subprocess.Popen(["ip", "netns", "exec", capture, "tcpdump", "-i", "cap", "-n",
                                    "-l", "-A", "udp and dst host 239.255.255.250"],
                                   stdout=dump, stderr=subprocess.PIPE)
        assert wait_for(lambda: b"listening on" in tcpdump.stderr.readline(), 10)
        daemon = NsDaemon(guard, tmp_path / "game")
        try:
            daemon.start()
            daemon.wine("reg", "delete", ENGINE_KEY, "/f")
            time.sleep(10)
            assert "239.255.255.250" not in open(tmp_path / "capture.txt").read()
            daemon.quit()
            daemon.reg_dword("PortMapping", 1)
            daemon.start(mapping=True)
            assert wait_for(lambda: "M-SEARCH" in open(tmp_path / "capture.txt").read(), 10)
        finally:
            daemon.close()
            tcpdump.kill()


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    """The home network, its router running miniupnpd, and the daemon's prefix at home."""
    work = tmp_path_factory.mktemp("home")
    with namespaces("h", "r", "w") as (home_ns, router, wan):
        veth(home_ns, "eth0", HOME_IP + "/24", router, "lan", ROUTER_LAN + "/24")
        veth(router, "wan", ROUTER_WAN + "/30", wan, "eth0", "100.64.%d.2/30" % N)
        sh("ip", "-n", home_ns, "route", "add", "default", "via", ROUTER_LAN)
        sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=router)
        (work / "rules.nft").write_text(NFT)
        sh("nft", "-f", work / "rules.nft", ns=router)
        (work / "miniupnpd.conf").write_text(MINIUPNPD)
        gateway = ["ip", "netns", "exec", router, "miniupnpd", "-d", "-f", work / "miniupnpd.conf"]
        daemon = NsDaemon(home_ns, work / "game")
        data = random.Random(N).randbytes(300_000)
        (work / "shared.pak").write_bytes(data)
        md5 = hashlib.md5(data).hexdigest().upper()
        net = type("Home", (), dict(ns=home_ns, wan=wan, daemon=daemon, data=data, md5=md5,
                                    path=winpath(work / "shared.pak"), gateway=gateway))
        net.upnpd = subprocess.Popen(gateway, stdout=subprocess.DEVNULL,
                                     stderr=open(work / "miniupnpd.log", "w"))
        try:
            yield net
        finally:
            daemon.close()
            net.upnpd.kill()


def ours(net):
    """The router's mappings with our description, as (outside, inside, port)."""
    out = sh("upnpc", "-l", ns=net.ns, check=False).stdout
    return [(int(m[0]), m[1], int(m[2])) for m in MAPPING.findall(out) if m[3].startswith("zrvd ")]


def started(net):
    net.daemon.start(mapping=True)
    port = net.daemon.status()["engine"]["http_port"]
    net.daemon.ctl("share", net.path, net.md5, "http://cdn.example/a.pak", "2")
    return port


# Mapped within 30 s; a peer outside downloads through it; the status view shows
# it; quit removes it; a killed run's mapping is replaced, so exactly one stays.
def test_peer_port_mapped_on_the_gateway(home, tmp_path):
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    got = tmp_path / "got"
    sh("curl", "-sf", "-o", got, "http://%s:%d/%s" % (ROUTER_WAN, port, home.md5), ns=home.wan)
    assert got.read_bytes() == home.data
    mapping = home.daemon.status()["port_mapping"]
    assert mapping["state"] == "mapped" and mapping["gateway_found"]
    assert mapping["mapping"] == {"external_port": port, "internal_address": HOME_IP,
                                  "internal_port": port}
    assert "TCP %d -> %s:%d" % (port, HOME_IP, port) in home.daemon.ctl("status")
    home.daemon.quit()
    assert ours(home) == []

    port = started(home)
    assert wait_for(lambda: ours(home), 30)
    home.daemon.kill()
    again = started(home)
    assert again != port
    assert wait_for(lambda: ours(home) == [(again, HOME_IP, again)], 30), ours(home)
    home.daemon.quit()


# PortMapping = 0 asks nothing; switched on and off again while running, it maps
# and removes; without a gateway the daemon starts as fast and serves at home.
def test_setting_and_no_gateway(home):
    home.daemon.reg_dword("PortMapping", 0)
    started(home)
    time.sleep(5)
    assert ours(home) == [] and home.daemon.status()["port_mapping"]["state"] == "off"
    home.daemon.reg_dword("PortMapping", 1)
    assert wait_for(lambda: len(ours(home)) == 1, 30), ours(home)
    home.daemon.reg_dword("PortMapping", 0)
    assert wait_for(lambda: ours(home) == [], 30), ours(home)
    home.daemon.quit()

    home.daemon.reg_dword("PortMapping", 1)
    with_gateway = home.daemon.start(mapping=True)
    home.daemon.quit()
    home.upnpd.kill()
    home.upnpd.wait()
    try:
        without = home.daemon.start(mapping=True)
        assert without < with_gateway + 2, (without, with_gateway)
        port = home.daemon.status()["engine"]["http_port"]
        home.daemon.ctl("share", home.path, home.md5, "http://cdn.example/a.pak", "2")
        got = sh("curl", "-sf", "http://%s:%d/%s" % (HOME_IP, port, home.md5), ns=home.ns,
                 text=False).stdout
        assert got == home.data
        assert wait_for(lambda: home.daemon.status()["port_mapping"]["state"] == "no_gateway", 30)
    finally:
        home.daemon.quit()
        home.upnpd = subprocess.Popen(home.gateway, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
