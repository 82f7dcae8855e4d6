#!/usr/bin/env python3
"""Uploads that give way, measured: on a household of namespaces behind a shaped uplink
(tests/system/home_uplink.py), the daemon serves an internet peer over several
connections with the delay control off, on, and with a fixed cap at 90 % of the link
and the control off, side by side in one run, for each uplink rate and FIFO depth. Per
row: the ping from the daemon's host above its idle base (median, 95th percentile,
lost echoes), the link's use with the engine alone, and a bulk upload of the
household's other host: its share of the link 10 to 13 s after it starts and the first
second in which it had 80 %."""

import argparse
import contextlib
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "system"))
from conftest import BIN, ENGINE_KEY, wait_for  # noqa: E402
from home_uplink import (delay_state, home_uplink, idle_base, serving_daemon,  # noqa: E402
                         set_control)

PREFIX = BIN.parent / "bench-delay-prefix"
MODES = ("off", "on", "cap90")


def log(text):
    print(text, file=sys.stderr, flush=True)


def configure(daemon, mode, rate_bits, target):
    cap = int(rate_bits * 0.9 / 8 / 1024) if mode == "cap90" else 0
    if cap:
        daemon.reg_dword("UploadLimitKBps", cap)
    else:
        daemon.wine("reg", "delete", ENGINE_KEY, "/v", "UploadLimitKBps", "/f", check=False)
    set_control(daemon, mode == "on")
    if mode == "on" and target:
        daemon.reg_dword("UploadDelayTargetMs", target)
    # A build without the control has no state: the same as off.
    assert wait_for(lambda: (delay_state(daemon).get("state", "off") == "off") == (mode != "on"),
                    15), delay_state(daemon)


def row(net, daemon, url, mode, args, base):
    configure(daemon, mode, net.rate_bits, args.target)
    net.download(url, args.connections)
    try:
        time.sleep(args.warmup)
        median, p95, use = net.measure(args.seconds, base)
        state = delay_state(daemon)
        per_second = net.household_upload(13)
        share = net.share(per_second, 10, 13)
        firsts = [s + 1 for s in range(len(per_second)) if net.share(per_second, s, s + 1) >= 0.8]
    finally:
        net.stop_downloads()
    # The FIFO drains before the next row measures.
    time.sleep(2)
    return dict(mode=mode, median=median, p95=p95, use=use, share=share,
                to80=firsts[0] if firsts else None, state=state)


def fmt(value, pattern):
    return "-" if value is None else ("lost" if value == float("inf") else pattern % value)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rates", default="2,20", help="uplink rates, Mbit/s")
    parser.add_argument("--buffers", default="50,500", help="FIFO depths, ms of the rate")
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--connections", type=int, default=8)
    parser.add_argument("--warmup", type=float, default=10, help="seconds before measuring")
    parser.add_argument("--seconds", type=float, default=10, help="seconds of ping and use")
    parser.add_argument("--target", type=int, default=0,
                        help="UploadDelayTargetMs for the control's rows; 0: its default")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("upload_delay: network namespaces need root")
    rows = []
    with tempfile.TemporaryDirectory(prefix="upload-delay-") as work:
        for rate in [float(r) for r in args.rates.split(",")]:
            for depth in [int(b) for b in args.buffers.split(",")]:
                rate_bits = int(rate * 1e6)
                folder = Path(work) / ("%g-%d" % (rate, depth))
                folder.mkdir()
                with home_uplink(folder, rate_bits, depth) as net:
                    base = idle_base(net, 3)
                    daemon, url = serving_daemon(net, folder / "game", prefix=PREFIX)
                    try:
                        for mode in args.modes.split(","):
                            result = row(net, daemon, url, mode, args, base)
                            result.update(rate=rate, depth=depth, base=base,
                                          base_delay=net.base_ms)
                            log("%g Mbit/s %d ms %s: %s" % (rate, depth, mode, result))
                            rows.append(result)
                    finally:
                        with contextlib.suppress(Exception):
                            daemon.end()
                        if daemon.pids():
                            daemon.end(kill=True)
                        daemon.close()
    print("| uplink Mbit/s | FIFO ms | mode | added ping median ms | added ping p95 ms "
          "| use alone | household share 10-13 s | household 80 % at s |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %g | %d | %s | %s | %s | %s | %s | %s |" % (
            r["rate"], r["depth"], r["mode"], fmt(r["median"], "%.1f"), fmt(r["p95"], "%.1f"),
            fmt(r["use"], "%.2f"), fmt(r["share"], "%.2f"), fmt(r["to80"], "%d")))
    print("\nidle ping %.2f ms (base delay %d ms); the household's payload alone reaches "
          "about 0.96 of the link (TCP/IP and Ethernet headers)" % (rows[0]["base"],
                                                                   rows[0]["base_delay"])
          if rows else "")
    for r in rows:
        if r["mode"] == "on":
            log("%g Mbit/s %d ms control: %s" % (r["rate"], r["depth"], r["state"]))

if __name__ == "__main__":
    main()
