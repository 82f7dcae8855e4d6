"""Port mapping on a home network of our own (namespaces home: the daemon's whole Wine
prefix; router: miniupnpd behind nftables; wan: a peer outside), and the guard that no
gateway search leaves unless asked. A prefix of their own, whose wineserver (and so
every socket of its programs) lives in the namespace."""

import hashlib
import os
import random
import re
import subprocess
import time

import pytest

from conftest import ENGINE_KEY, NsDaemon, namespaces, sh, veth, wait_for, winpath

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

N = 10 + os.getpid() % 240
HOME_IP, ROUTER_WAN = "10.250.%d.2" % N, "100.64.%d.1" % N
MAPPING = re.compile(r"^\s*\d+\s+TCP\s+(\d+)->([\d.]+):(\d+)\s+'zrvd ", re.M)
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
# ext_ip is a label (miniupnpd maps nothing while its outside address is reserved);
# no packet goes to it: the peer outside connects to ROUTER_WAN.
MINIUPNPD = """ext_ifname=wan\next_ip=44.0.%d.1\nlistening_ip=lan\nport=5555
enable_natpmp=no\nsecure_mode=yes\nuuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 10.250.%d.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n""" % (N, N)


# The guard: the daemon as every fixture sets it up sends no search within 10 s, even
# with the engine key (and so PortMapping = 0) deleted under it; with the switch
# cleared and PortMapping = 1 the capture shows the M-SEARCH.
def test_no_search_leaves_unless_asked(tmp_path):
    with namespaces("g", "c") as (guard, capture):
        veth(guard, "eth0", "10.251.%d.2/24" % N, capture, "cap", "10.251.%d.1/24" % N)
        sh("ip", "-n", guard, "route", "add", "default", "via", "10.251.%d.1" % N)
        dump = tmp_path / "capture.txt"
        tcpdump = subprocess.Popen(["ip", "netns", "exec", capture, "tcpdump", "-i", "cap", "-n",
                                    "-l", "-A", "udp and dst host 239.255.255.250"],
                                   stdout=open(dump, "w"), stderr=subprocess.PIPE)
        assert wait_for(lambda: b"listening on" in tcpdump.stderr.readline(), 10)
        daemon = NsDaemon(guard, tmp_path / "game")
        try:
            daemon.start()
            daemon.wine("reg", "delete", ENGINE_KEY, "/f")
            time.sleep(10)
            assert "239.255.255.250" not in dump.read_text()
            daemon.end()
            daemon.reg_dword("PortMapping", 1)
            daemon.start(mapping=True)
            assert wait_for(lambda: "M-SEARCH" in dump.read_text(), 10)
        finally:
            daemon.close()


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    work = tmp_path_factory.mktemp("home")
    with namespaces("h", "r", "w") as (home_ns, router, wan):
        veth(home_ns, "eth0", HOME_IP + "/24", router, "lan", "10.250.%d.1/24" % N)
        veth(router, "wan", ROUTER_WAN + "/30", wan, "eth0", "100.64.%d.2/30" % N)
        sh("ip", "-n", home_ns, "route", "add", "default", "via", "10.250.%d.1" % N)
        sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=router)
        (work / "rules.nft").write_text(NFT)
        sh("nft", "-f", work / "rules.nft", ns=router)
        (work / "miniupnpd.conf").write_text(MINIUPNPD)
        data = random.Random(N).randbytes(300_000)
        (work / "shared.pak").write_bytes(data)
        net = type("Home", (), dict(ns=home_ns, wan=wan, data=data, path=work / "shared.pak",
                                    md5=hashlib.md5(data).hexdigest().upper()))
        net.gateway = lambda: subprocess.Popen(
            ["ip", "netns", "exec", router, "miniupnpd", "-d", "-f", work / "miniupnpd.conf"],
            stdout=subprocess.DEVNULL, stderr=open(work / "miniupnpd.log", "a"))
        net.upnpd = net.gateway()
        net.daemon = NsDaemon(home_ns, work / "game")
        try:
            yield net
        finally:
            net.daemon.close()


def ours(net):
    """The router's mappings with our description: (outside port, address, inside port)."""
    out = sh("upnpc", "-l", ns=net.ns, check=False).stdout
    return [(int(a), b, int(c)) for a, b, c in MAPPING.findall(out)]


def started(net):
    net.daemon.start(mapping=True)
    port = net.daemon.status()["engine"]["http_port"]
    net.daemon.ctl("share", winpath(net.path), net.md5, "http://cdn.example/a.pak", "2")
    return port


# Mapped within 30 s; a peer outside downloads through it; the status view shows it;
# quit removes it; a killed run's mapping is replaced, so exactly one stays.
def test_peer_port_mapped_on_the_gateway(home, tmp_path):
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    sh("curl", "-sf", "-o", tmp_path / "got", "http://%s:%d/%s" % (ROUTER_WAN, port, home.md5),
       ns=home.wan)
    assert (tmp_path / "got").read_bytes() == home.data
    mapping = home.daemon.status()["port_mapping"]
    assert mapping["state"] == "mapped" and mapping["gateway_found"]
    assert mapping["mapping"] == {"external_port": port, "internal_address": HOME_IP,
                                  "internal_port": port}
    assert "TCP %d -> %s:%d" % (port, HOME_IP, port) in home.daemon.ctl("status")
    home.daemon.end()
    assert ours(home) == []

    port = started(home)
    assert wait_for(lambda: ours(home), 30)
    home.daemon.end(kill=True)
    again = started(home)
    assert again != port
    assert wait_for(lambda: ours(home) == [(again, HOME_IP, again)], 30), ours(home)
    home.daemon.end()


# PortMapping = 0 asks nothing; switched on and off while running, it maps and
# removes; without a gateway the daemon starts as fast and serves at home.
def test_setting_and_no_gateway(home):
    home.daemon.reg_dword("PortMapping", 0)
    started(home)
    time.sleep(5)
    assert ours(home) == [] and home.daemon.status()["port_mapping"]["state"] == "off"
    home.daemon.reg_dword("PortMapping", 1)
    assert wait_for(lambda: len(ours(home)) == 1, 30), ours(home)
    home.daemon.reg_dword("PortMapping", 0)
    assert wait_for(lambda: ours(home) == [], 30), ours(home)
    home.daemon.end()

    home.daemon.reg_dword("PortMapping", 1)
    with_gateway = home.daemon.start(mapping=True)
    home.daemon.end()
    home.upnpd.kill()
    home.upnpd.wait()
    try:
        without = home.daemon.start(mapping=True)
        assert without < with_gateway + 2, (without, with_gateway)
        port = home.daemon.status()["engine"]["http_port"]
        home.daemon.ctl("share", winpath(home.path), home.md5, "http://cdn.example/a.pak", "2")
        got = sh("curl", "-sf", "http://%s:%d/%s" % (HOME_IP, port, home.md5), ns=home.ns,
                 text=False).stdout
        assert got == home.data
        assert wait_for(lambda: home.daemon.status()["port_mapping"]["state"] == "no_gateway", 30)
        home.daemon.end()
    finally:
        home.upnpd = home.gateway()
