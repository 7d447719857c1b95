#!/usr/bin/env python3
"""Moving an installation: orvex-server -copy-database-to from SQLite into an empty PostgreSQL database of a
throwaway cluster, and back into a new SQLite file, each copy checked row for row. The installation is a
new database with NODES nodes whose seven archive columns hold MIB mebibytes in all per node (random bytes:
stored archives are compressed). Prints the time of each direction, its rate and the server's peak resident
memory (which stays near the largest row, whatever the size of the database).

    ORVEX_BUILD_DIR=build-release python3 bench/bench_databasecopy.py [--nodes N] [--mib M]"""

import argparse
import contextlib
import os
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from orvexe2e import DataServer, TempHome, binary, write  # noqa: E402
import pgcluster  # noqa: E402

ARCHIVES = ("current_data", "month_data", "month_totals", "day_data", "day_totals", "hour_data", "fill_data")


def copy(home, target):
    """Seconds and peak resident MiB of one copy."""
    started = time.monotonic()
    proc = subprocess.Popen([binary("orvex-server"), "-copy-database-to", target], env=home.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    error = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(error.decode())
    return seconds, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100)
    parser.add_argument("--mib", type=float, default=2.0)
    args = parser.parse_args()

    home = TempHome()
    back = TempHome()
    with pgcluster.PgCluster() as cluster:
        try:
            DataServer(home=home).stop()
            path = os.path.join(home.path, "telvan.db")
            size = int(args.mib * 1024 * 1024 / len(ARCHIVES))
            with contextlib.closing(sqlite3.connect(path)) as db, db:
                for n in range(args.nodes):
                    db.execute("INSERT INTO nodes (name, model_code, number) VALUES (?, 'QRV5', ?)",
                               ("Узел %d" % n, 100000 + n))
                    db.execute("UPDATE nodes_data SET %s WHERE id = last_insert_rowid()"
                               % ", ".join("%s = randomblob(%d)" % (a, size) for a in ARCHIVES))
            total = os.path.getsize(path) / 2**20
            database = cluster.create_database("bench")
            there, there_peak = copy(home, "postgresql://%s@%s:%d/%s" % (cluster.user, cluster.host, cluster.port,
                                                                          database))
            write(os.path.join(back.path, "orvex-server.ini"),
                  "[Database]\ndriver=QPSQL\nhost=%s\nport=%d\nuser=%s\ndatabaseName=%s\n"
                  % (cluster.host, cluster.port, cluster.user, database))
            back_seconds, back_peak = copy(back, "sqlite:" + os.path.join(back.path, "back.db"))
            print("database: %d nodes, %.0f MiB" % (args.nodes, total))
            print("SQLite -> PostgreSQL: %.1f s, %.1f MiB/s, peak %.0f MiB resident"
                  % (there, total / there, there_peak))
            print("PostgreSQL -> SQLite: %.1f s, %.1f MiB/s, peak %.0f MiB resident"
                  % (back_seconds, total / back_seconds, back_peak))
        finally:
            home.remove()
            back.remove()


if __name__ == "__main__":
    main()
