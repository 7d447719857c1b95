"""orvex-server's start and stop: seeded settings, the first backup, restarts, a bad database, -install."""

import os
import subprocess
import time
import unittest

from orvexe2e import DataServer, TcpClient, TempHome, accepts, binary, free_port, sql, wait_until


class FreshHome(unittest.TestCase):
    def setUp(self):
        self.home = TempHome()
        self.addCleanup(self.home.remove)
        self.db_path = os.path.join(self.home.path, "telvan.db")
        self.backup_dir = os.path.join(self.home.path, "backup")

    def query(self, statement, *args):
        return sql(self.db_path, statement, *args)

    def test_first_start_creates_everything(self):
        server = DataServer(self.home)
        self.assertTrue(wait_until(lambda: os.path.isdir(self.backup_dir) and os.listdir(self.backup_dir)))
        self.assertTrue(wait_until(lambda: len(self.query("SELECT message FROM journal WHERE level = 'INFO'")) >= 2))
        anonymous = TcpClient(server.port)
        settings = anonymous.ok("getSettings")
        anonymous.close()
        self.assertEqual(server.stop(), 0, server.output)

        # The seeded settings keep their kinds: bools, numbers, lists, text.
        self.assertEqual(sorted(settings), sorted([
            "nodeSystemTypes", "nodeParamNames", "currentDataCount", "calcTailDays", "daysForCalcTailDays",
            "checkDateReset", "checkTimeDeviation", "maxTimeDeviation", "backupDir", "backupCount",
            "backupEnabled", "backupInterval", "journalDayCount", "compactInterval", "lastBackup", "lastCompact",
            "maxRunningTaskCount", "taskAttemptCount", "taskAttemptInterval", "xmlRpcLowerCaseDateTime",
            "xmlRpcRequestTimeout"]))
        kinds = {"nodeSystemTypes": ["теплоноситель", "отопление", "ГВС"], "nodeParamNames": [],
                 "calcTailDays": False, "backupEnabled": True, "backupCount": 5, "maxRunningTaskCount": 10,
                 "taskAttemptCount": 3, "taskAttemptInterval": 10, "backupDir": self.backup_dir}
        self.assertEqual(repr({k: settings[k] for k in kinds}), repr(kinds))
        self.assertRegex(settings["lastBackup"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000$")

        self.assertEqual(len(os.listdir(self.backup_dir)), 1)   # the copy itself: test_backups
        messages = [r[0] for r in self.query("SELECT message FROM journal WHERE level = 'INFO' ORDER BY rowid")]
        self.assertEqual(messages[:2], ["Резервное копирование БД", "Сжатие БД"])
        self.assertEqual(self.query("SELECT count(*) FROM journal WHERE user_id IS NOT NULL"), [(0,)])

    def test_restart_keeps_settings_and_waits_for_the_interval(self):
        server = DataServer(self.home)
        self.assertTrue(wait_until(lambda: os.path.isdir(self.backup_dir) and os.listdir(self.backup_dir)))
        self.assertEqual(server.stop(), 0)
        self.query("UPDATE settings SET value = 25 WHERE name = 'currentDataCount'")
        server = DataServer(self.home)
        time.sleep(1)
        self.assertEqual(server.stop(), 0)
        self.assertEqual(self.query("SELECT value FROM settings WHERE name = 'currentDataCount'"), [(25,)])
        self.assertEqual(len(os.listdir(self.backup_dir)), 1)  # the last backup is recent
        self.assertEqual(self.query("SELECT count(*) FROM journal WHERE message = 'Резервное копирование БД'"),
                         [(1,)])

    def test_unusable_database_leaves_the_service_idle(self):
        os.mkdir(self.db_path)              # a folder where the file should be
        port = free_port()
        server = DataServer(self.home, port, wait=False)
        time.sleep(1.5)
        self.assertEqual((server.proc.poll(), accepts(port)), (None, False))   # stays up, but opens no listener
        self.assertEqual(server.stop(), 0)
        self.assertIn("ERROR", server.output)
        self.assertEqual(os.listdir(self.db_path), [])

    def test_opc_registration_arguments(self):
        opc = "Регистрация OPC-сервера недоступна"
        run = subprocess.run([binary("orvex-server"), "-install", "-uninstall", "-install"], env=self.home.env(),
                             capture_output=True, timeout=60)
        # The framework's install says how, and does not run.
        self.assertEqual((run.returncode, run.stderr.decode().count(opc)), (0, 3))
        self.assertIn("systemd", run.stdout.decode())
        # Exact and case-sensitive: these are not registration requests.
        server = DataServer(self.home, args=["-Install", "-installx", "install"])
        self.assertEqual(server.stop(), 0)
        self.assertNotIn(opc, server.output)
