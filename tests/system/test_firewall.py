"""The daemon's temporary firewall entry, seen from outside: the warning it prints
on standard output, and a start-up that carries on past it."""

import shutil
import subprocess

from conftest import ENGINE_KEY, reg_query, wait_for, wine_popen

NOT_ENABLED = ("Application is not enabled in the firewall. You will not be able host games "
               "or join a peer-to-peer game. Depending on the game, you may be able to join.")
NO_EXCEPTIONS = ("Firewall is on with no exceptions. You will not be able host games or join a "
                 "peer-to-peer game. Depending on the game, you may be able to join.")


# Started from its .bin copy the daemon runs in place, so the standard output read
# here is the daemon's own. Wine reads the new entry back as not enabled: the first
# warning appears once, and start-up still publishes the IPC port.
def test_start_prints_the_firewall_warning_and_publishes_the_port(install):
    shutil.copy2(install.exe, install.bin)
    output = install.folder / "daemon.out"
    launcher = install.ctl_popen("launcher", "90", stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    # A file, not a pipe: Wine services started meanwhile may inherit a pipe and
    # hold it open after the daemon has gone.
    with open(output, "wb") as out:
        daemon = wine_popen(install.bin, stdout=out, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: reg_query(ENGINE_KEY, "IPCPort"), 60), "IPCPort never written"
        assert install.ctl("wait", "30").returncode == 0, "daemon window never appeared"
        assert install.quit().returncode == 0
        assert daemon.wait(timeout=60) == 0
    finally:
        if daemon.poll() is None:
            daemon.kill()
            daemon.wait()
        launcher.kill()
        launcher.wait()

    assert reg_query(ENGINE_KEY, "IPCPort")[0] == "REG_DWORD"
    lines = output.read_bytes().decode("latin-1").splitlines()
    assert lines.count(NOT_ENABLED) == 1, lines
    assert NO_EXCEPTIONS not in lines
