"""orvex-cli against the test server (parameters, JSON and table output, exit codes) and the data server (what
its answers mean to a person: typos, a login needed, nulls, wide tables)."""

import json

from orvexe2e import ServerTestCase, cli, free_port, run


class CommandLineClient(ServerTestCase):
    rpc_only = True

    def cli(self, *args):
        return cli(self.server.port, *args, login=False, text=True)

    def output(self, *args):
        """The standard output of a command that must succeed."""
        done = self.cli(*args)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def test_parameters_and_json_output(self):
        out = self.output("echo", "1", "2.5", "word", "Котёл", '{"$date":"2024-01-02"}', "[1,null]", "true")
        self.assertIn("\n  ", out)  # indented
        self.assertEqual(json.loads(out), [1, 2.5, "word", "Котёл", {"$date": "2024-01-02"}, [1, None], True])

    def test_table_output_aligns_characters(self):
        t = {"$table": {"columns": ["name", "n"], "rows": [["Узел учёта", 1], ["Ёж", 22], [None, 3.5]]}}
        lines = self.output("--table", "identity", json.dumps(t, ensure_ascii=False)).splitlines()
        self.assertEqual(lines[0].split(), ["name", "n"])
        self.assertEqual(set(lines[1].replace(" ", "")), {"-"})
        # The second column ends in the same character position on every line.
        self.assertEqual(len({len(line) for line in lines}), 1, lines)
        self.assertTrue(lines[2].startswith("Узел учёта") and lines[4].endswith("3.5"), lines)

        # Date-times as a person writes them.
        self.assertIn("2024-01-01 02:00:00", self.output("makeTable", "3", "4", "--table").splitlines()[4])

    def test_exit_codes(self):
        # A failed login (exit 1): the data server's wrong password below; no server answering (exit 2): the list of
        # servers below.
        for done, code, said in ((self.cli("fail", "Недостаточно прав для выполнения команды"), 1, "Недостаточно прав"),
                                 (self.cli("echo", '{"$bad":1}'), 3, ""), (run("orvex-cli"), 3, "orvex-cli")):
            self.assertEqual(done.returncode, code, done.args)
            self.assertIn(said, done.stderr)
            self.assertTrue(done.stderr.strip(), done.args)

    def test_several_servers_the_one_that_answers(self):
        """Of the servers given, the first that takes the connection answers; none that does is exit 2 naming each."""
        closed, other = free_port(), free_port()
        me = str(self.server.port)
        for hosts in (["127.0.0.1:%d,127.0.0.1:%s" % (closed, me)],        # a list, each with its port
                      ["-H", "127.0.0.1:%d" % closed, "-H", "[::1]:%d,127.0.0.1" % other, "-p", me],
                      ["127.0.0.1:%s" % me, "-H", "127.0.0.1:%d" % closed]):   # the first answers: no more tried
            args = ["-H"] + hosts if hosts[0] != "-H" else hosts
            done = run("orvex-cli", *args, "echo", "7")
            self.assertEqual(done.returncode, 0, (args, done.stderr))
            self.assertEqual(json.loads(done.stdout), [7])
        done = run("orvex-cli", "-H", "127.0.0.1:%d,localhost:%d" % (closed, other), "noop")
        self.assertEqual(done.returncode, 2)
        self.assertIn("127.0.0.1:%d" % closed, done.stderr)
        self.assertIn("localhost:%d" % other, done.stderr)
        for bad in ("127.0.0.1:0", "127.0.0.1:x", ",", "[::1", "[::1]x"):
            self.assertEqual(run("orvex-cli", "-H", bad, "noop").returncode, 3, bad)


class CommandLineClientOfTheDataServer(ServerTestCase):
    server_ini = "requireLogin=true\n"

    def test_empty_answers_and_refusals_are_explained(self):
        c = self.admin()
        node = c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 4242})
        login_hint = "Недостаточно прав для выполнения команды\nВойдите: -u ЛОГИН -w ПАРОЛЬ"
        for args, login, code, said in (
                (("getNode", 999), True, 1, "Узел 999 не найден или недоступен"),
                (("getArchive", node, "hourdata", "null", "null"), True, 1, "Нет такого архива: hourdata"),
                (("getArchive", 999, "hour_data", "null", "null"), True, 1, "Узел 999 не найден или недоступен"),
                (("getTaskLog", 999), True, 1, "Задача 999 не найдена или недоступна"),
                (("getGroup", 999), True, 1, "Группа 999 не найдена или недоступна"),
                (("getUserGroups", 999), True, 1, "Пользователь 999 не найден или недоступен"),
                # Empty answers about what is there stand as they are.
                (("getArchive", node, "hour_data", "null", "null"), True, 0, ""),
                (("getCheckParams", node), True, 0, ""),
                (("getNodes",), False, 1, login_hint),
                (("report", node, "2024-03-01", "2024-03-31"), False, 1, login_hint),
                (("-u", "admin", "-w", "wrong", "getNodes"), False, 1, "Ошибка авторизации")):
            done = cli(self.server.port, *args, login=login, text=True)
            self.assertEqual(done.returncode, code, (args, done.stderr))
            self.assertTrue(done.stderr.startswith(said) if code else done.stderr == "", (args, done.stderr))
            self.assertEqual(done.stdout == "", code != 0, args)

    def test_tables_show_nulls_empty_and_wide_ones_narrow(self):
        c = self.admin()
        node = c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 4343, "name": "Без потребителя"})
        c.ok("saveTask", {"node_id": node, "channel": {"code": "COM", "port": "COM5"}})
        columns = c.ok("getNodes")["$table"]["columns"]

        def table(*args):
            done = cli(self.server.port, *args, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            return done.stdout.splitlines(), done.stderr

        lines, said = table("getNodes", "--table")
        self.assertEqual(lines[0].split(), ["id", "group_id", "name", "model_code", "number", "last_update",
                                            "read_error", "check_fails"])
        self.assertEqual(said, "Показаны 8 из %d полей; все поля: --all\n" % len(columns))
        lines, said = table("--table", "--all", "getNodes")
        self.assertEqual((lines[0].split(), said), (columns, ""))

        # Null cells of integer and text columns alike are empty, as in a record shown field by field.
        lines = table("getTasks", "--table", "--all")[0]
        row = next(line for line in lines if "Без потребителя" in line)
        for column in ("varnel_ip", "phone_or_ip", "last_error"):
            start = lines[0].index(column)
            self.assertEqual(row[start:start + len(column)].strip(), "", column)
        fields = dict(line.split(None, 1) if " " in line.strip() else (line.strip(), "")
                      for line in table("getNode", node, "--table")[0][2:])
        self.assertEqual((fields["consumer"], fields["name"]), ("", "Без потребителя"))
