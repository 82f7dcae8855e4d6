"""A bulk TCP upload and its sink, run inside namespaces by home_uplink.py: the sink
prints its received byte count ten times a second; the sender writes for a while."""

import socket
import sys
import threading
import time


def sink(port):
    server = socket.create_server(("0.0.0.0", port))
    print("listening", flush=True)
    total = [0]

    def drain(conn):
        with conn:
            while block := conn.recv(1 << 16):
                total[0] += len(block)

    def accept():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=drain, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    # Stamps on one clock with the reader's: both are this machine's monotonic clock.
    while True:
        print("%.3f %d" % (time.monotonic(), total[0]), flush=True)
        time.sleep(0.1)


def send(host, port, seconds):
    block = b"\x5a" * (1 << 16)
    with socket.create_connection((host, port)) as conn:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            conn.sendall(block)


if __name__ == "__main__":
    if sys.argv[1] == "sink":
        sink(int(sys.argv[2]))
    else:
        send(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
