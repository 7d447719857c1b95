"""OPC UA: the server with its gateway and the simulator, a gateway talking nonsense, the gateway alone with its
logins answered by the test, a slow subscriber."""

import base64
import contextlib
import os
import signal
import time
import unittest
from datetime import datetime, timezone

from orvexe2e import (AUTH_FAILED, FAST_MONITOR, THROTTLED, SimulatedInstallation, TcpClient, TempHome, accepts, free_port,
                      node_and_task, read, server_with_settings, wait_idle, wait_until, write)
from opce2e import Gateway, OpcClient, children, require_node

T1 = "Температура в подающем трубопроводе"


ITEMS = ["Узел\\Температура", "Другой узел\\Температура"]   # of nodes 1 and 2
UNITS_URI = "http://www.opcfoundation.org/UA/units/un/cefact"


def units(text, code=None):
    """The EngineeringUnits a client reads for a unit and its UN/CEFACT common code (its letters as one number)."""
    return {"namespaceUri": UNITS_URI, "unitId": int.from_bytes(code.encode(), "big") if code else -1,
            "displayName": text, "description": text}


def own_certificates(home):
    """The DER bytes of each certificate in the home's own store."""
    certs = os.path.join(home.path, "pki", "own", "certs")
    return [base64.b64decode("".join(line for line in read(os.path.join(certs, name)).splitlines()
                                     if not line.startswith("-----")))
            for name in os.listdir(certs) if name.endswith(".pem")]


def setUpModule():
    # Node.js programs take seconds to start: one client for all, the lone gateway started now.
    global CLIENT, GATEWAY, GATEWAY_HOME, GATEWAY_URL
    require_node()
    CLIENT = OpcClient()
    GATEWAY_HOME, port = TempHome(), free_port()
    GATEWAY_URL = "opc.tcp://127.0.0.1:%d" % port
    GATEWAY = Gateway(port, os.path.join(GATEWAY_HOME.path, "pki"),
                      [(item, node, 1.0) for node, item in enumerate(ITEMS, 1)])
    GATEWAY.wait_for("listening")


def tearDownModule():
    CLIENT.stop()
    GATEWAY.stop()
    GATEWAY_HOME.remove()


class OpcServerTest(unittest.TestCase):
    """Polled QRV2 nodes whose main tasks monitor every second: Russian names and anonymous access first,
    then Latin names, logins only and no None endpoint."""

    @classmethod
    def setUpClass(cls):
        cls.inst = inst = SimulatedInstallation(env=FAST_MONITOR)
        monitored = {"mon_interval": 1, "archives": ["currentData"]}
        inst.nodes, inst.tasks = zip(*[node_and_task(inst.admin, n, task=monitored) for n in (201, 202)])
        for task in inst.tasks:
            inst.admin.ok("startTask", task)
            wait_idle(inst.admin, task)
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
        # Units and titles from the catalogue: heat in gigacalories (no code) when the device names no unit.
        described = self.client.call("describe", ids=[self.item(201, "Система отопления", T1),
                                                      self.item(201, "Система отопления", "Тепловая энергия"),
                                                      self.item(201, "Время прибора")])["items"]
        self.assertEqual([(d["description"], d["units"], d["type"]) for d in described],
                         [({"text": T1, "locale": "ru"}, units("°C", "CEL"), "AnalogUnitType"),
                          ({"text": "Тепловая энергия", "locale": "ru"}, units("Гкал"), "AnalogUnitType"),
                          ({"text": "Время прибора", "locale": "ru"}, None, "BaseDataVariableType")])

    def test_2_values_follow_monitor_runs(self):
        t1 = self.item(201, "Система отопления", T1)
        clock = self.item(201, "Время прибора")   # the device's clock: new at every run
        started = datetime.now(timezone.utc).isoformat()[:23]
        self.client.call("subscribe", ids=[t1, clock], interval=250)
        # The first use watches the node; a monitor run brings fresh values.
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [self.inst.nodes[0]], 30))
        fresh = self.client.wait_change(lambda c: c["id"] == clock and c["sourceTime"] >= started)
        self.assertEqual((fresh["statusName"], fresh["value"][:2]), ("Good", "20"))
        # A reading (a whole number of degrees comes as 87, not 87.0). What a failed run sends: tst_opcserver;
        # the status it gives: lazyspace.test.js.
        good = self.client.call("read", ids=[t1])["values"][0]
        self.assertEqual(good["statusName"], "Good")
        self.assertIsInstance(good["value"], (int, float))
        self.assertNotEqual(good["value"], 0)

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
        # User names are checked by the server (a right one in Sign mode: test_6). Failed logins count with the same
        # address's logins on the other listeners.
        self.inst.admin.ok("saveUser", {"login": "наладчик", "password": "ключ", "access": []})
        for user, password in [("admin", "wrong")] + [("наладчик", "x")] * 3:
            self.assertIn("BadUserAccessDenied", c.answer("connect", url=self.inst.url, mode="Sign", user=user,
                                                          password=password)["error"])
        with contextlib.closing(TcpClient(self.inst.server.port)) as rpc:
            for _ in range(2):
                self.assertEqual(rpc.error("login", "наладчик", "x"), AUTH_FAILED)
            self.assertRegex(rpc.error("login", "наладчик", "ключ"), THROTTLED)
        c.call("connect", url=self.inst.url, mode="SignAndEncrypt", user="admin", password="tavro")
        self.assertEqual(self.opc_numbers(), [201, 202])   # the administrator sees every node
        # Latin names, Latin descriptions.
        described = c.call("describe", ids=["QRV2_000201.S1.t1"])["items"]
        self.assertEqual([(d["description"], d["units"]) for d in described],
                         [({"text": "Temperatura v podaiushchem truboprovode", "locale": "ru-Latn"},
                           units("°C", "CEL"))])
        c.call("close")

    def opc_numbers(self):
        """The numbers of the nodes whose items the OPC session browses."""
        return sorted({int(i["id"].split(".")[0].split("_")[1]) for i in self.client.call("browse")["items"]})

    def test_6_each_user_sees_the_items_of_its_groups_nodes(self):
        a, c, url = self.inst.admin, self.client, self.inst.url
        north, south = (a.ok("saveGroup", {"name": name}) for name in ("Север", "Юг"))
        for node, group in zip(self.inst.nodes, (north, south)):
            a.ok("setNodeGroup", node, group)
        ivanov = a.ok("saveUser", {"login": "ivanov", "password": "i1", "groups": [north]})
        # A session sees the nodes of its user's groups (the view of each kind of user: tst_opcserver).
        c.call("connect", url=url, mode="Sign", user="ivanov", password="i1")
        self.assertEqual(self.opc_numbers(), [201])

        # Hidden items are refused to monitor (to read and write: lazyspace.test.js), and nobody watches their node
        # for it.
        mine, hidden = "QRV2_000201.S1.t1", "QRV2_000202.S1.t1"
        self.assertEqual(c.call("subscribe", ids=[mine, hidden], interval=250)["statuses"],
                         ["Good", "BadUserAccessDenied"])
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [self.inst.nodes[0]], 30), self.watched_by_opc())
        c.wait_change(lambda ch: ch["id"] == mine and ch["statusName"] == "Good")

        # The live session follows its user's groups: the item it monitors is denied and released.
        a.ok("setUserGroups", ivanov, [south])
        c.wait_change(lambda ch: ch["id"] == mine and ch["statusName"] == "BadUserAccessDenied")
        self.assertEqual(self.opc_numbers(), [202])
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [], 30), self.watched_by_opc())
        a.ok("setUserGroups", ivanov, [north])
        c.wait_change(lambda ch: ch["id"] == mine and ch["statusName"] == "Good")
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [self.inst.nodes[0]], 30))
        # ... and the nodes' groups.
        a.ok("setNodeGroup", self.inst.nodes[1], north)
        self.assertTrue(wait_until(lambda: self.opc_numbers() == [201, 202], 30), self.opc_numbers())
        a.ok("removeUser", ivanov)
        c.wait_change(lambda ch: ch["id"] == mine and ch["statusName"] == "BadUserAccessDenied")
        self.assertEqual(self.opc_numbers(), [])
        c.call("close")
        self.assertTrue(wait_until(lambda: self.watched_by_opc() == [], 30), self.watched_by_opc())

    def test_7_bound_to_the_server_address_under_its_public_name(self):
        # The INI file binds the server to 127.0.0.1: so is the gateway, and its endpoints say so.
        def bound():
            return [accepts(self.inst.opc_port, host) for host in ("127.0.0.1", "127.0.0.2", "::1")]
        self.assertEqual(bound(), [True, False, False])

        def urls():
            reply = self.client.answer("endpoints", url=self.inst.url)
            return reply["ok"] and {e["url"] for e in reply["endpoints"]}

        self.assertEqual(urls(), {"opc.tcp://127.0.0.1:%d" % self.inst.opc_port})
        # A public name goes into the endpoints and the certificate at once.
        self.inst.admin.ok("setSetting", "opcHostName", "scada.example.net")
        wanted = {"opc.tcp://scada.example.net:%d" % self.inst.opc_port}
        self.assertTrue(wait_until(lambda: urls() == wanted, 180, 0.5), urls())
        self.assertIn(b"scada.example.net", b"".join(own_certificates(self.inst.home)))
        self.assertEqual(bound(), [True, False, False])   # the name changes no binding


class NonsenseGatewayTest(unittest.TestCase):
    def test_gateway_talking_nonsense(self):
        # A stand-in gateway that writes what no gateway says and ignores "stop"; OPC is read at start.
        folder = TempHome(self)
        fake = os.path.join(folder.path, "fake-gateway.js")
        write(fake, "process.stdout.write('not json\\n[1,2]\\n{\"op\":\"activate\",\"items\":[\"nope\",5]}\\n'"
              " + '{\"op\":\"nonsense\"}\\n' + 'x'.repeat(100000) + '\\n');\n"
              "process.stdin.on('data', () => {}); setTimeout(() => {}, 600000);\n")
        server = server_with_settings({"opcPort": free_port()}, env={"ORVEX_OPC_GATEWAY": fake})
        client = TcpClient(server.port)
        # What the fake gateway wrote is read, in order, and passed over.
        self.assertTrue(wait_until(lambda: "неизвестное сообщение шлюза пропущено: nonsense" in server.log()))
        self.assertEqual(client.rows("monitorGetData"), [])
        # A restart answers at once, the old process ends meanwhile (terminated after its grace) and the new one
        # starts once it is gone.
        old = children(server.proc.pid)
        client.ok("setSetting", "opcTrustClients", True)
        self.assertEqual((len(old), children(server.proc.pid)), (1, old))
        self.assertTrue(wait_until(lambda: children(server.proc.pid) not in ([], old), 60))
        self.assertEqual(len(children(server.proc.pid)), 1)
        client.close()
        self.assertEqual(server.stop(), 0)
        self.assertIn("неверная строка от шлюза пропущена: not json", server.output)


class GatewayAccessTest(unittest.TestCase):
    """The gateway lets a user see the items of the nodes the server names in its answers, and nothing on doubt."""

    def login(self, **answer):
        """Connects as a user, the gateway's question answered with these fields: the client's reply."""
        CLIENT.write({"cmd": "connect", "url": GATEWAY_URL, "user": "ivanov", "password": "i1"})
        question = GATEWAY.wait_for("login")
        GATEWAY.write(dict(answer, op="login", id=question["id"]))
        return CLIENT.read(120)

    def test_told_nodes_only(self):
        # An answer that lets in without saying who refuses.
        self.assertIn("BadUserAccessDenied", self.login(ok=True, all=True)["error"])
        self.assertTrue(self.login(ok=True, user=7, nodes=[1, 2])["ok"])
        # What the user browses follows the login's and the server's later word, a monitored item going out of sight
        # and back says so, and its node is watched again: OpcServerTest's test_6 (views of other users, views that
        # make no sense: itemaccess.test.js).

        # A monitored item out of sight passes nothing on until it comes back, then with the value it missed.
        CLIENT.call("subscribe", ids=ITEMS, interval=100)
        self.assertEqual(sorted(GATEWAY.wait_for("activate")["items"]), sorted(ITEMS))
        GATEWAY.write({"op": "visibility", "user": 7, "nodes": [2]})
        CLIENT.wait_change(lambda c: c["id"] == ITEMS[0] and c["statusName"] == "BadUserAccessDenied")
        # What of a hidden item, folder or unit is read or written: lazyspace.test.js.
        # Both values reach the session's one subscription together, or neither does.
        GATEWAY.write({"op": "update", "time": None, "items": [[ITEMS[0], 5.0, 0xC0], [ITEMS[1], 6.0, 0xC0]]})
        seen = []
        self.assertTrue(wait_until(lambda: seen.extend(CLIENT.call("changes")["changes"]) or
                                   any(c["id"] == ITEMS[1] and c["value"] == 6.0 for c in seen), 30), seen)
        self.assertEqual([c for c in seen if c["id"] == ITEMS[0]], [])
        GATEWAY.write({"op": "visibility", "user": 7, "nodes": [1, 2]})
        back = CLIENT.wait_change(lambda c: c["id"] == ITEMS[0])
        self.assertEqual((back["statusName"], back["value"]), ("Good", 5.0))
        GATEWAY.wait_for("activate")   # of the item back in sight, not to be taken for a later test's
        CLIENT.call("close")
        self.assertIsNone(GATEWAY.proc.poll())


class SlowSubscriberTest(unittest.TestCase):
    """A subscriber that stops collecting while Bad values come: its queue overflows on a value not Good."""

    def test_gateway_stays_up(self):
        gateway, client, item = GATEWAY, CLIENT, ITEMS[0]
        client.call("connect", url=GATEWAY_URL)
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


class CrowdTest(unittest.TestCase):
    """Sessions that browse everything at once and ask for what is not there: each gets the whole tree, the gateway
    stays up."""

    def test_many_sessions_browse_everything(self):
        home, port = TempHome(self), free_port()
        items = [("Узел %d\\Система\\Параметр %d" % (n, p), n, float(p)) for n in range(200) for p in range(3)]
        gateway = Gateway(port, os.path.join(home.path, "pki"), items)
        self.addCleanup(gateway.stop)
        gateway.wait_for("listening")
        clients = [OpcClient() for _ in range(4)]
        for client in clients:
            self.addCleanup(client.stop)
            client.call("connect", url="opc.tcp://127.0.0.1:%d" % port)
        for client in clients:
            client.write({"cmd": "browse"})
        expected = sorted(item[0] for item in items)
        for client in clients:
            answer = client.read(300)
            self.assertEqual(sorted(item["id"] for item in answer["items"]), expected)
        # A folder has no value; a huge id crosses the wire (which ids are nothing: lazyspace.test.js).
        values = clients[0].call("read", ids=["Узел 1\\", "x" * 100000, "Узел 1\\Система\\Параметр 2"])["values"]
        self.assertEqual([v["statusName"] for v in values], ["BadAttributeIdInvalid", "BadNodeIdUnknown", "Good"])
        self.assertEqual([m for m in gateway.lines if m.get("op") == "log" and m["level"] != "info"], [])
