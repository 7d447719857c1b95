"""Backups end to end: copies killed at random, -verify-backups, -restore,
clients served during a copy, a folder that cannot be made."""

import hashlib
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import DataServer, TcpClient, TempHome, binary, dt, journal, rows, wait_until  # noqa: E402

COPY_NAME = re.compile(r"^\d{6}_\d{6}\.db$")
TABLES = {"users", "users_data", "groups", "user_groups", "nodes", "nodes_data", "setting_data", "journal_data",
          "check_log", "tasks", "tasks_data", "journal", "settings"}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def copies(folder):
    return sorted(n for n in os.listdir(folder) if COPY_NAME.match(n))


def check_copy(path):
    """quick_check, schema version, tables and node count of a copy, read-only."""
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
        found = (db.execute("PRAGMA quick_check").fetchone()[0], db.execute("PRAGMA user_version").fetchone()[0],
                 {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")},
                 db.execute("SELECT count(*) FROM nodes").fetchone()[0])
    db.close()
    return found


def tool(home, *args):
    return subprocess.run([binary("orvex-server")] + list(args), env=home.env(), capture_output=True, text=True,
                          timeout=120)


class Home:
    """A home folder whose server is started and stopped by the test."""

    def __init__(self, test, pause_ms=None):
        self.test = test
        self.home = TempHome()
        test.addCleanup(self.home.remove)
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
        with sqlite3.connect("file:%s?mode=ro" % self.db_path, uri=True) as db:
            found = db.execute("SELECT value FROM settings WHERE name = 'lastBackup'").fetchone()
        db.close()
        return found

    def fill(self, megabytes):
        """Journal rows of about `megabytes`."""
        with sqlite3.connect(self.db_path) as db:
            text = "Ж" * 500
            db.executemany("INSERT INTO journal (ctime, level, message) VALUES (?, 'INFO', ?)",
                           [("%s.000" % time.strftime("%Y-%m-%dT%H:%M:%S"), text)] * (megabytes * 1000))
        db.close()


class BackupTest(unittest.TestCase):
    def test_a_killed_copy_never_costs_a_good_one(self):
        home = Home(self, pause_ms=25)
        server = home.start()
        admin = server.admin()
        for number in (1, 2, 3):
            admin.ok("saveNode", {"model_code": "QRV5", "model_name": "ТВ-5", "number": number})
        admin.ok("setSetting", "backupCount", 100)
        home.fill(6)   # beside the running server: WAL mode lets it write
        # Two good copies before the interruptions, a second apart so their names differ.
        time.sleep(1.1)
        self.assertIs(admin.ok("backupDatabase"), True)
        self.assertEqual(server.stop(), 0, server.output)
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
            cut_short += any(n.endswith(".part") for n in os.listdir(home.backup_dir))
            for name in copies(home.backup_dir):
                self.assertEqual(check_copy(os.path.join(home.backup_dir, name))[:3], ("ok", 7, TABLES), name)
        self.assertGreater(cut_short, 0, "no kill landed during a copy")

        for name, digest in good.items():
            self.assertEqual(sha256(os.path.join(home.backup_dir, name)), digest, name)
        # The next start clears what the last kill left.
        server = home.start()
        self.assertEqual(server.stop(), 0, server.output)
        self.assertFalse([n for n in os.listdir(home.backup_dir) if not COPY_NAME.match(n)])
        with sqlite3.connect(home.db_path) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        db.close()

        report = tool(home.home, "-verify-backups")
        self.assertEqual(report.returncode, 0, report.stdout + report.stderr)
        lines = [line.split() for line in report.stdout.splitlines() if COPY_NAME.match(line.split()[0])]
        self.assertEqual(sorted(line[0] for line in lines), copies(home.backup_dir))
        for line in lines:   # name, date, time, size, version, nodes, verdict
            path = os.path.join(home.backup_dir, line[0])
            self.assertEqual(line[3:7], [str(os.path.getsize(path)), "7", str(check_copy(path)[3]), "исправна"])
        self.assertEqual(line[5], "3")

    # What a restore checks and keeps: tst_backup; here the command line and the running service.
    def test_restore_into_a_stopped_home(self):
        home = Home(self)
        server = home.start()
        admin = server.admin()
        admin.ok("saveNode", {"model_code": "QRV5", "model_name": "ТВ-5", "number": 1, "name": "Из копии"})
        self.assertIs(admin.ok("backupDatabase"), True)
        copy = os.path.join(home.backup_dir, copies(home.backup_dir)[-1])
        admin.ok("saveNode", {"model_code": "QRV5", "model_name": "ТВ-5", "number": 2, "name": "После копии"})
        refused = tool(home.home, "-restore", copy)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("Служба «Orvex Data Server» работает", refused.stderr)
        self.assertEqual(server.stop(), 0, server.output)
        before = sha256(home.db_path)
        self.assertEqual(tool(home.home, "-restore").returncode, 2)

        done = tool(home.home, "-restore", copy)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        kept = re.search(r"Прежняя БД сохранена как (\S+)\.$", done.stdout, re.M).group(1)
        self.assertEqual(sha256(kept), before)
        server = home.start()
        admin = server.admin()
        self.assertEqual([n["name"] for n in rows(admin.ok("getNodes"))], ["Из копии"])
        self.assertEqual(server.stop(), 0, server.output)

    def test_other_clients_are_served_and_a_second_backup_is_refused(self):
        home = Home(self, pause_ms=150)
        server = home.start()
        home.fill(4)
        asker = server.admin()
        other = server.admin()

        def copying():
            return any(n.endswith(".part") for n in os.listdir(home.backup_dir))

        backup_id = asker.send("backupDatabase")
        after_id = asker.send("getVersion")   # answered after the backup, in order
        self.assertTrue(wait_until(copying, 10))
        self.assertTrue(other.ok("getVersion"))
        other.ok("setSetting", "note", "во время копии")   # writes go on too
        self.assertEqual(other.error("backupDatabase"),
                         "Резервное копирование уже выполняется: дождитесь его окончания")
        self.assertTrue(copying(), "the copy ended before the other client was served")
        reply = asker.read()
        self.assertEqual((reply["id"], reply.get("result")), (backup_id, True), reply)
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
        folder = os.path.join(blocker, "backup")
        admin.ok("setSetting", "backupDir", folder)
        admin.ok("setSetting", "lastBackup", dt("2000-01-01T00:00:00.000"))
        self.assertEqual(admin.error("backupDatabase"), "Ошибка создания каталога резервных копий: " + folder)
        self.assertEqual(server.stop(), 0, server.output)

        # The first tick after start finds the backup due and fails.
        server = home.start()
        admin = server.admin()
        message = "Ошибка создания каталога резервных копий: " + folder

        def logged():
            return [e for e in journal(admin) if e["level"] == "ERROR" and e["message"] == message]
        self.assertTrue(wait_until(logged, 10))
        # lastBackup stays, so the next tick tries again.
        self.assertEqual(admin.ok("getSetting", "lastBackup"), "2000-01-01T00:00:00.000")
        self.assertEqual(server.stop(), 0, server.output)


if __name__ == "__main__":
    unittest.main()
