"""Soak: 50 peers, a share every second and a rewritten file against one daemon.
A minute here; bench/soak runs the same for ten (ZRVD_SOAK_SECONDS)."""

import json
import os

from http_peer import register
from live_daemon import live, tracker  # noqa: F401  (fixtures, used by name)
from soak import SoakRun, make_core

SECONDS = int(os.environ.get("ZRVD_SOAK_SECONDS", "60"))


# Every byte a peer receives is the file its MD5 names, every hand-over is
# registered and reported, a rewritten file's MD5 answers 404 and its entry goes,
# entries another program adds or deletes are served or refused 100 ms later,
# and once the peers have left the daemon's threads and memory are back within
# 10 % of where they stood after the warm-up.
def test_soak(live, tmp_path):
    core = make_core(tmp_path)
    register({item.md5: item.path for item in core}, tmp_path)
    figures = SoakRun(live.start(), tmp_path, core, SECONDS).run()
    print("\n" + figures.text())
    report = os.environ.get("ZRVD_SOAK_REPORT")
    if report:
        with open(report, "w", encoding="utf-8") as out:
            out.write(figures.text() + "\n")
            json.dump(figures.__dict__, out, indent=1, default=str)

    assert figures.daemon_survived
    assert figures.errors == 0, figures.text()
    assert figures.requests > 10 * figures.peers, figures.text()
    assert figures.shares >= SECONDS // 2, figures.text()
    assert figures.rewrites >= 1 and figures.expected_404s >= figures.rewrites, figures.text()
    assert figures.outside_adds >= 2 and figures.outside_deletes >= 2, figures.text()
    assert figures.missing_entries == []
    assert figures.kept_stale_entries == []
    assert figures.unreported == []
    assert figures.within_tolerance(figures.after), figures.text()
