"""Polling with the simulator: a poll on demand, channels, refusals, the scheduler at start, a stop mid-run; the
simulator's current reading and its clock. Wrong replies, unreachable servers, retries, cancelling: tst_taskmanager,
test_metrics, test_xmlrpc."""

import datetime
import signal
import time
import unittest

from orvexe2e import SimulatedInstallation, channel_key, dt, installation, node_and_task, rows, wait_idle, wait_until


class PollingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = SimulatedInstallation()
        cls.admin = cls.inst.admin
        cls.admin.ok("setSetting", "taskAttemptInterval", 0)

    @classmethod
    def tearDownClass(cls):
        assert cls.inst.close() == 0, cls.inst.server.output

    def setUp(self):
        self.inst.sim.client.ok("resetStats")

    def test_poll_on_demand_stores_archives(self):
        node, task = node_and_task(self.admin)
        self.admin.ok("takeChangeEvents")
        self.assertEqual(self.admin.ok("startTask", task), task)
        wait_idle(self.admin, task)

        record = self.admin.ok("getTask", task)
        self.assertEqual((record["last_error"], record["is_fail"], record["has_log"]), (None, 0, 1), record)
        self.assertTrue(any("Считано записей hour_data" in line for line in self.admin.ok("getTaskLog", task)))
        self.assertGreater(len(self.admin.rows("getArchive", node, "hour_data", None, None)), 24 * 30)
        stored = self.admin.ok("getNode", node)
        self.assertTrue("$datetime" in stored["last_update"] and "$datetime" in stored["last_day"], stored)
        self.assertIsNotNone(stored["version"])
        events = self.admin.ok("takeChangeEvents")
        for name in ("taskStateChanged", "taskSaved", "nodeSaved"):
            self.assertIn(task if name.startswith("task") else node, events.get(name, []), name)
        self.assertEqual(self.inst.sim.stats()["created"], 1)

    def test_one_channel_one_run(self):
        line = {"code": "RS485", "port": "/dev/ttyS7", "runSeconds": "2"}
        channels = [dict(line, slaveAddress=n) for n in (1, 2)]
        channels += [dict(line, port=port) for port in ("/dev/ttyS8", "/dev/ttyS9")]
        tasks = [node_and_task(self.admin, task={"archives": []}, deviceId=None, **c)[1] for c in channels]
        for task in tasks:
            self.admin.ok("startTask", task)
        for task in tasks:
            wait_idle(self.admin, task)
            self.assertIsNone(self.admin.ok("getTask", task)["last_error"])
        stats = self.inst.sim.stats()
        self.assertEqual(stats["maxRunning"][channel_key(line)], 1)
        self.assertGreaterEqual(stats["maxRunningTotal"], 2)

    def test_result_with_a_list_cell_stores_nothing(self):
        node, task = node_and_task(self.admin, fault="badCell")
        self.admin.ok("startTask", task)
        wait_idle(self.admin, task)
        self.assertRegex(self.admin.ok("getTask", task)["last_error"], r"^Неверное значение в архиве hour_data, "
                         r"строка 1, столбец \w+: ожидается число, текст или дата$")
        stored = self.admin.ok("getNode", node)
        self.assertEqual((stored["has_archives"], stored["last_update"], stored["version"]), (0, None, None))
        self.assertEqual(self.inst.sim.stats()["created"], 1)   # the poll worked; saving it was refused: no retry

    def simulated_current(self, device, **channel):
        """The current reading one job of the simulator (asked directly, not by the server) brings from a device."""
        sim = self.inst.sim.client
        job = sim.ok("createTask", dict({"code": "COM", "port": "COM%d" % device, "deviceId": str(device)}, **channel),
                     {"code": "QRVK"})
        self.assertIs(sim.ok("setCommand", job, "readArchive", {"data": ["currentData"]}), True)
        self.assertIs(sim.ok("startTask", job), True)
        wait_until(lambda: sim.ok("getState", job)[1], timeout=20)
        result = sim.ok("getResult", job)
        self.assertIs(sim.ok("removeTask", job), True)
        self.assertIs(result[1], True, result)
        return rows(result[2][0]["$tables"]["current_data"])[0]

    def test_simulated_clock(self):
        # The rest of the simulator's conversation is every polling test's; its values: tests/devicesim.
        current = self.simulated_current(701)
        self.assertEqual(current["date"], current["DT"])
        clock = self.simulated_current(702, fault="clockOff", clockOffset="60")
        device = datetime.datetime.fromisoformat(clock["date"]["$datetime"])
        server = datetime.datetime.fromisoformat(clock["sys_date"]["$datetime"])
        self.assertEqual(device - server, datetime.timedelta(minutes=60))

    def test_start_is_refused_without_change(self):
        self.assertEqual(self.admin.error("startTask", 987654), "Задача опроса 987654 не найдена")
        # A hidden task's refusal: test_security.
        no_driver = node_and_task(self.admin, model="NOSUCH")[1]
        self.assertEqual(self.admin.error("startTask", no_driver), "Для прибора NOSUCH не найден драйвер опроса")
        self.assertIsNone(self.admin.ok("getTaskState", no_driver)["is_run"])
        self.assertEqual(self.inst.sim.stats()["created"], 0)


class HungRunTest(unittest.TestCase):
    """A polling server whose job never ends and that ignores cancelTask."""

    def test_cancel_and_time_limit_free_the_slot(self):
        inst = installation(self)
        admin = inst.admin
        for name, value in (("taskAttemptCount", 1), ("taskAttemptInterval", 0)):
            admin.ok("setSetting", name, value)
        for bad in ("вечно", -1, [5]):
            self.assertIn("Неверное значение настройки taskRunTimeout",
                          admin.error("setSetting", "taskRunTimeout", bad))
        node, hung = node_and_task(inst.admin, fault="hang")
        admin.ok("startTask", hung)
        self.assertTrue(wait_until(lambda: inst.sim.stats()["created"] == 1))

        # Ended after the grace although the polling server never confirms (what its log says, the slot it frees,
        # what it brings late: tst_taskmanager).
        cancelled = time.time()
        admin.ok("cancelTask", hung)
        wait_idle(inst.admin, hung, timeout=15)
        self.assertLess(time.time() - cancelled, 9)
        self.assertEqual((admin.ok("getTask", hung)["last_error"], inst.sim.stats()["cancelRequests"]),
                         ("Задание отменено", 1))

        # The time limit (a fraction of a minute) ends the second poll, asking the polling server to cancel it.
        admin.ok("setSetting", "taskRunTimeout", 0.05)
        admin.ok("startTask", hung)
        wait_idle(inst.admin, hung, timeout=30)
        limit = "Опрос прерван: он длился дольше 0.05 мин. (настройка taskRunTimeout)"
        self.assertEqual((admin.ok("getTask", hung)["last_error"], admin.ok("getTaskLog", hung)[-1]), (limit, limit))
        self.assertEqual(inst.sim.stats()["cancelRequests"], 2)
        self.assertEqual(admin.ok("getNode", node)["has_archives"], 0)


class StartAndStopTest(unittest.TestCase):
    def test_scheduler_at_start_and_shutdown_with_runs_in_flight(self):
        # Today at midnight, on this day of the month only, last run two days ago: today's slot has come, and
        # the run it makes is not due again within the test, whatever hour it straddles.
        wait_until(lambda: time.localtime(time.time() + 60).tm_mday == time.localtime().tm_mday, timeout=70)
        inst = installation(self)
        today = 1 << (time.localtime().tm_mday - 1)
        monthly = {"mode": "monthly", "dayMask": today, "times": ["00:00"]}
        node, task = node_and_task(inst.admin, task={"timetable": monthly})
        two_days_ago = time.strftime("%Y-%m-%dT%H:%M:%S.000", time.localtime(time.time() - 2 * 86400))
        inst.admin.ok("saveTask", {"id": task, "last_exec": dt(two_days_ago)})
        inst.restart_server()     # the scheduler's first pass runs at start
        self.assertTrue(wait_until(lambda: inst.admin.ok("getTask", task)["last_exec"]["$datetime"] > two_days_ago))
        wait_idle(inst.admin, task)
        self.assertTrue(inst.admin.rows("getArchive", node, "hour_data", None, None))

        tasks = [node_and_task(inst.admin, **channel)[1] for channel in ({"runSeconds": "60"}, {"fault": "silent"})]
        for started in tasks:
            inst.admin.ok("startTask", started)
        # Both jobs made on the polling server (after the scheduled one, already collected) and still there, and
        # the long one reports its state: each run waits on its server, the silent one for a state that never
        # comes. (Which job starts first is the server's choice, so how many ran at once is not the sign.)
        self.assertTrue(wait_until(lambda: (inst.sim.stats()["created"], inst.sim.stats()["alive"]) == (3, 2)
                                   and inst.admin.ok("getTaskState", tasks[0])["progress"] is not None),
                        (inst.sim.stats(), inst.admin.ok("getTaskState", tasks[0])))
        inst.admin.close()
        started = time.time()
        inst.server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(inst.server.proc.wait(30), 0)
        self.assertLess(time.time() - started, 8)
        self.assertEqual(inst.sim.stats()["cancelRequests"], 1)
