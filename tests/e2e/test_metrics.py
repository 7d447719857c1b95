"""The operators' HTTP listener and its /metrics page, end to end: off until
"httpPort" is set, following the setting while the server runs, the page
after a few polls read as the Prometheus text format; and two servers with
homes of their own side by side, while a second one on the same home is
refused."""

import http.client
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import DataServer, TempHome, accepts, free_port, wait_until  # noqa: E402
import prometheus  # noqa: E402
from test_polling import Installation  # noqa: E402


def get(port, path, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read().decode()
    finally:
        connection.close()


class MetricsTest(unittest.TestCase):
    def test_metrics_after_polls(self):
        inst = Installation()
        self.addCleanup(inst.close)
        admin = inst.admin
        self.assertNotIn("httpPort", admin.ok("getSettings"))      # off by default
        port = free_port()
        admin.ok("setSetting", "httpPort", port)
        self.assertTrue(wait_until(lambda: accepts(port), timeout=10))

        admin.ok("setSetting", "taskAttemptInterval", 0)
        tasks = [inst.node_and_task()[1] for _ in range(2)]
        tasks.append(inst.node_and_task(fault="error", failCount="1")[1])   # fails once, then succeeds
        for task in tasks:
            admin.ok("startTask", task)
        for task in tasks:
            inst.wait_idle(task)
        admin.error("getTask", "not a number")

        status, content_type, text = get(port, "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(content_type.startswith("text/plain; version=0.0.4"), content_type)
        families = prometheus.parse(text)
        v = lambda name, **labels: prometheus.value(families, name, **labels)  # noqa: E731
        for name, kind in (("orvex_runs_started_total", "counter"), ("orvex_run_queue_length", "gauge"),
                           ("orvex_archive_save_duration_seconds", "histogram"),
                           ("orvex_rpc_requests_total", "counter"), ("orvex_database_size_bytes", "gauge")):
            self.assertEqual(families[name]["type"], kind, name)
            self.assertTrue(families[name]["help"], name)
        self.assertEqual(v("orvex_runs_started_total"), 4)
        self.assertEqual(v("orvex_runs_succeeded_total"), 3)
        self.assertEqual(v("orvex_run_retries_total"), 1)
        self.assertEqual(v("orvex_runs_failed_total"), 0)
        self.assertEqual((v("orvex_run_queue_length"), v("orvex_runs_running")), (0, 0))
        self.assertEqual(v("orvex_archive_save_duration_seconds_count"), 3)
        self.assertGreater(v("orvex_archive_save_duration_seconds_sum"), 0)
        self.assertEqual(v("orvex_rpc_requests_total", command="startTask"), 3)
        self.assertEqual(v("orvex_rpc_errors_total", command="getTask"), 1)
        self.assertEqual(v("orvex_rpc_errors_total", command="startTask"), 0)
        self.assertEqual(v("orvex_rpc_clients_connected"), 1)         # the admin
        self.assertEqual(v("orvex_database_size_bytes"), os.path.getsize(inst.server.db_path))
        self.assertGreater(v("orvex_last_backup_timestamp_seconds"), 1.6e9)   # the backup made at start

        self.assertEqual(get(port, "/nothing")[0], 404)   # "/" is the web console
        self.assertEqual(get(port, "/metrics", "POST")[0], 405)
        # The listener follows the setting.
        moved = free_port()
        admin.ok("setSetting", "httpPort", moved)
        self.assertTrue(wait_until(lambda: accepts(moved) and not accepts(port), timeout=10))
        self.assertEqual(get(moved, "/metrics")[0], 200)

    def test_servers_side_by_side(self):
        # Homes of their own, one folder of control sockets: both run; a
        # second server on a home in use is refused and the first runs on.
        first, second = TempHome(), TempHome()
        self.addCleanup(first.remove)
        self.addCleanup(second.remove)
        second.runtime = first.runtime
        one = DataServer(home=first)
        two = DataServer(home=second)
        again = DataServer(home=first, wait=False)
        self.assertNotEqual(again.proc.wait(30), 0)
        again.stop()
        self.assertTrue(accepts(one.port) and accepts(two.port))
        self.assertEqual(one.stop(), 0)
        self.assertEqual(two.stop(), 0)


if __name__ == "__main__":
    unittest.main()
