"""The web console in headless chromium (tests/browser/console_check.cjs), and its files over raw sockets."""

import csv
import datetime
import json
import math
import os
import shutil
import subprocess
import tempfile
import threading
import unittest

from orvexe2e import (AUTH_FAILED, BUILD_DIR, START, DataServer, http_get, installation, new_node, node_and_task, open_http,
                      read, stamp, table)

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK_SCRIPT = os.path.join(SOURCE_DIR, "tests", "browser", "console_check.cjs")
XSS_NAME = "<img src=x onerror=alert(1)>"


def hour_rows():
    """24 hours, a gap of 6, then 18 more; S1_t1 climbs past 95 twice."""
    hours = list(range(24)) + list(range(30, 48))
    return [[stamp(START + datetime.timedelta(hours=h)), 80.0 + (h % 20), 40.0 + h / 10] for h in hours]


LONG_START = datetime.datetime(2019, 1, 1)
LONG_HOURS = 43800   # five years
LONG_COLUMNS = ["date", "Th", "NSD", "DB", "Qdim", "S1_t1", "S1_t2", "S1_P1", "S1_G1", "S1_Q", "S1_NS"]
SPIKE_HOUR = 20000


def long_rows():
    """Five years of hourly rows as a meter gives them: a run time of 1, fault bits, a settings base number, the
    heat unit's code and the quantities; one hour's S1_t1 leaps to 150, the last hour has no S1_G1."""
    result = []
    for h in range(LONG_HOURS):
        day = math.sin(2 * math.pi * (h % 24) / 24)
        t1 = 150.0 if h == SPIKE_HOUR else round(70 + 8 * day, 2)
        when = stamp(LONG_START + datetime.timedelta(hours=h))
        result.append([when, 1, 0, 1 + h // 10000, 0, t1, round(45 + 3 * day, 2), 6.2,
                       round(2.5 + day, 3), round(0.12 + 0.02 * day, 3), 0])
    result[-1][LONG_COLUMNS.index("S1_G1")] = None
    return result



class ConsoleTest(unittest.TestCase):
    def setUp(self):
        if not shutil.which("node"):
            self.fail("node is not installed: scripts/setup installs nodejs and npm")
        self.inst = installation(self)
        self.http_port = open_http(self.inst.admin)
        self.artifacts = os.path.join(BUILD_DIR, "test-artifacts", "console")
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        self.downloads = tempfile.mkdtemp(prefix="orvex-downloads-")
        self.addCleanup(shutil.rmtree, self.downloads, True)

    def prepare(self):
        """The installation the browser sees; what it needs to know of it."""
        a = self.inst.admin
        group = a.ok("saveGroup", {"name": "Котельная №1"})
        other = a.ok("saveGroup", {"name": "Котельная №2"})
        polled, task = node_and_task(self.inst.admin, group=group, runSeconds="3")   # long enough to be seen running
        chart = new_node(a, 77, group_id=group, name=XSS_NAME, consumer="МУП «Теплосеть»")
        a.ok("setCheckParams", chart, {"criteria": [["checkExpr", "Enum.All", "value('S1_t1') > 97", "'t1 выше 97'"]]})
        days = [[stamp(START + datetime.timedelta(days=d)), 1.5 + d / 100, 70.0 + d % 3] for d in range(10)]
        self.assertIs(a.ok("saveArchives", {"$tables": {
            "info": table(["id", "warning"], [[chart, "Часы прибора отстают на 5 мин"]]),   # a warning journalled
            "hour_data": table(["date", "S1_t1", "S1_t2"], hour_rows()),
            "day_data": table(["date", "S1_Q", "S1_t1"], days),
            "month_data": table(["date", "S1_t1", "S1_t2"], [[stamp(START), 71.5, 41.0]])}}), True)
        long = new_node(a, group_id=group, name="Пять лет", model_name="ВКТ-7")
        # A rule that fails: an error journalled.
        a.ok("setCheckParams", long, {"criteria": [["checkExpr", "Enum.All", "nosuch(1) > 2", "'?'"]]})
        self.assertIs(a.ok("saveArchives", {"$tables": {"info": table(["id"], [[long]]),
                                                        "hour_data": table(LONG_COLUMNS, long_rows())}}), True)
        node_and_task(self.inst.admin, group=other)
        own = [r["name"] for r in a.rows("getNodes") if r["group_id"] == other]
        user = a.ok("saveUser", {"login": "оператор", "password": "пароль", "access": [], "groups": [other]})
        return {"url": "http://127.0.0.1:%d/" % self.http_port, "artifacts": self.artifacts, "downloads": self.downloads,
                "taskId": task, "polledNode": polled, "chartNode": chart, "ownNodes": own, "searchFor": "ТВ-5",
                "from": "2024-03-01", "to": "2024-03-03", "reportFrom": "2024-03-01", "reportTo": "2024-03-10",
                "monthFrom": "2022-01-01", "monthTo": "2026-01-01", "longNode": long, "longFrom": "2018-12-01",
                "longTo": "2024-02-01", "longMiddle": SPIKE_HOUR,
                "restrictedUser": "оператор", "restrictedPassword": "пароль", "restrictedId": user}

    def run_browser(self, config):
        env = dict(os.environ, NODE_PATH=os.path.join(SOURCE_DIR, "web", "node_modules"))
        with subprocess.Popen(["node", CHECK_SCRIPT, json.dumps(config)], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
            timer = threading.Timer(240, proc.kill)
            timer.start()
            try:
                result = None
                for line in proc.stdout:
                    if line.startswith("result "):
                        result = json.loads(line[len("result "):])
                    if line.startswith("stop-server"):
                        self.inst.admin.ok("saveUser", {"id": config["restrictedId"], "password": "другой"})
                        self.inst.admin.close()
                        self.assertEqual(self.inst.server.stop(), 0, self.inst.server.output)
                    elif line.startswith("start-server"):
                        self.inst.server = DataServer(home=self.inst.home, port=self.inst.server.port)
                        self.inst.admin = self.inst.server.admin()
                    else:
                        continue
                    print("done", file=proc.stdin, flush=True)
                code = proc.wait()
            finally:
                timer.cancel()
            self.assertEqual(code, 0, proc.stderr.read())
        return result

    def test_console(self):
        data = self.prepare()
        found = self.run_browser(data)
        self.assertEqual(found["refusedLogin"], AUTH_FAILED)

        # Markup in a name is text: shown as written (in the list searched and the title), no image made, no alert.
        hours = hour_rows()
        flagged = sum(1 for r in hours if r[1] > 97)
        expected = {"imagesInList": 0, "nodeTitle": XSS_NAME, "dialogs": [], "pageErrors": [],
                    "groups": ["Котельная №1", "Котельная №2"], "searched": [XSS_NAME],
                    "stateBefore": "Не выполняется", "tableRows": len(hours), "flaggedRows": flagged,
                    "checkMessages": ["t1 выше 97"], "checkLog": ["t1 выше 97"] * flagged,
                    "restrictedNodes": data["ownNodes"], "restrictedButtons": 0,
                    "lostTexts": ["Нет связи с сервером. Повторное подключение…"]}
        self.assertEqual({k: found[k] for k in expected}, expected)

        # The run was seen live and ended (the browser waits for that); its time is the task's.
        task = [r for r in self.inst.admin.rows("getTasks") if r["id"] == data["taskId"]][0]
        self.assertTrue(task["last_exec"] and not task["last_error"], task)

        # The chart has every stored value of the two shown parameters; the six missing hours break the lines.
        self.assertGreater(found["chart"].pop("drawn"), 0)
        self.assertEqual(found["chart"], {"points": len(hours) * 2, "gaps": 1, "flagged": flagged})

        # A lone monthly row: the time axis spans a few weeks around it, not years.
        ticks = [datetime.datetime.strptime(t, "%d.%m.%y") for t in found["monthTicks"]]
        near = [abs(t - START) <= datetime.timedelta(days=31) for t in ticks]
        self.assertTrue(near and all(near), found["monthTicks"])

        self.check_long_archive(found)

        # The CSV read back holds the report's days and totals.
        self.assertEqual(read(found["csvFile"], "rb")[:3], b"\xef\xbb\xbf")   # spreadsheets take the file as UTF-8
        with open(found["csvFile"], encoding="utf-8-sig", newline="") as f:
            sheet = list(csv.reader(f, delimiter=";"))
        self.assertEqual([r[0] for r in sheet[:11]], ["Дата"] + ["%02d.03.2024" % d for d in range(1, 11)])
        heat = sheet[0].index(next(t for t in sheet[0] if t.startswith("Тепловая энергия")))
        # The days' sum, with the decimal comma of ";" separated files.
        self.assertEqual(next(r for r in sheet if r[0] == "Итого")[heat], "15,450")
        self.assertIn("Узел учета: " + XSS_NAME, found["reportHeading"])

        # Journal levels in words, each keeping its colour (the installation journalled a warning and an error).
        self.assertEqual({tuple(level) for level in found["journalLevels"]},
                         {("Информация", "level-info"), ("Предупреждение", "level-warn"), ("Ошибка", "level-error")})
        self.assertEqual((found["afterReconnect"], found["restrictedRefused"]), (len(found["nodeNames"]), found["refusedLogin"]))

        # Which paths reach which files (none outside the folder) and their types: tst_zeltohttpserver resolve; a
        # method the route does not take: its answers; a path of none: test_metrics; the vendor folder: the charts
        # drawn above. Here the route and the built folder.
        status, headers, body = http_get(self.http_port, "/index.html?v=2")
        self.assertEqual((status, headers["content-type"], body),
                         (200, "text/html; charset=utf-8", read(os.path.join(BUILD_DIR, "console", "index.html"), "rb")))
        self.assertIn("default-src 'self'", headers["content-security-policy"])
        self.assertEqual(http_get(self.http_port, "/", method="HEAD")[::2], (200, b""))
        # The installation's other servers, for the page to go on with: WebSocket addresses only.
        self.assertEqual(json.loads(http_get(self.http_port, "/servers.json")[2]), [])
        self.inst.admin.ok("setSetting", "consoleServers", ["ws://standby.example:8080/rpc", "http://x/", "x"])
        self.assertEqual(json.loads(http_get(self.http_port, "/servers.json")[2]), ["ws://standby.example:8080/rpc"])

    def check_long_archive(self, found):
        """Five years of hourly rows: few rows in the page, any row reachable; temperatures, flow and heat energy
        drawn first, one axis per unit."""
        last = long_rows()[-1]
        last_hour = (LONG_START + datetime.timedelta(hours=LONG_HOURS - 1)).strftime("%d.%m.%Y %H:%M")
        # The last row's missing S1_G1 is shown empty.
        self.assertEqual((found["longRows"], found["longMiddle"], found["longEnd"][0], found["longEnd"][-3:]),
                         (LONG_HOURS, SPIKE_HOUR, last_hour, ["", "%.3f" % last[-2], "0"]))
        self.assertLess(max(found["longDomRows"], found["longDomRowsAtEnd"]), 300)
        self.assertIsNotNone(found["spikeDrawn"])   # a one-hour leap among 43,800 rows is not smoothed away

        # The catalogue's titles, each unit once (a title that already ends with it included).
        heads = dict(Th="Время наработки, ч", S1_t1="Температура в подающем трубопроводе, °C",
                     S1_t2="Температура в обратном трубопроводе, °C", S1_P1="Давление в подающем трубопроводе, кгс/см2",
                     S1_G1="Расход теплоносителя за интервал в подающем трубопроводе, т", S1_Q="Тепловая энергия, Гкал")
        default = ["S1_t1", "S1_t2", "S1_G1", "S1_Q"]
        self.assertEqual(found["longLegend"], ["Дата"] + [heads[c] for c in default])
        self.assertEqual(found["longAxes"], ["°C", "т", "Гкал"])
        # The picker offers the other measurements unticked (a constant run time too), no bit sets, lists or settings.
        self.assertEqual(found["longPicker"], [[heads[c], c in default] for c in
                                               ["Th", "S1_t1", "S1_t2", "S1_P1", "S1_G1", "S1_Q"]])
