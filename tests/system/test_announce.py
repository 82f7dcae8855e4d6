"""The catalogue announced to the tracker host over UDP, as the simulator sees it."""

import re
import subprocess
import sys

import pytest

from conftest import ENGINE_KEY, SOURCE, reg_add, wait_for

sys.path.insert(0, str(SOURCE / "tools"))
from tracker_sim import TrackerSim  # noqa: E402


def http_port_of(install):
    out = subprocess.run([sys.executable, str(SOURCE / "tools" / "log_port.py"), str(install.log),
                          "30"], capture_output=True, text=True)
    assert out.returncode == 0, "no listening line in the log"
    return int(out.stdout)


def add_entry(md5, file_type=None):
    """An entry with nothing but its FileType: pruning keeps what it cannot read."""
    key = ENGINE_KEY + "\\" + md5
    if file_type is None:
        reg_add(key, "Url", "REG_SZ", "http://example.invalid/x")
    else:
        reg_add(key, "FileType", "REG_DWORD", file_type)


@pytest.fixture
def sim(install):
    with TrackerSim() as tracker:
        reg_add(ENGINE_KEY, "TrackerHost", "REG_SZ", tracker.address)
        reg_add(ENGINE_KEY, "ProbeHost", "REG_SZ", tracker.probe_address)
        yield tracker


# The start-up announcement carries the header and one line per typed entry.
def test_start_announces_the_catalogue(install, sim):
    md5s = ["%032x" % n for n in (0xA1, 0xB2, 0xC3, 0xD4)]
    add_entry(md5s[0], 0)
    add_entry(md5s[1], 1)
    add_entry(md5s[2], 2)
    add_entry(md5s[3])
    launcher = install.ctl_popen("launcher", "60")
    install.start()
    try:
        datagrams = sim.wait_for_datagrams(1, timeout=30)
        assert len(datagrams) == 1
        port = http_port_of(install)
        head = re.match(rb"KeepAlive\r\ntype:add\r\nuid:([0-9A-F]{32})\r\nhash:(.*?)\r\n",
                        datagrams[0])
        assert head, datagrams[0]
        assert head.group(2) == b"127.0.0.1%%20%d%%20Hash%%20Hash%%20Hash" % port
        lines = datagrams[0][head.end():]
        # Registry order is the enumeration's; the lines are the typed entries only.
        assert sorted(lines.split(b"\r\n")[:-1]) == sorted(
            [b"md5:" + md5s[0].encode(), b"MD5:" + md5s[1].encode()])
        assert lines.endswith(b"\r\n")
        assert len(sim.probes()) == 1
        assert len(sim.datagrams()) == 1
    finally:
        launcher.kill()


def test_empty_catalogue_sends_nothing(install, sim):
    launcher = install.ctl_popen("launcher", "60")
    install.start()
    try:
        # The pass is over once its line-limit line is logged.
        limit_line = "每个UDP包中最多发送".encode("gbk")
        assert wait_for(lambda: limit_line in install.log_text(), 30)
        assert wait_for(lambda: b"Local IP : 127.0.0.1" in install.log_text(), 5)
        assert sim.datagrams() == []
    finally:
        launcher.kill()


def test_unresolvable_tracker_logs_and_sends_nothing(install, sim):
    add_entry("%032x" % 0xE5, 0)
    reg_add(ENGINE_KEY, "TrackerHost", "REG_SZ", "no-such-tracker.invalid")
    launcher = install.ctl_popen("launcher", "60")
    install.start()
    try:
        line = "无法解析域名".encode("gbk") + b"no-such-tracker.invalid!"
        assert wait_for(lambda: line in install.log_text(), 30)
        assert sim.datagrams() == []
    finally:
        launcher.kill()


# A probe host that refuses: the level-4 connect line and no datagram.
def test_refusing_probe_host_sends_nothing(install, sim):
    add_entry("%032x" % 0xF6, 0)
    closed = TrackerSim().start()
    refused = closed.probe_address
    closed.stop()
    reg_add(ENGINE_KEY, "ProbeHost", "REG_SZ", refused)
    launcher = install.ctl_popen("launcher", "60")
    install.start()
    try:
        assert wait_for(lambda: b"connect : " in install.log_text(), 30)
        assert sim.datagrams() == []
    finally:
        launcher.kill()
