"""The engine log of a running daemon: where it goes, its rotation, its lines."""

import re
import threading

from conftest import ENGINE_KEY, reg_add, reg_delete_value, reg_query, wait_for, winpath
from http_peer import register
from live_daemon import live, tracker  # noqa: F401  (fixtures, used by name)
from soak import PEERS, SoakRun, make_core

STAMP = rb"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\(P2PClient:"
LINE = re.compile(STAMP + rb"([^)\r\n]+)\) ([\s\S]*)\r\n")
# The two messages that carry text of many lines: a request head and a datagram.
MULTILINE = (b"Http Request:\r\n", b"Send Shared Files:\r\n")
# 启动线程主函数。 in GBK, as the catalogue's thread writes it on starting.
THREAD_START = bytes.fromhex("c6 f4 b6 af cf df b3 cc d6 f7 ba af ca fd a1 a3")


def quit_and_wait(install):
    """Asks the daemon to end and waits until its process has gone."""
    watcher = install.ctl_popen("exitcode", "60")
    assert watcher.stdout.readline().strip() == b"watching"
    assert install.quit().returncode == 0
    out, err = watcher.communicate(timeout=90)
    assert watcher.returncode == 0, err


def parse_lines(data):
    """(thread, message) of every line; fails on anything but whole lines."""
    parsed = []
    for line in re.split(rb"(?<=\r\n)(?=" + STAMP + rb")", data):
        match = LINE.fullmatch(line)
        assert match, line[:200]
        message = match.group(2)
        assert not re.search(STAMP, message), line[:200]
        assert b"\r\n" not in message or message.startswith(MULTILINE), line[:200]
        parsed.append((match.group(1), message))
    return parsed


# With "P4PShareLogFilePath" set, the old log becomes ".bak" (an older one is
# replaced) and the new log holds whole lines, the framework thread's named.
def test_daemon_writes_and_rotates_its_log(install):
    install.log.write_bytes(b"last run\r\n")
    backup = install.log.with_name("engine.log.bak")
    backup.write_bytes(b"the run before\r\n")

    install.start()
    assert backup.read_bytes() == b"last run\r\n"
    assert wait_for(lambda: THREAD_START in install.log_text(), 30), install.log_text()
    quit_and_wait(install)

    lines = parse_lines(install.log_text())
    assert (b"FileList", THREAD_START) in lines
    assert b"last run" not in install.log_text()


# No value, another type, or "null": the engine runs without creating a log.
def test_no_log_without_a_usable_value(install, monkeypatch):
    monkeypatch.chdir(install.folder)
    cases = {
        "absent": lambda: reg_delete_value(ENGINE_KEY, "P4PShareLogFilePath"),
        "expand": lambda: reg_add(ENGINE_KEY, "P4PShareLogFilePath", "REG_EXPAND_SZ",
                                  winpath(install.log)),
        "null": lambda: reg_add(ENGINE_KEY, "P4PShareLogFilePath", "REG_SZ", "null"),
    }
    for case, arrange in cases.items():
        arrange()
        install.start()
        quit_and_wait(install)
        assert not install.log.exists(), (case, reg_query(ENGINE_KEY, "P4PShareLogFilePath"))
        assert not (install.folder / "null").exists(), case


# With "P4PShareLogMaxMB" at 1, busy peers carry the log past 1 MB: the full log
# becomes ".bak" and a new one starts with a line saying why; neither is over
# 1 MB, every line of both is whole, and the peers are served throughout.
def test_log_is_bounded_under_load(live, tmp_path):
    reg_add(ENGINE_KEY, "P4PShareLogMaxMB", "REG_DWORD", "1")
    core = make_core(tmp_path)
    register({item.md5: item.path for item in core}, tmp_path)
    run = SoakRun(live.start(), tmp_path, core, 0)
    log, backup = live.install.log, live.install.log.with_name("engine.log.bak")
    peers = [threading.Thread(target=run.peer_loop, args=(i,)) for i in range(PEERS)]
    for peer in peers:
        peer.start()
    # Well past a switch, so that lines from many threads met it.
    passed = wait_for(lambda: backup.exists() and len(live.log()) > 256 << 10, 300)
    run.stop.set()
    for peer in peers:
        peer.join(timeout=180)
    quit_and_wait(live.install)

    assert passed and run.figures.errors == 0, run.figures.text()
    for path in (log, backup):
        assert len(path.read_bytes()) <= 1 << 20, path
    first = parse_lines(log.read_bytes())[0][1]
    assert first.startswith(b"Log started anew: the previous one reached the limit of 1 MB"), first
    parse_lines(backup.read_bytes())
