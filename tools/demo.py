#!/usr/bin/env python3
"""The road of a shared file, end to end, with a running commentary.

Starts the tracker simulator and the daemon under Wine as the game's launcher would
(a non-.bin name, a launcher window held open), protects a stand-in game executable,
hands three files over on the IPC port, restarts the daemon so that its start-up
announcement carries them, and downloads each from the daemon's HTTP port with aria2c
(4 connections), checking the MD5s. With --once it then ends the game and the
launcher window and checks that the daemon ends by itself with exit code 0 and that
the catalogue and "IPCPort" stay in the registry; otherwise the daemon keeps running
until Ctrl-C.

Every step checks what it claims: the exit code is 0 only when all of them held.
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from tracker_sim import TrackerSim  # noqa: E402

ENGINE_KEY = r"HKLM\Software\TESK\Morwick\p4p"
LISTENING = re.compile("侦听端口: (\\d+) 成功".encode("gbk"))
FILE_SIZES = (1 << 20, 3 * (1 << 20) + 12345, 16 * (1 << 20))


class DemoFailed(Exception):
    pass


class Demo:
    def __init__(self, args):
        self.args = args
        self.bin = Path(args.bin).resolve()
        self.prefix = Path(args.prefix).resolve()
        self.folder = Path(args.install).resolve()
        # The demo plays on loopback: no port mapping is asked of any router.
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        ZRVD_PORT_MAPPING="0")
        self.env.pop("DISPLAY", None)
        self.background = []
        self.sim = None
        self.step_no = 0

    # --- output ---------------------------------------------------------------------

    def say(self, text=""):
        if not self.args.quiet:
            print(text, flush=True)

    def step(self, text):
        self.step_no += 1
        self.say("\n[%d] %s" % (self.step_no, text))

    def check(self, condition, what):
        if not condition:
            raise DemoFailed(what)
        self.say("    ok: " + what)

    # --- Wine ------------------------------------------------------------------------

    def winpath(self, path):
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def wine(self, *args, timeout=120):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(["wine", *map(str, args)], env=self.env, stdout=out,
                                  stderr=err, stdin=subprocess.DEVNULL, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return code, out.read().decode("latin-1"), err.read().decode("latin-1")

    def spawn(self, *args, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        proc = subprocess.Popen(["wine", *map(str, args)], env=self.env,
                                stdin=subprocess.DEVNULL, **kwargs)
        self.background.append(proc)
        return proc

    def ctl(self, *args, timeout=120):
        return self.wine(self.folder / "zrvdctl.exe", *args, timeout=timeout)

    def reg_add(self, name, kind, data, key=ENGINE_KEY):
        code, _, err = self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f")
        if code != 0:
            raise DemoFailed("reg add %s: %s" % (name, err.strip()))

    def reg_text(self, key=ENGINE_KEY):
        return self.wine("reg", "query", key)[1]

    # --- the road ----------------------------------------------------------------------

    def prepare(self):
        self.step("Wine prefix and install folder")
        subprocess.run([str(HERE.parent / "scripts" / "wineprefix"), str(self.prefix)], check=True)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        # Wine's services start now, away from any pipe we read.
        self.wine("cmd", "/c", "exit")
        self.folder.mkdir(parents=True, exist_ok=True)
        for name in ("zrvd_daemon.exe", "kovashare.dll", "zrvdctl.exe"):
            shutil.copy2(self.bin / name, self.folder / name)
        self.game = self.folder / "Game" / "Kova Game Client.exe"
        self.game.parent.mkdir(exist_ok=True)
        shutil.copy2(self.bin / "zrvd_idle.exe", self.game)
        self.log = self.folder / "engine.log"
        if self.log.exists():
            self.log.unlink()
        self.say("    prefix:  %s" % self.prefix)
        self.say("    install: %s" % self.folder)

    def start_tracker(self):
        self.step("Tracker simulator on loopback")
        self.sim = TrackerSim(record=str(self.folder / "tracker.jsonl")).start()
        self.wine("reg", "delete", ENGINE_KEY, "/f")
        self.reg_add("P4PShareLogFilePath", "REG_SZ", self.winpath(self.log))
        self.reg_add("TrackerHost", "REG_SZ", self.sim.address)
        self.reg_add("ProbeHost", "REG_SZ", self.sim.probe_address)
        self.reg_add("PortMapping", "REG_DWORD", 0)
        self.say("    web reports (TCP) and announcements (UDP): %s" % self.sim.address)
        self.say("    address probe (TCP):                       %s" % self.sim.probe_address)
        self.say("    requests recorded in %s" % (self.folder / "tracker.jsonl"))

    def start_daemon(self, title):
        self.step(title)
        code, _, _ = self.wine(self.folder / "zrvd_daemon.exe")
        self.check(code == 0, "the launcher's start returned 0 (the .bin copy took over)")
        code, image, _ = self.ctl("wait", "30")
        self.check(code == 0 and image.strip().lower().endswith("zrvd_daemon.bin"),
                   "the daemon runs from its side copy " + image.strip())
        code, port, _ = self.ctl("port")
        self.ipc_port = int(port.strip() or 0)
        self.check(code == 0 and self.ipc_port > 0, "IPC port published: 127.0.0.1:%d" % self.ipc_port)
        deadline = time.monotonic() + 30
        found = None
        while time.monotonic() < deadline and not found:
            found = LISTENING.search(self.log.read_bytes()) if self.log.exists() else None
            time.sleep(0.2)
        self.check(found is not None, "HTTP port for peers: %s" % (found and found.group(1).decode()))
        self.http_port = int(found.group(1))
        self.say("    log: %s" % self.log)

    def protect_game(self):
        self.step("The game runs and the launcher protects it")
        self.spawn(self.game, "3600")
        code, _, err = self.ctl("add", self.winpath(self.game))
        self.check(code == 0, "protected: %s" % self.winpath(self.game))

    def share_files(self):
        self.step("The download client hands three finished files over")
        self.files = []
        rng = random.Random(20261207)
        downloads = self.folder / "Downloads"
        downloads.mkdir(exist_ok=True)
        for i, size in enumerate(FILE_SIZES):
            path = downloads / ("pack%d.dat" % (i + 1))
            path.write_bytes(rng.randbytes(size))
            md5 = hashlib.md5(path.read_bytes()).hexdigest()
            self.files.append((path, md5, size))
            url = "http://cdn.example.invalid/packs/pack%d.dat" % (i + 1)
            code, _, err = self.ctl("share", self.winpath(path), md5, url, "1")
            self.check(code == 0, "shared %s (%d bytes) as %s" % (path.name, size, md5))
        reports = self.sim.wait_for_requests(3, timeout=30)
        self.check(len(reports) == 3, "the tracker heard 3 reports")
        for report in reports:
            self.say("    GET " + report["target"])
        names = self.reg_text().lower()
        self.check(all(md5 in names for _, md5, _ in self.files),
                   "the catalogue holds the three entries")

    def restart_for_announcement(self):
        self.step("Restart: the start-up announcement carries the catalogue")
        self.sim.recorder.clear()
        watcher = self.spawn(self.folder / "zrvdctl.exe", "exitcode", "60", stdout=subprocess.PIPE)
        watcher.stdout.readline()
        code, _, _ = self.ctl("quit")
        out = watcher.communicate(timeout=60)[0].decode().split()
        self.check(code == 0 and out and out[-1] == "0", "quit: the daemon ended with exit code 0")
        self.start_daemon("The launcher starts the daemon again")
        code, _, _ = self.ctl("add", self.winpath(self.game))
        self.check(code == 0, "the game is protected again")
        datagrams = self.sim.wait_for_datagrams(1, timeout=30)
        self.check(len(datagrams) >= 1, "the tracker heard the announcement")
        text = b"".join(datagrams)
        for line in datagrams[0].split(b"\r\n")[:4]:
            self.say("    " + line.decode("latin-1"))
        self.check(all(("md5:" + md5).encode() in text for _, md5, _ in self.files),
                   "every shared MD5 is announced")
        self.check(("%%20%d%%20Hash" % self.http_port).encode() in datagrams[0],
                   "the announcement names the HTTP port %d" % self.http_port)

    def peer_downloads(self):
        self.step("A peer downloads each file with aria2c, 4 connections")
        target = self.folder / "peer"
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        for path, md5, size in self.files:
            url = "http://127.0.0.1:%d/%s" % (self.http_port, md5)
            cmd = ["aria2c", "-x4", "-s4", "-k1M", "--min-split-size=1M", "--allow-overwrite=true",
                   "--auto-file-renaming=false", "--file-allocation=none", "-d", str(target),
                   "-o", path.name, url]
            if self.args.quiet:
                cmd[1:1] = ["-q"]
            else:
                cmd[1:1] = ["--summary-interval=0", "--console-log-level=warn"]
                self.say("    " + url)
            code = subprocess.run(cmd, timeout=300).returncode
            got = target / path.name
            digest = hashlib.md5(got.read_bytes()).hexdigest() if got.exists() else ""
            self.check(code == 0 and digest == md5, "%s: %d bytes, MD5 matches" % (path.name, size))

    def show_status(self):
        self.step("What the daemon is doing: zrvdctl status")
        # The downloads' connections close just after the last byte.
        deadline = time.monotonic() + 30
        while True:
            code, out, err = self.ctl("status", "--json")
            status = json.loads(out) if code == 0 else {}
            if not status or status["peers"]["connections"] == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        code, table, _ = self.ctl("status")
        if not self.args.quiet:
            for line in table.splitlines():
                self.say("    " + line)
        served = sum(size for _, _, size in self.files)
        self.check(code == 0 and status.get("catalogue", {}).get("entries") == len(self.files),
                   "the status counts the %d shared files" % len(self.files))
        self.check(status.get("peers", {}).get("bytes", 0) >= served,
                   "and at least the %d bytes the peer downloaded" % served)
        self.say("    status page: http://127.0.0.1:%d/ (in a browser on this machine)"
                 % self.http_port)

    def end_of_game(self):
        self.step("The game and the launcher end; the daemon follows by itself")
        watcher = self.spawn(self.folder / "zrvdctl.exe", "exitcode", "120", stdout=subprocess.PIPE)
        watcher.stdout.readline()
        for proc in self.background:
            if proc is not watcher and proc.poll() is None:
                proc.kill()
                proc.wait()
        self.say("    game and launcher window gone; waiting for the watch (every 5 s)")
        out = watcher.communicate(timeout=120)[0].decode().split()
        self.check(watcher.returncode == 0 and out and out[-1] == "0",
                   "the daemon ended by itself with exit code 0")
        text = self.reg_text()
        self.check(all(md5 in text.lower() for _, md5, _ in self.files),
                   "the catalogue keeps the three entries")
        self.check("IPCPort" in text and "REG_DWORD" in text, "\"IPCPort\" stays in the registry")

    def run(self):
        self.prepare()
        self.start_tracker()
        self.launcher = self.spawn(self.folder / "zrvdctl.exe", "launcher", "2000000")
        self.say("    launcher window held open by zrvdctl launcher")
        self.start_daemon("The launcher starts the daemon by its .exe name")
        self.protect_game()
        self.share_files()
        self.restart_for_announcement()
        self.peer_downloads()
        self.show_status()
        if self.args.once:
            self.end_of_game()
            self.say("\nAll steps held.")
            return
        self.say("\nThe daemon keeps running: its status page http://127.0.0.1:%d/, "
                 "curl http://127.0.0.1:%d/%s, scripts/zrvdctl ... ; Ctrl-C ends it."
                 % (self.http_port, self.http_port, self.files[0][1]))
        while True:
            code, _, _ = self.ctl("wait", "0")
            if code != 0:
                self.say("The daemon has ended.")
                return
            time.sleep(2)

    def close(self):
        self.ctl("quit", timeout=30)
        for proc in self.background:
            if proc.poll() is None:
                proc.kill()
        if self.sim:
            self.sim.stop()
        subprocess.run(["wineserver", "-k"], env=self.env)


def main():
    root = HERE.parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=str(root / "build" / "win32" / "bin"))
    parser.add_argument("--prefix", default=str(root / "build" / "win32" / "run-prefix"))
    parser.add_argument("--install", default=str(root / "build" / "win32" / "demo"))
    parser.add_argument("--once", action="store_true", help="end the game and check the daemon ends")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()
    demo = Demo(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        demo.run()
        return 0
    except DemoFailed as failure:
        print("DEMO FAILED: %s" % failure, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0
    finally:
        demo.close()


if __name__ == "__main__":
    sys.exit(main())
