"""The demo (scripts/run without ORVEX_HOME): quick polls, Ctrl+C, a second run on one home."""

import os
import random
import signal
import subprocess
import sys
import tempfile
import shutil
import unittest

from orvexe2e import BUILD_DIR, TcpClient, accepts, wait_until

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "demo")


class Demo:
    started = []   # every demo of the running test, for its log when the test fails

    def __init__(self, home, port):
        # The server's log goes to a file: a pipe nobody reads would stall it.
        self.log = tempfile.TemporaryFile("w+")
        Demo.started.append(self)
        self.proc = subprocess.Popen([sys.executable, DEMO, "--build", BUILD_DIR, "--home", home, "--speed", "50",
                                      "--port", str(port)], stdout=subprocess.PIPE, stderr=self.log,
                                     text=True, env=dict(os.environ, ORVEX_RUNTIME_DIR=home))
        # The banner is read up to its last line, the getCheckLog example.
        self.banner = ""
        for line in self.proc.stdout:
            self.banner += line
            if "getCheckLog" in line:
                break

    def interrupt(self):
        """Ctrl+C: returns the exit code and what went to standard error."""
        self.proc.send_signal(signal.SIGINT)
        code = self.proc.wait(60)
        self.proc.stdout.close()
        return code, self.text()

    def text(self):
        self.log.seek(0)
        return self.log.read()


class DemoTest(unittest.TestCase):
    def run(self, result=None):
        # A failure shows what the demo and its server said: a flaky start cannot be read afterwards.
        faults = len(result.failures) + len(result.errors)
        Demo.started = []
        super().run(result)
        if len(result.failures) + len(result.errors) > faults:
            for number, demo in enumerate(Demo.started, 1):
                sys.stderr.write("--- demo %d of %s ---\n%s\n" % (number, self.id(), demo.text()[-20000:]))

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="orvex-demo-")
        self.addCleanup(shutil.rmtree, self.home, True)
        # The client port, the simulator's below it, WebSocket's 1, OPC UA's 28 and the metrics' 68 above: all
        # below the kernel's range for ephemeral ports, where no other test's listener or outgoing connection can
        # take one of them between this choice and the demo's (second) start.
        with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
            first_ephemeral = int(ports.read().split()[0])
        self.port = next(p for p in iter(lambda: random.randrange(10001, first_ephemeral - 68), None)
                         if not any(accepts(p + d) for d in (-1, 0, 1, 28, 68)))

    def admin(self):
        c = TcpClient(self.port)
        self.addCleanup(c.close)
        self.assertEqual(c.call("getNodes")["error"]["message"], "Недостаточно прав для выполнения команды")
        c.ok("login", "admin", "tavro")
        return c

    def test_demo_runs_polls_and_stops(self):
        demo = Demo(self.home, self.port)
        for expected in (self.home, "admin / tavro", "getTasks --table"):
            self.assertIn(expected, demo.banner)
        c = self.admin()
        nodes, tasks = c.rows("getNodes"), c.rows("getTasks")
        self.assertEqual((len(nodes), {n["model_code"] for n in nodes}), (10, {"QRV2", "QRV5", "RNH7", "LWD43"}))
        self.assertEqual({(t["timetable_mode"], t["is_main"]) for t in tasks}, {("Ежечасно", 1)})

        # Healthy nodes have archives within seconds (the one failing every third poll and the one whose clock runs
        # ahead aside); the check rule finds hot hours in the node the banner suggests.
        healthy = [n for n in nodes if n["number"] not in (700812, 210498)]
        self.assertTrue(wait_until(lambda: all(c.rows("getArchive", n["id"], "hour_data", None, None) for n in healthy),
                                   timeout=60))
        self.assertTrue(c.rows("getCheckLog", int(demo.banner.split("getCheckLog ")[1].split()[0]), None, None))

        code, err = demo.interrupt()
        self.assertEqual(code, 0, err)
        self.assertFalse(accepts(self.port) or accepts(self.port - 1))
        self.assertIn("Сервер остановлен", err)

        # Again on the same home: nothing added, the same ports.
        demo = Demo(self.home, self.port + 1)
        self.assertIn("getCheckLog", demo.banner, "the second start failed")
        c = self.admin()
        self.assertEqual([len(c.rows(m)) for m in ("getNodes", "getTasks", "getGroups")], [10, 10, 3])   # groups: common + 2
        self.assertEqual(demo.interrupt()[0], 0)
