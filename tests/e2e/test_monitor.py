"""The data monitor with the simulator: who may watch what, runs and announcements, the end with the last client."""

import time

from orvexe2e import FAST_MONITOR, REFUSED, ServerTestCase, SimulatedInstallation, node_and_task, wait_until


def watched(client):
    return sorted(r["node_id"] for r in client.rows("monitorGetData"))


class MonitorTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = SimulatedInstallation(env=FAST_MONITOR)
        cls.sim, cls.server, a = cls.inst.sim, cls.inst.server, cls.inst.admin
        cls.admin = a
        cls.group1, cls.group2 = (a.ok("saveGroup", {"name": "Котельная %d" % i}) for i in (1, 2))
        monitored = {"mon_interval": 1, "archives": ["currentData"]}
        cls.node1, cls.task1 = node_and_task(cls.inst.admin, 101, cls.group1, task=monitored)
        cls.node2, cls.task2 = node_and_task(cls.inst.admin, 102, cls.group2, task=monitored)
        a.ok("saveUser", {"login": "op", "password": "pw", "access": ["monitorAppend"], "groups": [cls.group1]})
        a.ok("saveUser", {"login": "viewer", "password": "pw", "access": [], "groups": [cls.group1]})

    @classmethod
    def tearDownClass(cls):
        assert cls.inst.close() == 0, cls.inst.server.output

    def test_who_watches_what(self):
        op = self.client("op", "pw")
        # Outside the user's groups or no whole number: skipped, still true (without a main task or unknown:
        # tst_datamonitor).
        self.assertIs(op.ok("monitorAppend", [self.node1, self.node2, "1", 1.5, None]), True)
        self.assertEqual(watched(op), [self.node1])
        # Two users watching one node: removing it for one keeps it for the other.
        self.admin.ok("monitorAppend", [self.node1, self.node2])
        self.assertIs(op.ok("monitorRemove", [self.node1]), True)
        self.assertEqual(watched(op), [])
        self.assertEqual(watched(self.admin), [self.node1, self.node2])
        self.admin.ok("monitorRemove", [self.node1, self.node2])

        viewer = self.client("viewer", "pw")
        self.assertEqual(viewer.error("monitorAppend", [self.node1]), REFUSED)
        self.assertIs(viewer.ok("monitorRemove", [self.node1]), True)
        # Anything but a list is refused by one check of the parameter's type.
        self.assertIn("список", op.error("monitorAppend", "1,2"))
        self.assertIn("список", op.error("monitorRemove", {"a": 1}))

    def test_watched_node_is_refreshed_and_announced(self):
        op, other = self.client("op", "pw"), self.client("viewer", "pw")
        op.ok("takeChangeEvents")
        other.ok("takeChangeEvents")
        op.ok("monitorAppend", [self.node1])
        self.assertTrue(wait_until(lambda: any("S1_t1" in r and isinstance(r["S1_t1"], float)
                                               for r in op.rows("monitorGetData")), 20))
        row = op.rows("monitorGetData")[0]
        self.assertEqual((row["node_id"], row["task_id"], row["number"]), (self.node1, self.task1, 101))
        self.assertTrue(wait_until(lambda: self.node1 in op.ok("takeChangeEvents").get("nodeMonitored", []), 20))
        # Who does not watch the node is not told.
        self.assertNotIn("nodeMonitored", other.ok("takeChangeEvents"))

        # Monitor runs read current values only: the archives stay empty.
        self.assertEqual(self.admin.rows("getArchive", self.node1, "hour_data", None, None), [])

        # The user's last connection going away ends what they watched.
        op.close()
        again = self.client("op", "pw")
        self.assertTrue(wait_until(lambda: watched(again) == [], 10))
        runs = self.sim.stats()["created"]
        time.sleep(2.5)  # more than two monitor intervals
        self.assertLessEqual(self.sim.stats()["created"], runs + 1)
