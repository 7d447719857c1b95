"""The client command API over the wire against the real orvex-server:
sessions and rights, users and groups, nodes and their visibility, change
events, settings, the journal, restart requests and bad input."""

import os
import socket
import sqlite3
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import DataServer, ServerTestCase, TcpClient, binary, rows, wait_until  # noqa: E402

REFUSED = "Недостаточно прав для выполнения команды"

# Every guarded command with parameters that would otherwise be accepted.
GUARDED = [
    ("setSetting", ["x", 1]), ("clearJournal", []), ("backupDatabase", []), ("restartServer", []),
    ("getUsers", []), ("getUser", [0]), ("getUserData", [0]), ("saveUser", [{"login": "z", "password": "z"}]),
    ("removeUser", [99]), ("getUserAccess", [0]), ("setUserAccess", [99, []]), ("getUserGroups", [0]),
    ("setUserGroups", [99, [0]]), ("saveGroup", [{"name": "zz"}]), ("removeGroup", [99]),
    ("saveNode", [{"model_code": "QRV5", "number": 1}]), ("setNodeGroup", [99, 0]), ("removeNode", [99]),
    ("exportNode", [1]), ("importNode", [{}]), ("getCheckParams", [1]), ("setCheckParams", [1, {}]),
    ("checkArchives", [1]), ("clearCheckLog", [1]), ("saveArchives", [{}]), ("clearArchives", [1]),
    ("saveTask", [{}]), ("setTaskGroup", [1, 1]), ("removeTask", [1]), ("startTask", [1]), ("cancelTask", [1]),
    ("monitorAppend", [[1]]),
]


Client = TcpClient


class ApiTest(ServerTestCase):
    def make_user(self, login, access=(), groups=None, password="pw"):
        record = {"login": login, "password": password, "fio": login.upper(), "access": list(access)}
        if groups is not None:
            record["groups"] = list(groups)
        return self.admin().ok("saveUser", record)

    def make_node(self, c, number, group=None, **extra):
        record = {"model_code": "QRV5", "model_name": "ТВ-5", "number": number}
        if group is not None:
            record["group_id"] = group
        record.update(extra)
        return c.ok("saveNode", record)

    # --- sessions and rights --------------------------------------------------

    def test_versions_and_unrestricted_clients(self):
        anonymous = self.client()
        self.assertEqual(anonymous.ok("getVersion"), "1.2.7")
        self.assertEqual(anonymous.ok("getDbVersion"), 7)
        self.assertEqual(anonymous.ok("getApiVersion"), 2)
        # Anonymous connections and the administrator may do everything.
        group = anonymous.ok("saveGroup", {"name": "Аноним"})
        self.assertGreater(group, 0)
        self.assertEqual(anonymous.ok("removeGroup", group), group)
        self.assertEqual(self.admin().ok("getUserAccess", 0)[-1], "allowAll")

    def test_login_rules(self):
        self.make_user("twice")
        c = self.client("twice", "pw")
        self.assertEqual(c.error("login", "twice", "pw"), "Вы уже авторизованы")
        other = self.client()
        self.assertEqual(other.error("login", "twice", "wrong"), "Ошибка авторизации")
        self.assertTrue(other.error("login"))             # no parameters: refused, nothing read
        self.assertTrue(other.error("login", "twice"))
        result = other.ok("login", "twice", "pw")
        self.assertEqual(result["login"], "twice")
        self.assertEqual(result["access"], [])
        self.assertEqual(result["password"], "")           # the digest stays on the server
        admin = self.client()
        self.assertEqual(admin.ok("login", "admin", "tavro")["access"][-1], "allowAll")

    def test_empty_access_list_is_refused_every_guarded_command(self):
        self.make_user("nobody", access=[])
        c = self.client("nobody", "pw")
        for method, params in GUARDED:
            self.assertEqual(c.error(method, *params), REFUSED, method)
        # Readers need no right.
        for method, params in [("getGroups", []), ("getNodes", []), ("getGroup", [0]), ("getNode", [1]),
                               ("getSettings", []), ("getSetting", ["backupCount"]), ("takeChangeEvents", []),
                               ("getJournal", [{"$datetime": "2000-01-01T00:00:00.000"},
                                               {"$datetime": "2100-01-01T00:00:00.000"}]),
                               ("getVersion", []), ("logout", [])]:
            c.ok(method, *params)

    def test_sibling_rights(self):
        self.make_user("reader", access=["getUsers"])
        reader = self.client("reader", "pw")
        for method in ("getUser", "getUserData", "getUserAccess", "getUserGroups"):
            reader.ok(method, 0)
        reader.ok("getUsers")
        self.assertEqual(reader.error("setUserAccess", 0, []), REFUSED)

        uid = self.make_user("saver", access=["saveUser", "saveNode", "saveTask", "setSetting"])
        saver = self.client("saver", "pw")
        self.assertEqual(saver.ok("setUserAccess", uid, ["saveUser"]), uid)
        self.assertEqual(saver.ok("setUserGroups", uid, [0]), uid)
        node = self.make_node(saver, 501)
        self.assertEqual(saver.ok("setNodeGroup", node, 0), node)
        self.assertIs(saver.ok("setTaskGroup", 999999, 1), False)   # allowed; no such task, so a plain false
        self.assertNotEqual(saver.error("restartServer"), REFUSED)        # allowed; no monitor listens
        self.assertEqual(saver.error("getUsers"), REFUSED)
        self.assertEqual(saver.error("removeNode", node), REFUSED)

        self.make_user("journalist", access=["clearJournal"])
        self.assertEqual(self.client("journalist", "pw").error("restartServer"), REFUSED)

    # --- users and groups ------------------------------------------------------

    def test_save_user_with_and_without_password(self):
        uid = self.make_user("pat", password="first")
        admin = self.admin()
        self.assertEqual(admin.ok("saveUser", {"id": uid, "note": "без пароля"}), uid)
        self.client("pat", "first")                         # the old password still works
        self.assertEqual(admin.ok("saveUser", {"id": uid, "password": "second"}), uid)
        self.assertEqual(self.client().error("login", "pat", "first"), "Ошибка авторизации")
        self.client("pat", "second")
        data = admin.ok("getUserData", uid)
        self.assertEqual((data["note"], data["groups"], data["access"]), ("без пароля", [0], []))
        self.assertEqual(admin.ok("getUserData", 4242), {})
        # The administrator's rights and groups are never written.
        self.assertEqual(admin.ok("saveUser", {"id": 0, "fio": "Администратор", "access": [], "groups": []}), 0)
        self.assertEqual(admin.ok("getUserAccess", 0), ["allowAll"])
        # Duplicate logins and missing passwords write nothing.
        before = len(rows(admin.ok("getUsers")))
        self.assertIn("UNIQUE", admin.error("saveUser", {"login": "pat", "password": "x"}))
        self.assertTrue(admin.error("saveUser", {"login": "nopass"}))
        self.assertEqual(len(rows(admin.ok("getUsers"))), before)

    def test_group_visibility(self):
        admin = self.admin()
        a = admin.ok("saveGroup", {"name": "Видимая"})
        b = admin.ok("saveGroup", {"name": "Чужая"})
        node_a = self.make_node(admin, 601, a)
        node_b = self.make_node(admin, 602, b)
        self.make_user("viewer", access=["saveNode", "removeNode", "saveGroup"], groups=[0, a])
        viewer = self.client("viewer", "pw")
        self.assertEqual([g["name"] for g in rows(viewer.ok("getGroups"))], ["Видимая", "Общие"])
        self.assertEqual(viewer.ok("getGroup", b), {})
        self.assertEqual(viewer.ok("getNode", node_b), {})
        self.assertEqual(viewer.ok("getNode", node_a)["id"], node_a)
        self.assertEqual({n["id"] for n in rows(viewer.ok("getNodes"))} & {node_a, node_b}, {node_a})
        self.assertEqual(viewer.error("removeNode", node_b), REFUSED)
        self.assertEqual(viewer.error("setNodeGroup", node_a, b), REFUSED)
        self.assertEqual(viewer.error("saveNode", {"id": node_b, "note": "x"}), REFUSED)
        self.assertEqual(viewer.error("saveGroup", {"id": b, "name": "Моя"}), REFUSED)
        self.assertEqual(viewer.ok("setNodeGroup", node_a, 0), node_a)
        # A restricted user sees the group it creates at once.
        mine = viewer.ok("saveGroup", {"name": "Своя"})
        self.assertIn("Своя", [g["name"] for g in rows(viewer.ok("getGroups"))])
        self.assertEqual(viewer.ok("getGroup", mine)["name"], "Своя")

    def test_empty_group_list_hides_everything(self):
        admin = self.admin()
        self.make_node(admin, 701)
        uid = self.make_user("hermit")
        self.assertEqual(admin.ok("setUserGroups", uid, []), uid)
        self.assertEqual(admin.ok("getUserGroups", uid), [])
        hermit = self.client("hermit", "pw")
        self.assertEqual(rows(hermit.ok("getGroups")), [])
        self.assertEqual(rows(hermit.ok("getNodes")), [])

    def test_remove_group_raises_events_in_order(self):
        admin = self.admin()
        watcher = self.admin()
        group = admin.ok("saveGroup", {"name": "Удаляемая"})
        nodes = [self.make_node(admin, 801, group), self.make_node(admin, 802, group)]
        with sqlite3.connect(self.server.db_path, timeout=30) as db:
            tasks = [db.execute("INSERT INTO tasks (node_id, channel_code) VALUES (?, 'COM')", (n,)).lastrowid
                     for n in (nodes[0], nodes[0], nodes[1])]
        watcher.ok("takeChangeEvents")
        self.assertEqual(admin.ok("removeGroup", group), group)
        events = watcher.ok("takeChangeEvents")
        self.assertEqual(events["groupRemoved"], [group])
        self.assertEqual(events["nodeRemoved"], nodes)
        self.assertEqual(events["taskRemoved"], tasks)
        self.assertEqual(watcher.ok("getNode", nodes[0]), {})
        self.assertIn("Удаление общей группы запрещено", admin.error("removeGroup", 0))

    def test_change_events_are_deduplicated_and_taken_once(self):
        admin = self.admin()
        node = self.make_node(admin, 901)
        watcher = self.admin()
        watcher.ok("takeChangeEvents")
        admin.ok("saveNode", {"id": node, "note": "1"})
        admin.ok("saveNode", {"id": node, "note": "2"})
        self.assertEqual(watcher.ok("takeChangeEvents").get("nodeSaved"), [node])
        self.assertEqual(watcher.ok("takeChangeEvents"), {})
        admin.ok("saveNode", {"id": node, "note": "3"})
        watcher.ok("logout")
        self.assertEqual(watcher.ok("takeChangeEvents"), {})      # anonymous sessions collect nothing
        watcher.ok("login", "admin", "tavro")
        admin.ok("saveGroup", {"name": "Событийная"})
        events = watcher.ok("takeChangeEvents")
        self.assertNotIn("nodeSaved", events)                      # raised before the new login
        self.assertEqual(len(events["groupSaved"]), 1)
        self.assertNotIn("userSaved", events)

    # --- nodes -----------------------------------------------------------------

    def test_node_save_rules(self):
        admin = self.admin()
        node = self.make_node(admin, 12)
        record = admin.ok("getNode", node)
        self.assertEqual((record["name"], record["group_id"]), ("ТВ-5 №00000012", 0))
        self.assertEqual((record["has_archives"], record["has_report_data"], record["read_error"]), (0, 0, None))
        # The same model and number update the known node instead of adding one.
        self.assertEqual(admin.ok("saveNode", {"model_code": "QRV5", "number": 12, "note": "повтор"}), node)
        self.assertEqual(admin.ok("getNode", node)["name"], "ТВ-5 №00000012")
        self.assertEqual(admin.ok("saveNode", {"id": node, "consumer": "Школа №3"}), node)
        record = admin.ok("getNode", node)
        self.assertEqual((record["note"], record["consumer"]), ("повтор", "Школа №3"))
        self.assertIn("Данные не соответствуют узлу", admin.error("saveNode", {"id": node, "number": 13}))
        self.assertTrue(admin.error("saveNode", {"model_code": "QRV5"}))      # no number
        self.assertEqual(admin.error("saveNode", {"id": 99999, "note": "x"}), REFUSED)

    def test_remove_node_journals_its_former_group(self):
        admin = self.admin()
        group = admin.ok("saveGroup", {"name": "Журнальная"})
        node = self.make_node(admin, 1001, group)
        self.assertEqual(admin.ok("removeNode", node), node)
        journal = rows(admin.ok("getJournal", {"$datetime": "2000-01-01T00:00:00.000"},
                                {"$datetime": "2100-01-01T00:00:00.000"}))
        entry = [e for e in journal if e["message"] == "Удаление узла"][-1]
        self.assertEqual((entry["group_name"], entry["node_name"], entry["user"]), ("Журнальная", None, "admin"))

    # --- settings, journal, restart -------------------------------------------

    def test_settings_keep_their_types(self):
        admin = self.admin()
        values = {"flag": False, "count": 42, "ratio": 2.5, "text": "Котельная", "list": [1, "два"],
                  "checking": {"$datetime": "2024-05-01T10:00:00.000"}, "map": {"a": [True]}}
        for name, value in values.items():
            self.assertIs(admin.ok("setSetting", name, value), True)
        for name, value in values.items():
            self.assertEqual(admin.ok("getSetting", name), value, name)
        self.assertIs(admin.ok("getSetting", "flag"), False)
        # Date-times are stored as text; only names of date-time columns read back as date-times.
        admin.ok("setSetting", "stamp", {"$datetime": "2024-05-01T10:00:00.000"})
        self.assertEqual(admin.ok("getSetting", "stamp"), "2024-05-01T10:00:00.000")
        self.assertEqual(admin.ok("getSettings")["count"], 42)
        self.assertTrue(admin.error("getSetting", "noSuchSetting"))
        self.assertTrue(admin.error("getSetting"))                 # wrong parameter count
        self.assertEqual(admin.ok("getSetting", "backupCount"), 5)

    def test_journal_order_and_removed_users(self):
        admin = self.admin()
        uid = self.make_user("leaver", access=["saveNode", "removeNode"])
        leaver = self.client("leaver", "pw")
        first = self.make_node(leaver, 1101)
        second = self.make_node(leaver, 1102)
        leaver.ok("removeNode", first)
        leaver.ok("removeNode", second)
        self.assertEqual(admin.ok("removeUser", uid), uid)
        journal = rows(admin.ok("getJournal", {"$datetime": "2000-01-01T00:00:00.000"},
                                {"$datetime": "2100-01-01T00:00:00.000"}))
        self.assertEqual([e["ctime"]["$datetime"] for e in journal],
                         sorted(e["ctime"]["$datetime"] for e in journal))
        removals = [e for e in journal if e["message"] == "Удаление узла" and e["group_name"] == "Общие"]
        self.assertGreaterEqual(len(removals), 2)
        self.assertIsNone(removals[-1]["user"])                    # the user is gone, the entry stays
        self.assertEqual(rows(admin.ok("getJournal", {"$datetime": "2100-01-01T00:00:00.000"},
                                       {"$datetime": "2000-01-01T00:00:00.000"})), [])
        self.assertIn("Удаление администратора запрещено", admin.error("removeUser", 0))

    def test_restart_request_reaches_the_monitor(self):
        admin = self.admin()
        self.assertEqual(admin.error("restartServer"), "Ошибка перезапуска сервера данных")
        path = os.path.join(self.server.home.runtime, "orvex-server-monitor.sock")
        received = []
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        listener.listen(1)

        def monitor():
            conn, _ = listener.accept()
            with conn:
                received.append(conn.recv(16))
                conn.sendall(b"ok\n")

        thread = threading.Thread(target=monitor)
        thread.start()
        try:
            self.assertIs(admin.ok("restartServer"), True)
        finally:
            thread.join(10)
            listener.close()
            os.unlink(path)
        self.assertEqual(received, [b"2\n"])
        journal = rows(admin.ok("getJournal", {"$datetime": "2000-01-01T00:00:00.000"},
                                {"$datetime": "2100-01-01T00:00:00.000"}))
        self.assertIn("Перезапуск сервера", [e["message"] for e in journal])

    def test_backup_command(self):
        admin = self.admin()
        # The copy made at start may still be running; a second one is refused meanwhile.
        self.assertTrue(wait_until(lambda: admin.call("backupDatabase", []).get("result") is True, timeout=30))
        self.assertTrue(os.listdir(os.path.join(self.server.home.path, "backup")))

    # --- bad input -------------------------------------------------------------

    def test_wrong_parameter_types_change_nothing(self):
        admin = self.admin()
        node = self.make_node(admin, 1201)
        before = admin.ok("getNode", node)
        for method, params in [("getNode", ["abc"]), ("removeNode", [{}]), ("removeNode", [[node]]),
                               ("setNodeGroup", [node, "x"]), ("setNodeGroup", ["x", 0]),
                               ("saveNode", [[1, 2]]), ("saveNode", ["text"]), ("saveUser", [[1]]),
                               ("setUserGroups", [0, "x"]), ("setUserAccess", [1, 5]), ("getUser", [None]),
                               ("removeGroup", [1.5]), ("saveGroup", [None])]:
            message = admin.error(method, *params)
            self.assertTrue(message, method)
        self.assertEqual(admin.ok("getNode", node), before)
        self.assertEqual(admin.ok("getVersion"), "1.2.7")          # the connection stays usable


class CommandLine(unittest.TestCase):
    def test_node_table(self):
        import subprocess
        server = DataServer()
        try:
            c = Client(server.port)
            c.call("login", ["admin", "tavro"])
            c.call("saveNode", [{"model_code": "QRV5", "model_name": "ТВ-5", "number": 77}])
            c.close()
            run = subprocess.run([binary("orvex-cli"), "-H", "127.0.0.1", "-p", str(server.port), "-u", "admin",
                                  "-w", "tavro", "getNodes", "--table"], capture_output=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            lines = run.stdout.decode().splitlines()
            self.assertEqual(lines[0].split()[:3], ["id", "group_id", "name"])
            self.assertIn("ТВ-5 №00000077", lines[2])
        finally:
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
