#!/usr/bin/env python3
"""Memory of requests withheld on purpose: clients that send an XML-RPC body
but its last byte, all at once. Prints the server's resident memory before,
while they hold their connections, and after they have closed, for the
default "requestBufferLimit" (256 MiB) and a small one.

    ORVEX_BUILD_DIR=build-release python3 bench/bench_withheld.py [--mib N] [--clients N]"""

import argparse
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from orvexe2e import accepts, free_port, idle, rss_bytes, server_with_settings, wait_until  # noqa: E402

MIB = 1 << 20


def withhold(port, size):
    """A connection that sent a POST of `size` bytes but the last; closed by the server or held."""
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    s.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % size)
    try:
        s.sendall(b"x" * (size - 1))
    except OSError:   # closed by the server for holding most
        pass
    return s


def measure(mib, clients, limit):
    xport = free_port()
    settings = {"xPort": xport}
    if limit:
        settings["requestBufferLimit"] = limit
    server = server_with_settings(settings)
    try:
        wait_until(lambda: accepts(xport))
        pid = server.proc.pid
        before = rss_bytes(pid)
        threads, sockets = [], []
        for _ in range(clients):
            t = threading.Thread(target=lambda: sockets.append(withhold(xport, mib * MIB)))
            t.start()
            threads.append(t)
        for t in threads:
            t.join()
        wait_until(lambda: idle(pid, 1.0), timeout=60)
        during = rss_bytes(pid)
        for s in sockets:
            s.close()
        time.sleep(1)
        wait_until(lambda: idle(pid, 1.0), timeout=60)
        after = rss_bytes(pid)
    finally:
        server.stop()
    return before // MIB, during // MIB, after // MIB


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=60, help="body size of each client")
    parser.add_argument("--clients", type=int, default=6)
    args = parser.parse_args()
    print("withheld XML-RPC bodies: %d clients x %d MiB, server RSS in MiB" % (args.clients, args.mib))
    for label, limit in (("requestBufferLimit 256 (default)", None), ("requestBufferLimit 16", 16)):
        before, during, after = measure(args.mib, args.clients, limit)
        print("  %-34s before %4d  held %4d  after closing %4d" % (label, before, during, after))


if __name__ == "__main__":
    main()
