"""A household behind a shaped uplink, in namespaces of its own: the daemon's host and a
second host on the home LAN (a bridge in the router), the router's outside veth shaped by
a token bucket with a deep FIFO, an ISP hop (a plain Linux router) behind a base delay,
and an internet peer at a TEST-NET address. Shared by the system test and the benchmark
of uploads that give way; the measurements (added ping, link use, a household upload's
share) are read from the Linux side."""

import contextlib
import json
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

from conftest import NsDaemon, namespaces, sh, veth, winpath

N = 10 + os.getpid() % 240
LAN = "10.247.%d" % N
HOST, HOUSE, ROUTER_LAN = LAN + ".2", LAN + ".3", LAN + ".1"
ROUTER_WAN, ISP_DOWN = "100.67.%d.1" % N, "100.67.%d.2" % N
ISP_UP, PEER = "203.0.113.1", "203.0.113.7"
SINK_PORT = 5001
HERE = Path(__file__).resolve().parent
# Every veth of the path: with segmentation offloads on, the token bucket drops the
# large segments and its queue never fills.
PATH_LINKS = (("host", "eth0"), ("house", "eth0"), ("router", "lan0"), ("router", "lan1"),
              ("router", "br0"), ("router", "wan"), ("isp", "isp0"), ("isp", "isp1"),
              ("peer", "eth0"))


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class HomeUplink:
    def __init__(self, names, work):
        self.host, self.house, self.router, self.isp, self.peer = names
        self.work = work
        self.loads = []
        self.rate_bits = 0

    def ns(self, role):
        return getattr(self, role)

    def shape(self, rate_bits, buffer_ms):
        """The uplink: `rate_bits` a second, a FIFO holding `buffer_ms` of it."""
        self.rate_bits = rate_bits
        limit = max(3000, rate_bits // 8 * buffer_ms // 1000)
        sh("tc", "-n", self.router, "qdisc", "replace", "dev", "wan", "root", "tbf", "rate",
           "%dbit" % rate_bits, "burst", "4kb", "limit", limit)

    def filter_icmp(self, drop):
        """Every ICMP message to, from or through the ISP hop dropped (or let through)."""
        sh("nft", "delete", "table", "inet", "noicmp", ns=self.isp, check=False)
        if drop:
            rules = "table inet noicmp {\n" + "".join(
                "  chain %s { type filter hook %s priority 0; ip protocol icmp drop; }\n" % (h, h)
                for h in ("input", "forward", "output")) + "}\n"
            path = self.work / "noicmp.nft"
            path.write_text(rules)
            sh("nft", "-f", path, ns=self.isp)

    def tx_bytes(self):
        """Bytes the router has sent up the shaped link."""
        link = json.loads(sh("ip", "-n", self.router, "-s", "-j", "link", "show", "dev", "wan")
                          .stdout)[0]
        return link["stats64"]["tx"]["bytes"]

    def link_use(self, seconds):
        """The shaped link's use over `seconds`: bytes sent over what the rate allows."""
        before, begin = self.tx_bytes(), time.monotonic()
        time.sleep(seconds)
        return (self.tx_bytes() - before) * 8 / (self.rate_bits * (time.monotonic() - begin))

    def measure(self, seconds, base):
        """(median, 95th percentile) of the ping above the idle base in ms, and the link's
        use, over the same `seconds`."""
        before, begin = self.tx_bytes(), time.monotonic()
        median, p95 = self.added_ping(seconds, base)
        sent = self.tx_bytes() - before
        return median, p95, sent * 8 / (self.rate_bits * (time.monotonic() - begin))

    def ping(self, seconds, interval=0.1):
        """Round trips in ms from the daemon's host to the internet peer over `seconds`;
        a lost echo counts as infinitely late."""
        count = int(seconds / interval)
        out = sh("ping", "-n", "-i", interval, "-W", "3", "-c", count, PEER, ns=self.host,
                 check=False).stdout
        times = [float(t) for t in re.findall(r"time=([\d.]+) ms", out)]
        return times + [float("inf")] * (count - len(times))

    def added_ping(self, seconds, base):
        """(median, 95th percentile) of the ping above the idle base, in ms."""
        times = [t - base for t in self.ping(seconds)]
        return statistics.median(times), percentile(times, 0.95)

    def download(self, url, connections):
        """The internet peer fetching `url` again and again over `connections` at once,
        until stop_downloads."""
        loop = "while :; do curl -s -o /dev/null --max-time 600 '%s'; done" % url
        for _ in range(connections):
            self.loads.append(subprocess.Popen(["ip", "netns", "exec", self.peer, "sh", "-c",
                                                loop], start_new_session=True))

    def stop_downloads(self):
        for proc in self.loads:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, 9)
            proc.wait()
        self.loads = []

    def household_upload(self, seconds):
        """A bulk TCP upload from the household's other host to the internet peer for
        `seconds`; the bytes a second its sink received, one figure per second."""
        sink = subprocess.Popen(["ip", "netns", "exec", self.peer, sys.executable,
                                 HERE / "bulk_tcp.py", "sink", str(SINK_PORT)],
                                stdout=subprocess.PIPE, text=True, start_new_session=True)
        try:
            assert sink.stdout.readline().strip() == "listening"
            begin = time.monotonic()
            subprocess.run(["ip", "netns", "exec", self.house, sys.executable,
                            HERE / "bulk_tcp.py", "send", PEER, str(SINK_PORT), str(seconds)],
                           check=True, timeout=seconds + 30)
        finally:
            os.killpg(sink.pid, 9)
        samples = [tuple(map(float, line.split())) for line in sink.stdout.read().splitlines()]
        sink.wait()
        # The count at each whole second since the sender began.
        marks = [max([b for t, b in samples if t <= begin + s], default=0)
                 for s in range(int(seconds) + 1)]
        return [b - a for a, b in zip(marks, marks[1:])]

    def share(self, per_second, first, last):
        """The household upload's bytes over seconds [first, last) over the link's rate."""
        return sum(per_second[first:last]) * 8 / (self.rate_bits * (last - first))


@contextlib.contextmanager
def home_uplink(work, rate_bits, buffer_ms, base_ms=20):
    with namespaces("uh", "uo", "ur", "ui", "up") as names:
        net = HomeUplink(names, work)
        sh("ip", "-n", net.router, "link", "add", "br0", "type", "bridge")
        sh("ip", "-n", net.router, "addr", "add", ROUTER_LAN + "/24", "dev", "br0")
        sh("ip", "-n", net.router, "link", "set", "br0", "up")
        veth(net.host, "eth0", HOST + "/24", net.router, "lan0", None, bridge="br0")
        veth(net.house, "eth0", HOUSE + "/24", net.router, "lan1", None, bridge="br0")
        veth(net.router, "wan", ROUTER_WAN + "/30", net.isp, "isp0", ISP_DOWN + "/30")
        veth(net.isp, "isp1", ISP_UP + "/24", net.peer, "eth0", PEER + "/24")
        for ns in (net.host, net.house):
            sh("ip", "-n", ns, "route", "add", "default", "via", ROUTER_LAN)
        sh("ip", "-n", net.router, "route", "add", "default", "via", ISP_DOWN)
        sh("ip", "-n", net.isp, "route", "add", LAN + ".0/24", "via", ROUTER_WAN)
        sh("ip", "-n", net.peer, "route", "add", "default", "via", ISP_UP)
        for ns in (net.router, net.isp):
            sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=ns)
        for role, link in PATH_LINKS:
            sh("ethtool", "-K", link, "gso", "off", "tso", "off", "gro", "off", ns=net.ns(role))
        # The base delay on the way back from the ISP: the hop's own answers carry it too.
        # A kernel built without netem gives a path with no base delay; the queue, which
        # is what is measured, is the token bucket's either way.
        net.base_ms = base_ms if sh("tc", "-n", net.isp, "qdisc", "add", "dev", "isp0", "root",
                                    "netem", "delay", "%dms" % base_ms, "limit", "100000",
                                    check=False).returncode == 0 else 0
        net.shape(rate_bits, buffer_ms)
        try:
            yield net
        finally:
            net.stop_downloads()


def serving_daemon(net, folder, size=1 << 30, **settings):
    """The daemon on the household's host sharing one sparse file, ICMP allowed (only
    the registry keeps it from the router); (daemon, the internet peer's URL)."""
    daemon = NsDaemon(net.host, folder, **settings)
    data = folder / "patch.pak"
    with open(data, "wb") as f:
        f.truncate(size)
    daemon.start(mapping=True)
    md5 = "5E1F00D1" * 4
    daemon.ctl("share", winpath(data), md5, "http://cdn.example/patch.pak", "2")
    port = daemon.status()["engine"]["http_port"]
    return daemon, "http://%s:%d/%s" % (HOST, port, md5)


def idle_base(net, seconds=2):
    """The ping's idle round trip (median, ms): the zero of every added delay."""
    return statistics.median(net.ping(seconds))


def delay_state(daemon):
    return daemon.status().get("upload_delay", {})


def set_control(daemon, on):
    daemon.reg_dword("UploadDelayControl", 1 if on else 0)

