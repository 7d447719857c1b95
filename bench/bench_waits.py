#!/usr/bin/env python3
"""How long a client waits while the server does its long jobs. An
installation of N nodes (hourly, daily and current data of D days each) is
made through the server's commands; then a probe client calls getVersion
over and over and the longest answer it waited for is printed for:

- the journal clean-up and compaction at start-up (the journal kept 0 days,
  half the nodes removed, so that about half the file is free): from the
  moment the port accepts until the compaction is noted in the journal;
- start-up with OPC UA on: how long until the first answer;
- OPC UA switched on ("opcPort" set) until the gateway listens;
- getGroupTotals over all nodes, called by another client.

    ORVEX_BUILD_DIR=build-release python3 bench/bench_waits.py [--nodes N] [--days D]
"""

import argparse
import datetime
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from orvexe2e import DataServer, TcpClient, TempHome, accepts, free_port, sql, table, wait_until  # noqa: E402
from opce2e import require_node  # noqa: E402

START = datetime.datetime(2024, 1, 1)


def stamp(when):
    return {"$datetime": when.strftime("%Y-%m-%dT%H:%M:%S.000")}


class Probe:
    """A client answered over and over on a thread of its own; the longest wait in seconds since the last reset."""

    def __init__(self, port):
        self.port = port
        self.longest = 0.0
        self.first_answer = None
        self.stopped = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        client = TcpClient(self.port, timeout=600)
        while not self.stopped:
            began = time.monotonic()
            client.ok("getVersion")
            took = time.monotonic() - began
            if self.first_answer is None:
                self.first_answer = time.monotonic()
            self.longest = max(self.longest, took)
            time.sleep(0.005)
        client.close()

    def reset(self):
        self.longest = 0.0

    def stop(self):
        self.stopped = True
        self.thread.join()


def prepare(server, nodes, days):
    admin = server.admin()
    admin.ok("setSetting", "backupEnabled", False)
    hours = days * 24
    ids = []
    for n in range(nodes):
        node = admin.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 100000 + n})
        # Values that vary as measured ones do, so that the stored archives are of a real size.
        hour_rows = [[stamp(START + datetime.timedelta(hours=h)), 60.0 + (h * 7919 + n * 104729) % 1000 / 100,
                      40.0 + (h * 104729 + n) % 997 / 100, (h * 31 + n * 17) % 1009 / 1000] for h in range(hours)]
        day_rows = [[stamp(START + datetime.timedelta(days=d)), 60.0 + (d * 7919 + n) % 1000 / 100, 40.0, 12.0 + d]
                    for d in range(days)]
        admin.ok("saveArchives", {"$tables": {
            "info": table(["id"], [[node]]),
            "hour_data": table(["date", "S1_t1", "S1_t2", "S1_Q"], hour_rows),
            "day_data": table(["date", "S1_t1", "S1_t2", "S1_Q"], day_rows),
            "current_data": table(["date", "S1_t1", "S1_t2", "Tm", "NSD"],
                                  [[stamp(START + datetime.timedelta(hours=hours)), 61.5, 41.5, 10, 0]])}})
        ids.append(node)
    admin.close()
    return ids


def compaction_wait(home, ids):
    """Half the nodes removed, the journal kept no day, the compaction due at the next start."""
    server = DataServer(home=home)
    admin = server.admin()
    for node in ids[len(ids) // 2:]:
        admin.ok("removeNode", node)
    admin.ok("setSetting", "journalDayCount", 0)
    admin.close()
    server.stop()
    db = os.path.join(home.path, "telvan.db")
    sql(db, "DELETE FROM settings WHERE name = 'lastCompact'")
    # The clean-up deletes every older entry, an earlier note of a compaction included.
    last = sql(db, "SELECT coalesce(max(rowid), 0) FROM journal")[0][0]
    noted = "SELECT count(*) FROM journal WHERE message = 'Сжатие БД' AND rowid > %d" % last
    size = os.path.getsize(db)
    free = sql(db, "PRAGMA freelist_count")[0][0] * sql(db, "PRAGMA page_size")[0][0]
    time.sleep(1)   # the journal rows written so far are older than the start
    server = DataServer(home=home, wait=False)
    wait_until(lambda: accepts(server.port), 120, 0.001)
    probe = Probe(server.port)
    began = time.monotonic()
    wait_until(lambda: sql(db, noted, readonly=True)[0][0] > 0, 1200, 0.05)
    took = time.monotonic() - began
    probe.stop()
    after = os.path.getsize(db) + os.path.getsize(db + "-wal") if os.path.exists(db + "-wal") else os.path.getsize(db)
    print("compaction: file %.0f MiB, %.0f MiB free: done in %.2f s, file then %.0f MiB; longest wait %.0f ms"
          % (size / 2**20, free / 2**20, took, after / 2**20, probe.longest * 1000))
    server.stop()


def opc_waits(home, ids):
    opc_port = free_port()
    server = DataServer(home=home)
    admin = server.admin()
    admin.ok("setSetting", "journalDayCount", 7)
    probe = Probe(server.port)
    time.sleep(0.5)
    probe.reset()
    began = time.monotonic()
    admin.ok("setSetting", "opcPort", opc_port)
    wait_until(lambda: accepts(opc_port), 600, 0.01)
    took = time.monotonic() - began
    probe.stop()
    print("OPC UA switched on (%d nodes): listening after %.2f s; longest wait %.0f ms"
          % (len(ids), took, probe.longest * 1000))
    admin.close()
    server.stop()

    server = DataServer(home=home, wait=False)
    began = time.monotonic()
    wait_until(lambda: accepts(server.port), 120, 0.001)
    probe = Probe(server.port)
    wait_until(lambda: probe.first_answer is not None, 600, 0.001)
    print("start-up with OPC UA on: first answer %.2f s after the process began" % (probe.first_answer - began))
    wait_until(lambda: accepts(opc_port), 600, 0.01)
    probe.stop()
    admin = server.admin()
    admin.ok("setSetting", "opcPort", None)
    admin.close()
    server.stop()


def totals_wait(home, ids):
    server = DataServer(home=home)
    admin = server.admin()
    probe = Probe(server.port)
    time.sleep(0.5)
    probe.reset()
    began = time.monotonic()
    admin.ok("getGroupTotals", ids, None, None)
    took = time.monotonic() - began
    probe.stop()
    print("group totals over %d nodes: %.2f s; longest wait of another client %.0f ms"
          % (len(ids), took, probe.longest * 1000))
    admin.close()
    server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1000)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--jobs", default="totals,opc,compaction", help="which of totals, opc, compaction to measure")
    args = parser.parse_args()
    home = TempHome()
    try:
        server = DataServer(home=home)
        began = time.monotonic()
        ids = prepare(server, args.nodes, args.days)
        server.stop()
        print("%d nodes of %d days prepared in %.0f s" % (args.nodes, args.days, time.monotonic() - began))
        jobs = args.jobs.split(",")
        if "totals" in jobs:
            totals_wait(home, ids)
        if "opc" in jobs:
            try:
                require_node()
                opc_waits(home, ids)
            except unittest.SkipTest as reason:
                print("OPC UA: skipped:", reason)
        if "compaction" in jobs:
            compaction_wait(home, ids)
    finally:
        home.remove()


if __name__ == "__main__":
    main()
