#!/usr/bin/python3
"""The release's files from the built binaries: symbols split off, zips whose
bytes depend on their contents and the commit time alone, SHA256SUMS.

    release.py split BINARY OUT_FOLDER SYMBOLS_FOLDER
    release.py zip ZIP EPOCH ROOT FILE...      (FILE relative to ROOT)
    release.py sums FOLDER FILE...              (writes FOLDER/SHA256SUMS)
"""
import hashlib
import os
import subprocess
import sys
import time
import zipfile

OBJCOPY = "i686-w64-mingw32-objcopy"


def split_symbols(binary, out_folder, symbols_folder):
    """The binary without debug data, tied by a debug link to <name>.debug,
    which holds the debug data and the symbol table."""
    name = os.path.basename(binary)
    debug = os.path.join(symbols_folder, name + ".debug")
    subprocess.run([OBJCOPY, "--only-keep-debug", binary, debug], check=True)
    subprocess.run([OBJCOPY, "--strip-all", "--add-gnu-debuglink=" + debug, binary,
                    os.path.join(out_folder, name)], check=True)
    for path in (debug, os.path.join(out_folder, name)):
        os.chmod(path, 0o755)


def write_zip(zip_path, epoch, root, names):
    """Entries in name order, each stamped with the commit time (UTC) and a
    mode set by its kind (0755 for programs, 0644 for the rest), so that
    neither the clock, the umask nor the folder shows."""
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # zip times start in 1980
    with zipfile.ZipFile(zip_path, "w") as archive:
        for name in sorted(names):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            mode = 0o755 if name.endswith((".exe", ".dll")) else 0o644
            info.external_attr = (0o100000 | mode) << 16
            with open(os.path.join(root, name), "rb") as source:
                archive.writestr(info, source.read(), compresslevel=9)


def write_sums(folder, names):
    lines = []
    for name in sorted(names):
        with open(os.path.join(folder, name), "rb") as source:
            lines.append(f"{hashlib.sha256(source.read()).hexdigest()}  {name}\n")
    with open(os.path.join(folder, "SHA256SUMS"), "w", newline="\n") as sums:
        sums.writelines(lines)


def main(argv):
    if len(argv) >= 4 and argv[0] == "split":
        split_symbols(argv[1], argv[2], argv[3])
    elif len(argv) >= 4 and argv[0] == "zip":
        write_zip(argv[1], argv[2], argv[3], argv[4:])
    elif len(argv) >= 2 and argv[0] == "sums":
        write_sums(argv[1], argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
