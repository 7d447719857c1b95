"""OPC UA: the server with its gateway and the simulator, a gateway that cannot run, a slow subscriber."""

import base64
import contextlib
import os
import signal
import socket
import stat
import time
import unittest
from datetime import datetime, timezone

from orvexe2e import (AUTH_FAILED, FAST_MONITOR, THROTTLED, DataServer, SimulatedInstallation, TcpClient, TempHome,
                      accepts, free_port, read, sql, wait_until, write)
from opce2e import Gateway, OpcClient, children, require_node

T1 = "Температура в подающем трубопроводе"


def setUpModule():
    # Node.js programs take seconds to start: one client for all, the slow subscriber's gateway started now.
    global CLIENT, GATEWAY
    require_node()
    CLIENT = OpcClient()
    SlowSubscriberTest.home, SlowSubscriberTest.port = TempHome(), free_port()
    GATEWAY = Gateway({"port": SlowSubscriberTest.port, "pki": os.path.join(SlowSubscriberTest.home.path, "pki"),
                       "hostname": "localhost", "allowAnonymous": True, "securityNone": True},
                      [{"id": SlowSubscriberTest.item, "type": "Double", "value": 1.0, "quality": 0xC0, "time": None}])


def tearDownModule():
    CLIENT.stop()
    GATEWAY.stop()
    SlowSubscriberTest.home.remove()


class OpcServerTest(unittest.TestCase):
    """Polled QRV2 nodes whose main tasks monitor every second: Russian names and anonymous access first,
    then Latin names, logins only and no None endpoint."""

    @classmethod
    def setUpClass(cls):
        cls.inst = inst = SimulatedInstallation(env=FAST_MONITOR)
        inst.nodes, inst.tasks = zip(*[inst.node_and_task(n, task={"mon_interval": 1, "archives": ["currentData"]})
                                       for n in (201, 202)])
        for task in inst.tasks:
            inst.admin.ok("startTask", task)
            inst.wait_idle(task)
        inst.opc_port = free_port()
        inst.url = "opc.tcp://127.0.0.1:%d" % inst.opc_port
        cls.configure(opcAnonymous=True, opcPort=inst.opc_port, opcTrustClients=True)
        cls.client = CLIENT
        cls.client.call("connect", url=inst.url)

    @classmethod
    def configure(cls, **settings):
        """Restarts the server with these settings and waits for its gateway."""
        for name, value in settings.items():
            cls.inst.admin.ok("setSetting", name, value)
        cls.inst.restart_server()
        if not wait_until(lambda: accepts(cls.inst.opc_port), 180, 0.2):
            raise AssertionError("the OPC UA gateway did not listen")

    def watched_by_opc(self):
        """The nodes the data monitor watches on behalf of nobody: the OPC server's."""
        with contextlib.closing(TcpClient(self.inst.server.port)) as anonymous:
            return sorted(r["node_id"] for r in anonymous.rows("monitorGetData"))

    @classmethod
    def tearDownClass(cls):
        assert cls.inst.close() == 0, cls.inst.server.output

    def item(self, number, *path):
        return "\\".join(("ТВ-2 №%06d" % number,) + path)

    def test_1_tree_follows_the_item_names(self):
        items = self.client.call("browse")["items"]
        self.assertTrue(all(i["id"] == "\\".join(i["path"]) for i in items), items[:5])
        ids = {i["id"] for i in items}
        for number in (201, 202):
            self.assertIn(self.item(number, "Система отопления", T1), ids)
        self.assertEqual(self.watched_by_opc(), [])

    def test_2_values_follow_monitor_runs(self):
        t1 = self.item(201, "Система отопления", T1)
        clock = self.item(201, "Время прибора")   # the device's clock: new at every run
        started = datetime.now(timezone.utc).isoformat()[:23]
        self.client.call("subscribe", ids=[t1, clock], interval=250)
        # The first use watches the node; a monitor run brings fresh values.
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [self.inst.nodes[0]], 30))
        fresh = self.client.wait_change(lambda c: c["id"] == clock and c["sourceTime"] >= started)
        self.assertEqual((fresh["statusName"], fresh["value"][:2]), ("Good", "20"))

        # The device fails: BadNotConnected with a zero value; then good again.
        a = self.inst.admin
        channel = {"code": "COM", "port": "COM201", "deviceId": "201"}
        a.ok("saveTask", {"id": self.inst.tasks[0], "channel": dict(channel, fault="error")})
        bad = self.client.wait_change(lambda c: c["id"] == t1 and c["statusName"] == "BadNotConnected")
        self.assertEqual(bad["value"], 0)
        a.ok("saveTask", {"id": self.inst.tasks[0], "channel": channel})
        good = self.client.wait_change(lambda c: c["id"] == t1 and c["statusName"] == "Good")
        self.assertIsInstance(good["value"], float)

        # The subscription goes: so does the node, from the data monitor.
        self.client.call("unsubscribe")
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [], 30))

    def test_3_read_of_an_unused_item_watches_its_node_for_a_while(self):
        self.assertEqual(self.client.call("read", ids=[self.item(202, "Система отопления", T1)])["values"][0]["statusName"],
                         "Good")
        self.assertTrue(wait_until(lambda: self.inst.nodes[1] in self.watched_by_opc(), 30))
        self.client.call("close")

    def test_4_killed_gateway_is_restarted(self):
        gateways = children(self.inst.server.proc.pid)
        self.assertEqual(len(gateways), 1)
        os.kill(gateways[0], signal.SIGKILL)
        self.assertTrue(wait_until(lambda: not accepts(self.inst.opc_port), 10))
        self.assertTrue(wait_until(lambda: accepts(self.inst.opc_port), 180, 0.2))
        self.assertNotEqual(children(self.inst.server.proc.pid), gateways)
        self.assertEqual(self.inst.admin.ok("getDbVersion"), 7)
        self.client.call("connect", url=self.inst.url)
        self.assertIn(self.item(201, "Система отопления", T1), {i["id"] for i in self.client.call("browse")["items"]})
        self.client.call("close")

    def test_5_secure_latin_names(self):
        self.configure(useRussianInOPC=False, opcAnonymous=False, opcSecurityNone=False)
        c = self.client
        endpoints = c.call("endpoints", url=self.inst.url)["endpoints"]
        self.assertEqual(sorted((e["policy"], e["mode"]) for e in endpoints),
                         [("Basic256Sha256", "Sign"), ("Basic256Sha256", "SignAndEncrypt")])
        self.assertTrue(all(e["tokens"] == ["UserName"] for e in endpoints), endpoints)
        self.assertFalse(c.answer("connect", url=self.inst.url, mode="SignAndEncrypt")["ok"])
        self.assertFalse(c.answer("connect", url=self.inst.url, user="admin", password="tavro")["ok"])
        # User names are checked by the server.
        self.assertIn("BadUserAccessDenied", c.answer("connect", url=self.inst.url, mode="Sign", user="admin",
                                                      password="wrong")["error"])
        c.call("connect", url=self.inst.url, mode="Sign", user="admin", password="tavro")
        c.call("close")
        # Failed logins count with the same address's logins on the other listeners.
        self.inst.admin.ok("saveUser", {"login": "наладчик", "password": "ключ", "access": []})
        for _ in range(3):
            self.assertIn("BadUserAccessDenied", c.answer("connect", url=self.inst.url, mode="Sign", user="наладчик",
                                                          password="x")["error"])
        with contextlib.closing(TcpClient(self.inst.server.port)) as rpc:
            for _ in range(2):
                self.assertEqual(rpc.error("login", "наладчик", "x"), AUTH_FAILED)
            self.assertRegex(rpc.error("login", "наладчик", "ключ"), THROTTLED)
        c.call("connect", url=self.inst.url, mode="SignAndEncrypt", user="admin", password="tavro")
        self.assertIn("QRV2_000201.S1.t1", {i["id"] for i in c.call("browse")["items"]})
        c.call("close")
        # The server's certificate is in the home folder's store and names the host.
        certs = os.path.join(self.inst.home.path, "pki", "own", "certs")
        pems = [name for name in os.listdir(certs) if name.endswith(".pem")]
        self.assertEqual(len(pems), 1, os.listdir(certs))
        der = base64.b64decode("".join(line for line in read(os.path.join(certs, pems[0])).splitlines()
                                       if not line.startswith("-----")))
        self.assertIn(socket.gethostname().encode(), der)


class WithoutGatewayTest(unittest.TestCase):
    def test_gateway_missing_too_old_or_talking_nonsense(self):
        # One home started with one stand-in after the other; OPC is read at start.
        home = TempHome()
        self.addCleanup(home.remove)
        old, fake = os.path.join(home.path, "old-node"), os.path.join(home.path, "fake-gateway.js")
        write(old, "#!/bin/sh\necho v16.20.2\n")
        os.chmod(old, stat.S_IRWXU)
        write(fake, "process.stdout.write('not json\\n[1,2]\\n{\"op\":\"activate\",\"items\":[\"nope\",5]}\\n'"
              " + '{\"op\":\"nonsense\"}\\n' + 'x'.repeat(100000) + '\\n');\n"
              "process.stdin.on('data', () => {}); setTimeout(() => {}, 600000);\n")
        port = None
        for env, setting, message in (({}, free_port(), None),
                                      ({"ORVEX_NODE": "/nonexistent/node"}, None, "Node.js (/nonexistent/node) не найден"),
                                      ({"ORVEX_NODE": old}, None, "Node.js v16.20.2 слишком стар"),
                                      ({"ORVEX_OPC_GATEWAY": fake}, None, None),
                                      ({}, None, "Неверный порт OPC UA")):
            server = DataServer(home=home, port=port, env=env)
            port = server.port
            client = TcpClient(server.port)
            if env.get("ORVEX_OPC_GATEWAY"):
                time.sleep(1.5)   # the server reads what the fake gateway wrote
                self.assertEqual(client.rows("monitorGetData"), [])
            if setting is not None:
                client.ok("setSetting", "opcPort", setting)
            client.close()
            self.assertEqual(server.stop(), 0)
            errors = [line for line in server.output.splitlines() if "ERROR" in line]
            if message:
                self.assertEqual([message in error for error in errors], [True], server.output)
            if env.get("ORVEX_OPC_GATEWAY"):
                self.assertIn("неверная строка от шлюза пропущена: not json", server.output)
                self.assertIn("неизвестное сообщение шлюза пропущено: nonsense", server.output)
                # A port setSetting refuses, as a database of an older server may hold it.
                sql(os.path.join(home.path, "telvan.db"), "UPDATE settings SET value = 'порт' WHERE name = 'opcPort'")


class SlowSubscriberTest(unittest.TestCase):
    """A subscriber that stops collecting while Bad values come: its queue overflows on a value not Good."""

    item = "Узел\\Температура"

    def test_gateway_stays_up(self):
        gateway, client, item = GATEWAY, CLIENT, self.item
        gateway.wait_for("listening")
        client.call("connect", url="opc.tcp://127.0.0.1:%d" % self.port)
        client.call("subscribe", ids=[item], interval=100, queueSize=2)
        gateway.wait_for("activate")
        client.call("stall")
        for i in range(40):
            quality = (0x00, 0x08, 0xC0)[i % 3]
            gateway.write({"op": "update", "time": None, "items": [[item, float(i), quality]]})
            time.sleep(0.02)
        time.sleep(1)
        self.assertIsNone(gateway.proc.poll())   # still running
        client.call("resume")
        overflowed = client.wait_change(lambda c: c["overflow"], 20)
        self.assertNotEqual(overflowed["statusName"], "Good")
        # The values were written through the guard, not caught around it.
        gateway.write({"op": "stop"})
        while gateway.read(10) is not None:
            pass
        self.assertEqual([m for m in gateway.lines if m.get("op") == "log" and m["level"] != "info"], [])
