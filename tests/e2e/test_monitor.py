"""The data monitor end to end: the real orvex-server and orvex-device-sim.
Who may watch which node, subscriptions per user and their end with the
user's last connection, monitor runs of watched nodes and their
announcements, and bad parameters of the monitor commands. Failed runs are
seen through OPC (test_opc.py)."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import REFUSED, DataServer, DeviceSimulator, TcpClient, TempHome, rows, wait_until  # noqa: E402

# The monitor looks for due nodes five times a second instead of every 10 s.
FAST_MONITOR = {"ORVEX_MONITOR_TICK_MS": "200"}


def watched(client):
    return sorted(r["node_id"] for r in rows(client.ok("monitorGetData")))


class MonitorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = TempHome()
        cls.sim = DeviceSimulator(cls.home)
        cls.server = DataServer(home=cls.home, env=FAST_MONITOR)
        cls.admin = TcpClient(cls.server.port)
        cls.admin.ok("login", "admin", "tavro")
        a = cls.admin
        cls.group1 = a.ok("saveGroup", {"name": "Котельная 1"})
        cls.group2 = a.ok("saveGroup", {"name": "Котельная 2"})
        cls.node1, cls.task1 = cls.node_and_task(101, cls.group1)
        cls.node2, cls.task2 = cls.node_and_task(102, cls.group2)
        cls.taskless = a.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 103})
        a.ok("saveUser", {"login": "op", "password": "pw", "access": ["monitorAppend"], "groups": [cls.group1]})
        a.ok("saveUser", {"login": "viewer", "password": "pw", "access": [], "groups": [cls.group1]})

    @classmethod
    def node_and_task(cls, number, group):
        node = cls.admin.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": number,
                                         "group_id": group, "name": "Узел %d" % number})
        task = cls.admin.ok("saveTask", {"node_id": node, "mon_interval": 1, "archives": ["currentData"],
                                         "channel": {"code": "COM", "port": "COM%d" % number,
                                                     "deviceId": str(number)}})
        return node, task

    @classmethod
    def tearDownClass(cls):
        cls.admin.close()
        code = cls.server.stop()
        cls.sim.stop()
        cls.home.remove()
        assert code == 0, cls.server.output

    def login(self, name):
        c = TcpClient(self.server.port)
        c.ok("login", name, "pw")
        return c

    def test_who_watches_what(self):
        op = self.login("op")
        # Outside the user's groups, without a main task, unknown or not a
        # whole number: skipped, and the answer is still true.
        self.assertIs(op.ok("monitorAppend", [self.node1, self.node2, self.taskless, 999999, "1", 1.5, None]), True)
        self.assertEqual(watched(op), [self.node1])
        # Two users watching one node: removing it for one keeps it for the other.
        self.admin.ok("monitorAppend", [self.node1, self.node2])
        self.assertIs(op.ok("monitorRemove", [self.node1]), True)
        self.assertEqual(watched(op), [])
        self.assertEqual(watched(self.admin), [self.node1, self.node2])
        self.admin.ok("monitorRemove", [self.node1, self.node2])

        viewer = self.login("viewer")
        self.assertEqual(viewer.error("monitorAppend", [self.node1]), REFUSED)
        self.assertIs(viewer.ok("monitorRemove", [self.node1]), True)
        for bad in ("1,2", {"a": 1}, 5):
            self.assertIn("список", op.error("monitorAppend", bad))
            self.assertIn("список", op.error("monitorRemove", bad))
        op.close()
        viewer.close()

    def test_watched_node_is_refreshed_and_announced(self):
        op = self.login("op")
        other = self.login("viewer")
        op.ok("takeChangeEvents")
        other.ok("takeChangeEvents")
        before = self.sim.stats().get("created", 0)
        op.ok("monitorAppend", [self.node1])
        self.assertTrue(wait_until(lambda: any("S1_t1" in r and isinstance(r["S1_t1"], float)
                                               for r in rows(op.ok("monitorGetData"))), 20))
        row = rows(op.ok("monitorGetData"))[0]
        self.assertEqual((row["node_id"], row["task_id"], row["number"]), (self.node1, self.task1, 101))
        self.assertFalse(row["CHECK_ERR"])
        self.assertGreater(self.sim.stats()["created"], before)
        self.assertTrue(wait_until(lambda: self.node1 in op.ok("takeChangeEvents").get("nodeMonitored", []), 20))
        # Who does not watch the node is not told.
        self.assertNotIn("nodeMonitored", other.ok("takeChangeEvents"))

        # Monitor runs read current values only: the archives stay empty.
        self.assertEqual(rows(self.admin.ok("getArchive", self.node1, "hour_data", None, None)), [])

        # The user's last connection going away ends what they watched.
        op.close()
        again = self.login("op")
        self.assertTrue(wait_until(lambda: watched(again) == [], 10))
        runs = self.sim.stats()["created"]
        time.sleep(2.5)  # more than two monitor intervals
        self.assertLessEqual(self.sim.stats()["created"], runs + 1)
        again.close()
        other.close()


if __name__ == "__main__":
    unittest.main()
