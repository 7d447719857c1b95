"""Two servers on one PostgreSQL database while tasks poll the device simulator: the active one is killed with
SIGKILL, the standby opens its port within 30 s and polling goes on there; the standby answers no client while the
other is active, no channel is polled by both, and nothing saved before the kill is lost."""

import os
import signal

import prometheus
from orvexe2e import (DeviceSimulator, TempHome, accepts, channel_key, http_get, node_and_task, open_http, pg_section,
                      pgcluster, wait_idle, wait_until, write)
from test_standby import STANDBY, logged_server


class FailoverTest(pgcluster.ClusterTestCase):
    def poll(self, c, task):
        self.assertEqual(c.ok("startTask", task), task)
        wait_idle(c, task)
        self.assertIsNone(c.ok("getTask", task)["last_error"])

    def test_standby_takes_over_polling_after_sigkill(self):
        database = self.cluster.create_database("failover")
        homes = [TempHome(self), TempHome(self)]
        sim = DeviceSimulator(homes[0])
        self.addCleanup(sim.stop)
        write(os.path.join(homes[1].path, "varnel.ini"), "[Server]\nport=%d\n" % sim.port)

        active = logged_server(self, pg_section(self.cluster, database), homes[0])
        self.assertTrue(wait_until(lambda: accepts(active.port) or active.proc.poll() is not None, timeout=60),
                        active.log())
        standby = logged_server(self, pg_section(self.cluster, database), homes[1])
        self.assertTrue(wait_until(lambda: STANDBY in standby.log(), timeout=60), standby.log())

        c = active.admin()
        tasks = dict(node_and_task(c, n) for n in range(71, 75))   # a channel each: COM71 ...
        channels = [c.ok("getTaskData", task)["channel"] for task in tasks.values()]

        # Polls on the active server (its standby keeping its port closed: test_standby's one listener at a time).
        for round_ in range(2):
            for task in tasks.values():
                self.poll(c, task)
        saved = {node: c.ok("getNode", node)["last_update"] for node in tasks}
        hours = {node: len(c.rows("getArchive", node, "hour_data", None, None)) for node in tasks}
        self.assertTrue(all(saved.values()) and all(hours.values()), (saved, hours))

        # Killed while its polls go on: the standby becomes active and opens its port within 30 s (what it logs
        # then: test_standby).
        for task in tasks.values():
            c.ok("startTask", task)
        active.proc.send_signal(signal.SIGKILL)
        active.proc.wait(30)
        c.close()
        self.assertTrue(wait_until(lambda: accepts(standby.port), timeout=30), standby.log())

        c = standby.admin()
        self.addCleanup(c.close)
        self.assertEqual(sorted(t["id"] for t in c.rows("getTasks")), sorted(tasks.values()))
        for node, task in tasks.items():
            wait_idle(c, task)
            before = c.ok("getNode", node)["last_update"]["$datetime"]
            self.assertGreaterEqual(before, saved[node]["$datetime"])
            self.assertGreaterEqual(len(c.rows("getArchive", node, "hour_data", None, None)), hours[node])
        # Polling goes on here.
        self.poll(c, task)

        # The metrics say which server is active and what its database holds.
        families = prometheus.parse(http_get(open_http(c), "/metrics")[2].decode())
        self.assertEqual(prometheus.value(families, "orvex_server_active"), 1)
        self.assertGreater(prometheus.value(families, "orvex_database_size_bytes"), 1 << 20)

        # No channel was ever polled by two runs at once.
        stats = sim.stats()
        self.assertEqual({channel_key(ch): stats["maxRunning"].get(channel_key(ch)) for ch in channels},
                         {channel_key(ch): 1 for ch in channels})

