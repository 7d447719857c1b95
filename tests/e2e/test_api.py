"""The command API over the wire: sessions, rights, users, groups, visibility, events, settings, journal,
parameters and values."""

from orvexe2e import ALL_TIME, REFUSED, ServerTestCase, journal, new_node, sql

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
    ("monitorAppend", [[1]])]
ID_REFUSED = "Доступ к полям идентификаторов запрещен"


class ApiTest(ServerTestCase):
    def make_user(self, login, access=(), groups=None, password="pw"):
        """A new user and a connection logged in as it."""
        record = {"login": login, "password": password, "fio": login.upper(), "access": list(access)}
        record.update({} if groups is None else {"groups": list(groups)})
        return self.admin().ok("saveUser", record), self.client(login, password)

    def test_login_rules(self):
        c = self.make_user("twice")[1]
        self.assertEqual(c.failure("login", "twice", "pw"), (-32009, "Вы уже авторизованы"))
        other = self.client()   # a wrong password: test_security
        result = other.ok("login", "twice", "pw")   # the digest stays on the server
        self.assertEqual((result["login"], result["access"], result["password"]), ("twice", [], ""))

    def test_empty_access_list_is_refused_every_guarded_command(self):
        c = self.make_user("nobody", access=[])[1]
        for method, params in GUARDED:
            self.assertEqual(c.failure(method, *params), (-32003, REFUSED), method)
        # Readers need no right.
        for method, params in [("getGroups", []), ("getNodes", []), ("getGroup", [0]), ("getNode", [1]),
                               ("getSettings", []), ("getSetting", ["backupCount"]), ("takeChangeEvents", []),
                               ("getJournal", list(ALL_TIME)), ("getVersion", []), ("logout", [])]:
            c.ok(method, *params)

    def test_sibling_rights(self):
        reader = self.make_user("reader", access=["getUsers"])[1]
        for method in ("getUser", "getUserData", "getUserAccess", "getUserGroups"):
            reader.ok(method, 0)
        self.assertEqual(reader.error("setUserAccess", 0, []), REFUSED)

        uid, saver = self.make_user("saver", access=["saveUser", "saveNode", "saveTask", "setSetting"])
        self.assertEqual(saver.ok("setUserAccess", uid, ["saveUser"]), uid)
        node = new_node(saver)
        self.assertEqual(saver.ok("setNodeGroup", node, 0), node)
        self.assertIs(saver.ok("setTaskGroup", 999999, 1), False)   # allowed; no such task, so a plain false
        self.assertEqual(saver.error("restartServer"), "Ошибка перезапуска сервера данных")   # allowed, no monitor
        self.assertEqual(saver.error("getUsers"), REFUSED)
        self.assertEqual(saver.error("removeNode", node), REFUSED)
        self.assertEqual(self.make_user("journalist", access=["clearJournal"])[1].error("restartServer"), REFUSED)

    def test_user_saves_are_all_or_nothing(self):
        uid = self.make_user("pat", password="first")[0]
        admin = self.admin()
        self.assertEqual(admin.ok("saveUser", {"id": uid, "note": "без пароля"}), uid)
        self.client("pat", "first")                         # the old password still works
        self.assertEqual(admin.ok("saveUser", {"id": uid, "password": "second"}), uid)
        self.assertEqual(self.client().error("login", "pat", "first"), "Ошибка авторизации")
        self.client("pat", "second")
        data = admin.ok("getUserData", uid)
        self.assertEqual((data["note"], data["groups"], data["access"]), ("без пароля", [0], []))
        self.assertEqual(admin.ok("getUserData", 4242), {})
        # The administrator's rights and groups are never written, nor is it removed.
        self.assertEqual(admin.ok("saveUser", {"id": 0, "fio": "Администратор", "access": [], "groups": []}), 0)
        self.assertEqual((admin.ok("getUserAccess", 0), admin.ok("getUserGroups", 0)), (["allowAll"], []))

        # Nothing of a refused save is written (duplicate login, no password, wrong kinds, a missing group).
        before = admin.ok("getUsers")
        for record in [{"login": "pat", "password": "x"}, {"login": "nopass"},
                       {"login": "half", "password": "p", "groups": [0, 9999]},
                       {"id": uid, "access": "allowAll"}, {"id": uid, "password": {}}]:
            self.assertTrue(admin.error("saveUser", record), record)
        self.assertEqual(admin.ok("getUsers"), before)
        group = admin.ok("saveGroup", {"name": "Для pat"})
        self.assertEqual(admin.ok("setUserGroups", uid, [0, group]), uid)
        for groups in ([group, 9999], ["zero"]):            # the old memberships stay
            self.assertTrue(admin.error("setUserGroups", uid, groups))
            self.assertEqual(admin.ok("getUserGroups", uid), [0, group])
        self.assertEqual(admin.ok("setUserGroups", uid, []), uid)

    def test_group_visibility(self):
        admin = self.admin()
        a, b = (admin.ok("saveGroup", {"name": name}) for name in ("Видимая", "Чужая"))
        node_a, node_b = new_node(admin, group_id=a), new_node(admin, group_id=b)
        viewer = self.make_user("viewer", access=["saveNode", "removeNode", "saveGroup"], groups=[0, a])[1]
        self.assertEqual([g["name"] for g in viewer.rows("getGroups")], ["Видимая", "Общие"])
        self.assertEqual((viewer.ok("getGroup", b), viewer.ok("getNode", node_b)), ({}, {}))
        self.assertEqual(viewer.ok("getNode", node_a)["id"], node_a)   # the node list of a user's groups: test_console
        # Into a hidden group: refused as a group not found, with the refusal's text.
        self.assertEqual(viewer.failure("setNodeGroup", node_a, b), (-32004, REFUSED))
        self.assertEqual(viewer.ok("setNodeGroup", node_a, 0), node_a)
        # A restricted user sees the group it creates at once.
        mine = viewer.ok("saveGroup", {"name": "Своя"})
        self.assertEqual(viewer.ok("getGroup", mine)["name"], "Своя")
        # Without memberships nothing is visible.
        hermit = self.make_user("hermit", groups=[])[1]
        self.assertEqual((hermit.rows("getGroups"), hermit.rows("getNodes")), ([], []))
        # What a group's removal takes with it: tst_records.
        # A trigger's refusal is a conflict with what is stored.
        code, message = admin.failure("removeGroup", 0)
        self.assertEqual((code, "Удаление общей группы запрещено" in message), (-32009, True), message)

    def test_a_failed_query_is_a_storage_failure_not_a_refusal(self):
        admin = self.admin()
        node = new_node(admin, name="Узел до сбоя")
        # The node queries join nodes_data: without it every one of them fails in SQLite.
        sql(self.server.db_path, "ALTER TABLE nodes_data RENAME TO nodes_data_away")
        try:
            for method, params in (("getNode", [node]), ("getNodes", []), ("saveNode", [{"id": node, "name": "Новое"}]),
                                   ("setNodeGroup", [node, 0]), ("removeNode", [node])):
                code, message = admin.failure(method, *params)
                self.assertEqual((code, "nodes_data" in message), (-32020, True), (method, message))
        finally:
            sql(self.server.db_path, "ALTER TABLE nodes_data_away RENAME TO nodes_data")
        self.assertEqual(admin.ok("getNode", node)["name"], "Узел до сбоя")

    def test_change_events_end_with_their_login(self):
        # Each event kept once and taken once: test_tasks' main task and its events.
        admin = self.admin()
        node = new_node(admin)
        watcher = self.admin()
        admin.ok("saveNode", {"id": node, "note": "3"})
        watcher.ok("logout")
        self.assertEqual(watcher.ok("takeChangeEvents"), {})      # anonymous sessions collect nothing
        watcher.ok("login", "admin", "tavro")
        admin.ok("saveGroup", {"name": "Событийная"})
        events = watcher.ok("takeChangeEvents")
        self.assertNotIn("nodeSaved", events)                      # raised before the new login
        self.assertEqual(len(events["groupSaved"]), 1)

    def test_node_save_rules(self):
        admin = self.admin()
        # Systems beyond the catalogue's and unknown keys are no columns.
        node = new_node(admin, 12, s1_type="open", s99_type="x", bogus=1)
        record = admin.ok("getNode", node)
        self.assertEqual((record["name"], record["group_id"], record["s1_type"]), ("ТВ-5 №00000012", 0, "open"))
        # The same model and number update the known node instead of adding one.
        self.assertEqual(admin.ok("saveNode", {"model_code": "QRV5", "number": 12, "note": "повтор"}), node)
        self.assertEqual(admin.ok("saveNode", {"id": node, "consumer": "Школа №3"}), node)
        record = admin.ok("getNode", node)
        self.assertEqual((record["name"], record["note"], record["consumer"]), ("ТВ-5 №00000012", "повтор", "Школа №3"))
        self.assertTrue(admin.error("saveNode", {"model_code": "QRV5"}))      # no number (an id not seen: test_security)

    def test_settings_over_the_wire(self):
        admin = self.admin()
        values = {"flag": False, "count": 42, "ratio": 2.5, "text": "Котельная", "list": [1, "два"],
                  "map": {"a": [True]}}
        for name, value in values.items():
            self.assertIs(admin.ok("setSetting", name, value), True)
        self.assertEqual(repr({name: admin.ok("getSetting", name) for name in values}), repr(values))
        for method, params in (("getSetting", ["noSuchSetting"]), ("getSetting", []), ("setSetting", ["", 1])):
            self.assertTrue(admin.error(method, *params), params)
        # A script budget's bounds (which values pass: tst_analizer) are asked by setSetting.
        self.assertIn("от 1 до 60000", admin.error("setSetting", "scriptTableTimeout", 3600000))

    def test_journal_of_removals_outlives_users(self):
        admin = self.admin()
        group = admin.ok("saveGroup", {"name": "Журнальная"})
        uid, leaver = self.make_user("leaver", access=["saveNode", "removeNode"], groups=[0, group])
        for number in (1101, 1102):
            node = new_node(leaver, number, group_id=group)
            self.assertEqual(leaver.ok("removeNode", node), node)
        self.assertEqual(leaver.error("removeNode", node), REFUSED)   # gone means invisible
        removal = lambda: [e for e in journal(admin) if e["message"] == "Удаление узла"][-1]  # noqa: E731
        # The entry names the node's former group; the user is gone, the entry stays.
        self.assertEqual([removal()[k] for k in ("level", "group_name", "node_name", "user")],
                         ["INFO", "Журнальная", None, "leaver"])
        self.assertEqual(admin.ok("removeUser", uid), uid)
        self.assertIsNone(removal()["user"])
        stamps = [e["ctime"]["$datetime"] for e in journal(admin)]
        self.assertEqual(stamps, sorted(stamps))
        self.assertEqual(admin.rows("getJournal", *reversed(ALL_TIME)), [])

    def test_wrong_parameter_types_change_nothing(self):
        admin = self.admin()
        node = new_node(admin)
        before = admin.ok("getNode", node)
        # A date-time bound that is not one is refused by position, not read as "no bound".
        for method, params, position in [("getJournal", ["yesterday", None], 1), ("getCheckLog", [node, None, 5], 3),
                                         ("getArchive", [node, "day_data", "2024-13-45", None], 3)]:
            self.assertIn("параметр %d команды %s" % (position, method), admin.error(method, *params))
        self.assertEqual(admin.ok("getCheckLog", node, "2024-01-01T00:00:00", None)["$table"]["rows"], [])
        for method, params in [("getNode", ["abc"]), ("removeNode", [{}]), ("setNodeGroup", [node, "x"]),
                               ("saveNode", ["text"]), ("saveUser", [[1]]), ("setUserGroups", [0, "x"]),
                               ("saveNode", [{"id": "%d OR 1=1" % node, "note": "x"}]),
                               ("saveNode", [{"id": node, "note": [1, 2]}]), ("setUserAccess", [1, 5]),
                               ("removeGroup", [1.5]), ("saveGroup", [None])]:
            self.assertTrue(admin.error(method, *params), method)
        self.assertEqual(admin.ok("getNode", node), before)   # the connection stays usable

    def test_describe_over_the_wire(self):
        c = self.client()
        result = c.ok("describeParams", "RNH7", ["S1_t1", "S1_t2", "S2_t1", "Th", "node_name", "bogus"],
                      [70.0, None, None, 1234, "Котельная", 1])
        # Nulls and what is no parameter left out, in the catalogue's order; names, units and the systems'
        # counts: tst_catalogue.
        self.assertEqual([p["code"] for p in result["params"]], ["Th", "S1_t1"])
        self.assertEqual(c.error("describeParams", "QRV3", ["S1_t1", "S1_t2"], [1]),
                         "Количество колонок не соответствует количеству значений")

    def test_get_values(self):
        c = self.client()
        for table, column in [("tasks", "node_id"), ("nodes", "id"), ("nodes", "ID"), ("nodes", "group_id"),
                              ("users", "password"), ("USERS", "Password"), ("nosuch", "node_id")]:
            self.assertEqual(c.error("getValues", table, column), ID_REFUSED, (table, column))
        for params, expected in ((["nosuch", "name"], "nosuch"), (["nodes", "nosuch"], "nosuch"),
                                 (["sqlite_master", "name"], ""), (["", ""], ""), (["nodes"], "")):
            self.assertIn(expected, c.error("getValues", *params))
        # Names that would change the statement are just unknown names.
        for table, column in [("users", "name FROM users --"), ("nodes", "login FROM users UNION SELECT password"),
                              ("nodes; DROP TABLE nodes", "name"), ("nodes --", "name"), ('nodes"', "name"),
                              ("nodes", "name\" FROM users --")]:
            self.assertNotEqual(c.error("getValues", table, column), ID_REFUSED, (table, column))

        # Distinct values, of a nodes table still there.
        c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 123, "consumer": "Школа №3"})
        c.ok("saveNode", {"model_code": "RNH7", "model_name": "РН-7", "number": 45, "consumer": "Школа №3"})
        # Node names use each model's number of digits.
        self.assertTrue({"ТВ-2 №000123", "РН-7 №0000000045"} <= set(c.ok("getValues", "nodes", "name")))
        self.assertEqual(c.ok("getValues", "Nodes", "Consumer").count("Школа №3"), 1)
        # A node without a consumer and one with an empty one: a single empty value, never "0".
        c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 124})
        c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 125, "consumer": ""})
        self.assertEqual(sorted(c.ok("getValues", "nodes", "consumer")), ["", "Школа №3"])
        self.assertIn("45", c.ok("getValues", "nodes", "number"))
        self.assertIn("admin", c.ok("getValues", "users", "login"))
