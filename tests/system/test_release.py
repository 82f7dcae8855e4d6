"""The release's own steps over the built binaries: symbols apart, zips whose
bytes depend on their contents and the commit time alone."""

import importlib.util
import os
import re
import subprocess
import zipfile

from conftest import BIN, SOURCE

found = importlib.util.spec_from_file_location("release", SOURCE / "tools" / "release.py")
release = importlib.util.module_from_spec(found)
found.loader.exec_module(release)


def objdump(*args):
    return subprocess.run(["i686-w64-mingw32-objdump", *args], capture_output=True, text=True,
                          check=True).stdout


def addr2line(binary, address):
    return subprocess.run(["i686-w64-mingw32-addr2line", "-f", "-e", str(binary), hex(address)],
                          capture_output=True, text=True, check=True).stdout.split("\n")[0]


# The shipped DLL carries no debug data but a link to its .debug file, which
# turns an address back into its function's name.
def test_symbols_resolve_an_address_the_stripped_binary_cannot(tmp_path):
    (tmp_path / "ship").mkdir()
    (tmp_path / "symbols").mkdir()
    release.split_symbols(str(BIN / "kovashare.dll"), str(tmp_path / "ship"), str(tmp_path / "symbols"))
    shipped, debug = tmp_path / "ship" / "kovashare.dll", tmp_path / "symbols" / "kovashare.dll.debug"
    headers = objdump("-h", str(shipped))
    assert ".debug_info" not in headers and ".gnu_debuglink" in headers
    assert b"kovashare.dll.debug\0" in shipped.read_bytes()

    pe = objdump("-p", str(shipped))
    base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", pe, re.M).group(1), 16)
    ordinal = int(re.search(r"\[\s*(\d+)\] KovaShareStart$", pe, re.M).group(1))
    rva = int(re.search(rf"\[\s*{ordinal}\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", pe).group(1), 16)
    assert addr2line(debug, base + rva) == "KovaShareStart"
    assert addr2line(shipped, base + rva) == "??"


# Neither the files' times, their modes, the folder nor the clock shows in a zip.
def test_zip_bytes_depend_on_contents_and_commit_time_alone(tmp_path):
    zips = []
    for run, (mode, mtime) in enumerate([(0o600, 1_000_000_000), (0o777, 1_900_000_000)]):
        root = tmp_path / f"run{run}"
        (root / "zrvd").mkdir(parents=True)
        for name, data in [("b.dll", b"MZ dll"), ("a.md", b"# text\n")]:
            (root / "zrvd" / name).write_bytes(data)
            os.chmod(root / "zrvd" / name, mode)
            os.utime(root / "zrvd" / name, (mtime, mtime))
        zips.append(tmp_path / f"run{run}.zip")
        release.write_zip(str(zips[-1]), "1796667617", str(root), ["zrvd/b.dll", "zrvd/a.md"])
    assert zips[0].read_bytes() == zips[1].read_bytes()
    entries = zipfile.ZipFile(zips[0]).infolist()
    assert [(e.filename, e.date_time, e.external_attr >> 16) for e in entries] == [
        ("zrvd/a.md", (2026, 12, 7, 18, 20, 16), 0o100644),
        ("zrvd/b.dll", (2026, 12, 7, 18, 20, 16), 0o100755)]
