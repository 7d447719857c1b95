"""Task records over the wire: the form round trip, display and run-state columns, the main task, bad input."""


from orvexe2e import REFUSED, ServerTestCase, dt, journal, new_node, rows

STATE_COLUMNS = ["id", "node_id", "last_error", "is_run", "started", "elapsed", "remaining", "attempts",
                 "progress", "state"]


class TasksTest(ServerTestCase):
    def make_task(self, c, node, **extra):
        return c.ok("saveTask", dict({"node_id": node, "channel": {"code": "COM", "port": "COM3"}}, **extra))

    def test_full_form_round_trip(self):
        admin = self.admin()
        node = new_node(admin)
        form = {"node_id": node, "mon_interval": 120, "varnel_ip": "127.0.0.1", "varnel_port": 5413,
                "channel": {"code": "GSM", "phoneNumber": "+79001234567", "hostName": "meter.local",
                            "deviceId": "7", "baudRate": 9600},
                "archives": ["hourData", "monthData"],
                "timetable": {"mode": "daily", "times": ["18:00", "06:00"]},
                "last_exec": dt("2024-05-01T10:00:00.000")}
        task = admin.ok("saveTask", form)
        table = admin.ok("getTasks")
        columns = table["$table"]["columns"]
        self.assertEqual(columns[:6], ["group_id", "node_name", "model_code", "model_name", "number", "id"])
        row = [r for r in rows(table) if r["id"] == task][0]
        shown = dict(dict.fromkeys(STATE_COLUMNS[3:]), archives="М,Ч", phone_or_ip="+79001234567", device_id="7",
                     channel_code="GSM", timetable_mode="Ежедневно", is_main=1, is_fail=0, has_log=0,
                     last_exec=None)   # a new timetable clears the last run
        self.assertEqual({k: row[k] for k in shown}, shown)
        record = admin.ok("getTask", task)
        self.assertEqual({k: row[k] for k in record}, record)
        self.assertEqual(admin.ok("getTaskData", task),
                         {k: v for k, v in dict(form, id=task, is_main=1).items() if k not in ("node_id", "last_exec")})
        self.assertEqual(admin.ok("getTaskLog", task), [])

        # The short form (the task manager's bookkeeping) keeps the stored timetable.
        self.assertEqual(admin.ok("saveTask", {"id": task, "last_exec": dt("2024-05-02T05:00:00.000"),
                                               "last_error": "Нет ответа"}), task)
        record = admin.ok("getTask", task)
        self.assertEqual((record["last_exec"], record["last_error"], record["is_fail"]),
                         (dt("2024-05-02T05:00:00.000"), "Нет ответа", 1))
        self.assertTrue(record["next_exec"]["$datetime"].endswith("T18:00:00.000"))
        self.assertEqual(admin.ok("getTaskData", task)["timetable"], form["timetable"])

        # Display columns: host without phone, archive kinds in fixed order, unknown modes and empty lists as null.
        for channel, archives, timetable, expected in [
                ({"code": "TCP", "hostName": "meter.local"}, ["journalData", "dayData", "hourData", "monthData"],
                 {"mode": "sometimes"}, ("meter.local", "М,С,Ч,Ж", None, None)),
                ({"code": "COM"}, [], {}, (None, None, None, None)),
                ({"code": "COM", "deviceId": 17}, ["dayData"], {"mode": "weekly"}, (None, "С", "Еженедельно", "17"))]:
            admin.ok("saveTask", {"id": task, "channel": channel, "archives": archives, "timetable": timetable})
            record = admin.ok("getTask", task)
            self.assertEqual(tuple(record[k] for k in ("phone_or_ip", "archives", "timetable_mode", "device_id")), expected)

    def test_main_task_and_change_events(self):
        admin, watcher = self.admin(), self.admin()
        node = new_node(admin)
        watcher.ok("takeChangeEvents")
        first, second = (self.make_task(admin, node) for _ in range(2))
        third = self.make_task(admin, node, is_main=1)      # only a node's first task becomes main
        events = watcher.ok("takeChangeEvents")
        self.assertEqual((events["taskSaved"], events["nodeSaved"]), ([first, second, third], [node]))
        main = lambda: [admin.ok("getTask", t)["is_main"] for t in (first, second, third)]  # noqa: E731
        self.assertEqual(main(), [1, 0, 0])
        # Made main, main already (nothing announced), no longer main.
        for flag, events, mains in ((1, {"taskSaved": [first, second]}, [0, 1, 0]), (1, {}, [0, 1, 0]),
                                    (0, {"taskSaved": [second]}, [0, 0, 0])):
            self.assertIs(admin.ok("setTaskGroup", second, flag), True)
            self.assertEqual((watcher.ok("takeChangeEvents"), main()), (events, mains))

        self.assertEqual(admin.ok("removeTask", first), first)
        self.assertEqual(watcher.ok("takeChangeEvents"), {"taskRemoved": [first]})
        self.assertEqual((admin.ok("getTask", first), admin.ok("getTaskData", first)), ({}, {}))
        self.assertEqual(admin.error("removeTask", first), REFUSED)
        entry = [e for e in journal(admin) if e["message"] == "Удаление задачи"][-1]
        self.assertEqual(entry["node_name"], admin.ok("getNode", node)["name"])

    def test_bad_input_changes_nothing(self):
        admin = self.admin()
        node = new_node(admin)
        task = self.make_task(admin, node, archives=["dayData"], timetable={"mode": "hourly", "minute": 5})
        before = admin.ok("getTasks")
        data = admin.ok("getTaskData", task)
        watcher = self.admin()
        watcher.ok("takeChangeEvents")
        channel = {"code": "COM"}
        # Each refused for its own value: a full form always has its channel.
        forms = [
            "not a map", {"node_id": "abc", "channel": channel}, {"node_id": node, "channel": "COM"},
            {"node_id": node, "channel": channel, "archives": "hourData"},
            {"id": task, "channel": channel, "archives": [1, 2]},
            {"id": task, "channel": channel, "timetable": {"mode": "hourly", "minute": "half"}},
            {"id": task, "channel": channel, "timetable": {"mode": "daily", "times": ["25:00"]}},
            {"id": task, "channel": channel, "timetable": {"mode": "weekly", "dayMask": -1}},
            {"id": task, "last_exec": "yesterday"}, {"id": "%d OR 1=1" % task, "mon_interval": 1},
            {"id": task, "varnel_ip": [1, 2]},
            # A channel without a code breaks a NOT NULL rule after the row is written: all rolled back.
            {"node_id": node, "channel": {}}, {"id": task, "channel": {"code": None}, "archives": ["hourData"]}]
        for method, params in [("saveTask", [form]) for form in forms] + [
                ("saveTask", []), ("getTask", ["x"]), ("getTaskData", [None]), ("getTaskLog", [{"a": 1}]),
                ("setTaskGroup", [task, 2]), ("setTaskGroup", [task]), ("removeTask", [1.5])]:
            self.assertTrue(admin.error(method, *params), (method, params))
        self.assertEqual(admin.ok("getTasks"), before)
        self.assertEqual(admin.ok("getTaskData", task), data)
        self.assertEqual(watcher.ok("takeChangeEvents"), {})
