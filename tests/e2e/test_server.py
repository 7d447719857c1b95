"""orvex-server's start and stop: seeded settings, the first backup, restarts, -install, -version;
listeners that follow their port settings."""

import os
import re
import socket
import time
import unittest

from orvexe2e import (DataServer, TcpClient, TempHome, WebSocketClient, accepts, closed, free_port, http_get, read,
                      run, sql, wait_until)
from opce2e import require_node


class FreshHome(unittest.TestCase):
    def setUp(self):
        self.home = TempHome(self)
        self.db_path = os.path.join(self.home.path, "telvan.db")
        self.backup_dir = os.path.join(self.home.path, "backup")

    def query(self, statement, *args):
        return sql(self.db_path, statement, *args)

    def test_first_start_then_a_restart(self):
        server = DataServer(self.home)
        # The first backup's copy: test_backups; its journal entry comes after it.
        self.assertTrue(wait_until(lambda: len(self.query("SELECT message FROM journal WHERE level = 'INFO'")) >= 2))
        anonymous = TcpClient(server.port)
        settings = anonymous.ok("getSettings")
        anonymous.close()
        self.assertEqual(server.stop(), 0, server.output)

        # The seeded settings keep their kinds: bools, numbers, lists, text.
        kinds = {"nodeSystemTypes": ["теплоноситель", "отопление", "ГВС"], "nodeParamNames": [],
                 "calcTailDays": False, "backupEnabled": True, "backupCount": 5, "maxRunningTaskCount": 10,
                 "taskAttemptCount": 3, "taskAttemptInterval": 10, "backupDir": self.backup_dir}
        self.assertEqual(repr({k: settings[k] for k in kinds}), repr(kinds))
        self.assertRegex(settings["lastBackup"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000$")

        # The first backup (the copy itself: test_backups) is journalled once, before the compaction (the server's own
        # entries carry no user: tst_rows).
        messages = [r[0] for r in self.query("SELECT message FROM journal WHERE level = 'INFO' ORDER BY rowid")]
        self.assertEqual(messages[:2], ["Резервное копирование БД", "Сжатие БД"])

        # A restart keeps what is stored and makes no backup before the interval. Registration requests are exact
        # and case-sensitive: these arguments are none.
        self.query("UPDATE settings SET value = 25 WHERE name = 'currentDataCount'")
        server = DataServer(self.home, args=["-Install", "-installx", "install"])
        time.sleep(1)
        self.assertEqual(server.stop(), 0)
        self.assertNotIn("Регистрация OPC-сервера недоступна", server.output)
        self.assertEqual(self.query("SELECT value FROM settings WHERE name = 'currentDataCount'"), [(25,)])
        self.assertEqual(self.query("SELECT count(*) FROM journal WHERE message = 'Резервное копирование БД'"),
                         [(1,)])

    def test_registration_and_versions(self):
        # Each -install and -uninstall is a registration request; the framework's install says how, and does not run.
        done = run("orvex-server", "-install", "-uninstall", "-install", home=self.home)
        self.assertEqual((done.returncode, done.stderr.count("Регистрация OPC-сервера недоступна")), (0, 3))
        self.assertIn("systemd", done.stdout)
        done = run("orvex-server", "-version", home=self.home)
        self.assertEqual(done.returncode, 0, done.stderr)
        cmake = read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt"))
        version = re.search(r"project\(\S+ VERSION (\S+)", cmake).group(1)
        for line in ("Служба: Orvex Data Server", "Описание: Сервер данных ПУ", "Версия: " + version):
            self.assertIn(line, done.stdout.splitlines())


def answers(probe):
    """probe(port) as a predicate: False while nothing (or something else) answers on the port."""
    def answered(port):
        try:
            return probe(port)
        except (OSError, ValueError, IndexError):
            return False
    return answered


def web_socket_answers(port, path="/"):
    ws = WebSocketClient(port, timeout=10, path=path)
    try:
        return ws.ok("getApiVersion") == 2
    finally:
        ws.close()


def logged_in_web_socket(path):
    def connect(port):
        ws = WebSocketClient(port, path=path)
        ws.ok("login", "admin", "tavro")
        return ws.sock
    return connect


def half_sent_call(port):
    """An XML-RPC call whose body never comes."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n<?xml")
    return sock


class PortSettingsTest(unittest.TestCase):
    # The setting, what answers on its port, a client its move must drop (None: none to keep), values refused.
    LISTENERS = [
        ("xPort", lambda p: http_get(p, "/", "OPTIONS")[1].get("access-control-allow-methods") == "POST",
         half_sent_call, ("порт", [8080])),
        ("wsPort", web_socket_answers, logged_in_web_socket("/"), (0, True)),
        # The console's WebSocket clients came through the HTTP port: they go with it.
        ("httpPort", lambda p: http_get(p, "/metrics")[0] == 200, logged_in_web_socket("/rpc"), (65536, 80.5)),
        ("opcPort", accepts, None, (-1, {"port": 4840})),
    ]

    def test_listeners_follow_their_settings(self):
        server = DataServer()
        admin = server.admin()
        # A half-sent call then ends with the move, never with its own time.
        admin.ok("setSetting", "xmlRpcRequestTimeout", 600000)
        moves = []
        for name, probe, client, refused in self.LISTENERS:
            with self.subTest(name):
                if name == "opcPort":
                    require_node()
                first, second = free_port(), free_port()
                while second == first:
                    second = free_port()
                admin.ok("setSetting", name, first)
                self.assertTrue(wait_until(lambda: answers(probe)(first), 60), "%s: nothing on %d" % (name, first))
                kept = client(first) if client else None
                admin.ok("setSetting", name, str(second))
                self.assertTrue(wait_until(lambda: answers(probe)(second), 60), "%s: nothing on %d" % (name, second))
                self.assertTrue(wait_until(lambda: not accepts(first), 60), "%s: %d still open" % (name, first))
                if kept:
                    self.assertTrue(closed(kept, 60), "%s: a client of %d kept" % (name, first))
                for value in refused:
                    self.assertIn(name, admin.error("setSetting", name, value))
                self.assertEqual(admin.ok("getSetting", name), str(second))
                self.assertTrue(answers(probe)(second))
                admin.ok("setSetting", name, None)
                self.assertTrue(wait_until(lambda: not accepts(second), 60), "%s: %d still open" % (name, second))
                moves.append((name, first, second))
        # A port another program holds: the failure is logged, and the same value set again once the port is
        # free opens it.
        with socket.create_server(("127.0.0.1", 0)) as holder:
            taken = holder.getsockname()[1]
            admin.ok("setSetting", "xPort", taken)
            admin.ok("getSetting", "xPort")   # the change has been applied when the next request is answered
        admin.ok("setSetting", "xPort", taken)
        self.assertTrue(wait_until(lambda: answers(self.LISTENERS[0][1])(taken), 60), "xPort: nothing on %d" % taken)
        admin.close()
        self.assertEqual(server.stop(), 0, server.output)
        self.assertIn("Не удалось открыть порт XML-RPC %d" % taken, server.output)
        lines = server.output.splitlines()
        for name, first, second in moves:
            for port in (first, second):
                opened = [line for line in lines if re.search(r"(?<!больше не )слушает.*\b%d\b" % port, line)]
                stopped = [line for line in lines if "больше не слушает порт %d" % port in line]
                self.assertEqual((len(opened), len(stopped)), (1, 1), "%s %d: %s" % (name, port, server.output))
