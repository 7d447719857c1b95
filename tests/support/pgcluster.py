#!/usr/bin/env python3
"""A throwaway PostgreSQL cluster for the tests: initdb in a temporary folder (as "nobody" through runuser when run as
root, which PostgreSQL refuses), the server on a free port of 127.0.0.1, trust authentication for the superuser
"orvex"; removed at the end. As a module: `with PgCluster() as cluster: cluster.create_database()`. For CTest's
fixtures: `pgcluster.py start STATEFILE [--durable]` writes {"host", "port", "user", "dir"} to STATEFILE, which tests
find through ORVEX_PG_CLUSTER, and `stop STATEFILE` removes it all. --durable (the benchmarks) keeps PostgreSQL's
fsync and buffers, so that commits cost what they cost on a site. Only the Python standard library is used.
"""

import atexit
import glob
import io
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SUPERUSER = "orvex"
RUN_AS = "nobody"


def _bin_dir():
    """The folder of initdb and pg_ctl: PG_BIN, else the newest of Debian's, else PATH."""
    debian = glob.glob("/usr/lib/postgresql/*/bin/initdb")
    newest = max(debian, key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0, default=None)
    found = os.environ.get("PG_BIN") or os.path.dirname(newest or shutil.which("initdb") or "")
    if not found:
        raise RuntimeError("PostgreSQL not found: install postgresql (scripts/setup) or set PG_BIN")
    return found


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgCluster:
    host, user, port, dir, _bin = "127.0.0.1", SUPERUSER, None, None, None

    def __init__(self, durable=False):
        self.durable = durable

    # Lifetime ---------------------------------------------------------------

    def start(self):
        self._bin = _bin_dir()
        self.dir = tempfile.mkdtemp(prefix="orvex-pg-")
        if os.geteuid() == 0:
            import pwd
            owner = pwd.getpwnam(RUN_AS)
            os.chown(self.dir, owner.pw_uid, owner.pw_gid)
        data = os.path.join(self.dir, "data")
        try:
            self._run([os.path.join(self._bin, "initdb"), "-D", data, "-U", SUPERUSER, "-A", "trust",
                       "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"])
            # A few tries: another program may take the free port between the check and the start.
            for _ in range(5):
                self.port = _free_port()
                options = "-p %d -k %s -c listen_addresses=127.0.0.1 -c max_connections=200" % (self.port, self.dir)
                # Durable: checkpoints often enough that the log stays small on a shared disk.
                options += " -c max_wal_size=256MB" if self.durable else " -c fsync=off -c shared_buffers=32MB"
                started = self._run([os.path.join(self._bin, "pg_ctl"), "-D", data, "-l",
                                     os.path.join(self.dir, "server.log"), "-o", options, "-w", "-t", "60", "start"],
                                    check=False)
                if started.returncode == 0:
                    return self
            # pg_ctl's own words, then the server's log when it got as far as writing one.
            log = os.path.join(self.dir, "server.log")
            with open(log, encoding="utf-8", errors="replace") if os.path.exists(log) else io.StringIO() as f:
                raise RuntimeError("PostgreSQL did not start:\n" + started.stdout + f.read()[-4000:])
        except Exception:
            self.stop()
            raise

    def stop(self):
        if not self.dir:
            return
        data = os.path.join(self.dir, "data")
        if os.path.exists(os.path.join(data, "postmaster.pid")):
            self._run([os.path.join(self._bin or _bin_dir(), "pg_ctl"), "-D", data, "-m", "immediate", "-w", "-t", "60",
                       "stop"], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # Use --------------------------------------------------------------------

    def psql(self, sql, database="postgres"):
        """Runs SQL through psql as the superuser; its output without headers."""
        result = subprocess.run(
            [os.path.join(self._bin, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
             "-h", self.host, "-p", str(self.port), "-U", self.user, "-d", database, "-c", sql],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            raise RuntimeError("psql failed: %s\n%s" % (sql, result.stderr))
        return result.stdout.strip()

    def create_database(self, prefix="orvex"):
        """A new empty database; its name."""
        name = "%s_%d_%d" % (prefix, os.getpid(), time.monotonic_ns())
        self.psql('CREATE DATABASE "%s"' % name)
        return name

    def _run(self, args, check=True):
        owner = ["runuser", "-u", RUN_AS, "--"] if os.geteuid() == 0 else []
        result = subprocess.run(owner + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                cwd=self.dir)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed:\n%s" % (args[0], result.stdout))
        return result


def from_state_file(path):
    """The cluster a fixture started, to create databases in; None when there is none."""
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
    except OSError:
        return None
    cluster = PgCluster()
    cluster.host, cluster.port, cluster.user, cluster.dir = state["host"], state["port"], state["user"], state["dir"]
    cluster._bin = _bin_dir()
    return cluster


_shared = None


def shared():
    """The cluster CTest's fixture started (ORVEX_PG_CLUSTER), or one of this process's own when run alone, stopped
    at its exit."""
    global _shared
    if _shared is None:
        state = os.environ.get("ORVEX_PG_CLUSTER")
        _shared = from_state_file(state) if state else None
        if _shared is None:
            _shared = PgCluster().start()
            atexit.register(_shared.stop)
    return _shared


class ClusterTestCase(unittest.TestCase):
    """Tests on the shared cluster."""

    @classmethod
    def setUpClass(cls):
        cls.cluster = shared()


def main(argv):
    durable = argv[3:] == ["--durable"] and argv[1] == "start"
    if len(argv) != 3 + durable or argv[1] not in ("start", "stop"):
        print("usage: pgcluster.py start STATEFILE [--durable] | stop STATEFILE", file=sys.stderr)
        return 2
    path = argv[2]
    if argv[1] == "start":
        # A cluster a crashed run left behind goes first.
        old = from_state_file(path)
        if old:
            old.stop()
        cluster = PgCluster(durable).start()
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"host": cluster.host, "port": cluster.port, "user": cluster.user, "dir": cluster.dir}, f)
        print("PostgreSQL on %s:%d in %s" % (cluster.host, cluster.port, cluster.dir))
        return 0
    cluster = from_state_file(path)
    if cluster:
        cluster.stop()
        os.remove(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
