#!/usr/bin/env python3
"""Content check benchmark: the time the daemon under Wine takes to check a 1 GiB
file against its MD5 (read budget off, and at the default 32 MiB/s), and a peer's
whole-file download speed with no check running beside one while a check runs,
measured side by side in each round. MB is 10^6 bytes.

    /usr/bin/python3 bench/file_check/file_check.py [--rounds N]"""

import argparse
import hashlib
import json
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "peer_download"))
import peer_download as pd  # noqa: E402

FILE_SIZE = 1 << 30


def ctl(daemon, *args):
    out = subprocess.run(["wine", str(daemon.game / "zrvdctl.exe"), *args], env=daemon.env,
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    if out.returncode != 0:
        raise SystemExit("zrvdctl %s: %s" % (" ".join(args), out.stderr.decode()))
    return out.stdout.decode()


def status(daemon):
    return json.loads(ctl(daemon, "status", "--json"))["catalogue"]


def set_dword(daemon, name, value):
    daemon.wine("reg", "add", pd.ENGINE_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value),
                "/f")


def start_check(daemon, budget_mbps):
    set_dword(daemon, "VerifyReadMBps", budget_mbps)
    set_dword(daemon, "VerifyFiles", 1)
    ctl(daemon, "verify")
    deadline = time.monotonic() + 30
    while status(daemon)["checking"] is None:
        if time.monotonic() > deadline:
            raise SystemExit("the check did not start")
        time.sleep(0.05)


def wait_check(daemon, started):
    """Seconds from `started` until the check has ended and marked the file."""
    while True:
        now = status(daemon)
        if now["checking"] is None and now["verified"] == 1:
            return time.monotonic() - started
        if now["entries"] != 1:
            raise SystemExit("the entry was deleted: the check found a mismatch")
        time.sleep(0.2)


def download_mbps(url):
    out = subprocess.run(["curl", "-s", "--noproxy", "*", "-o", "/dev/null", "-w",
                          "%{size_download} %{time_total}", url], capture_output=True, text=True,
                         timeout=600).stdout.split()
    if int(out[0]) != FILE_SIZE:
        raise SystemExit("short download: %s bytes" % out[0])
    return FILE_SIZE / float(out[1]) / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--bin", default=str(pd.SOURCE / "build" / "win32" / "bin"))
    options = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="zrvd-check-bench-"))
    daemon = None
    try:
        pd.log("writing a 1 GiB file")
        path = work / "file.bin"
        digest = hashlib.md5()
        generator = random.Random(1)
        with open(path, "wb") as f:
            for _ in range(FILE_SIZE // (16 << 20)):
                block = generator.randbytes(16 << 20)
                digest.update(block)
                f.write(block)
        md5 = digest.hexdigest()
        daemon = pd.Daemon(work, Path(options.bin), md5, path, False)
        daemon.start()
        url = f"http://127.0.0.1:{daemon.port}/{md5}"
        figures = {"check_unbounded_s": [], "check_default_s": [], "plain_mbps": [],
                   "during_check_mbps": [], "ratio": []}
        for number in range(options.rounds):
            pd.log(f"round {number + 1}")
            started = time.monotonic()
            start_check(daemon, 0)
            figures["check_unbounded_s"].append(wait_check(daemon, started))
            figures["plain_mbps"].append(download_mbps(url))
            started = time.monotonic()
            start_check(daemon, 32)
            figures["during_check_mbps"].append(download_mbps(url))
            if status(daemon)["checking"] is None:
                raise SystemExit("the check ended before the download did")
            figures["check_default_s"].append(wait_check(daemon, started))
            # Plain downloads on both sides of the one beside the check: the machine's
            # load drifts, and the ratio is taken against their mean.
            after = download_mbps(url)
            figures["ratio"].append(figures["during_check_mbps"][-1] /
                                    ((figures["plain_mbps"][-1] + after) / 2))
            pd.log("  " + ", ".join(f"{k} {v[-1]:.1f}" for k, v in figures.items()))
        median = {k: statistics.median(v) for k, v in figures.items()}
        print(f"1 GiB check, no read budget:     {median['check_unbounded_s']:.1f} s "
              f"({FILE_SIZE / median['check_unbounded_s'] / 1e6:.0f} MB/s)")
        print(f"1 GiB check, 32 MiB/s budget:    {median['check_default_s']:.1f} s "
              f"(a download ran during it)")
        print(f"peer download, no check:         {median['plain_mbps']:.0f} MB/s")
        print(f"peer download, check running:    {median['during_check_mbps']:.0f} MB/s")
        print(f"ratio, check running / none:     {median['ratio']:.2f} (median of the rounds; "
              + ", ".join(f"{r:.2f}" for r in figures["ratio"]) + ")")
        return 0
    finally:
        if daemon is not None:
            daemon.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
