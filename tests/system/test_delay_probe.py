"""The upload delay control's ICMP side, on a network of our own (namespaces: the daemon's
whole Wine prefix; its router; the router's outside neighbour, which forwards and answers
"TTL expired"; an internet peer past it): the reflector found at the second hop and
probed, the states as the status reports them, and the setting that turns it off."""

import hashlib
import os
import random
import subprocess

import pytest

from conftest import NsDaemon, namespaces, sh, veth, wait_for, winpath

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

N = 10 + os.getpid() % 240
HOME, ROUTER_LAN = "10.249.%d.2" % N, "10.249.%d.1" % N
ROUTER_WAN, HOP = "100.69.%d.1" % N, "100.69.%d.2" % N
HOP_OUT, PEER = "198.18.%d.1" % N, "198.18.%d.2" % N


def test_reflector_found_probed_and_switched_off(tmp_path):
    with namespaces("dh", "dr", "di", "dp") as (home, router, isp, peer):
        veth(home, "eth0", HOME + "/30", router, "lan", ROUTER_LAN + "/30")
        veth(router, "wan", ROUTER_WAN + "/30", isp, "inside", HOP + "/30")
        veth(isp, "outside", HOP_OUT + "/30", peer, "eth0", PEER + "/30")
        sh("ip", "-n", home, "route", "add", "default", "via", ROUTER_LAN)
        sh("ip", "-n", router, "route", "add", "default", "via", HOP)
        sh("ip", "-n", isp, "route", "add", HOME + "/32", "via", ROUTER_WAN)
        sh("ip", "-n", peer, "route", "add", "default", "via", HOP_OUT)
        for ns in (router, isp):
            sh("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=ns)

        data = random.Random(N).randbytes(4 << 20)
        path = tmp_path / "patch.pak"
        path.write_bytes(data)
        md5 = hashlib.md5(data).hexdigest().upper()
        daemon = NsDaemon(home, tmp_path / "game")
        try:
            daemon.start(mapping=True)  # no ZRVD_PORT_MAPPING=0: ICMP may go out
            daemon.ctl("share", winpath(path), md5, "http://cdn.example/patch.pak", "2")
            delay = lambda: daemon.status()["upload_delay"]  # noqa: E731
            assert delay()["state"] == "idle"  # nothing served yet: no probes
            url = "http://%s:%d/%s" % (HOME, daemon.status()["engine"]["http_port"], md5)
            # A slow download keeps an internet peer served for about 30 s.
            download = subprocess.Popen(["ip", "netns", "exec", peer, "curl", "-s", "-o",
                                         "/dev/null", "--limit-rate", "128k", url])
            try:
                assert wait_for(lambda: delay()["state"] in ("open", "giving_way"), 25), delay()
                now = delay()
                assert (now["reflector"], now["hop"], now["target_ms"]) == (HOP, 2, 10), now
                assert now["base_ms"] is not None and now["current_ms"] >= now["base_ms"]
                assert now["rate_bytes_per_second"] >= 16384
                log = (daemon.folder / "engine.log").read_bytes()
                assert (b"Upload delay control started: reflector %s (hop 2), target 10 ms"
                        % HOP.encode()) in log
                # Measured seconds show in the history beside the upload rate.
                assert wait_for(lambda: any(v is not None
                                            for v in daemon.status()["peers"]["delay_ms"]), 10)
                daemon.reg_dword("UploadDelayControl", 0)
                assert wait_for(lambda: delay()["state"] == "off", 10), delay()
                now = delay()
                assert now["reason"] == "UploadDelayControl = 0"
                assert now["rate_bytes_per_second"] is None
            finally:
                download.kill()
                download.wait()
            daemon.reg_dword("UploadDelayControl", 1)
            # Nothing served for a few seconds: idle again, with no limit.
            assert wait_for(lambda: delay()["state"] == "idle", 45), delay()
            assert delay()["rate_bytes_per_second"] is None
            daemon.end()
        finally:
            daemon.close()
