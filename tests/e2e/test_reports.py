"""Reports and group totals over the wire, and orvex-cli's report and totals with their CSV read back."""

import csv
import datetime
import io
import os
import tempfile

from orvexe2e import DataServer, ServerTestCase, cli, dt, new_node, sql, table

MARCH = [datetime.date(2024, 3, d) for d in range(1, 32)]


def stamp(day, hour=0):
    return dt("%sT%02d:00:00.000" % (day.isoformat(), hour))


def date(text):
    return {"$date": text}


def march_days(qdim):
    """Daily rows of March 2024: heat, supply temperature, fault flags and the heat unit."""
    return table(["date", "S1_Q", "S1_t1", "S1_NS", "Qdim"],
                 [[stamp(d), 1.5 + d.day / 100, 70.0 + d.day % 3, 1 << (d.day % 2), qdim] for d in MARCH])


class ReportsTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        c = cls.server.admin()
        cls.group = c.ok("saveGroup", {"name": "Котельная №1"})
        cls.gj, cls.gcal, cls.common, cls.empty = [
            new_node(c, model_code="LWD41", model_name="ЛВД-41", group_id=group, name=name, consumer="МУП «Теплосеть»")
            for group, name in ((cls.group, 'Школа, корпус "А"'), (cls.group, "Детский сад"), (0, "Баня"),
                                (cls.group, "Новый узел"))]
        for node, qdim in ((cls.gj, 1), (cls.gcal, 0), (cls.common, 1)):
            assert c.ok("saveArchives", {"$tables": {
                "info": table(["id"], [[node]]), "day_data": march_days(qdim),
                "hour_data": table(["date", "S1_t1"], [[stamp(MARCH[0], h), 60.0 + h] for h in range(24)])}}) is True
        c.ok("saveUser", {"login": "reader", "password": "pw", "access": [], "groups": [cls.group]})
        c.close()

    def cli_ok(self, *args):
        """The standard output of a command that must succeed."""
        run = cli(self.server.port, *args)
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        return run.stdout

    def cli_csv(self, *args):
        """The records of a command's CSV on standard output, and the output."""
        out = self.cli_ok(*args, "--csv", "-")
        return list(csv.reader(io.StringIO(out.decode(), newline=""), delimiter=";")), out

    def test_report_map_and_bad_input(self):
        c = self.admin()
        # What the map holds: tst_reportdata; that it arrives whole (days, totals, group): the CLI's report below.
        # Open bounds are the archive's own; text dates are taken too.
        self.assertEqual(c.ok("getReportData", self.gj, None, "2024-03-02")["$tables"]["range_totals"],
                         c.ok("getReportData", self.gj, date("2024-03-01"), date("2024-03-02"))["$tables"]["range_totals"])

        for node in (self.empty, 999999):
            self.assertEqual(c.ok("getReportData", node, None, None), {"$tables": {}})
        self.assertEqual(c.error("getReportData", self.gj, date("2024-03-31"), date("2024-03-01")),
                         "Неверный период: начало 31.03.2024 позже конца 01.03.2024")
        for params, position, expected in (([self.gj, "март", None], 2, "дата"),
                                           ([self.gj, None, [1]], 3, "дата"),
                                           ([1e300, None, None], 1, "целое число")):
            self.assertEqual(c.error("getReportData", *params),
                             "Неверный параметр %d команды getReportData: ожидается %s" % (position, expected))
        self.assertIn("ожидается список целых чисел", c.error("getGroupTotals", [self.gj, "x"], None, None))

        # A long list of ids that are mostly nobody's is answered at once, once per node.
        ids = list(range(100000, 160000)) + [self.gcal, self.gj, self.gcal]
        totals = c.rows("getGroupTotals", ids, date("2024-03-01"), date("2024-03-10"))
        self.assertEqual([r["node_id"] for r in totals], [self.gcal, self.gj])
        self.assertEqual((totals[0]["first_date"], totals[0]["last_date"]), (stamp(MARCH[0]), stamp(MARCH[9])))

    def test_totals_of_many_nodes(self):
        # Enough nodes for the totals to go on worker threads (the rows, in steps and on threads: tst_api), answered
        # when the last part is in; a client that leaves mid-job and a stop mid-job end cleanly. A server of its own,
        # to be stopped while it totals.
        server = DataServer()
        try:
            c, other = server.admin(), server.admin()
            self.addCleanup(c.close)
            self.addCleanup(other.close)
            nodes = [new_node(c, model_code="LWD41", model_name="ЛВД-41") for _ in range(300)]
            assert c.ok("saveArchives", {"$tables": {"info": table(["id"], [[nodes[0]]]), "day_data": march_days(0)}})
            # The same daily archive for the others, written beside the server (committed rows are what it reads).
            sql(server.db_path, "UPDATE nodes_data SET day_data = (SELECT day_data FROM nodes_data WHERE id = ?) "
                                "WHERE id > ?", nodes[0], nodes[0])
            totals = c.rows("getGroupTotals", nodes[::-1] + [999999], None, None)
            self.assertEqual([r["node_id"] for r in totals], nodes[::-1])
            self.assertEqual({r["S1_Q"] for r in totals}, {totals[0]["S1_Q"]})

            leaving = server.admin()
            leaving.send("getGroupTotals", [nodes, None, None])
            leaving.close()
            self.assertEqual(len(c.rows("getGroupTotals", nodes, None, None)), len(nodes))

            # Stopped while a job runs (its request is in when the next one is answered): no crash, no leak.
            c.send("getGroupTotals", [nodes, None, None])
            other.ok("getVersion")
        finally:
            code = server.stop()
        self.assertEqual(code, 0, server.output)
        self.assertNotIn("Sanitizer", server.output)

    def test_restricted_user_sees_own_groups_only(self):
        reader = self.client("reader", "pw")
        self.assertEqual(reader.ok("getReportData", self.common, None, None), {"$tables": {}})
        self.assertIn("day_data", reader.ok("getReportData", self.gj, None, None)["$tables"])
        for c, ids, visible in ((reader, [self.common, self.gj, self.gcal], [self.gj, self.gcal]),
                                (self.admin(), [self.common, self.gj], [self.common, self.gj])):
            self.assertEqual([r["node_id"] for r in c.rows("getGroupTotals", ids, None, None)], visible)

    def test_cli_report_as_csv_and_text(self):
        (header, *body), out = self.cli_csv("report", self.gj, "2024-03-01", "2024-03-31")
        self.assertEqual(header[0], "Дата")
        self.assertTrue({"Тепловая энергия, ГДж", "Температура в подающем трубопроводе, °C"} <= set(header), header)
        q = header.index("Тепловая энергия, ГДж")
        # No readings archive: the start is taken as 0, an estimate.
        self.assertEqual([r[0] for r in body], [d.strftime("%d.%m.%Y") for d in MARCH] + ["Итого", "Среднее",
                                                                                    "На 01.03.24 *"])
        # Three decimals for heat, with the decimal comma that goes with ";".
        self.assertEqual(body[0][q], "1,510")
        self.assertAlmostEqual(float(body[31][q].replace(",", ".")), sum(1.5 + d.day / 100 for d in MARCH), places=3)
        self.assertTrue(out.endswith(b"\r\n"))

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "март.csv")
            self.cli_ok("report", self.gcal, "2024-03-01", "2024-03-05", "--csv", path, "--separator", ",")
            with open(path, encoding="utf-8-sig", newline="") as f:
                records = list(csv.reader(f))
        q = records[0].index("Тепловая энергия, Гкал")   # quoted: it holds the separator
        self.assertEqual(records[1][q], "1.510")
        self.assertEqual(len(records), 1 + 5 + 3)   # header, days, totals, means, start readings

        text = self.cli_ok("report", self.gj, "2024-03-01", "2024-03-03").decode()
        for expected in ("Узел учета: Школа, корпус \"А\"", "Группа: Котельная №1", "Потребитель: МУП «Теплосеть»",
                         "Период: 01.03.2024 - 03.03.2024", "Единицы измерения тепловой энергии: ГДж"):
            self.assertIn(expected, text)
        # Long titles wrap onto several lines; the numbers line up under them.
        lines = text.splitlines()
        title = next(i for i, line in enumerate(lines) if line.startswith("Дата"))
        rule = next(i for i, line in enumerate(lines) if line.startswith("---"))
        self.assertGreater(rule - title, 1)
        table_lines = lines[rule:lines.index("", rule)]
        self.assertEqual(len({len(line) for line in table_lines}), 1, table_lines)
        self.assertEqual([line.split()[0] for line in table_lines[1:]],
                         ["01.03.2024", "02.03.2024", "03.03.2024", "Итого", "Среднее", "На"])
        self.assertIn(" 1.510 ", table_lines[1])
        # Flag words are the flags set, not a number: their codes with a legend under the table, titles in CSV.
        self.assertEqual([line.split()[-1] for line in table_lines[1:4]], ["1", "0", "1"])
        self.assertTrue(table_lines[4].startswith("Итого") and table_lines[4].endswith(" 0 1"), table_lines[4])
        # The legend and the titles in CSV: the totals' below, made by the same code.

    def test_cli_report_of_a_period_ending_today(self):
        """The banner's report: no daily row for today yet, a node without a consumer or a heat unit setting."""
        c = self.admin()
        today = datetime.date.today()
        days = [today - datetime.timedelta(days=k) for k in range(5, 0, -1)]
        node = new_node(c, model_code="LWD41", model_name="ЛВД-41", name="Котельная без потребителя")
        self.assertTrue(c.ok("saveArchives", {"$tables": {
            "info": table(["id"], [[node]]),
            "day_data": table(["date", "S1_Q", "S1_t1", "Th"], [[stamp(d), 1.0, -0.004 if d == days[0] else 70.0, 24.0]
                                                              for d in days]),
            "day_totals": table(["date", "S1_Q", "Th"],
                                [[stamp(days[0] - datetime.timedelta(days=1)), 1000.0, 100.0]])}}))
        period = (days[0].isoformat(), today.isoformat())
        text = self.cli_ok("report", node, *period).decode()
        self.assertNotIn("Потребитель", text)
        lines = text.splitlines()
        readings = [line.split() for line in lines if line.startswith("На ")]
        self.assertEqual(readings, [["На", days[0].strftime("%d.%m.%y"), "100", "—", "1000.000"],
                                    ["На", days[-1].strftime("%d.%m.%y"), "*", "220", "—", "1005.000"]])
        self.assertIn("* расчетные значения", lines)

        (header, *body), _ = self.cli_csv("report", node, *period)
        # Every unit once: heat in gigacalories when the meter does not say, run time in hours.
        self.assertEqual(header, ["Дата", "Время наработки, ч", "Температура в подающем трубопроводе, °C",
                                  "Тепловая энергия, Гкал"])
        self.assertEqual(body[0][2], "0,00")   # -0.004 rounds to no temperature below zero
        self.assertEqual(body[-1], ["На %s *" % days[-1].strftime("%d.%m.%y"), "220", "", "1005,000"])
        self.assertEqual(body[len(days)][3], "5,000")   # Итого: the readings' difference

    def test_cli_totals_and_errors(self):
        records = self.cli_csv("totals", self.group, "2024-03-01", "2024-03-31")[0]
        self.assertEqual(records[0][:5], ["Узел учета", "Тип прибора", "Заводской номер", "С", "По"])
        # The group's nodes by name, as the node list has them.
        self.assertEqual([r[0] for r in records[1:]], ["Детский сад", "Школа, корпус \"А\""])
        self.assertEqual(records[1][3:5], ["01.03.2024", "31.03.2024"])
        # Nodes counting heat in different units: each cell says its unit.
        q = records[0].index("Тепловая энергия")
        self.assertTrue(records[1][q].endswith(" Гкал") and records[2][q].endswith(" ГДж"), records[1:])
        # The flags raised in the period, by title; on a terminal by code, with each node's legend.
        both = "Обрыв датчика температуры t1; Обрыв датчика температуры t2"
        self.assertEqual(records[1][records[0].index("Флаги нештатных ситуаций")], both)
        lines = self.cli_ok("totals", self.group, "2024-03-01", "2024-03-31").decode().splitlines()
        legend = "Флаги нештатных ситуаций: 0 - " + both.replace("; ", "; 1 - ")
        self.assertEqual(lines[-2:], ["Детский сад. " + legend, "Школа, корпус \"А\". " + legend])

        for args, code, message in (
                (("report", self.gj, "2024-03-01", "31.03.2024"), 3, "Неверная дата: 31.03.2024"),
                (("report", self.gj, "2024-03-31", "2024-03-01"), 3, "позже его конца"),
                (("report", self.gj, "2024-03-01"), 3, "нужны номер узла"),
                (("report", self.gj, "2024-03-01", "2024-03-31", "--separator", "|"), 3, "Разделитель CSV"),
                (("report", 999999, "2024-03-01", "2024-03-31"), 1, "Узел 999999 не найден или недоступен"),
                (("report", self.empty, "2024-03-01", "2024-03-31"), 1, "Нет суточных данных узла"),
                (("totals", 999999, "2024-03-01", "2024-03-31"), 1, "Группа 999999 не найдена"),
                (("report", self.gj, "2024-03-01", "2024-03-31", "--csv", "/nonexistent/dir/r.csv"), 3,
                 "Не удалось записать файл /nonexistent/dir/r.csv: нет папки /nonexistent/dir\n"),
                (("report", self.gj, "2024-03-01", "2024-03-31", "--csv", "/tmp"), 3,
                 "Не удалось записать файл /tmp: это папка\n")):
            run = cli(self.server.port, *args)
            self.assertEqual(run.returncode, code, (args, run.stderr.decode()))
            self.assertIn(message, run.stderr.decode())
