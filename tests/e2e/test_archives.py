"""Node archives over the wire: save and read back, the check log, bad input, a kill during a large save."""

import datetime
import os
import signal
import time
import unittest

from orvexe2e import (ON_POSTGRES, DataServer, ServerTestCase, TcpClient, TempHome, journal, new_node, sql, stamp,
                      table, wait_until)

START = datetime.datetime(2023, 1, 1)


def hours(first, count, columns=("S1_t1",), base=60.0):
    """Hourly rows from first on; S1_t1 runs base, base + 1, ... base + 39."""
    return table(["date"] + list(columns),
                 [[stamp(first + datetime.timedelta(hours=i))] + [base + i % 40 + c * 0.5 for c in range(len(columns))]
                  for i in range(count)])


def tables(**named):
    return {"$tables": named}


def info(node_id, **extra):
    record = dict(id=node_id, **extra)
    return table(list(record), [list(record.values())])


class ArchivesTest(ServerTestCase):
    def test_save_and_read_back(self):
        # How rows are sorted, cut and merged: tst_archivestore; here the commands and what they answer.
        c = self.client()
        node = new_node(c, note="своё")
        hourly = hours(START, 48)
        del hourly["$table"]["rows"][5]      # one gap
        self.assertIs(c.ok("saveArchives", tables(
            info=info(node, note="чужое", name="Узел архивов"),
            hour_data=hourly,
            day_data=table(["date", "S1_t1"], [[stamp(START), 70.0], [stamp(START + datetime.timedelta(days=1)), 71.0]]),
            current_data=hours(START + datetime.timedelta(hours=47), 1),
            setting_data=table(["name", "value"], [["Ду", "50"], ["Схема", "открытая"]]),
            journal_data=table(["ctime", "param", "old_value", "new_value"], [[stamp(START), "Ду", "40", "50"]]))),
            True)

        self.assertEqual(len(c.rows("getArchive", node, "hour_data", None, None)), 47)

        # Tables as the variant stream to a client that asks, and what else it may ask: tst_zeltorpc (replies,
        # tablesInStreamForm); ranges read: tst_archivestore, and over the wire test_xmlrpc's readers.
        fill = c.ok("getFillData", node)
        self.assertEqual((sorted(fill), fill["hour_data"]["size"], fill["hour_data"]["gapCount"]),
                         (["day_data", "hour_data"], 47, 1))
        self.assertEqual([r["name"] for r in c.rows("getSettingData", node)], ["Ду", "Схема"])
        self.assertEqual([r["param"] for r in c.rows("getJournalData", node, None, None)], ["Ду"])

        # "note" is not taken from info; the archives' has_ flags of a node's record: tst_records theNodeList.
        record = c.ok("getNode", node)
        self.assertEqual([record[k] for k in ("name", "note", "gap_count", "first_day", "has_current_data")],
                         ["Узел архивов", "своё", 1, stamp(START), 1])
        self.assertIn(("INFO", "Сохранение архивов", "Узел архивов"),
                      [(r["level"], r["message"], r["node_name"]) for r in journal(c)])

        # A plain map of tables is accepted too.
        c.ok("saveArchives", {"info": info(node), "hour_data": hours(START + datetime.timedelta(hours=46), 4)})
        self.assertEqual(c.ok("getFillData", node)["hour_data"]["size"], 49)

        self.assertIs(c.ok("clearArchives", node), True)
        record = c.ok("getNode", node)
        self.assertEqual((record["has_archives"], record["has_setting_data"], record["gap_count"]), (0, 0, 0))
        self.assertEqual(c.ok("getFillData", node), {})

    def test_check_log(self):
        # What the rules find and when (their kinds, the catalogue's titles in their messages, a row's findings each
        # logged), the parameters read back, a run's count and the marks a clear takes away: tst_analizer,
        # tst_archivestore (checkParameters); here the commands.
        c = self.client()
        node = new_node(c)
        c.ok("setCheckParams", node, {"criteria": [["checkExpr", "Enum.All", "value('S1_t1') > 96", "'t1 выше 96'"]]})
        self.assertEqual(c.error("setCheckParams", node, {"script": "x" * 70000}),
                         "Слишком большое значение поля check_params: не более 65536 байт")
        c.ok("saveArchives", tables(info=info(node), hour_data=hours(START, 40)))   # 60 .. 99

        log = c.rows("getCheckLog", node, None, None)
        last = log[-1]["atime"]
        self.assertEqual((len(log), c.ok("getCheckErrors", node, "hour_data", last)), (3, ["t1 выше 96"]))   # 97 .. 99
        self.assertEqual([len(c.rows("getCheckLog", node, *bounds)) for bounds in ((None, log[1]["atime"]), (last, None))],
                         [2, 1])
        self.assertIs(c.ok("clearCheckLog", node), True)
        self.assertEqual(c.rows("getCheckLog", node, None, None), [])

    def test_bad_input_stores_nothing(self):
        c = self.client()
        node = new_node(c)
        good = hours(START, 3)
        cases = [
            (tables(hour_data=good), "Не задан идентификатор узла"),
            (tables(info=table(["name"], [["x"]]), hour_data=good), "Не задан идентификатор узла"),
            (tables(info=info("abc"), hour_data=good), "Неверный идентификатор узла: abc"),
            (tables(info=info(str(node)), hour_data=good), "Неверный идентификатор узла"),
            (tables(info=info(node), hour_data=table(["S1_t1"], [[1.0]])), "Таблица hour_data: нет столбца date"),
            (tables(info=info(node), day_data=table(["date", "S1_t1"], [["2023-01-01T00:00:00", 1.0]])),
             'Таблица day_data, строка 1: в столбце date ожидается дата и время, получено: "2023-01-01T00:00:00"'),
            ({"info": info(node), "hour_data": {"S1_t1": 5}}, "hour_data не является таблицей"),
            ([1, 2], "ожидается набор таблиц"),
            (tables(info=info(node, name="Ж" * 256), hour_data=good),
             "Слишком длинное значение поля name: не более 255 символов")]
        # Cells no archive holds: what an export gives, the import must take back.
        for bad, cell in (([1, 2], "hour_data"), ({"a": 1}, "current_data"), ({"$bytes": "AAE="}, "day_data"),
                          ({"$time": "10:00:00.000"}, "month_totals")):
            rows = [[stamp(START), 1.0], [stamp(START + datetime.timedelta(days=1)), bad]]
            cases.append((tables(info=info(node), **{cell: table(["date", "S1_t1"], rows)}),
                          "Неверное значение в архиве %s, строка 2, столбец S1_t1: ожидается число, текст или дата"
                          % cell))
        for params, expected in cases:
            self.assertIn(expected, c.error("saveArchives", params))
        self.assertEqual(c.error("saveArchives", tables(info=info(node + 1000), hour_data=good)), "Узел не найден")
        record = c.ok("getNode", node)
        self.assertEqual((record["has_archives"], record["last_update"]), (0, None))
        # Refused before the save began: not even the journal changed.
        errors = [r["message"] for r in journal(c) if r["level"] == "ERROR"]
        self.assertEqual([e for e in errors if any(expected in e for _, expected in cases)], [])


def wal_size(server):
    return os.path.getsize(server.db_path + "-wal") if os.path.exists(server.db_path + "-wal") else 0


class KilledSaveTest(unittest.TestCase):
    """SIGKILL during a large save: after a restart the node has all of it or none, its record included."""

    COLUMNS = ["S%d_p%d" % (s, p) for s in range(1, 4) for p in range(8)]
    NEW_HOURS = 3 * 365 * 24
    NEW_DAYS = 3 * 365 - 1
    # Three years of hourly rows with 24 parameters, after the stored day.
    BIG = dict(hour_data=hours(START + datetime.timedelta(days=1), NEW_HOURS, COLUMNS),
               day_data=table(["date", "S1_p0"], [[stamp(START + datetime.timedelta(days=d)), 1.0]
                                                  for d in range(1, NEW_DAYS + 1)]))

    def test_kill_during_large_save(self):
        # Kills while the save merges, when the WAL begins to take the new archive (in the commit; without
        # a transaction the node's days are written before it), and once the reply has come.
        def wal_grows(server, c, wal):
            wait_until(lambda: wal_size(server) > wal + (64 << 10) or server.proc.poll() is not None,
                       timeout=120, step=0.001)

        def replied(server, c, wal):
            self.assertIs(c.read()["result"], True)

        for name, wait in [("merging", lambda server, c, wal: time.sleep(1.5)), ("write", wal_grows), ("committed", replied)]:
            if name == "write" and ON_POSTGRES:
                continue   # SQLite's write-ahead log file; PostgreSQL's commit is its own
            with self.subTest(name):
                self.kill_and_restart(wait)

    def read_back(self, c, node):
        return (c.ok("getNode", node), c.ok("getFillData", node),
                len(c.rows("getArchive", node, "hour_data", None, None)),
                len(c.rows("getArchive", node, "day_data", None, None)))

    def kill_and_restart(self, wait):
        home = TempHome(self)
        server = DataServer(home=home)
        c = TcpClient(server.port, timeout=300)
        node = new_node(c)
        c.ok("saveArchives", tables(info=info(node), hour_data=hours(START, 24), day_data=hours(START, 1)))
        before = self.read_back(c, node)
        # Times are stored to the second: the next save's last_update differs once the clock has left this one.
        saved = datetime.datetime.fromisoformat(before[0]["last_update"]["$datetime"]).timestamp()
        wait_until(lambda: time.time() >= saved + 1, timeout=5, step=0.01)
        wal = wal_size(server)
        c.send("saveArchives", [tables(info=info(node), **self.BIG)])
        wait(server, c, wal)
        server.stop(signal.SIGKILL)
        c.close()

        server = DataServer(home=home)
        c = TcpClient(server.port)
        after = self.read_back(c, node)
        c.close()
        self.assertEqual(server.stop(), 0, server.output)
        if after[2] == before[2]:
            self.assertEqual(after, before)
        else:
            record, fill, hour_count, day_count = after
            self.assertEqual((hour_count, day_count), (24 + self.NEW_HOURS, 1 + self.NEW_DAYS))
            self.assertEqual((fill["hour_data"]["size"], fill["day_data"]["size"]), (hour_count, day_count))
            self.assertGreater(record["last_update"]["$datetime"], before[0]["last_update"]["$datetime"])
            self.assertEqual(record["last_day"], stamp(START + datetime.timedelta(days=self.NEW_DAYS)))
        if not ON_POSTGRES:
            self.assertEqual(sql(server.db_path, "PRAGMA integrity_check"), [("ok",)])
