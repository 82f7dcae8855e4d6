"""Uploads that give way, on a household of our own behind a shaped uplink with a deep
FIFO (home_uplink.py): the ping from the daemon's host with the delay control on and
off, a household upload beside the engine, and a path whose ICMP is filtered."""

import os

import pytest

from conftest import wait_for
from home_uplink import (ISP_DOWN, delay_state, home_uplink, idle_base, serving_daemon,
                         set_control)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

RATE_BITS, BUFFER_MS = 4_000_000, 400
NO_REFLECTOR = b"Upload delay control: no hop past the router answers ICMP"


# One daemon run, one link, short phases: control on against off, a household upload
# beside the engine, then the reflector's ICMP filtered at the ISP.
def test_uploads_give_way_on_a_bloated_uplink(tmp_path):
    with home_uplink(tmp_path, RATE_BITS, BUFFER_MS) as net:
        base = idle_base(net)
        daemon, url = serving_daemon(net, tmp_path / "game")
        log = daemon.folder / "engine.log"
        said = lambda: log.read_bytes().count(NO_REFLECTOR)  # noqa: E731
        try:
            net.download(url, 8)
            assert wait_for(lambda: delay_state(daemon).get("state") in ("open", "giving_way"),
                            30), delay_state(daemon)
            found = delay_state(daemon)
            # The hop past the router, not the router's LAN side before the queue.
            assert found["reflector"] == ISP_DOWN and found["hop"] == 2, found
            # The control settles: its rate climbs from the floor, and what the uplink's
            # queue took before it measured drains.
            wait_for(lambda: False, 8)
            assert wait_for(lambda: net.added_ping(1, base)[0] < BUFFER_MS / 8, 30, 0)
            on = net.measure(5, base)
            state = delay_state(daemon)
            # A ceiling, which may stand somewhat above what the link carries.
            assert 0 < state["rate_bytes_per_second"] <= RATE_BITS // 2, state
            assert state["current_ms"] >= state["base_ms"] >= 0 and state["target_ms"] > 0

            set_control(daemon, False)
            assert wait_for(lambda: delay_state(daemon).get("state") == "off", 10)
            wait_for(lambda: False, 3)  # the FIFO fills
            off = net.measure(5, base)
            # Without the control the queue holds most of its depth; with it, a small
            # part, while the engine still uses most of the link.
            assert off[0] > BUFFER_MS / 3 and on[1] < off[0] / 3 and on[2] > 0.5, (on, off)

            set_control(daemon, True)
            assert wait_for(lambda: delay_state(daemon).get("state") in ("open", "giving_way"),
                            30), delay_state(daemon)
            per_second = net.household_upload(12)
            # Alone the upload would take some 96 % (headers); beside eight connections
            # with the control off it gets well under half.
            assert net.share(per_second, 9, 12) > 0.6, ([net.share(per_second, s, s + 1) for s in range(12)], delay_state(daemon))

            # No reflector answers: said once, and the uploads go on as without the control.
            assert said() == 0
            net.filter_icmp(True)
            assert wait_for(lambda: delay_state(daemon).get("state") == "no_reflector", 60), \
                delay_state(daemon)
            assert net.link_use(3) > 0.8 and said() == 1
        finally:
            net.stop_downloads()
            if daemon.pids():
                daemon.end(kill=True)
            daemon.close()
