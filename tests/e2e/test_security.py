"""With "Server/requireLogin" on: anonymous clients, hidden nodes, password storage, password guessing."""

import datetime
import hashlib

from orvexe2e import (ALL_TIME, AUTH_FAILED, REFUSED, START, THROTTLED, ServerTestCase, node_with_data, rows,
                      sql, stamp, table)


class SecurityTest(ServerTestCase):
    server_ini = "requireLogin=true\n"

    def test_anonymous_clients_only_log_in(self):
        c = self.client()
        self.assertEqual([c.ok("getApiVersion"), type(c.ok("getVersion")), type(c.ok("getDbVersion")),
                          c.ok("takeChangeEvents")], [2, str, int, {}])
        # Every other command takes one gate (tst_api: every command is the table's), a reader and a writer here.
        for method, params in [("getNodes", []), ("logout", []), ("saveNode", [{"model_code": "QRV5", "number": 1}])]:
            self.assertEqual(c.error(method, *params), REFUSED, method)
        c.ok("login", "admin", "tavro")
        self.assertIn("$table", c.ok("getNodes"))
        # Logging out makes the connection anonymous again.
        self.assertIs(c.ok("logout"), True)
        self.assertEqual(c.error("getNodes"), REFUSED)

    def test_passwords_are_stored_salted_and_slow(self):
        def stored(uid):
            return sql(self.server.db_path, "SELECT password FROM users WHERE id = ?", uid)[0][0]
        admin = self.admin()   # the new database's administrator logs in, and its row then holds a hash
        self.assertTrue(stored(0).startswith("$argon2id$"), stored(0))
        user = admin.ok("saveUser", {"login": "кассир", "password": "секрет", "access": ["getUsers"]})
        c = self.client("кассир", "секрет")   # what login answers: test_api's test_login_rules
        for method, params in [("getUser", [user]), ("getUserData", [user]), ("getUser", [0])]:
            self.assertEqual(c.ok(method, *params)["password"], "", method)
        self.assertEqual({r["password"] for r in c.rows("getUsers")}, {""})
        first = stored(user)
        self.assertTrue(first.startswith("$argon2id$"), first)
        admin.ok("saveUser", {"id": user, "password": "секрет"})   # salted: the same password, another text
        self.assertNotEqual(stored(user), first)

        # The row of an older server (the unsalted MD5) lets its user in as it is, and then holds a hash.
        digest = hashlib.md5(b"old-secret").hexdigest()
        sql(self.server.db_path, "UPDATE users SET password = ? WHERE id = ?", digest, user)
        self.assertEqual(self.client().error("login", "кассир", "секрет"), AUTH_FAILED)
        self.client("кассир", "old-secret")
        renewed = stored(user)
        self.assertTrue(renewed.startswith("$argon2id$"), renewed)
        self.client("кассир", "old-secret")
        self.assertEqual(stored(user), renewed)   # once
        self.assertEqual(self.client().error("login", "кассир", digest), AUTH_FAILED)

    def test_invisible_node_reads_nothing_and_refuses_writers(self):
        admin = self.client("admin", "tavro")
        group = admin.ok("saveGroup", {"name": "Чужая группа"})
        node = node_with_data(admin, 9001, group)
        task, other = [t["id"] for t in admin.rows("getTasks") if t["node_id"] == node]
        sql(self.server.db_path, "UPDATE tasks_data SET log = 'Опрос завершён' WHERE id = ?", task)
        finding = stamp(START + datetime.timedelta(hours=47))
        shown = node_with_data(admin, 9002)
        writers = [("removeNode", [node]), ("setNodeGroup", [node, 0]), ("saveNode", [{"id": node, "note": "x"}]),
                   ("saveGroup", [{"id": group, "name": "Моя"}]), ("clearArchives", [node]), ("checkArchives", [node]),
                   ("saveArchives", [{"$tables": {"info": table(["id"], [[node]]), "day_data": table(["date"], [[finding]])}}]),
                   ("saveTask", [{"id": task, "mon_interval": 5}]), ("removeTask", [task]), ("startTask", [task]),
                   ("cancelTask", [task])]
        admin.ok("saveUser", {"login": "сосед", "password": "pw", "groups": [0],
                              "access": ["getCheckParams", "setTaskGroup"] + [m for m, _ in writers]})
        outsider = self.client("сосед", "pw")

        readers = [("getCheckLog", [node, None, None]), ("getCheckErrors", [node, "hour_data", finding]),
                   ("getCheckParams", [node]), ("getTaskLog", [task]), ("getTaskData", [task]), ("getTask", [task]),
                   ("getArchive", [node, "hour_data", None, None]), ("getSettingData", [node]),
                   ("getJournalData", [node, None, None]), ("getFillData", [node]), ("getNode", [node])]
        for method, params in readers:   # what the administrator sees, the outsider does not
            found = [c.ok(method, *params) for c in (admin, outsider)]
            self.assertEqual([bool(rows(v) if isinstance(v, dict) and "$table" in v else v) for v in found], [True, False],
                             method)
        visible = outsider.rows("getTasks")
        self.assertEqual({t["node_id"] for t in visible}, {shown})
        self.assertEqual(outsider.ok("saveTask", {"id": visible[0]["id"], "mon_interval": 15}), visible[0]["id"])
        for method, params in writers:
            self.assertEqual(outsider.error(method, *params), REFUSED, method)
        self.assertIs(outsider.ok("setTaskGroup", other, 1), False)      # refused, as a plain false
        self.assertEqual([admin.ok("getTask", t)["is_main"] for t in (task, other)], [1, 0])
        self.assertEqual(admin.ok("getFillData", node)["hour_data"]["size"], 48)

    def test_password_guessing_is_throttled(self):
        # Which failures block what, and for how long: tst_loginthrottle; here the refusal and the journal.
        guesser = "127.0.0.5"   # an address of its own, so that the block leaves the other tests alone
        odd = "%2 и %1"   # a login name is journalled as it is
        self.admin().ok("saveUser", {"login": odd, "password": "свой", "access": []})

        def login(name, password):
            return self.client(source=guesser).call("login", [name, password]).get("error", {}).get("message")
        for _ in range(5):
            self.assertEqual(login(odd, "угадай"), AUTH_FAILED)
        refusals = [login(odd, password) for password in ("свой", "угадай")]
        self.assertEqual(refusals[0], refusals[1])   # the same whether the password was right or not
        self.assertTrue(THROTTLED.fullmatch(refusals[0]) and 0 < int(THROTTLED.fullmatch(refusals[0])[1]) <= 60,
                        refusals)
        self.assertIsNone(login("admin", "tavro"))   # the address's other logins go on

        journal = self.admin().rows("getJournal", *ALL_TIME)   # from another address
        warnings = [r["message"] for r in journal if r["level"] == "WARN" and guesser in r["message"]]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn("Вход пользователя %s с адреса %s запрещён" % (odd, guesser), warnings[0])
