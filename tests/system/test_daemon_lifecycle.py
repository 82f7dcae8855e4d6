"""The daemon's life: one instance, the .bin side copy, commands, the watch."""

import os
import re
import shutil
import stat
import subprocess
import time

import pytest

from conftest import (BIN, ENGINE_KEY, SOURCE, Install, debug_strings, linux_daemon_pids,
                      reg_add, reg_delete_key, reg_query, wait_for, wine, winpath)


def exit_code_of(watcher, timeout):
    out, err = watcher.communicate(timeout=timeout)
    assert watcher.returncode == 0, err.decode(errors="replace")
    return int(out.decode().split()[-1])


def start_watcher(install):
    watcher = install.ctl_popen("exitcode", "120")
    assert watcher.stdout.readline().strip() == b"watching"
    return watcher


# The launcher's start: a fresh .bin copy replaces a read-only stale one, the
# first process ends with 0, and the copy is the one daemon that runs.
def test_start_from_exe_relaunches_the_bin_copy(install):
    install.bin.write_bytes(b"stale copy from an earlier version")
    os.chmod(install.bin, stat.S_IREAD)

    result = install.start(wait=False)
    assert result.returncode == 0
    waited = install.ctl("wait", "30")
    assert waited.returncode == 0
    assert waited.stdout.decode().strip().lower().endswith("zrvd_daemon.bin")
    assert install.bin.read_bytes() == install.exe.read_bytes()
    assert len(wait_for(lambda: len(linux_daemon_pids()) == 1 and linux_daemon_pids(), 5)) == 1

    assert reg_query(ENGINE_KEY, "IPCPort")[0] == "REG_DWORD"


# A .bin name in any case runs in place: no other copy is made.
def test_bin_name_in_any_case_runs_in_place(install):
    odd = install.folder / "Zrvd_Daemon.BiN"
    shutil.copy2(install.exe, odd)
    proc = subprocess.Popen(["wine", str(odd)], env=__import__("conftest").wine_env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        waited = install.ctl("wait", "30")
        assert waited.returncode == 0
        assert waited.stdout.decode().strip().lower().endswith("zrvd_daemon.bin")
        assert not install.bin.exists() or install.bin.samefile(odd)
        install.quit()
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()


# A second start, under any name, ends with 0 and touches no file.
def test_second_start_leaves_the_running_daemon_alone(install, tmp_path):
    install.start()
    before = install.bin.stat().st_mtime_ns
    pids = linux_daemon_pids()

    other = Install(tmp_path / "elsewhere")
    renamed = other.folder / "other_name.exe"
    other.exe.rename(renamed)
    assert wine(renamed).returncode == 0
    assert install.start(wait=False).returncode == 0

    assert not (other.folder / "other_name.bin").exists()
    assert install.bin.stat().st_mtime_ns == before
    assert linux_daemon_pids() == pids


# Five launchers racing: exactly one daemon survives.
def test_five_simultaneous_starts_leave_one_daemon(install, tmp_path):
    installs = [Install(tmp_path / f"racer{i}") for i in range(5)]
    env = __import__("conftest").wine_env()
    procs = [subprocess.Popen(["wine", str(i.exe)], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) for i in installs]
    codes = [p.wait(timeout=120) for p in procs]
    assert codes == [0] * 5
    assert install.ctl("wait", "30").returncode == 0
    time.sleep(3)
    assert len(linux_daemon_pids()) == 1


# The launcher's window alone keeps the daemon; once it is gone the next tick ends it,
# with its debug string.
def test_launcher_window_keeps_the_daemon_alive(install, tmp_path):
    launcher = install.ctl_popen("launcher", "20")
    assert launcher.stdout.readline().startswith(b"launcher window up")
    shown_at = time.monotonic()
    daemon = install.start_traced(tmp_path / "daemon.trace")
    watcher = start_watcher(install)
    # Several ticks pass while the window is still up, however slow the start was.
    time.sleep(max(0.0, 18 - (time.monotonic() - shown_at)))
    assert watcher.poll() is None, "the daemon ended while the launcher window was up"
    launcher.wait(timeout=30)
    gone_at = time.monotonic()
    assert exit_code_of(watcher, 30) == 0
    assert time.monotonic() - gone_at < 12
    assert daemon.wait(timeout=30) == 0
    assert debug_strings(tmp_path / "daemon.trace")[-1] == \
        b"All protected process and launch process quited!"


# quit ends the daemon with 0 within 2 seconds.
def test_quit_command(install):
    launcher = install.ctl_popen("launcher", "60")
    install.start()
    watcher = start_watcher(install)
    asked = time.monotonic()
    assert install.quit().returncode == 0
    assert exit_code_of(watcher, 30) == 0
    assert time.monotonic() - asked < 2 + 1  # zrvdctl's own start-up under Wine
    launcher.kill()


@pytest.fixture
def game(install):
    """A protected executable with a long name (it has a distinct short form)."""
    folder = install.folder / "Game Folder With Long Name"
    folder.mkdir()
    exe = folder / "Protected Game Executable.exe"
    shutil.copy2(BIN / "zrvd_idle.exe", exe)
    return exe


def short_name(path):
    result = wine(BIN / "zrvd_idle.exe", "short", winpath(path))
    assert result.returncode == 0
    return result.stdout.decode().strip()


def run_watch(install, protected_text, game_exe):
    # The game runs before the daemon starts and the launcher window stays until the
    # path is protected, so a slow start cannot end the daemon on its first tick.
    running = subprocess.Popen(["wine", str(game_exe), "600"],
                               env=__import__("conftest").wine_env())
    launcher = install.ctl_popen("launcher", "600")
    assert launcher.stdout.readline().startswith(b"launcher window up")
    try:
        install.start()
        assert install.ctl("add", protected_text).returncode == 0
        watcher = start_watcher(install)
        launcher.kill()
        launcher.wait(timeout=30)
        time.sleep(12)
        assert watcher.poll() is None, "the daemon ended while a protected process ran"
        running.kill()
        running.wait(timeout=30)
        ended_at = time.monotonic()
        assert exit_code_of(watcher, 30) == 0
        assert time.monotonic() - ended_at < 12
    finally:
        for proc in (running, launcher):
            if proc.poll() is None:
                proc.kill()


# A protected executable keeps the daemon alive, named in its long form.
def test_protected_process_in_long_form(install, game):
    run_watch(install, winpath(game), game)


# The same executable named by its short form still matches the running process.
def test_protected_process_in_short_form(install, game):
    short = short_name(game)
    assert "~" in short, short
    run_watch(install, short, game)


# On the 9x family the Tool Help walk does the same job; port mapping, not
# supported there, says so once.
def test_protected_process_on_win98(install):
    exe = install.folder / "GAME.EXE"
    shutil.copy2(BIN / "zrvd_idle.exe", exe)
    key = r"HKCU\Software\Wine\AppDefaults\zrvd_daemon.bin"
    reg_add(key, "Version", "REG_SZ", "win98")
    try:
        run_watch(install, winpath(exe), exe)
    finally:
        reg_delete_key(key)
    assert install.log_text().count(b"Port mapping is not available on this system") == 1


# Odd records change nothing: the daemon keeps running and takes the next command.
# A quit that is the 4-byte header alone ends it. Each add (the empty path too) and
# the quit leave their debug strings.
def test_odd_records_are_ignored(install, tmp_path):
    launcher = install.ctl_popen("launcher", "120")
    daemon = install.start_traced(tmp_path / "daemon.trace")
    for record in ["", "00", "0000", "000000", "00000000", "0000000000", "0200000041",
                   "FF00000041", "00000000" + "41" * 300]:
        assert install.ctl("record", record).returncode == 0, record
    assert install.ctl("addmany", "C:\\nowhere\\game", "10000", timeout=300).returncode == 0
    assert len(linux_daemon_pids()) == 1
    assert install.ctl("record", "01000000").returncode == 0
    assert daemon.wait(timeout=30) == 0
    launcher.kill()

    strings = debug_strings(tmp_path / "daemon.trace")
    assert strings.count(b"Add: ") == 1
    assert b"Add: C:\\nowhere\\game9999" in strings
    assert strings[-1] == b"Receive quit cmd"


# The five functions keep their ordinals; the game-state call takes the next.
def test_dll_exports_exactly_its_functions():
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(BIN / "kovashare.dll")],
                          capture_output=True, text=True, check=True).stdout
    base = int(dump.split("Ordinal Base", 1)[1].split()[0])
    table = dump[dump.index("[Ordinal/Name Pointer] Table"):].splitlines()[1:]
    exports = []
    for line in table:
        line = line.strip()
        if not line.startswith("["):
            break
        ordinal, name = line.strip("[").split("]")
        # objdump lists each name with its ordinal less the base.
        exports.append((int(ordinal) + base, name.strip()))
    # The name table is in name order; the ordinals are what callers bind to.
    assert sorted(exports) == [(1, "KovaShareFinish"), (2, "KovaShareGetIPCPort"),
                       (3, "KovaShareSetRegPath"), (4, "KovaShareSetUserID"),
                       (5, "KovaShareStart"), (6, "KovaShareSetGameRunning")]


# Each shipped binary carries project(VERSION) in its version resource, and each
# executable its manifest, which requests no execution level: that would switch
# off the registry redirection that legacy callers rely on for a standard user.
# zrvdctl --version prints the version too.
def test_binaries_carry_version_and_manifest():
    numbers = re.search(r"project\(zrvd VERSION (\d+)\.(\d+)\.(\d+)",
                        (SOURCE / "CMakeLists.txt").read_text()).groups()
    version, listed = ".".join(numbers), ", ".join(numbers)
    for name in ("zrvd_daemon.exe", "zrvdctl.exe", "kovashare.dll"):
        rc = subprocess.run(["i686-w64-mingw32-windres", "-i", str(BIN / name), "-O", "rc"],
                            capture_output=True, text=True, check=True).stdout
        assert f"FILEVERSION {listed}, 0\n PRODUCTVERSION {listed}, 0\n" in rc, name
        for field, value in [("FileVersion", version), ("ProductVersion", version),
                             ("ProductName", "zrvd"), ("OriginalFilename", name)]:
            assert f'VALUE "{field}", "{value}"' in rc, (name, field)
        assert re.search(r'VALUE "FileDescription", "[^"]+"', rc), name
        manifest = ("requestedExecutionLevel" in rc or "trustInfo" in rc,
                    re.findall(r'supportedOS Id=""\{(\w+)', rc))
        assert manifest == (False, ["35138b9a", "4a2f28e3", "1f676c76", "8e0f7a12"]
                            if name.endswith(".exe") else []), name
    assert wine(BIN / "zrvdctl.exe", "--version").stdout.decode().strip() == version
