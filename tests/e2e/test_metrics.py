"""The /metrics page after a few polls, in the Prometheus text format."""

import os
import unittest

from orvexe2e import http_get, installation, node_and_task, open_http, wait_idle
import prometheus


class MetricsTest(unittest.TestCase):
    def test_metrics_after_polls(self):
        inst = installation(self)
        admin = inst.admin
        port = open_http(admin)

        admin.ok("setSetting", "taskAttemptInterval", 0)
        tasks = [node_and_task(inst.admin)[1] for _ in range(2)]
        tasks.append(node_and_task(inst.admin, fault="error", failCount="1")[1])   # fails once, then succeeds
        for task in tasks:
            admin.ok("startTask", task)
            wait_idle(inst.admin, task)
        admin.error("getTask", "not a number")

        # Its status is said by its type and its text: nothing but the page is text of that version that parses.
        _, headers, text = http_get(port, "/metrics")
        self.assertTrue(headers["content-type"].startswith("text/plain; version=0.0.4"), headers)
        families = prometheus.parse(text.decode())
        v = lambda name, **labels: prometheus.value(families, name, **labels)  # noqa: E731
        # One client connected: the admin.
        self.assertEqual([v(name) for name in ("orvex_runs_started_total", "orvex_runs_succeeded_total",
                                               "orvex_run_retries_total", "orvex_runs_failed_total",
                                               "orvex_run_queue_length", "orvex_runs_running",
                                               "orvex_archive_save_duration_seconds_count", "orvex_rpc_clients_connected",
                                               "orvex_database_size_bytes")],
                         [4, 3, 1, 0, 0, 0, 3, 1, os.path.getsize(inst.server.db_path)])
        self.assertGreater(v("orvex_archive_save_duration_seconds_sum"), 0)
        self.assertEqual([v("orvex_rpc_requests_total", command="startTask"), v("orvex_rpc_errors_total", command="getTask"),
                          v("orvex_rpc_errors_total", command="startTask")], [3, 1, 0])
        self.assertGreater(v("orvex_last_backup_timestamp_seconds"), 1.6e9)   # the backup made at start

        self.assertEqual(http_get(port, "/nothing")[0], 404)   # "/" is the web console
