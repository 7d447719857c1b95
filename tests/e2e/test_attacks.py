"""Faults a client can cause over the server's own protocol, each driven the way an attacker would."""

import contextlib
import os
import threading
import time

from orvexe2e import ServerTestCase, TcpClient, dt, idle, new_node, rss_bytes, table, wait_until


def day_rows(node):
    return {"$tables": {"info": table(["id"], [[node]]),
                        "day_data": table(["date", "S1_t1"], [[dt("2023-01-01T00:00:00.000"), 60.0]])}}


class CommandAttacks(ServerTestCase):
    def test_leaving_while_own_script_runs(self):
        c = self.client()
        node = new_node(c)
        c.ok("saveArchives", day_rows(node))
        c.ok("setCheckParams", node, {"script": "while (true) {}"})
        # The client's close is among the events the script processes; the command then
        # runs out of its row time (1 s) and returns for a client that is gone.
        for method, params in (("checkArchives", [node]), ("saveArchives", [day_rows(node)])):
            gone = TcpClient(self.server.port)
            gone.send(method, params)
            time.sleep(0.4)
            gone.close()
            self.assertEqual(self.client().ok("getApiVersion"), 2, method)
        # The class's tear-down requires a clean exit: no sanitizer report.

    def test_wide_ids_do_not_wrap(self):
        c = self.client()
        node = new_node(c)
        name = c.ok("getNode", node)["name"]
        wide = 2 ** 32 + node   # a task's node id beyond an int: tst_records
        for method, params, refusal in [
                ("removeNode", [wide], "параметр 1 команды removeNode"),
                ("getNode", [-2 ** 63], "параметр 1 команды getNode"),
                ("getUser", [str(2 ** 32 + 1)], "параметр 1 команды getUser"),
                ("saveUser", [{"id": 2 ** 32, "login": "mallory"}], "поля id"),
                ("saveNode", [{"id": wide, "name": "чужой"}], "поля id"),
                ("saveNode", [{"id": node, "group_id": 2 ** 32}], "поля group_id"),
                ("setUserGroups", [1, [2 ** 32]], "поля groups"),
                ("saveArchives", [{"$tables": {"info": table(["id"], [[wide]]),
                                               "day_data": table(["date"], [[dt("2023-02-01T00:00:00.000")]])}}],
                 "узла")]:
            self.assertIn(refusal, c.error(method, *params), method)
        record = c.ok("getNode", node)
        self.assertEqual((record["id"], record["name"]), (node, name))
        self.assertEqual(c.ok("getUser", 0)["login"], "admin")
        self.assertEqual(c.rows("getArchive", node, "day_data", None, None), [])

    def test_flooding_client_does_not_starve_others(self):
        flood = self.client()
        # Enough that serving them all outlasts the other client's calls, however fast one is.
        count = 20000
        burst = b"".join(b'{"jsonrpc":"2.0","id":%d,"method":"getNodes"}\n' % i for i in range(count))
        answered = [0]

        def read_all():
            with contextlib.suppress(OSError):
                while answered[0] < count:
                    flood.read_line()
                    answered[0] += 1

        threads = [threading.Thread(target=flood.send_raw, args=(burst,)), threading.Thread(target=read_all)]
        for t in threads:
            t.start()
        wait_until(lambda: answered[0] > 0, timeout=60, step=0.01)
        other = self.client()

        def timed():
            started = time.monotonic()
            other.ok("getApiVersion")
            return time.monotonic() - started
        worst = max(timed() for _ in range(5))
        during = answered[0]
        for t in threads:
            t.join(120)
        # Measured during the flood; it took 8 s when a received chunk ran to its end before anyone else's turn.
        self.assertLess(during, count)
        self.assertEqual(answered[0], count)
        self.assertLess(worst, 1.0)


class NeverReadingClient(ServerTestCase):
    rpc_only = True
    # A small quarantine, so that the sanitizer's keeping of freed memory does not count as growth.
    server_env = {"ASAN_OPTIONS": "quarantine_size_mb=8:" + os.environ.get("ASAN_OPTIONS", "")}

    def test_memory_stays_bounded(self):
        pid, c = self.server.proc.pid, self.client()
        before = rss_bytes(pid)
        # 60 requests of 50 bytes for 1.6 MB of reply each: 100 MB if all ran for a client that reads nothing.
        c.send_raw(b'{"jsonrpc":"2.0","id":1,"method":"makeTable","params":[5000,40]}\n' * 60)
        wait_until(lambda: idle(pid), timeout=120, step=0.5)
        growth = rss_bytes(pid) - before
        self.assertEqual(self.client().call("noop")["result"], True)
        self.assertLess(growth, 40 * 1024 * 1024, "grew by %d MB" % (growth >> 20))
