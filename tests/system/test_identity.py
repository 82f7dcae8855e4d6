"""The daemon's user identifier, computed from this machine's hardware under Wine: read
back from the debug line the daemon writes before handing it to the engine, and from the
web report the engine sends with it."""

import contextlib
import re
import sys

from conftest import ENGINE_KEY, SOURCE, reg_add, wait_for, winpath

sys.path.insert(0, str(SOURCE / "tools"))
from tracker_sim import TrackerSim  # noqa: E402

USER_ID_LINE = re.compile(rb'OutputDebugStringA "UserID: ([^"]*)"')


@contextlib.contextmanager
def running_daemon(install, tmp_path, name, **env_extra):
    """Starts the side copy with its debug strings traced; yields the identifier it
    wrote, and quits it at the end."""
    trace = tmp_path / f"{name}.trace"
    proc = install.start_traced(trace, **env_extra)
    try:
        found = wait_for(lambda: USER_ID_LINE.findall(trace.read_bytes()), 10)
        assert len(found) == 1, f"expected one identifier line, got {found!r}"
        yield found[0].decode("ascii")
        assert install.quit().returncode == 0
        assert proc.wait(timeout=60) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=30)


# The identifier is 32 upper-case hex digits, not the failure value, and the
# same machine gives the same identifier on the next start.
def test_user_id_is_stable_hex(install, tmp_path):
    with running_daemon(install, tmp_path, "first") as first:
        assert re.fullmatch(r"[0-9A-F]{32}", first), first
        assert first != "0" * 32, "the fingerprint failed: a source raised an exception"
    with running_daemon(install, tmp_path, "second") as second:
        assert second == first


# Without snmpapi (and so without the SNMP agent, which needs it) the daemon still
# starts and makes its identifier from the other sources.
def test_daemon_starts_without_snmpapi(install, tmp_path):
    with running_daemon(install, tmp_path, "nosnmp", WINEDLLOVERRIDES="snmpapi=d") as user_id:
        assert re.fullmatch(r"[0-9A-F]{32}", user_id), user_id


# The engine reports a shared file to the tracker with the daemon's identifier.
def test_web_report_carries_user_id(install, tmp_path):
    shared = tmp_path / "shared.dat"
    shared.write_bytes(bytes(range(256)) * 512)  # 131072 bytes: the smallest shared size
    md5 = "0123456789ABCDEF0123456789ABCDEF"
    with TrackerSim() as sim:
        reg_add(ENGINE_KEY, "TrackerHost", "REG_SZ", f"127.0.0.1:{sim.http_port}")
        with running_daemon(install, tmp_path, "report") as user_id:
            result = install.ctl("share", winpath(shared), md5, "http://cdn.example/f", "1")
            assert result.returncode == 0, result.stderr
            reports = sim.wait_for_requests(1, timeout=30)
            assert len(reports) == 1, reports
            assert reports[0]["path"] == "/insert.php"
            assert reports[0]["target"].endswith("&uid=" + user_id), reports[0]["target"]
