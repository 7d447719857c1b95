"""The XML-RPC gateway against the real orvex-server, with Python's own
xmlrpc.client as the client: login and every reader, rights, tokens, the
session of an RPC client left alone, faults; nodes exported from one server
and imported into another; and the HTTP edge over raw sockets."""

import datetime
import os
import socket
import sys
import time
import unittest
import xml.etree.ElementTree as ElementTree
import xmlrpc.client

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import DeviceSimulator, TcpClient, accepts, dt, free_port, rows, server_with_settings, table, wait_until  # noqa: E402

REFUSED = "Недостаточно прав для выполнения команды"
AUTH = "Ошибка авторизации"
START = datetime.datetime(2024, 3, 1)
TIMEOUT_MS = 1500


def stamp(when):
    return dt(when.strftime("%Y-%m-%dT%H:%M:%S.000"))


def xml_rows(document):
    root = ElementTree.fromstring(document)
    return root.tag, [record.attrib for record in root]


def xmlrpc_server(**settings):
    """orvex-server with the XML-RPC listener on a free port."""
    xport = free_port()
    server = server_with_settings(dict(xPort=xport, xmlRpcRequestTimeout=TIMEOUT_MS, **settings))
    server.xport = xport
    if not wait_until(lambda: accepts(xport)):
        server.stop()
        raise RuntimeError("no XML-RPC listener")
    return server


def proxy(server):
    return xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % server.xport)


def raw(port, data, timeout=10, source="127.0.0.1"):
    """Sends data on a fresh connection and reads until the server closes it;
    None when it keeps the connection open past the timeout."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0)) as s:
        s.sendall(data)
        received = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return received
                received += chunk
        except ConnectionResetError:
            return received
        except socket.timeout:
            return None


def post(body, headers=None, path="/"):
    headers = headers if headers is not None else {"Host": "x", "Content-Type": "text/xml",
                                                   "Content-Length": str(len(body))}
    head = "POST %s HTTP/1.1\r\n" % path + "".join("%s: %s\r\n" % kv for kv in headers.items()) + "\r\n"
    return head.encode() + body


def fault_of(answer):
    """(code, text) of the fault in a raw HTTP answer, or None."""
    document = answer.split(b"\r\n\r\n", 1)[1]
    fault = ElementTree.fromstring(document).find("fault")
    if fault is None:
        return None
    members = {m.find("name").text: m.find("value")[0].text for m in fault.iter("member")}
    return int(members["faultCode"]), members["faultString"]


def make_node(c, number, group=0, **extra):
    node = c.ok("saveNode", dict(model_code="QRV5", model_name="ТВ-5", number=number, group_id=group, **extra))
    hours = [[stamp(START + datetime.timedelta(hours=i)), 60.0 + i * 0.125, 1.5 * i] for i in range(48)]
    hours[3][2] = {"$marker": "OutOfRange"}
    c.ok("saveArchives", {"$tables": {
        "info": table(["id"], [[node]]),
        "hour_data": table(["date", "S1_t1", "S1_Q"], hours),
        "day_data": table(["date", "S1_t1"], [[stamp(START), 70.0], [stamp(START + datetime.timedelta(days=1)), 71.25]]),
        "current_data": table(["date", "S1_t1"], [[stamp(START + datetime.timedelta(hours=47)), 66.0]]),
        "setting_data": table(["name", "value"], [["Ду", "50"]]),
        "journal_data": table(["ctime", "param", "old_value", "new_value"], [[stamp(START), "Ду", "40", "50"]])}})
    c.ok("saveTask", {"node_id": node, "mon_interval": 120,
                      "channel": {"code": "GSM", "phoneNumber": "89001234567", "deviceId": "7"},
                      "archives": ["hourData", "dayData"], "timetable": {"mode": "daily", "times": ["18:00"]}})
    c.ok("saveTask", {"node_id": node, "channel": {"code": "COM", "port": "COM3"}})
    c.ok("setCheckParams", node, {"criteria": [["checkExpr", "Enum.All", "value('S1_t1') > 65", "'выше 65'"]]})
    c.ok("checkArchives", node)
    return node


def plain(value):
    """A wire value in a form that compares across servers: numbers as
    floats, date-times as their text, tables as lists of rows."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, float)):
        return float(value)
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        if "$table" in value:
            return [{k: plain(v) for k, v in r.items()} for r in rows(value)]
        if "$datetime" in value:
            return value["$datetime"][:19]
        return {k: plain(v) for k, v in value.items()}
    return value


class FaultCase(unittest.TestCase):
    def assertFault(self, call, text, code=0):
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            call()
        self.assertEqual((caught.exception.faultCode, caught.exception.faultString), (code, text))


class XmlRpcTest(FaultCase):
    @classmethod
    def setUpClass(cls):
        cls.server = xmlrpc_server()
        c = TcpClient(cls.server.port)
        c.ok("login", "admin", "tavro")
        cls.group = c.ok("saveGroup", {"name": "Котельная"})
        cls.node = make_node(c, 101, note="общий")
        cls.hidden = make_node(c, 102, group=cls.group)
        cls.operator = c.ok("saveUser", {"login": "оператор", "password": "пароль", "access": [], "groups": [0]})
        c.close()

    @classmethod
    def tearDownClass(cls):
        assert cls.server.stop() == 0, cls.server.output

    def rpc(self, login="admin", password="tavro"):
        c = TcpClient(self.server.port)
        self.addCleanup(c.close)
        c.ok("login", login, password)
        return c

    def test_login_and_readers(self):
        x = proxy(self.server)
        token = x.login("admin", "tavro")
        self.assertRegex(token, "^[0-9a-f]{32}$")
        c = self.rpc()

        tag, groups = xml_rows(x.getGroups(token))
        self.assertEqual(tag, "table")
        self.assertEqual(sorted(g["name"] for g in groups), sorted(r["name"] for r in rows(c.ok("getGroups"))))

        _, nodes = xml_rows(x.getNodes(token))
        self.assertEqual([n["id"] for n in nodes], [str(r["id"]) for r in rows(c.ok("getNodes"))])
        mine = [n for n in nodes if n["id"] == str(self.node)][0]
        self.assertEqual((mine["note"], mine["has_hour_data"], mine["version"]), ("общий", "1", ""))

        _, tasks = xml_rows(x.getTasks(token))
        self.assertEqual(len([t for t in tasks if t["node_id"] == str(self.node)]), 2)
        self.assertIn("state", tasks[0])

        first, last = START + datetime.timedelta(hours=2), START + datetime.timedelta(hours=5)
        _, hours = xml_rows(x.getArchive(token, self.node, "hour_data", first, last))
        expected = rows(c.ok("getArchive", self.node, "hour_data", stamp(first), stamp(last)))
        self.assertEqual([h["date"] for h in hours], [r["date"]["$datetime"][:19] for r in expected])
        self.assertEqual([float(h["S1_t1"]) for h in hours], [r["S1_t1"] for r in expected])
        self.assertEqual(hours[1]["S1_Q"], "OutOfRange")

        _, log = xml_rows(x.getCheckLog(token, self.node, START, START + datetime.timedelta(days=3)))
        expected = rows(c.ok("getCheckLog", self.node, stamp(START), stamp(START + datetime.timedelta(days=3))))
        self.assertTrue(expected)
        self.assertEqual([(r["archive"], r["message"]) for r in log], [(r["archive"], r["message"]) for r in expected])

    def test_rights_of_a_restricted_user(self):
        x = proxy(self.server)
        token = x.login("оператор", "пароль")
        ids = [n["id"] for n in xml_rows(x.getNodes(token))[1]]
        self.assertIn(str(self.node), ids)
        self.assertNotIn(str(self.hidden), ids)
        _, hidden = xml_rows(x.getArchive(token, self.hidden, "hour_data", START, START + datetime.timedelta(days=3)))
        self.assertEqual(hidden, [])
        self.assertFault(lambda: x.exportNodes(token, [self.node]), REFUSED)
        self.assertFault(lambda: x.importNodes(token, "<nodes/>"), REFUSED)
        self.assertFault(lambda: x.startMainTask(token, self.node), REFUSED)
        self.assertFault(lambda: x.startTask(token, 1), REFUSED)
        self.assertFault(lambda: x.cancelTask(token, 1), REFUSED)
        # getTaskState needs no right.
        self.assertEqual(x.getTaskState(token, 1)["id"], 1)

    def test_tokens(self):
        x = proxy(self.server)
        self.assertFault(lambda: x.getNodes("0" * 32), AUTH)
        self.assertFault(lambda: x.login("admin", "не тот"), AUTH)
        c = self.rpc()
        user = c.ok("saveUser", {"login": "сменщик", "password": "старый", "groups": [0]})
        token = x.login("сменщик", "старый")
        xml_rows(x.getGroups(token))
        c.ok("saveUser", {"id": user, "password": "новый"})
        self.assertFault(lambda: x.getGroups(token), AUTH)
        xml_rows(x.getGroups(x.login("сменщик", "новый")))

    def test_rpc_session_left_alone(self):
        # An RPC client logged in as the operator; XML-RPC calls as the
        # administrator in between change nothing of its session.
        c = self.rpc("оператор", "пароль")
        visible = rows(c.ok("getNodes"))
        x = proxy(self.server)
        token = x.login("admin", "tavro")
        self.assertEqual(len(xml_rows(x.getNodes(token))[1]), len(rows(self.rpc().ok("getNodes"))))
        self.assertEqual(rows(c.ok("getNodes")), visible)
        self.assertEqual(c.error("login", "admin", "tavro"), "Вы уже авторизованы")
        self.assertEqual(c.error("saveGroup", {"name": "чужая"}), REFUSED)

    def test_faults_of_the_transport(self):
        x = proxy(self.server)
        token = x.login("admin", "tavro")
        invalid = "server error: invalid method parameters"
        self.assertFault(lambda: x.getNodes(5), invalid, -32602)
        self.assertFault(lambda: x.getNodes(token, 1), invalid, -32602)
        self.assertFault(lambda: x.getArchive(token, self.node, "hour_data", "2024-03-01", "2024-03-02"), invalid, -32602)
        self.assertFault(lambda: x.dropTables(token), "server error: requested method not found", -32601)
        self.assertFault(lambda: x.startMainTask(token, self.node + 1000), REFUSED)

    def test_calls_wait_for_a_running_command(self):
        # An RPC command whose check script lets the event loop run, inside
        # its transaction, and then fails: an import arriving meanwhile must
        # not run inside that transaction and vanish with its rollback.
        c = self.rpc()
        looping = make_node(c, 104)
        c.ok("setCheckParams", looping, {"script": "while (true) {}"})
        x = proxy(self.server)
        token = x.login("admin", "tavro")
        document = x.exportNodes(token, [self.node])
        document = document.replace('number="101"', 'number="105"').replace("№00000101", "№00000105")
        c.send("checkArchives", [looping])
        time.sleep(0.3)
        self.assertEqual(x.importNodes(token, document), 1)
        self.assertIn("error", c.read())
        self.assertIn(105, [r["number"] for r in rows(c.ok("getNodes"))])



class TaskMethodsTest(FaultCase):
    """startMainTask, startTask, cancelTask and getTaskState against the
    device polling simulator."""

    @classmethod
    def setUpClass(cls):
        cls.server = xmlrpc_server()
        cls.sim = DeviceSimulator(cls.server.home)
        cls.admin = TcpClient(cls.server.port)
        cls.admin.ok("login", "admin", "tavro")

    @classmethod
    def tearDownClass(cls):
        cls.admin.close()
        cls.sim.stop()
        assert cls.server.stop() == 0, cls.server.output

    def setUp(self):
        self.sim.client.ok("resetStats")

    def node_and_task(self, number, **channel):
        node = self.admin.ok("saveNode", {"model_code": "QRV2", "number": number})
        settings = dict(code="COM", port="COM%d" % number, deviceId=str(number), **channel)
        return node, self.admin.ok("saveTask", {"node_id": node, "channel": settings, "archives": ["hourData"]})

    def wait_idle(self, x, token, task):
        self.assertTrue(wait_until(lambda: x.getTaskState(token, task)["is_run"] == ""), x.getTaskState(token, task))

    def test_poll_and_cancel(self):
        x = proxy(self.server)
        token = x.login("admin", "tavro")
        node, task = self.node_and_task(7101)
        self.assertEqual(x.startMainTask(token, node), task)
        self.wait_idle(x, token, task)
        self.assertIsNone(self.admin.ok("getTask", task)["last_error"])
        _, hours = xml_rows(x.getArchive(token, node, "hour_data", START, datetime.datetime(2100, 1, 1)))
        self.assertGreater(len(hours), 24)

        slow, long_task = self.node_and_task(7102, runSeconds="30")
        self.assertEqual(x.startTask(token, long_task), "")
        self.assertTrue(wait_until(lambda: "Чтение" in x.getTaskState(token, long_task)["state"]))
        state = x.getTaskState(token, long_task)
        self.assertEqual((state["id"], state["is_run"], state["attempts"]), (long_task, True, 3))
        self.assertIsInstance(state["started"], xmlrpc.client.DateTime)
        self.assertEqual(x.cancelTask(token, long_task), "")
        self.wait_idle(x, token, long_task)
        self.assertEqual(self.admin.ok("getTask", long_task)["last_error"], "Задание отменено")
        self.assertEqual(self.sim.stats()["cancelRequests"], 1)
        self.assertEqual(xml_rows(x.getArchive(token, slow, "hour_data", START, datetime.datetime(2100, 1, 1)))[1], [])


class ExchangeTest(unittest.TestCase):
    """Nodes moved from one server to another through exportNodes and
    importNodes, and through the RPC commands exportNode and importNode."""

    @classmethod
    def setUpClass(cls):
        cls.source = xmlrpc_server()
        cls.target = xmlrpc_server()

    @classmethod
    def tearDownClass(cls):
        assert cls.source.stop() == 0, cls.source.output
        assert cls.target.stop() == 0, cls.target.output

    def client(self, server):
        c = TcpClient(server.port)
        self.addCleanup(c.close)
        c.ok("login", "admin", "tavro")
        return c

    def assertSameNode(self, source_package, target_package):
        a, b = plain(source_package["$tables"]), plain(target_package["$tables"])
        self.assertEqual(sorted(a), sorted(b))
        for name in a:
            if name == "tasks":
                keys = ["channel", "archives", "timetable", "is_main", "mon_interval", "varnel_ip", "varnel_port"]
                self.assertEqual([{k: t[k] for k in keys} for t in a[name]], [{k: t[k] for k in keys} for t in b[name]])
            else:
                self.assertEqual(a[name], b[name], name)

    def test_nodes_move_between_servers(self):
        src, dst = self.client(self.source), self.client(self.target)
        group = src.ok("saveGroup", {"name": "Перенос"})
        first = make_node(src, 201, group=group, consumer='ООО "Тепло" <север>', version=3)
        second = make_node(src, 202)
        xs, xt = proxy(self.source), proxy(self.target)
        document = xs.exportNodes(xs.login("admin", "tavro"), [first, 99999, second])
        self.assertEqual([n.tag for n in ElementTree.fromstring(document)], ["node", "node"])

        token = xt.login("admin", "tavro")
        self.assertEqual(xt.importNodes(token, document), 2)
        moved = {r["number"]: r for r in rows(dst.ok("getNodes")) if r["number"] in (201, 202)}
        self.assertEqual(sorted(moved), [201, 202])
        self.assertEqual(moved[201]["group_id"], [r["id"] for r in rows(dst.ok("getGroups")) if r["name"] == "Перенос"][0])
        for number, node in ((201, first), (202, second)):
            self.assertSameNode(src.ok("exportNode", node), dst.ok("exportNode", moved[number]["id"]))
        # The task with a timetable counts as run at the import; the import is in the journal.
        tasks = [t for t in rows(dst.ok("getTasks")) if t["node_id"] == moved[201]["id"]]
        self.assertEqual(sorted(t["last_exec"] is None for t in tasks), [False, True])
        journal = rows(dst.ok("getJournal", stamp(datetime.datetime(2000, 1, 1)), stamp(datetime.datetime(2100, 1, 1))))
        self.assertIn(("Импорт данных", moved[201]["name"]), [(r["message"], r["node_name"]) for r in journal])

        # Again: the same nodes, merged; no new group or task.
        tasks = len(rows(dst.ok("getTasks")))
        nodes = len(rows(dst.ok("getNodes")))
        self.assertEqual(xt.importNodes(token, document), 2)
        self.assertEqual(len(rows(dst.ok("getNodes"))), nodes)
        self.assertEqual(len(rows(dst.ok("getTasks"))), tasks)

        # Through the RPC commands, without XML.
        third = make_node(src, 203)
        package = src.ok("exportNode", third)
        copied = dst.ok("importNode", package)
        self.assertSameNode(package, dst.ok("exportNode", copied))

    def test_bad_nodes_in_a_document(self):
        src, dst = self.client(self.source), self.client(self.target)
        node = make_node(src, 301)
        xs, xt = proxy(self.source), proxy(self.target)
        one = xs.exportNodes(xs.login("admin", "tavro"), [node])
        body = one[one.index("<node>"):one.rindex("</node>") + len("</node>")]
        bad = body.replace('model_code="QRV5"', 'model_code="XX9"')
        other = body.replace('number="301"', 'number="302"').replace("№00000301", "№00000302")
        three = '<?xml version="1.0"?><nodes>%s%s%s</nodes>' % (body, bad, other)
        token = xt.login("admin", "tavro")
        self.assertEqual(xt.importNodes(token, three), 2)
        numbers = [r["number"] for r in rows(dst.ok("getNodes"))]
        self.assertIn(301, numbers)
        self.assertIn(302, numbers)
        journal = [r["message"] for r in rows(dst.ok("getJournal", stamp(datetime.datetime(2000, 1, 1)),
                                                     stamp(datetime.datetime(2100, 1, 1))))]
        self.assertTrue(any("Неизвестная модель прибора: XX9" in m for m in journal), journal[-5:])

        # A document cut short: the nodes before the cut go in, the client learns of the cut.
        cut = '<?xml version="1.0"?><nodes>%s%s' % (body.replace('number="301"', 'number="303"').replace("№00000301", "№00000303"),
                                                    body.replace('number="301"', 'number="304"')[:300])
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            xt.importNodes(token, cut)
        self.assertEqual(caught.exception.faultString, "Ошибка XML (импортировано узлов: 1)")
        numbers = [r["number"] for r in rows(dst.ok("getNodes"))]
        self.assertIn(303, numbers)
        self.assertNotIn(304, numbers)


class HttpEdgeTest(unittest.TestCase):
    """The listener over raw sockets."""

    @classmethod
    def setUpClass(cls):
        cls.server = xmlrpc_server()

    @classmethod
    def tearDownClass(cls):
        assert cls.server.stop() == 0, cls.server.output

    def send(self, data, timeout=10):
        return raw(self.server.xport, data, timeout)

    def login_body(self):
        return xmlrpc.client.dumps(("admin", "tavro"), "login").encode()

    def test_preflight(self):
        answer = self.send(b"OPTIONS /RPC2 HTTP/1.1\r\nHost: x\r\nOrigin: http://page\r\n\r\n")
        self.assertEqual(answer, b"HTTP/1.1 200 Ok\r\nAccess-Control-Allow-Headers: content-type\r\n"
                                 b"Access-Control-Allow-Methods: POST\r\nAccess-Control-Allow-Origin: *\r\n\r\n")

    def test_answer_header(self):
        answer = self.send(post(self.login_body()))
        head, document = answer.split(b"\r\n\r\n", 1)
        self.assertEqual(head, b"HTTP/1.1 200 Ok\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n"
                               b"Content-Type: text/xml\r\nServer: MaiaXmlRpc/0.1")
        self.assertTrue(document.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'))
        self.assertEqual(xmlrpc.client.loads(document)[0][0], "37d7cf8dccd9778dc510b0c68dfee247")

    def test_lower_case_header_names(self):
        body = self.login_body()
        answer = self.send(post(body, {"host": "x", "content-type": "text/xml", "content-length": str(len(body))}))
        self.assertIsNone(fault_of(answer))

    def test_expect_continue(self):
        body = self.login_body()
        with socket.create_connection(("127.0.0.1", self.server.xport), timeout=10) as s:
            s.sendall(post(b"", {"Host": "x", "Expect": "100-continue", "Content-Length": str(len(body))}))
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body)
            self.assertIn(b"<string>", s.recv(65536) + s.recv(65536))

    def test_requests_left_without_answer(self):
        body = self.login_body()
        for request in (post(body, {"Content-Length": str(len(body))}),                 # one header line
                        post(body, {"Host": "x", "Content-Type": "text/xml"}),          # no length
                        post(body, {"Host": "x", "Content-Length": "-5"}),
                        post(body, {"Host": "x", "Content-Length": "x1"}),
                        post(body, {"Host": "x", "Content-Length": "99999999999999999999999"}),
                        post(body, {"Host": "x", "Content-Length": "3", "content-length": "4"}),
                        b"GET / HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n",
                        b"post / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc",
                        b"POST / HTTP/1.1\r\nHost: " + b"x" * 70000 + b"\r\n\r\n",
                        b"x" * 70000):
            self.assertEqual(self.send(request), b"", request[:80])

    def test_failed_logins_block_the_peer(self):
        def login(password, source):
            body = xmlrpc.client.dumps(("admin", password), "login").encode()
            return fault_of(raw(self.server.xport, post(body), source=source))
        for _ in range(5):
            self.assertEqual(login("не тот", "127.0.0.3"), (0, AUTH))
        self.assertEqual(login("tavro", "127.0.0.3"), (0, AUTH))
        self.assertIsNone(login("tavro", "127.0.0.1"))

    def test_body_over_the_limit(self):
        answer = self.send(post(b"", {"Host": "x", "Content-Length": str(100 * 1024 * 1024)}))
        self.assertEqual(fault_of(answer), (-32600, "server error: request body over 64 MiB"))

    def test_incomplete_requests_closed_after_the_time_limit(self):
        body = self.login_body()
        for request in (post(body)[:-10], b"POST / HTTP/1.1\r\nHost: x\r\n"):
            started = time.monotonic()
            self.assertEqual(self.send(request, timeout=15), b"")
            self.assertGreater(time.monotonic() - started, TIMEOUT_MS / 1000 * 0.8)
        # Meanwhile and afterwards everybody else is served.
        self.assertIsNone(fault_of(self.send(post(body))))


if __name__ == "__main__":
    unittest.main()
