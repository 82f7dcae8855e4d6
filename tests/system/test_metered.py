"""The player's bill, on a network of our own (namespaces: the daemon's whole Wine prefix;
a LAN peer on its subnet; an internet peer at a carrier-NAT address behind a router),
with a network list manager of the test's own (tests/system/programs/cost_server.cpp)
in place of the prefix's, answering the cost the test writes to a file."""

import hashlib
import os
import random
import shutil
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import (BIN, ENGINE_KEY, NETNS_PREFIX, NsDaemon, namespaces, sh, veth, wait_for,
                      winpath)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

N = 10 + os.getpid() % 240
DAEMON_LAN, LAN_PEER = "10.252.%d.2" % N, "10.252.%d.3" % N
INTERNET_PEER = "100.66.%d.2" % N
MIB = 1 << 20
SIZE = 8 * MIB


def get(ns, url, out=None):
    """(status, Retry-After or None, body bytes received, curl's exit code) of one GET."""
    head = subprocess.run(["ip", "netns", "exec", ns, "curl", "-s", "-D", "-", "-o",
                           str(out) if out else "/dev/null", "--max-time", "60", url],
                          capture_output=True)
    lines = head.stdout.decode("latin-1").splitlines()
    status = int(lines[0].split()[1]) if lines else 0
    retry = [int(line.split(":")[1]) for line in lines if line.lower().startswith("retry-after:")]
    got = out.stat().st_size if out and out.exists() else 0
    return status, retry[0] if retry else None, got, head.returncode


def stored(daemon, name):
    """A REG_QWORD of the engine key (reg.exe does not print them)."""
    out = daemon.wine(BIN / "regvalue.exe", ENGINE_KEY[len("HKLM\\"):], name, check=False).split()
    return int.from_bytes(bytes.fromhex(out[2]), "little") if out and out[0] == "11" else None


def netprofm_slot():
    windows = NETNS_PREFIX / "drive_c" / "windows"
    slot = "syswow64" if (windows / "syswow64").is_dir() else "system32"  # the 32-bit one
    return windows / slot / "netprofm.dll"


# One daemon run for the cost, the caps and the budget; then a normal restart and a kill.
def test_metered_link_budget_and_lan(tmp_path):
    with namespaces("md", "ml", "mr", "mw") as (home, lan, router, wan):
        veth(home, "eth0", DAEMON_LAN + "/24", lan, "eth0", LAN_PEER + "/24")
        veth(home, "eth1", "10.253.%d.2/30" % N, router, "lan", "10.253.%d.1/30" % N)
        veth(router, "wan", "100.66.%d.1/30" % N, wan, "eth0", INTERNET_PEER + "/30")
        sh("ip", "-n", home, "route", "add", "default", "via", "10.253.%d.1" % N)
        sh("ip", "-n", wan, "route", "add", "default", "via", "100.66.%d.1" % N)
        sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=router)

        cost = tmp_path / "cost.txt"
        cost.write_text("1")
        data = random.Random(N).randbytes(SIZE)
        path = tmp_path / "patch.pak"
        path.write_bytes(data)
        daemon = NsDaemon(home, tmp_path / "game", WINEDLLOVERRIDES="netprofm=n",
                          ZRVD_TEST_COST_FILE=winpath(cost), ZRVD_COST_POLL_SECONDS="1")
        slot = netprofm_slot()
        original = slot.read_bytes()
        try:
            shutil.copy2(BIN / "cost_server.dll", slot)
            run(daemon, lan, wan, cost, path, tmp_path)
        finally:
            slot.write_bytes(original)
            daemon.close()


def run(daemon, lan_ns, wan_ns, cost, path, tmp_path):
    log = daemon.folder / "engine.log"
    md5 = hashlib.md5(path.read_bytes()).hexdigest().upper()
    daemon.reg_dword("UploadLimitKBps", 64)
    daemon.wine("reg", "add", ENGINE_KEY, "/v", "UploadMonth", "/d", "last month", "/f")
    daemon.start()
    month = time.strftime("%Y-%m")
    assert (b"Stored monthly upload count ignored (a value of another type): the count of %s "
            b"starts afresh" % month.encode()) in log.read_bytes()
    daemon.ctl("share", winpath(path), md5, "http://cdn.example/patch.pak", "2")

    def lan():
        """The peer port is picked afresh at every start."""
        return "http://%s:%d/%s" % (DAEMON_LAN, daemon.status()["engine"]["http_port"], md5)

    def internet():
        return lan().replace(DAEMON_LAN, "10.253.%d.2" % N)

    def internet_range():
        """The internet peer asks a small range: it is under the 64 KiB/s cap."""
        out = tmp_path / "range"
        out.unlink(missing_ok=True)
        status = subprocess.run(["ip", "netns", "exec", wan_ns, "curl", "-s", "-o", str(out),
                                 "-w", "%{http_code}", "-r", "0-32767", internet()],
                                capture_output=True, text=True).stdout
        return int(status or 0), out.read_bytes() if out.exists() else b""

    def lan_whole():
        out = tmp_path / "lan"
        began = time.monotonic()
        assert get(lan_ns, lan(), out)[0] == 200 and out.read_bytes() == path.read_bytes()
        return time.monotonic() - began

    cost_now = lambda: daemon.status()["cost"]  # noqa: E731
    first = cost_now()
    assert first == {"connection": "unrestricted", "internet_refused": None, "budget_mb": 0,
                     "budget_left_bytes": None, "month": month, "lan_bytes": 0,
                     "internet_bytes": 0, "month_lan_bytes": 0, "month_internet_bytes": 0}
    # The bad value changed nothing else: an internet peer is served, under the cap; a LAN
    # peer is outside it (8 MiB at 64 KiB/s would take two minutes).
    assert internet_range() == (206, path.read_bytes()[:32768])
    assert lan_whole() < 20

    cost.write_text("0x2")  # a fixed-cost plan
    assert wait_for(lambda: cost_now()["connection"] == "metered", 15)
    status, retry, _, _ = get(wan_ns, internet())
    assert (status, retry) == (503, 60)
    assert cost_now()["internet_refused"] == "metered"
    assert lan_whole() < 20
    assert b"Connection metered (cost 0x2): internet peers are not served" in log.read_bytes()

    daemon.reg_dword("UploadOnMeteredConnection", 1)
    assert wait_for(lambda: cost_now()["connection"] == "metered, overridden by setting", 10)
    assert internet_range()[0] == 206
    daemon.reg_dword("UploadOnMeteredConnection", 0)
    # A question that fails (the service restarted) keeps the cost known last; a new
    # manager answers the next look.
    cost.write_text("fail")
    assert wait_for(lambda: b"Connection cost question failed (0x80010108)" in log.read_bytes(), 15)
    assert cost_now()["connection"] == "metered" and get(wan_ns, internet())[0] == 503
    cost.write_text("1")
    assert wait_for(lambda: cost_now()["connection"] == "unrestricted", 15)
    assert internet_range()[0] == 206
    assert b"Connection cost answered again" in log.read_bytes()
    assert b"Connection not metered (unrestricted): internet peers are served" in log.read_bytes()

    # A budget reached in the middle of a long answer ends it at the next turn (64 KiB at
    # most at this cap) and refuses the next request; LAN peers go on, outside the budget.
    before = cost_now()
    assert before["month_lan_bytes"] >= 2 * SIZE and before["month_internet_bytes"] < MIB
    assert "UploadMonthlyLimitMB   4" in daemon.ctl("budget", "4")
    daemon.reg_dword("UploadLimitKBps", 2048)
    assert wait_for(lambda: b"Upload cap in force: normal, 2048 KiB/s" in log.read_bytes(), 10)
    status, _, got, code = get(wan_ns, internet(), tmp_path / "long")
    after = cost_now()
    assert status == 200 and code != 0 and got < SIZE - MIB, (status, got, code)
    assert 4 * MIB <= after["month_internet_bytes"] <= 4 * MIB + 65536 + 1024, after
    assert after["internet_refused"] == "budget" and after["budget_left_bytes"] == 0
    status, retry, _, _ = get(wan_ns, internet())
    assert status == 503 and 1 <= retry <= 3600
    assert b"Monthly upload budget of 4 MiB reached" in log.read_bytes()
    lan_whole()

    # With no cap a turn is a whole block; answers side by side still stop at the budget.
    daemon.reg_dword("UploadLimitKBps", 0)
    assert wait_for(lambda: b"Upload cap in force: normal, no cap" in log.read_bytes(), 10)
    budget_mb = after["month_internet_bytes"] // MIB + 4
    daemon.ctl("budget", str(budget_mb))
    assert wait_for(lambda: cost_now()["internet_refused"] is None, 10)
    assert b"Monthly upload budget: internet peers are served again (%d MiB" % budget_mb in (
        log.read_bytes())
    url = internet()
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda _: get(wan_ns, url), range(8)))
    spent = cost_now()
    assert spent["month_internet_bytes"] == budget_mb * MIB, (spent, answers)
    assert spent["internet_refused"] == "budget"

    # The month's count outlives a normal end, and a kill within the minute it is kept.
    kept = cost_now()
    daemon.end()
    daemon.start()
    again = cost_now()
    assert (again["month_internet_bytes"], again["month_lan_bytes"]) == (
        kept["month_internet_bytes"], kept["month_lan_bytes"])
    assert again["lan_bytes"] == 0 and again["internet_refused"] == "budget"
    lan_whole()
    served = cost_now()["month_lan_bytes"]
    assert wait_for(lambda: stored(daemon, "UploadMonthLanBytes") == served, 5)
    daemon.end(kill=True)
    daemon.start()
    assert cost_now()["month_lan_bytes"] == served
    assert get(wan_ns, internet())[0] == 503

    # A quit under load while the cost question hangs, and at once the start of an
    # updated .exe: the count was saved first, and the update waited for the old process.
    daemon.reg_dword("LanPeersUncapped", 0)
    daemon.reg_dword("UploadLimitKBps", 512)
    assert wait_for(lambda: b"Upload cap in force: normal, 512 KiB/s" in log.read_bytes(), 10)
    begun = cost_now()["month_lan_bytes"]
    out = tmp_path / "loaded"
    curl = subprocess.Popen(["ip", "netns", "exec", lan_ns, "curl", "-s", "-o", str(out),
                             "--max-time", "120", lan()])
    try:
        cost.write_text("slow")
        held = cost.with_name(cost.name + ".held")
        assert wait_for(held.exists, 15)
        assert wait_for(lambda: out.exists() and out.stat().st_size > 2 * MIB, 30)
        with open(daemon.folder / "zrvd_daemon.exe", "ab") as exe:
            exe.write(b"\0" * 4096)  # the same code, other bytes
        daemon.ctl("quit")
        daemon.start()
        assert len(daemon.pids()) == 1
        assert (daemon.folder / "zrvd_daemon.bin").read_bytes() == \
            (daemon.folder / "zrvd_daemon.exe").read_bytes()
        cost.write_text("1")
        curl.wait(timeout=60)
    finally:
        if curl.poll() is None:
            curl.kill()
    sent = out.stat().st_size
    # Within one turn either way: a turn under way as the count is saved may be sent and
    # never counted, or counted and never read by the peer.
    assert abs(cost_now()["month_lan_bytes"] - begun - sent) <= 65536 + 1024, (begun, sent)
    assert SIZE > sent

    # The engine key deleted by another program and made again by the engine: the count
    # is written there at once, so a kill right after loses nothing.
    counted = cost_now()["month_lan_bytes"]
    daemon.wine("reg", "delete", ENGINE_KEY, "/f")
    assert wait_for(lambda: "IPCPort" in daemon.wine("reg", "query", ENGINE_KEY, check=False), 10)
    assert wait_for(lambda: stored(daemon, "UploadMonthLanBytes") == counted, 10)
    daemon.end(kill=True)
    # A clock set back by a year: the month only moves forward, the count is kept.
    later = int(time.strftime("%Y%m")) + 100
    daemon.reg_dword("UploadMonth", later)
    daemon.wine("reg", "add", ENGINE_KEY, "/v", "P4PShareLogFilePath", "/d", winpath(log), "/f")
    daemon.start()
    kept = cost_now()
    assert (kept["month"], kept["month_lan_bytes"]) == ("%d-%02d" % divmod(later, 100), counted)
    assert wait_for(lambda: b"is before the month counted" in log.read_bytes(), 10)
    daemon.end()

