"""Polling end to end: the real orvex-server and the real orvex-device-sim in
one temporary home. A poll on demand stores archives and updates node and
task; failing devices are retried; cancelling, channels, live run states,
servers that are down or answer garbage, refusals, the scheduler across
restarts, shutdown with runs in flight, and the command-line client."""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import (SimulatedInstallation, TcpClient, binary, channel_key, dt,  # noqa: E402
                      free_port, rows, wait_until)

REFUSED = "Недостаточно прав для выполнения команды"
ALL_TIME = (dt("2000-01-01T00:00:00.000"), dt("2100-01-01T00:00:00.000"))


class Installation(SimulatedInstallation):
    """A data server and a simulator sharing one home, with helpers to make
    nodes and tasks whose channels describe simulated devices."""

    serial = 9000

    def node_and_task(self, archives=("hourData", "dayData"), model="QRV2", group=0, timetable=None, **channel):
        Installation.serial += 1
        node = self.admin.ok("saveNode", {"model_code": model, "model_name": model, "number": Installation.serial,
                                          "group_id": group, "name": "Узел %d" % Installation.serial})
        settings = {"code": "COM", "port": "COM%d" % Installation.serial, "deviceId": str(Installation.serial)}
        settings.update(channel)
        settings = {k: v for k, v in settings.items() if v is not None}
        form = {"node_id": node, "channel": settings, "archives": list(archives)}
        if timetable:
            form["timetable"] = timetable
        return node, self.admin.ok("saveTask", form)

    def wait_idle(self, task, timeout=60):
        """Waits until the task has no live run; returns the states seen."""
        seen = []
        deadline = time.time() + timeout
        while time.time() < deadline:
            state = self.admin.ok("getTaskState", task)
            if state["is_run"] is None:
                return seen
            if not seen or seen[-1] != (state["state"], state["attempts"]):
                seen.append((state["state"], state["attempts"]))
            time.sleep(0.1)
        raise AssertionError("task %d still runs: %r" % (task, seen))

    def task_row(self, task):
        found = [r for r in rows(self.admin.ok("getTasks")) if r["id"] == task]
        return found[0] if found else None


class PollingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.admin = cls.inst.admin
        cls.admin.ok("setSetting", "taskAttemptInterval", 0)

    @classmethod
    def tearDownClass(cls):
        assert cls.inst.close() == 0, cls.inst.server.output

    def setUp(self):
        self.admin.ok("setSetting", "taskAttemptCount", 3)
        self.inst.sim.client.ok("resetStats")

    def test_poll_on_demand_stores_archives(self):
        node, task = self.inst.node_and_task()
        self.admin.ok("takeChangeEvents")
        self.assertEqual(self.admin.ok("startTask", task), task)
        self.inst.wait_idle(task)

        record = self.admin.ok("getTask", task)
        self.assertIsNone(record["last_error"], record)
        self.assertIn("$datetime", record["last_exec"])
        self.assertEqual((record["is_fail"], record["has_log"]), (0, 1))
        log = self.admin.ok("getTaskLog", task)
        self.assertTrue(any("Считано записей hour_data" in line for line in log), log)
        hours = rows(self.admin.ok("getArchive", node, "hour_data", None, None))
        self.assertGreater(len(hours), 24 * 30)
        self.assertTrue(all(60 <= h["S1_t1"] <= 95 for h in hours))
        stored = self.admin.ok("getNode", node)
        self.assertIn("$datetime", stored["last_update"])
        self.assertIn("$datetime", stored["last_day"])
        self.assertIsNotNone(stored["version"])
        journal = rows(self.admin.ok("getJournal", *ALL_TIME))
        name = self.admin.ok("getNode", node)["name"]
        self.assertTrue(any(e["message"] == "Опрос прибора" and e["node_name"] == name for e in journal), journal)
        events = self.admin.ok("takeChangeEvents")
        for name in ("taskStateChanged", "taskSaved", "nodeSaved"):
            self.assertIn(task if name.startswith("task") else node, events.get(name, []), name)

        # Polling again reads from the day after the last stored day, and
        # the device gives the same history.
        self.assertEqual(self.admin.ok("startTask", task), task)
        self.inst.wait_idle(task)
        again = rows(self.admin.ok("getArchive", node, "hour_data", None, None))
        self.assertEqual(again[:len(hours) - 24], hours[:len(hours) - 24])
        self.assertEqual(self.inst.sim.stats()["created"], 2)

    def test_failing_device_is_retried(self):
        node, task = self.inst.node_and_task(fault="error", faultText="Обрыв линии")
        self.admin.ok("startTask", task)
        seen = self.inst.wait_idle(task)
        self.assertIn(("Ожидание повторного опроса", 2), seen)
        self.assertIn(("Ожидание повторного опроса", 1), seen)
        self.assertEqual(self.inst.sim.stats()["runs"][str(Installation.serial)], 3)
        record = self.admin.ok("getTask", task)
        self.assertEqual((record["last_error"], record["is_fail"]), ("Обрыв линии", 1))
        self.assertEqual(rows(self.admin.ok("getArchive", node, "hour_data", None, None)), [])

        # Retries that succeed store the data, and the error goes.
        node, task = self.inst.node_and_task(fault="refused", failCount="1")
        self.admin.ok("startTask", task)
        self.inst.wait_idle(task)
        self.assertIsNone(self.admin.ok("getTask", task)["last_error"])
        self.assertTrue(rows(self.admin.ok("getArchive", node, "hour_data", None, None)))

    def test_cancel_during_a_run(self):
        alive = self.inst.sim.stats()["alive"]
        node, task = self.inst.node_and_task(runSeconds="30")
        self.admin.ok("startTask", task)
        self.assertTrue(wait_until(lambda: "Чтение" in (self.admin.ok("getTaskState", task)["state"] or "")))
        row = self.inst.task_row(task)
        self.assertIs(row["is_run"], True)
        self.assertEqual(row["attempts"], 3)
        self.assertIn("Чтение", row["state"])
        self.assertIsInstance(row["progress"], int)
        self.assertIs(self.admin.ok("cancelTask", task), True)
        self.inst.wait_idle(task, timeout=15)
        self.assertEqual(self.admin.ok("getTask", task)["last_error"], "Задание отменено")
        stats = self.inst.sim.stats()
        self.assertEqual((stats["cancelRequests"], stats["alive"]), (1, alive))   # the job was removed
        self.assertEqual(rows(self.admin.ok("getArchive", node, "hour_data", None, None)), [])
        self.assertIsNone(self.admin.ok("getNode", node)["last_update"])

    def test_one_channel_one_run(self):
        line = {"code": "RS485", "port": "/dev/ttyS7", "runSeconds": "2"}
        tasks = [self.inst.node_and_task(archives=(), deviceId=None, slaveAddress=n, **line)[1] for n in (1, 2)]
        tasks += [self.inst.node_and_task(archives=(), deviceId=None, code="RS485", port=port, runSeconds="2")[1]
                  for port in ("/dev/ttyS8", "/dev/ttyS9")]
        for task in tasks:
            self.admin.ok("startTask", task)
        for task in tasks:
            self.inst.wait_idle(task)
            self.assertIsNone(self.admin.ok("getTask", task)["last_error"])
        stats = self.inst.sim.stats()
        self.assertEqual(stats["maxRunning"][channel_key(line)], 1)
        self.assertGreaterEqual(stats["maxRunningTotal"], 2)

    def test_servers_that_are_down_or_answer_garbage(self):
        self.admin.ok("setSetting", "taskAttemptCount", 1)
        down = self.inst.node_and_task()[1]
        form = self.admin.ok("getTaskData", down)
        self.admin.ok("saveTask", dict(form, varnel_ip="127.0.0.1", varnel_port=free_port()))
        garbage = self.inst.node_and_task(fault="badReply")[1]
        for task in (down, garbage):
            self.admin.ok("startTask", task)
        for task in (down, garbage):
            self.inst.wait_idle(task)
        self.assertIn("Не удалось подключиться", self.admin.ok("getTask", down)["last_error"])
        self.assertIn("Неверный ответ сервера опроса", self.admin.ok("getTask", garbage)["last_error"])
        self.assertEqual(self.admin.ok("getApiVersion"), 2)

    def test_start_is_refused_without_change(self):
        self.assertEqual(self.admin.error("startTask", 987654), "Задача опроса 987654 не найдена")
        self.assertTrue(self.admin.error("startTask", "abc"))
        foreign = self.admin.ok("saveGroup", {"name": "Чужая для опроса"})
        hidden = self.inst.node_and_task(group=foreign)[1]
        self.admin.ok("saveUser", {"login": "poller", "password": "pw", "access": ["startTask", "cancelTask"],
                                   "groups": [0]})
        user = TcpClient(self.inst.server.port)
        try:
            user.ok("login", "poller", "pw")
            self.assertEqual(user.error("startTask", hidden), REFUSED)
            self.assertEqual(user.error("cancelTask", hidden), REFUSED)
            self.assertIsNone(user.ok("getTaskState", hidden)["state"])
        finally:
            user.close()
        no_driver = self.inst.node_and_task(model="NOSUCH")[1]
        self.assertEqual(self.admin.error("startTask", no_driver), "Для прибора NOSUCH не найден драйвер опроса")
        before = self.admin.ok("getTasks")
        self.assertEqual(self.admin.ok("getTaskState", no_driver),
                         {"id": no_driver, "is_run": None, "started": None, "elapsed": None, "remaining": None,
                          "attempts": None, "progress": None, "state": None})
        self.assertEqual(self.admin.ok("getTasks"), before)
        self.assertEqual(self.inst.sim.stats()["created"], 0)

    def test_command_line_shows_a_run(self):
        node, task = self.inst.node_and_task(runSeconds="4")
        cli = [binary("orvex-cli"), "-H", "127.0.0.1", "-p", str(self.inst.server.port), "-u", "admin", "-w", "tavro"]
        run = subprocess.run(cli + ["startTask", str(task)], capture_output=True, text=True, timeout=30)
        self.assertEqual((run.returncode, run.stdout.strip()), (0, str(task)), run.stderr)
        # The run connects first; under load that can take a while, so the
        # state is asked again until the reading shows.
        deadline = time.monotonic() + 20
        while True:
            run = subprocess.run(cli + ["--table", "getTaskState", str(task)], capture_output=True, text=True,
                                 timeout=30)
            self.assertEqual(run.returncode, 0, run.stderr)
            fields = dict(line.split(None, 1) for line in run.stdout.splitlines()[2:]
                          if len(line.split(None, 1)) == 2)
            if "Чтение" in fields.get("state", "") or time.monotonic() > deadline:
                break
            time.sleep(0.3)
        self.assertIn("Чтение", fields["state"])
        self.assertEqual(fields["attempts"].strip(), "3")
        self.assertEqual(fields["id"].strip(), str(task))
        self.inst.wait_idle(task)


class SchedulingTest(unittest.TestCase):
    def test_hourly_task_falls_due_once_an_hour(self):
        if time.localtime().tm_min >= 58:
            time.sleep(150)           # the test must not straddle an hour
        inst = Installation()
        try:
            node, task = inst.node_and_task(timetable={"mode": "hourly", "minute": 0})
            # Last run two hours ago: this hour's slot has come.
            two_hours_ago = time.strftime("%Y-%m-%dT%H:%M:%S.000", time.localtime(time.time() - 7200))
            inst.admin.ok("saveTask", {"id": task, "last_exec": dt(two_hours_ago)})
            self.assertIn("$datetime", inst.admin.ok("getTask", task)["next_exec"])
            inst.restart_server()     # the scheduler's first pass runs at start
            self.assertTrue(wait_until(lambda: inst.admin.ok("getTask", task)["last_exec"]["$datetime"]
                                       > two_hours_ago))
            inst.wait_idle(task)
            self.assertEqual(inst.sim.stats()["created"], 1)
            self.assertTrue(rows(inst.admin.ok("getArchive", node, "hour_data", None, None)))
            inst.restart_server()     # not twice in one hour
            time.sleep(2.5)
            self.assertIsNone(inst.admin.ok("getTaskState", task)["state"])
            self.assertEqual(inst.sim.stats()["created"], 1)
        finally:
            self.assertEqual(inst.close(), 0)

    def test_shutdown_with_runs_in_flight(self):
        inst = Installation()
        try:
            slow = inst.node_and_task(runSeconds="60")[1]
            hung = inst.node_and_task(fault="silent")[1]
            for task in (slow, hung):
                inst.admin.ok("startTask", task)
            self.assertTrue(wait_until(lambda: inst.sim.stats()["created"] == 2))
            time.sleep(1.5)
            inst.admin.close()
            started = time.time()
            inst.server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(inst.server.proc.wait(30), 0)
            self.assertLess(time.time() - started, 8)
            self.assertEqual(inst.sim.stats()["cancelRequests"], 1)
        finally:
            inst.server.stop()
            inst.sim.stop()
            inst.home.remove()


if __name__ == "__main__":
    unittest.main()
