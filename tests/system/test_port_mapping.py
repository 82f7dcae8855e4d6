"""Port mapping on a home network of our own (namespaces home: the daemon's whole Wine
prefix; router: miniupnpd behind nftables, speaking UPnP or PCP/NAT-PMP; wan: a peer
outside), and the guard that no gateway search or PCP request leaves unless asked. A prefix of their own, whose wineserver (and so
every socket of its programs) lives in the namespace."""

import contextlib
import hashlib
import os
import random
import re
import subprocess
import threading
import time

import pytest

from conftest import ENGINE_KEY, SOURCE, NsDaemon, namespaces, sh, veth, wait_for, winpath

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

N = 10 + os.getpid() % 240
HOME_IP, ROUTER_WAN = "10.250.%d.2" % N, "100.64.%d.1" % N
HOME_IP2, ROUTER_LAN = "10.250.%d.3" % N, "10.250.%d.1" % N
RECORD = "PortMappingRecord"
MAPPING = re.compile(r"^\s*\d+\s+TCP\s+(\d+)->([\d.]+):(\d+)\s+'zrvd ", re.M)
# What the router forwards, whoever asked: its nftables DNAT rules.
DNAT = re.compile(r"dport (\d+) dnat ip to ([\d.]+):(\d+)")
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
# no packet goes to it: the peer outside connects to ROUTER_WAN. secure_mode=no: a
# look from our new address may remove the mapping to our old one ("upnp-secure":
# yes, as common router firmware has it).
MINIUPNPD = """ext_ifname=wan\next_ip=44.0.%d.1\nlistening_ip=lan\nport=5555
secure_mode=no\nuuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 10.250.%d.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n""" % (N, N)
# What the router speaks: UPnP alone, or PCP and NAT-PMP (UDP 5351) alone.
SPEAKS = {"upnp": "enable_natpmp=no\n", "pcp": "enable_natpmp=yes\nenable_upnp=no\n",
          "upnp-secure": "enable_natpmp=no\n"}


# The guard: the daemon as every fixture sets it up sends no search within 10 s, even
# with the engine key (and so PortMapping = 0) deleted under it; with the switch
# cleared and PortMapping = 1 the capture shows the M-SEARCH.
def test_no_search_leaves_unless_asked(tmp_path):
    with namespaces("g", "c") as (guard, capture):
        veth(guard, "eth0", "10.251.%d.2/24" % N, capture, "cap", "10.251.%d.1/24" % N)
        sh("ip", "-n", guard, "route", "add", "default", "via", "10.251.%d.1" % N)
        dump = tmp_path / "capture.txt"
        tcpdump = subprocess.Popen(["ip", "netns", "exec", capture, "tcpdump", "-i", "cap", "-n",
                                    "-l", "-A", "udp and (dst host 239.255.255.250 or dst port 5351)"],
                                   stdout=open(dump, "w"), stderr=subprocess.PIPE)
        assert wait_for(lambda: b"listening on" in tcpdump.stderr.readline(), 10)
        daemon = NsDaemon(guard, tmp_path / "game")
        try:
            daemon.start()
            daemon.wine("reg", "delete", ENGINE_KEY, "/f")
            time.sleep(10)
            assert "239.255.255.250" not in dump.read_text() and ".5351:" not in dump.read_text()
            daemon.end()
            daemon.reg_dword("PortMapping", 1)
            daemon.start(mapping=True)
            assert wait_for(lambda: "M-SEARCH" in dump.read_text(), 10)
            # No UPnP answer: PCP to the default gateway.
            assert wait_for(lambda: ".5351:" in dump.read_text(), 30)
        finally:
            daemon.close()


@pytest.fixture(scope="module", params=["upnp"])
def home(tmp_path_factory, request):
    work = tmp_path_factory.mktemp("home")
    with namespaces("h", "r", "w") as (home_ns, router, wan):
        veth(home_ns, "eth0", HOME_IP + "/24", router, "lan", "10.250.%d.1/24" % N)
        veth(router, "wan", ROUTER_WAN + "/30", wan, "eth0", "100.64.%d.2/30" % N)
        sh("ip", "-n", home_ns, "route", "add", "default", "via", ROUTER_LAN)
        # A second adapter (a VPN's, a host-only one) holding the multicast route at
        # the lower metric: our address is still the one toward the default route.
        sh("ip", "-n", home_ns, "link", "add", "vpn0", "type", "veth", "peer", "name", "vpn1")
        sh("ip", "-n", home_ns, "addr", "add", "10.249.%d.2/24" % N, "dev", "vpn0")
        for name in ("vpn0", "vpn1"):
            sh("ip", "-n", home_ns, "link", "set", name, "up")
        sh("ip", "-n", home_ns, "route", "add", "224.0.0.0/4", "dev", "vpn0", "metric", "0")
        sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=router)
        (work / "rules.nft").write_text(NFT)
        sh("nft", "-f", work / "rules.nft", ns=router)
        secure = "secure" in request.param
        (work / "miniupnpd.conf").write_text(
            MINIUPNPD.replace("secure_mode=no", "secure_mode=yes" if secure else "secure_mode=no")
            + SPEAKS[request.param])
        data = random.Random(N).randbytes(300_000)
        (work / "shared.pak").write_bytes(data)
        net = type("Home", (), dict(ns=home_ns, wan=wan, router=router,
                                    speaks=request.param.split("-")[0], secure=secure,
                                    data=data, path=work / "shared.pak",
                                    md5=hashlib.md5(data).hexdigest().upper()))

        def gateway():
            """miniupnpd, once it listens: a search sent before that would be lost, and
            the daemon would look again only a minute later. A pid file of its own:
            another bench's router may run at the same time."""
            upnpd = subprocess.Popen(
                ["ip", "netns", "exec", router, "miniupnpd", "-d", "-f", work / "miniupnpd.conf",
                 "-P", work / "miniupnpd.pid"],
                stdout=subprocess.DEVNULL, stderr=open(work / "miniupnpd.log", "a"))
            ss, port = ("-ltnH", ":5555 ") if net.speaks == "upnp" else ("-lunH", ":5351 ")
            assert wait_for(lambda: port in sh("ss", ss, ns=router).stdout, 10)
            return upnpd
        net.gateway = gateway
        net.upnpd = net.gateway()
        net.daemon = NsDaemon(home_ns, work / "game")
        try:
            yield net
        finally:
            net.daemon.close()


@pytest.fixture(autouse=True)
def no_daemon_left(request):
    """A test of the home network that failed half-way leaves no daemon for the next."""
    yield
    if "home" in request.fixturenames:
        daemon = request.getfixturevalue("home").daemon
        if daemon.pids():
            daemon.end(kill=True)


def ours(net):
    """The router's mappings with our description (over PCP, which has none: all it
    forwards): (outside port, address, inside port)."""
    if net.speaks == "upnp":
        found = MAPPING.findall(sh("upnpc", "-u", "http://%s:5555/rootDesc.xml" % ROUTER_LAN,
                                   "-l", ns=net.ns, check=False).stdout)
    else:
        found = DNAT.findall(sh("nft", "list", "chain", "inet", "filter", "prerouting_miniupnpd",
                                ns=net.router).stdout)
    return [(int(a), b, int(c)) for a, b, c in found]


def started(net):
    net.daemon.start(mapping=True)
    port = net.daemon.status()["engine"]["http_port"]
    net.daemon.ctl("share", winpath(net.path), net.md5, "http://cdn.example/a.pak", "2")
    return port


# Mapped within 30 s, over UPnP or (the router offering no UPnP) PCP; a peer outside
# downloads through it; the status view shows it; quit removes it; a killed run's mapping
# is replaced, so exactly one stays.
@pytest.mark.parametrize("home", ["upnp", "pcp"], indirect=True)
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
    assert mapping["protocol"] == home.speaks
    if home.speaks == "pcp":
        assert mapping["external_address"] == "44.0.%d.1" % N
        ends = time.mktime(time.strptime(mapping["lease_ends"], "%Y-%m-%dT%H:%M:%SZ"))
        assert 7000 < ends - time.mktime(time.gmtime()) <= 7200, mapping["lease_ends"]
    assert "TCP %d -> %s:%d on the gateway%s" % (
        port, HOME_IP, port, " (PCP, lease until " if home.speaks == "pcp" else "") in \
        home.daemon.ctl("status")
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
# removes (a PCP lease too); without a gateway the daemon starts as fast and serves at home.
@pytest.mark.parametrize("home", ["upnp", "pcp"], indirect=True)
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
    home.daemon.end()  # at once: a request already sent is awaited, its mapping removed
    assert ours(home) == []
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
        # A failed look is tried again after a minute, not at the 20-minute rhythm.
        home.upnpd = home.gateway()
        assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 75), ours(home)
        home.daemon.end()
    finally:
        if home.upnpd.poll() is not None:
            home.upnpd = home.gateway()


# The record outlives a killed run: written before the Add, it names the mapping, and
# the next run removes it even with PortMapping = 0 (the environment's switch alone
# sends nothing: the guard test above).
def test_record_outlives_a_killed_run(home):
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    # The gateway it is on, and a lease of two hours (renewed by the looks).
    method, end = home.daemon.record().rsplit(" ", 1)
    assert method == "upnp TCP %d %s %s" % (port, HOME_IP, ROUTER_LAN), method
    assert 7000 < int(end) - time.time() <= 7200, end
    home.daemon.end(kill=True)
    home.daemon.reg_dword("PortMapping", 0)
    home.daemon.start(mapping=True)
    assert wait_for(lambda: ours(home) == [], 30), ours(home)
    assert wait_for(lambda: home.daemon.record() is None, 10)
    home.daemon.end()
    # A record this version cannot act on is logged, cleared, and blocks nothing.
    home.daemon.wine("reg", "add", ENGINE_KEY, "/v", RECORD, "/d", "pcp TCP 1 10.0.0.9", "/f")
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    assert b'the record "pcp TCP 1 10.0.0.9" cannot be read' in \
        (home.daemon.folder / "engine.log").read_bytes()
    home.daemon.end()


# A quit frees the instance before the router is asked: a daemon started right after
# the quit takes the mutex and serves, the old process is gone within 3 s, and the
# router ends up with the new daemon's mapping alone.
def test_quit_then_start_at_once(home):
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    old = set(home.daemon.pids())
    assert old
    gone = []
    watch = threading.Thread(target=lambda: gone.append(
        wait_for(lambda: not set(home.daemon.pids()) & old, 10, interval=0.05) and
        time.monotonic()))
    quit_at = time.monotonic()
    home.daemon.ctl("quit")
    watch.start()
    home.daemon.start(mapping=True)
    watch.join()
    assert gone[0] and gone[0] - quit_at < 3, gone[0] and gone[0] - quit_at
    again = home.daemon.status()["engine"]["http_port"]
    assert again != port
    assert wait_for(lambda: ours(home) == [(again, HOME_IP, again)], 30), ours(home)
    home.daemon.end()
    assert ours(home) == []


# Our address changes under the running daemon (DHCP, Wi-Fi to cable): it looks at
# once, removes our mapping to the old address and keeps the new one's only. A router
# that lets a client remove only its own mappings refuses the removal: that is final
# (one line), the record moves on to the new address, which is mapped once the old
# mapping's lease lets the port go.
@pytest.mark.parametrize("home", ["upnp", "upnp-secure"], indirect=True)
def test_address_change(home):
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    move = lambda a, b: (sh("ip", "-n", home.ns, "addr", "del", a + "/24", "dev", "eth0"),
                         sh("ip", "-n", home.ns, "addr", "add", b + "/24", "dev", "eth0"),
                         sh("ip", "-n", home.ns, "route", "replace", "default", "via", ROUTER_LAN))
    move(HOME_IP, HOME_IP2)
    try:
        if home.secure:
            log = home.daemon.folder / "engine.log"
            assert wait_for(lambda: b"not authorized" in log.read_bytes(), 40)
            assert wait_for(lambda: (home.daemon.record() or "").endswith(HOME_IP2) or
                            home.daemon.record() is None, 10), home.daemon.record()
            assert log.read_bytes().count(b"not authorized") == 1
        else:
            assert wait_for(lambda: ours(home) == [(port, HOME_IP2, port)], 40), ours(home)
        home.daemon.end()
        assert ours(home) == [] or home.secure
    finally:
        move(HOME_IP2, HOME_IP)


# A PCP gateway that grants every mapping on another outside port (ours + 1) and
# notes each request's lifetime and granted port.
PCP_OTHER_PORT = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 5351))
print("ready", flush=True)
while True:
    d, peer = s.recvfrom(1100)
    if len(d) != 60 or d[:2] != b"\\x02\\x01":
        continue
    port = (int.from_bytes(d[40:42], "big") % 65535) + 1
    a = bytearray(d)
    a[1], a[3] = 0x81, 0
    a[8:24] = bytes(16)
    a[42:44] = port.to_bytes(2, "big")
    a[44:60] = bytes(10) + b"\\xff\\xff" + socket.inet_aton("44.0.0.66")
    open(sys.argv[2], "a").write("MAP %d %d\\n" % (int.from_bytes(d[4:8], "big"), port))
    s.sendto(bytes(a), peer)
"""


@contextlib.contextmanager
def fake_gateway(home, log, *args, script=None):
    """hostile_gateway.py (or `script`) in miniupnpd's place, on the router's LAN address."""
    home.upnpd.kill()
    home.upnpd.wait()
    log.write_text("")
    program = ["-c", script, ROUTER_LAN, log] if script else \
        [SOURCE / "tests" / "system" / "hostile_gateway.py", ROUTER_LAN, "5556", log, *args]
    server = subprocess.Popen(["ip", "netns", "exec", home.router, "/usr/bin/python3", *program],
                              stdout=subprocess.PIPE)
    try:
        assert server.stdout.readline() == b"ready\n"
        yield
    finally:
        server.kill()
        server.wait()
        home.upnpd = home.gateway()


@contextlib.contextmanager
def second_host(home, address):
    """Another host on the home link: our eth0 and its link under a bridge (no
    snooping, so the search reaches both), the address and default route on it."""
    with namespaces("e") as (lan_host,):
        ip = lambda *a: sh("ip", "-n", home.ns, *a)
        ip("link", "add", "brh", "type", "bridge", "mcast_snooping", "0")
        ip("addr", "del", HOME_IP + "/24", "dev", "eth0")
        ip("link", "set", "eth0", "master", "brh")
        sh("ip", "link", "add", "evl", "netns", home.ns, "type", "veth", "peer", "name", "eth0",
           "netns", lan_host)
        ip("link", "set", "evl", "master", "brh")
        for name in ("brh", "evl"):
            ip("link", "set", name, "up")
        ip("addr", "add", HOME_IP + "/24", "dev", "brh")
        ip("route", "replace", "default", "via", ROUTER_LAN)
        sh("ip", "-n", lan_host, "addr", "add", address + "/24", "dev", "eth0")
        sh("ip", "-n", lan_host, "link", "set", "eth0", "up")
        try:
            yield lan_host
        finally:
            ip("link", "del", "evl")
            ip("link", "del", "brh")
            ip("addr", "add", HOME_IP + "/24", "dev", "eth0")
            ip("route", "replace", "default", "via", ROUTER_LAN)


# Another host on the home link answers the search before the router does, with a
# description whose control URL is the daemon's own loopback IPC port: only the next
# hop is heard, so no connection reaches that host or the IPC port, and the router maps.
def test_lan_host_cannot_steer_the_search(home, tmp_path):
    address, log = "10.250.%d.66" % N, tmp_path / "lan_host.log"
    log.write_text("")
    with second_host(home, address) as lan_host:
        home.daemon.reg_dword("PortMapping", 0)  # no search before that host listens
        port = started(home)
        ipc = int(re.search(r"IPCPort\s+REG_DWORD\s+(0x[0-9a-f]+)", home.daemon.wine(
            "reg", "query", ENGINE_KEY, "/v", "IPCPort")).group(1), 16)
        server = subprocess.Popen(["ip", "netns", "exec", lan_host, "/usr/bin/python3",
                                   SOURCE / "tests" / "system" / "hostile_gateway.py", address,
                                   "5556", log, "0", "0", "http://127.0.0.1:%d/ctl" % ipc],
                                  stdout=subprocess.PIPE)
        try:
            assert server.stdout.readline() == b"ready\n"
            home.daemon.reg_dword("PortMapping", 1)
            assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
            home.daemon.end()
        finally:
            server.kill()
            server.wait()
    heard = log.read_text().splitlines()
    assert "M-SEARCH" in heard and all(line == "M-SEARCH" for line in heard), heard
    assert b"/ctl HTTP/1.1" not in (home.daemon.folder / "engine.log").read_bytes()


# A gateway that grants another outside port than ours: no peer is told that one, so
# it is deleted at once, and the status says why nothing is mapped.
def test_other_outside_port_is_deleted(home, tmp_path):
    log = tmp_path / "pcp.log"
    with fake_gateway(home, log, script=PCP_OTHER_PORT):
        home.daemon.reg_dword("PortMapping", 1)
        port = started(home)
        assert wait_for(lambda: "MAP 0 " in log.read_text(), 40), log.read_text()
        assert log.read_text().splitlines()[:2] == ["MAP 7200 %d" % (port + 1), "MAP 0 %d" % (port + 1)]
        status = home.daemon.status()["port_mapping"]
        assert status["state"] == "refused" and "which no peer is told" in status["reason"], status
        assert home.daemon.record() is None
        home.daemon.end()


# A removal the gateway refuses leaves the record, and is tried again: here with
# PortMapping set to 0 (refused), then at the end (done).
def test_refused_removal_is_tried_again(home, tmp_path):
    log = tmp_path / "gateway.log"
    with fake_gateway(home, log, "0", "1"):
        home.daemon.reg_dword("PortMapping", 1)
        port = started(home)
        assert wait_for(lambda: "AddPortMapping" in log.read_text(), 30)
        home.daemon.reg_dword("PortMapping", 0)
        assert wait_for(lambda: "DeletePortMapping" in log.read_text(), 30)
        # It grants no lease (725): the mapping is permanent, recorded with end 0.
        assert home.daemon.record() == "upnp TCP %d %s %s 0" % (port, HOME_IP, ROUTER_LAN)
        home.daemon.end()
        assert log.read_text().count("DeletePortMapping") == 2
        assert home.daemon.record() is None


# A hostile host answering as the gateway: 100,000 entries, ports of 70000, 1 MiB
# descriptions. One look reads 1,024 entries at most, 64 KiB of each; none is taken
# for ours; the daemon's memory stays near its usual figure, and it maps and serves.
def test_hostile_gateway(home, tmp_path):
    log = tmp_path / "hostile.log"
    with fake_gateway(home, log):
        home.daemon.reg_dword("PortMapping", 1)
        port = started(home)
        usual = home.daemon.rss()
        assert wait_for(lambda: "AddPortMapping" in log.read_text(), 90)
        asked = [int(line.split()[1]) for line in log.read_text().splitlines()
                 if line.startswith("GetGenericPortMappingEntry")]
        assert max(asked) == 1023, max(asked)
        assert home.daemon.rss() < usual + 6 * 1024, (usual, home.daemon.rss())
        assert home.daemon.status()["port_mapping"]["state"] == "mapped"
        got = sh("curl", "-sf", "http://%s:%d/%s" % (HOME_IP, port, home.md5), ns=home.ns,
                 text=False).stdout
        assert got == home.data
        home.daemon.end()
        assert "DeletePortMapping" in log.read_text()



# A shutdown or log-off (Wine's end of session: WM_QUERYENDSESSION, WM_ENDSESSION to
# every window) removes the mapping before the process goes, and the log says so.
def test_end_of_session(home):
    home.daemon.reg_dword("PortMapping", 1)
    port = started(home)
    assert wait_for(lambda: ours(home) == [(port, HOME_IP, port)], 30), ours(home)
    home.daemon.wine("wineboot", "--end-session", "--kill", timeout=60, check=False)
    assert wait_for(lambda: ours(home) == [], 10), ours(home)
    assert b"removed from the gateway" in (home.daemon.folder / "engine.log").read_bytes()
    home.daemon.end(kill=True)
    home.daemon.launcher.kill()  # the end of the session took it too
    home.daemon.launcher = None
