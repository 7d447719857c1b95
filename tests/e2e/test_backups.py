"""Backups: copies killed at random, -verify-backups, -restore, clients served meanwhile, a bad folder."""

import contextlib
import os
import random
import re
import signal
import sqlite3
import time
import unittest

from orvexe2e import DataServer, TcpClient, TempHome, dt, journal, new_node, run, sha256, sql, wait_until

COPY_NAME = re.compile(r"^\d{6}_\d{6}\.db$")


def copies(folder):
    return sorted(n for n in os.listdir(folder) if COPY_NAME.match(n))


def copying(folder):
    return any(n.endswith(".part") for n in os.listdir(folder))


def check_copy(path):
    """quick_check, schema version, tables and node count of a copy, read-only."""
    tables = {r[0] for r in sql(path, "SELECT name FROM sqlite_master WHERE type = 'table'", readonly=True)}
    return (sql(path, "PRAGMA quick_check", readonly=True)[0][0], sql(path, "PRAGMA user_version", readonly=True)[0][0],
            tables, sql(path, "SELECT count(*) FROM nodes", readonly=True)[0][0])


class Home:
    """A home folder whose server is started and stopped by the test."""

    def __init__(self, test, pause_ms=None):
        self.test = test
        self.home = TempHome(test)
        self.pause_ms = pause_ms
        self.db_path = os.path.join(self.home.path, "telvan.db")
        self.backup_dir = os.path.join(self.home.path, "backup")

    def start(self):
        fresh = not os.path.exists(self.db_path)
        pause = {} if self.pause_ms is None else {"ORVEX_BACKUP_STEP_PAUSE_MS": str(self.pause_ms)}
        server = DataServer(self.home, env=pause)
        # Not left running when a test fails half-way.
        self.test.addCleanup(lambda: server.proc.poll() is None and server.stop(signal.SIGKILL))
        # A new home gets its first copy at once; a backup asked for meanwhile would be refused,
        # and a lastBackup set meanwhile would be overwritten when the copy ends.
        if fresh:
            self.test.assertTrue(wait_until(self.last_backup))
        return server

    def last_backup(self):
        return sql(self.db_path, "SELECT value FROM settings WHERE name = 'lastBackup'", readonly=True)

    def fill(self, megabytes):
        """Journal rows of about `megabytes`."""
        with contextlib.closing(sqlite3.connect(self.db_path)) as db, db:
            db.executemany("INSERT INTO journal (ctime, level, message) VALUES (?, 'INFO', ?)",
                           [("%s.000" % time.strftime("%Y-%m-%dT%H:%M:%S"), "Ж" * 500)] * (megabytes * 1000))


class BackupTest(unittest.TestCase):
    def test_a_killed_copy_never_costs_a_good_one(self):
        home = Home(self, pause_ms=25)
        server = home.start()
        admin = server.admin()
        for _ in range(3):
            new_node(admin)
        admin.ok("setSetting", "backupCount", 100)
        home.fill(6)   # beside the running server: WAL mode lets it write
        # Two good copies before the interruptions: the one made at start, then one asked for (a copy within the
        # same second takes the next one's name).
        self.assertTrue(wait_until(lambda: len(copies(home.backup_dir)) == 1 and not copying(home.backup_dir)))
        self.assertIs(admin.ok("backupDatabase"), True)
        self.assertEqual(server.stop(), 0, server.output)
        ref = check_copy(home.db_path)[:3]   # a copy is checked against its file: quick_check, schema and tables
        good = {name: sha256(os.path.join(home.backup_dir, name)) for name in copies(home.backup_dir)}
        self.assertEqual(len(good), 2)

        cut_short = 0
        for _ in range(12):
            server = home.start()
            client = TcpClient(server.port)
            client.send("backupDatabase")
            time.sleep(random.uniform(0.0, 0.4))
            server.stop(signal.SIGKILL)
            client.close()
            cut_short += copying(home.backup_dir)
            for name in copies(home.backup_dir):
                self.assertEqual(check_copy(os.path.join(home.backup_dir, name))[:3], ref, name)
        self.assertGreater(cut_short, 0, "no kill landed during a copy")

        self.assertEqual({name: sha256(os.path.join(home.backup_dir, name)) for name in good}, good)
        # The next start clears what the last kill left.
        server = home.start()
        self.assertEqual(server.stop(), 0, server.output)
        self.assertFalse([n for n in os.listdir(home.backup_dir) if not COPY_NAME.match(n)])
        self.assertEqual(sql(home.db_path, "PRAGMA integrity_check"), [("ok",)])

        report = run("orvex-server", "-verify-backups", home=home.home)
        self.assertEqual(report.returncode, 0, report.stdout + report.stderr)
        lines = [line.split() for line in report.stdout.splitlines() if COPY_NAME.match(line.split()[0])]
        self.assertEqual(sorted(line[0] for line in lines), copies(home.backup_dir))
        for line in lines:   # name, date, time, size, version, nodes, verdict
            path = os.path.join(home.backup_dir, line[0])
            self.assertEqual(line[3:7], [str(os.path.getsize(path)), str(ref[1]), str(check_copy(path)[3]), "исправна"])

    # What a restore checks and keeps: tst_backup; here the command line and the running service.
    def test_restore_into_a_stopped_home(self):
        home = Home(self)
        server = home.start()
        admin = server.admin()
        new_node(admin, name="Из копии")
        self.assertIs(admin.ok("backupDatabase"), True)
        copy = os.path.join(home.backup_dir, copies(home.backup_dir)[-1])
        new_node(admin, name="После копии")
        refused = run("orvex-server", "-restore", copy, home=home.home)
        self.assertEqual((refused.returncode, "Служба «Orvex Data Server» работает" in refused.stderr), (1, True))
        self.assertEqual(server.stop(), 0, server.output)
        before = sha256(home.db_path)
        self.assertEqual(run("orvex-server", "-restore", home=home.home).returncode, 2)

        done = run("orvex-server", "-restore", copy, home=home.home)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        kept = re.search(r"Прежняя БД сохранена как (\S+)\.$", done.stdout, re.M).group(1)
        self.assertEqual(sha256(kept), before)
        server = home.start()
        self.assertEqual([n["name"] for n in server.admin().rows("getNodes")], ["Из копии"])
        self.assertEqual(server.stop(), 0, server.output)

    def test_other_clients_are_served(self):
        home = Home(self, pause_ms=150)
        server = home.start()
        home.fill(4)
        asker, other = server.admin(), server.admin()
        backup_id = asker.send("backupDatabase")
        after_id = asker.send("getVersion")   # answered after the backup, in order
        self.assertTrue(wait_until(lambda: copying(home.backup_dir), 10))
        # Served meanwhile (writes during a copy, a second backup refused: tst_backup).
        self.assertTrue(other.ok("getVersion"))
        self.assertTrue(copying(home.backup_dir), "the copy ended before the other client was served")
        reply = asker.read()
        self.assertEqual((reply["id"], reply.get("result")), (backup_id, True), reply)
        self.assertEqual(asker.read()["id"], after_id)
        # Sent as a notification, a backup ends without a reply.
        asker.send_text('{"jsonrpc":"2.0","method":"backupDatabase"}')
        after_id = asker.send("getVersion")
        self.assertEqual(asker.read()["id"], after_id)

        # A client that leaves before its backup ends does no harm.
        quitter = TcpClient(server.port)
        quitter.send("backupDatabase")
        quitter.close()
        self.assertTrue(wait_until(lambda: other.call("backupDatabase").get("result") is True, 60, 0.2))
        self.assertEqual(server.stop(), 0, server.output)

    def test_a_folder_that_cannot_be_made_gives_an_error_and_a_retry(self):
        home = Home(self)
        server = home.start()
        admin = server.admin()
        blocker = os.path.join(home.home.path, "plain.txt")
        open(blocker, "w").close()
        admin.ok("setSetting", "backupDir", os.path.join(blocker, "backup"))
        admin.ok("setSetting", "lastBackup", dt("2000-01-01T00:00:00.000"))
        message = "Ошибка создания каталога резервных копий: " + os.path.join(blocker, "backup")
        self.assertEqual(admin.error("backupDatabase"), message)
        self.assertEqual(server.stop(), 0, server.output)

        # The first tick after start finds the backup due and fails.
        server = home.start()
        admin = server.admin()
        self.assertTrue(wait_until(lambda: ("ERROR", message) in [(e["level"], e["message"]) for e in journal(admin)],
                                   10))
        # lastBackup stays, so the next tick tries again.
        self.assertEqual(admin.ok("getSetting", "lastBackup"), "2000-01-01T00:00:00.000")
        self.assertEqual(server.stop(), 0, server.output)
