"""orvex-server end to end: a fresh home folder gets the schema, the seeded
settings and a first backup; settings survive restarts; bad database files
leave the service idle; SIGTERM stops it with exit 0."""

import hashlib
import os
import sqlite3
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import DataServer, TempHome, accepts, binary, free_port, wait_until  # noqa: E402


def stream_text(blob):
    """Reads a variant stream holding one bool or one string list."""
    assert blob[0] == 1, blob  # format version
    if blob[1] == 0x01:
        return bool(blob[2])
    if blob[1] == 0x0C:
        count, pos, items = blob[2], 3, []
        for _ in range(count):
            length = blob[pos] - 1
            items.append(blob[pos + 1:pos + 1 + length].decode())
            pos += 1 + length
        return items
    raise AssertionError("unexpected tag %r" % blob[:4])


class FreshHome(unittest.TestCase):
    def setUp(self):
        self.home = TempHome()
        self.addCleanup(self.home.remove)
        self.db_path = os.path.join(self.home.path, "telvan.db")
        self.backup_dir = os.path.join(self.home.path, "backup")

    def start(self):
        return DataServer(self.home)

    def query(self, sql, *args):
        with sqlite3.connect(self.db_path) as db:
            return db.execute(sql, args).fetchall()

    def test_first_start_creates_everything(self):
        server = self.start()
        self.assertTrue(wait_until(lambda: os.path.isdir(self.backup_dir) and os.listdir(self.backup_dir)))
        self.assertTrue(wait_until(lambda: len(self.query(
            "SELECT message FROM journal WHERE level = 'INFO'")) >= 2))
        self.assertEqual(server.stop(), 0, server.output)

        self.assertEqual(self.query("PRAGMA user_version"), [(7,)])
        tables = [r[0] for r in self.query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        self.assertEqual(tables, sorted(["users", "users_data", "groups", "user_groups", "nodes", "nodes_data",
                                         "setting_data", "journal_data", "check_log", "tasks", "tasks_data",
                                         "journal", "settings"]))
        self.assertEqual(len(self.query("SELECT name FROM sqlite_master WHERE type = 'trigger'")), 10)
        trigger = self.query("SELECT sql FROM sqlite_master WHERE name = 'prevent_delete_admin'")[0][0]
        self.assertEqual(trigger, "CREATE TRIGGER prevent_delete_admin BEFORE DELETE ON users WHEN old.id = 0 "
                                  "BEGIN  SELECT RAISE(ABORT, 'Удаление администратора запрещено'); END")
        tasks = self.query("SELECT sql FROM sqlite_master WHERE name = 'tasks'")[0][0]
        self.assertIn("is_main INTEGET NOT NULL DEFAULT 0", tasks)
        self.assertIn("next_exec DATETIME", tasks)
        node_columns = [r[1] for r in self.query("PRAGMA table_info(nodes)")]
        self.assertEqual(node_columns[-1], "param24")
        self.assertEqual(self.query("SELECT id, login, password FROM users"),
                         [(0, "admin", hashlib.md5(b"tavro").hexdigest())])
        self.assertEqual(self.query("SELECT id, name FROM groups"), [(0, "Общие")])
        self.assertEqual(self.query("SELECT * FROM user_groups"), [])

        settings = dict(self.query("SELECT name, value FROM settings"))
        self.assertEqual(sorted(settings), sorted([
            "nodeSystemTypes", "nodeParamNames", "currentDataCount", "calcTailDays", "daysForCalcTailDays",
            "checkDateReset", "checkTimeDeviation", "maxTimeDeviation", "backupDir", "backupCount",
            "backupEnabled", "backupInterval", "journalDayCount", "compactInterval", "lastBackup", "lastCompact",
            "maxRunningTaskCount", "taskAttemptCount", "taskAttemptInterval"]))
        self.assertEqual(stream_text(settings["nodeSystemTypes"]), ["теплоноситель", "отопление", "ГВС"])
        self.assertEqual(stream_text(settings["nodeParamNames"]), [])
        self.assertIs(stream_text(settings["calcTailDays"]), False)   # a bool stays a bool
        self.assertIs(stream_text(settings["checkDateReset"]), True)
        self.assertIs(stream_text(settings["backupEnabled"]), True)
        for name, value in [("currentDataCount", 10), ("daysForCalcTailDays", 3), ("maxTimeDeviation", 30),
                            ("maxRunningTaskCount", 10), ("taskAttemptCount", 3), ("taskAttemptInterval", 10),
                            ("backupCount", 5), ("backupInterval", 24), ("journalDayCount", 7),
                            ("compactInterval", 24)]:
            self.assertEqual(settings[name], value, name)
        self.assertEqual(settings["backupDir"], os.path.join(self.home.path, "backup"))
        self.assertRegex(settings["lastBackup"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000$")

        copies = os.listdir(self.backup_dir)
        self.assertEqual(len(copies), 1)
        self.assertRegex(copies[0], r"^\d{6}_\d{6}\.db$")
        with sqlite3.connect(os.path.join(self.backup_dir, copies[0])) as copy:
            self.assertEqual(copy.execute("PRAGMA user_version").fetchall(), [(7,)])
        messages = [r[0] for r in self.query("SELECT message FROM journal WHERE level = 'INFO' ORDER BY rowid")]
        self.assertEqual(messages[:2], ["Резервное копирование БД", "Сжатие БД"])
        self.assertEqual(self.query("SELECT count(*) FROM journal WHERE user_id IS NOT NULL"), [(0,)])

    def test_restart_keeps_settings_and_waits_for_the_interval(self):
        server = self.start()
        self.assertTrue(wait_until(lambda: os.path.isdir(self.backup_dir) and os.listdir(self.backup_dir)))
        self.assertEqual(server.stop(), 0)
        with sqlite3.connect(self.db_path) as db:
            db.execute("UPDATE settings SET value = 25 WHERE name = 'currentDataCount'")
        server = self.start()
        time.sleep(1)
        self.assertEqual(server.stop(), 0)
        self.assertEqual(self.query("SELECT value FROM settings WHERE name = 'currentDataCount'"), [(25,)])
        self.assertEqual(len(os.listdir(self.backup_dir)), 1)  # the last backup is recent
        self.assertEqual(self.query("SELECT count(*) FROM journal WHERE message = 'Резервное копирование БД'"),
                         [(1,)])

    def test_bad_database_files_leave_the_service_idle(self):
        def write_garbage():
            with open(self.db_path, "wb") as f:
                f.write(b"this is not a database" * 100)

        def content():
            if os.path.isdir(self.db_path):
                return sorted(os.listdir(self.db_path))
            with open(self.db_path, "rb") as f:
                return f.read()

        cases = {"not sqlite": write_garbage, "a folder": lambda: os.mkdir(self.db_path)}
        for name, make in cases.items():
            if os.path.isdir(self.db_path):
                os.rmdir(self.db_path)
            elif os.path.exists(self.db_path):
                os.remove(self.db_path)
            make()
            before = content()
            port = free_port()
            server = DataServer(self.home, port, wait=False)
            time.sleep(1.5)
            self.assertIsNone(server.proc.poll(), name)    # stays up
            self.assertFalse(accepts(port), name)           # but opens no listener
            self.assertEqual(server.stop(), 0, name)
            self.assertIn("ERROR", server.output, name)
            self.assertEqual(content(), before, name)

    def test_newer_schema_is_kept(self):
        with sqlite3.connect(self.db_path) as db:
            db.execute("CREATE TABLE future (x)")
            db.execute("PRAGMA user_version = 9")
        server = self.start()
        self.assertEqual(server.stop(), 0)
        self.assertEqual(self.query("PRAGMA user_version"), [(9,)])
        self.assertIn("9", server.output)


    def test_opc_registration_arguments(self):
        opc = "Регистрация OPC-сервера недоступна"
        run = subprocess.run([binary("orvex-server"), "-install", "-uninstall", "-install"], env=self.home.env(),
                             capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0)                 # the framework's install: says how, does not run
        self.assertEqual(run.stderr.decode().count(opc), 3)
        self.assertIn("systemd", run.stdout.decode())
        # Exact and case-sensitive: these are not registration requests.
        server = DataServer(self.home, args=["-Install", "-installx", "install"])
        self.assertEqual(server.stop(), 0)
        self.assertNotIn(opc, server.output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
