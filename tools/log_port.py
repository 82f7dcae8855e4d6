#!/usr/bin/env python3
"""Prints the HTTP port from an engine log: the "listening port: N succeeded" line."""
import re
import sys
import time

# "侦听端口: %d 成功" in the log's GBK code page.
LISTENING = re.compile("侦听端口: (\\d+) 成功".encode("gbk"))


def main():
    path = sys.argv[1]
    deadline = time.monotonic() + float(sys.argv[2] if len(sys.argv) > 2 else 10)
    while time.monotonic() < deadline:
        try:
            with open(path, "rb") as log:
                found = LISTENING.search(log.read())
            if found:
                print(found.group(1).decode())
                return 0
        except FileNotFoundError:
            pass
        time.sleep(0.2)
    return 1


if __name__ == "__main__":
    sys.exit(main())
