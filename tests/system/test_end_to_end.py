"""The whole road of a shared file, from a fresh Wine prefix: launcher start, game
protection, three shares with their reports, the announcement, aria2c downloads, and
the daemon ending by itself once the game and the launcher are gone."""

import subprocess
import sys

from conftest import BIN, SOURCE


def test_road_of_a_shared_file(tmp_path):
    result = subprocess.run(
        [sys.executable, str(SOURCE / "tools" / "demo.py"), "--once", "--quiet",
         "--bin", str(BIN), "--prefix", str(tmp_path / "prefix"),
         "--install", str(tmp_path / "install")],
        capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stderr + result.stdout
