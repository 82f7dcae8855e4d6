"""The daemon's user identifier, computed from this machine's hardware under Wine and
read back from the debug line the daemon writes before handing it to the engine."""

import re
import shutil
import subprocess

from conftest import wait_for, wine_env

USER_ID_LINE = re.compile(rb'OutputDebugStringA "UserID: ([^"]*)"')


def run_daemon_once(install, tmp_path, name):
    """Starts the side copy directly (no relaunch), quits it, and returns its identifier."""
    shutil.copy2(install.exe, install.bin)
    env = wine_env()
    env["WINEDEBUG"] = "-all,+debugstr"
    trace = tmp_path / f"{name}.trace"
    with open(trace, "wb") as out:
        proc = subprocess.Popen(["wine", str(install.bin)], env=env, stdout=subprocess.DEVNULL,
                                stderr=out)
        try:
            assert install.ctl("wait", "30").returncode == 0, "daemon window never appeared"
            found = wait_for(lambda: USER_ID_LINE.findall(trace.read_bytes()), 10)
            assert install.quit().returncode == 0
            assert proc.wait(timeout=60) == 0
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
    assert len(found) == 1, f"expected one identifier line, got {found!r}"
    return found[0].decode("ascii")


# The identifier is 32 upper-case hex digits, not the failure value, and the
# same machine gives the same identifier on the next start.
def test_user_id_is_stable_hex(install, tmp_path):
    first = run_daemon_once(install, tmp_path, "first")
    assert re.fullmatch(r"[0-9A-F]{32}", first), first
    assert first != "0" * 32, "the fingerprint failed: a source raised an exception"

    second = run_daemon_once(install, tmp_path, "second")
    assert second == first
