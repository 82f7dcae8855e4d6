"""Peers download catalogued files from the daemon over HTTP: whole, by range, on
keep-alive connections, past 2 GiB, and get the 404 bytes for what is not served."""

import os
import re
import socket
import struct
import subprocess

import pytest

from conftest import wait_for, winpath
from http_peer import (NOT_FOUND, ServingDaemon, connect, curl, header, md5_of, read_exactly,
                       read_head, read_to_end, request, write_random)

SMALL_MD5 = "0123456789abcdef0123456789abcdef"
BIG_MD5 = "FEDCBA9876543210FEDCBA9876543210"
HUGE_MD5 = "00112233445566778899aabbccddeeff"
HUGE_SIZE = 3 << 30
MARKER_OFFSET = 2_500_000_000


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    folder = tmp_path_factory.mktemp("http")
    files = {
        SMALL_MD5: write_random(folder / "small.bin", 1_000_000, 1),
        BIG_MD5: write_random(folder / "big.bin", 64 << 20, 2),
    }
    huge = folder / "huge.bin"
    with open(huge, "wb") as f:
        f.truncate(HUGE_SIZE)  # sparse: only the marker takes space
        f.seek(MARKER_OFFSET)
        f.write(b"marker at 2.5e9 " * 4096)
    files[HUGE_MD5] = huge
    daemon = ServingDaemon(folder, files)
    daemon.files = files
    yield daemon
    daemon.stop()


# curl gets the whole file and several ranges, byte for byte as the range rule says.
def test_curl_whole_file_and_ranges(served, tmp_path):
    data = served.files[SMALL_MD5].read_bytes()
    out = tmp_path / "out"
    result = curl("-o", out, served.url(SMALL_MD5))
    assert result.returncode == 0, result.stderr
    assert out.read_bytes() == data

    # -500 is no suffix here: bytes 0 to 500.
    for asked, first, last in [("0-99", 0, 99), ("100-", 100, len(data) - 1),
                               ("999000-999999", 999000, 999999), ("-500", 0, 500),
                               ("0-99,200-299", 0, 99), ("123456-0", 123456, len(data) - 1)]:
        heads = tmp_path / "heads"
        result = curl("-r", asked, "-D", heads, "-o", out, served.url(SMALL_MD5))
        assert result.returncode == 0, (asked, result.stderr)
        assert out.read_bytes() == data[first:last + 1], asked
        text = heads.read_bytes().decode("latin-1")
        assert f"Content-Range: bytes {first}-{last}/{len(data)}\r\n" in text, text

    # The server's and the handler's log texts, in the GBK bytes of the log file.
    for line in ["Http Server启动", "新的HttpConnection",
                 "请求文件: " + winpath(served.files[SMALL_MD5]),
                 f"总共发送 {len(data)} / {len(data)} 字节", "总共发送 100 / 100 字节"]:
        assert wait_for(lambda: line.encode("gbk") in served.log(), 10), line


# aria2c fetches 64 MiB over 8 connections with ranges; the result has the file's MD5.
def test_aria2c_eight_connections(served, tmp_path):
    result = subprocess.run(
        ["aria2c", "-q", "-x8", "-s8", "-k1M", "--file-allocation=none", "--no-conf",
         "--allow-overwrite=true", "-d", str(tmp_path), "-o", "big.bin", served.url(BIG_MD5)],
        capture_output=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert md5_of(tmp_path / "big.bin") == md5_of(served.files[BIG_MD5])


# One connection carries 100 requests; the log counts them.
def test_hundred_requests_on_one_connection(served):
    data = served.files[SMALL_MD5].read_bytes()
    with connect(served.port) as sock:
        for i in range(100):
            first = i * 9973
            head, body = request(sock, SMALL_MD5, f"Range: bytes={first}-{first + 4095}\r\n")
            assert head.startswith(b"HTTP/1.1 206 Partial Content\r\n"), head
            assert body == data[first:first + 4096], i
    # "开始接受KeepAlive循环的第 100 个请求。", written once the answer has gone out
    line = "开始接受KeepAlive循环的第 100 个请求。".encode("gbk")
    assert wait_for(lambda: line in served.log(), 10)


# A 3 GiB file is served from offset 2,500,000,000 with every digit in the head.
def test_three_gib_file_from_past_two_gib(served, tmp_path):
    out = tmp_path / "out"
    result = curl("-r", f"{MARKER_OFFSET}-{MARKER_OFFSET + 65535}", "-o", out,
                  served.url(HUGE_MD5))
    assert result.returncode == 0, result.stderr
    assert out.read_bytes() == b"marker at 2.5e9 " * 4096

    with connect(served.port) as sock:
        sock.sendall(f"GET /{HUGE_MD5} HTTP/1.1\r\nRange: bytes={MARKER_OFFSET}-\r\n\r\n".encode())
        head = read_head(sock)
        assert header(head, "Content-length") == str(HUGE_SIZE - MARKER_OFFSET)
        assert header(head, "Content-Range") == \
            f"bytes {MARKER_OFFSET}-{HUGE_SIZE - 1}/{HUGE_SIZE}"
        assert read_exactly(sock, 65536) == b"marker at 2.5e9 " * 4096


# An unknown MD5, another method and a 31-digit path each get exactly the 404 bytes;
# the three that no handler takes are logged as such.
def test_not_found_answers(served):
    no_handler = "没有任何IHttpHandler处理该请求，发送404并中断连接。".encode("gbk")
    before = served.log().count(no_handler)
    for text in [b"GET /ffffffffffffffffffffffffffffffff HTTP/1.1\r\n\r\n",
                 f"POST /{SMALL_MD5} HTTP/1.1\r\n\r\n".encode(),
                 f"HEAD /{SMALL_MD5} HTTP/1.1\r\n\r\n".encode(),
                 f"GET /{SMALL_MD5[:31]} HTTP/1.1\r\n\r\n".encode()]:
        with connect(served.port) as sock:
            sock.sendall(text)
            assert read_to_end(sock) == NOT_FOUND, text
    assert wait_for(lambda: served.log().count(no_handler) == before + 3, 10)


# A peer that resets the connection in the middle of a body ends the send with the
# short-send line.
def test_peer_leaving_mid_body(served):
    short = re.compile("需要发送 \\d+ 字节，结果只发送了 \\d+ 字节".encode("gbk"))
    before = len(short.findall(served.log()))
    with connect(served.port) as sock:
        sock.sendall(f"GET /{BIG_MD5} HTTP/1.1\r\n\r\n".encode())
        read_head(sock)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    assert wait_for(lambda: len(short.findall(served.log())) > before, 30)


# A range past the end gets 416 with the size, and the connection serves on.
def test_unsatisfiable_range_keeps_the_connection(served):
    size = os.stat(served.files[SMALL_MD5]).st_size
    with connect(served.port) as sock:
        head, body = request(sock, SMALL_MD5, f"Range: bytes={size}-\r\n")
        assert head.startswith(b"HTTP/1.1 416 Range Not Satisfiable\r\n"), head
        assert header(head, "Content-Range") == f"bytes */{size}"
        assert body == b""
        head, body = request(sock, SMALL_MD5, "Range: bytes=0-9\r\n")
        assert body == served.files[SMALL_MD5].read_bytes()[:10]
