"""The XML-RPC gateway through xmlrpc.client and raw HTTP, mutated requests included (mutated packages: fuzz_nodes)."""

import datetime
import random
import re
import time
import xml.etree.ElementTree as ElementTree
import xmlrpc.client

from orvexe2e import (AUTH_FAILED, REFUSED, START, THROTTLED, DeviceSimulator, ServerTestCase, accepts, exchange, free_port,
                      http_answer, journal, node_and_task, node_with_data, rows, server_with_settings, stamp, wait_until)

TIMEOUT_MS = 500   # short: a mutated request cut short waits for it
TOKEN_ENDED = "Токен XML-RPC недействителен: войдите заново"
HOST = "127.0.0.1"
ODD_NUMBERS = [b"99999999999999999999999", b"-2147483649", b"4294967296", b"1e999", b"-1e308", b"nan", b"0x10",
               b"", b"-0", b"1.5"]


def mutate(rng, body):
    kind = rng.randrange(6)
    if kind == 0:                                   # cut short
        return body[:rng.randrange(len(body))]
    if kind == 1:                                   # flip a few bytes
        data = bytearray(body)
        for _ in range(rng.randint(1, 5)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        return bytes(data)
    if kind == 2:                                   # odd numbers wherever there are digits
        return re.sub(rb"\d+", lambda m: rng.choice(ODD_NUMBERS), body)
    if kind == 3:                                   # a piece twice
        a, b = sorted(rng.randrange(len(body)) for _ in range(2))
        return body[:b] + body[a:b] + body[b:]
    if kind == 4:                                   # deeply nested values
        depth = rng.choice([10, 70, 5000])
        return body.replace(b"<value>", b"<value><array><data><value>" * depth, 1)
    return body.replace(b"<string>", b"<i4>", 1).replace(b"</string>", b"</i4>", 1)   # types swapped


def xml_rows(document):
    root = ElementTree.fromstring(document)
    return root.tag, [record.attrib for record in root]


def xmlrpc_server():
    """orvex-server with the XML-RPC listener on a free port."""
    port = free_port()
    server = server_with_settings({"xPort": port})
    server.xport = port
    wait_until(lambda: accepts(port))   # opened with the other listeners, just after the RPC port
    return server


def logged_in(server, login="admin", password="tavro"):
    """A proxy and the user's token."""
    x = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % server.xport)
    return x, x.login(login, password)


def renumbered(document, old, new):
    """A node package of meter number old as one of new (QRV5 names have eight digits)."""
    return document.replace('number="%d"' % old, 'number="%d"' % new).replace("№%08d" % old, "№%08d" % new)


def post(body, headers=None, path="/"):
    headers = headers if headers is not None else {"Host": HOST, "Content-Type": "text/xml",
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


def login_fault(port, name, password, source):
    """(code, text) of the fault a login from source answers, or None."""
    return fault_of(exchange(port, post(xmlrpc.client.dumps((name, password), "login").encode()), source=source))


def plain(value):
    """A wire value as it compares across servers: numbers as floats, date-times to the second, tables as rows."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    if isinstance(value, list):
        return [plain(v) for v in value]
    if not isinstance(value, dict):
        return value
    if "$table" in value or "$datetime" in value:
        return plain(rows(value)) if "$table" in value else value["$datetime"][:19]
    return {k: plain(v) for k, v in value.items()}


class XmlRpcTest(ServerTestCase):
    """One server with the listener, and a second one to import into; self.admin is one client for all."""

    @classmethod
    def setUpClass(cls):
        cls.server = xmlrpc_server()
        c = cls.admin = cls.server.admin()
        cls.group = c.ok("saveGroup", {"name": "Котельная"})
        cls.node = node_with_data(c, 101)
        cls.hidden = node_with_data(c, 102, group=cls.group)
        cls.operator = c.ok("saveUser", {"login": "оператор", "password": "пароль", "access": [], "groups": [0]})
        cls.fuzzed = node_with_data(c, 401)
        cls.target = xmlrpc_server()

    @classmethod
    def tearDownClass(cls):
        cls.admin.close()
        super().tearDownClass()
        assert cls.target.stop() == 0, cls.target.output

    def short_request_timeout(self):
        """A request not whole within TIMEOUT_MS ends, for this test; the default (30 s) after it."""
        self.admin.ok("setSetting", "xmlRpcRequestTimeout", TIMEOUT_MS)
        self.addCleanup(self.admin.ok, "setSetting", "xmlRpcRequestTimeout", None)
        self.admin.ok("getSetting", "xmlRpcRequestTimeout")   # applied once the next request is answered

    def assertFault(self, call, text, code=0):
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            call()
        self.assertEqual((caught.exception.faultCode, caught.exception.faultString), (code, text))

    def test_login_and_readers(self):
        x, token = logged_in(self.server)   # the token's form: tst_xmlrpc
        c = self.client("admin", "tavro")

        tag, groups = xml_rows(x.getGroups(token))
        self.assertEqual(tag, "table")   # no unit test names the table document's root
        self.assertEqual(sorted(g["name"] for g in groups), sorted(r["name"] for r in c.rows("getGroups")))

        # The XML of each kind of cell (texts, numbers, nulls, markers): tst_nodeexchange xmlSimpleCells.
        self.assertEqual([n["id"] for n in xml_rows(x.getNodes(token))[1]], [str(r["id"]) for r in c.rows("getNodes")])

        _, tasks = xml_rows(x.getTasks(token))
        self.assertEqual(len([t for t in tasks if t["node_id"] == str(self.node)]), 2)

        first, last = START + datetime.timedelta(hours=2), START + datetime.timedelta(hours=5)
        _, hours = xml_rows(x.getArchive(token, self.node, "hour_data", first, last))
        expected = c.rows("getArchive", self.node, "hour_data", stamp(first), stamp(last))
        self.assertEqual([(h["date"], float(h["S1_t1"])) for h in hours],
                         [(r["date"]["$datetime"][:19], r["S1_t1"]) for r in expected])

        _, log = xml_rows(x.getCheckLog(token, self.node, START, START + datetime.timedelta(days=3)))
        expected = c.rows("getCheckLog", self.node, stamp(START), stamp(START + datetime.timedelta(days=3)))
        self.assertTrue(expected)
        self.assertEqual([(r["archive"], r["message"]) for r in log], [(r["archive"], r["message"]) for r in expected])

    def test_rights_tokens_and_faults(self):
        # A token's calls run as its user: test_tokens (what a user may see of a node: test_security).
        x, token = logged_in(self.server, "оператор", "пароль")
        for method, params in (("exportNodes", [[self.node]]), ("importNodes", ["<nodes/>"]),
                               ("startMainTask", [self.node]), ("startTask", [1]), ("cancelTask", [1])):
            self.assertFault(lambda: getattr(x, method)(token, *params), REFUSED)
        self.assertEqual(x.getTaskState(token, 1)["id"], 1)   # needs no right
        # Tokens that ended and a wrong password: test_tokens.

        # How a call is matched to its signature: tst_xmlrpc; here one of the gateway's own.
        token = x.login("admin", "tavro")
        self.assertFault(lambda: x.getArchive(token, self.node, "hour_data", "2024-03-01", "2024-03-02"),
                         "server error: invalid method parameters: parameter 4 (firstTime) of getArchive must be "
                         "dateTime.iso8601, got string", -32602)
        self.assertFault(lambda: x.startMainTask(token, self.node + 1000), REFUSED)

    def test_tokens(self):
        x = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/" % self.server.xport)
        # Two users with one password: each token runs as its user (the tokens' form: tst_xmlrpc).
        bob = self.admin.ok("saveUser", {"login": "боб", "password": "общий", "groups": [0]})
        alice = self.admin.ok("saveUser", {"login": "алиса", "password": "общий", "groups": [0, self.group]})
        alices = x.login("алиса", "общий")
        bobs = x.login("боб", "общий")
        seen = {token: {n["id"] for n in xml_rows(x.getNodes(token))[1]} for token in (alices, bobs)}
        self.assertEqual([str(self.hidden) in seen[alices], str(self.hidden) in seen[bobs]], [True, False])

        # A token ends with logout, a password change (even to the same one) and the user's removal; others stay.
        self.assertEqual(x.logout(alices), "")
        self.assertFault(lambda: x.getGroups(alices), TOKEN_ENDED)
        self.assertEqual(x.logout(alices), "")
        again = x.login("алиса", "общий")
        self.admin.ok("saveUser", {"id": alice, "password": "общий"})
        self.assertFault(lambda: x.getGroups(again), TOKEN_ENDED)
        xml_rows(x.getGroups(bobs))
        self.admin.ok("removeUser", bob)
        self.assertFault(lambda: x.getGroups(bobs), TOKEN_ENDED)
        # Rights given after the login count at the token's next call.
        token = x.login("алиса", "общий")
        self.assertFault(lambda: x.exportNodes(token, [self.node]), REFUSED)
        self.admin.ok("setUserAccess", alice, ["exportNode"])
        self.assertEqual(xml_rows(x.exportNodes(token, [self.node]))[0], "nodes")

        # Failed logins count together over RPC and XML-RPC, by address (the rules: tst_loginthrottle).
        for _ in range(3):
            self.assertEqual(self.client(source="127.0.0.7").error("login", "алиса", "не тот"), AUTH_FAILED)
        for _ in range(2):
            self.assertEqual(login_fault(self.server.xport, "алиса", "не тот", "127.0.0.7"), (0, AUTH_FAILED))
        self.assertRegex(self.client(source="127.0.0.7").error("login", "алиса", "общий"), THROTTLED)
        self.assertRegex(login_fault(self.server.xport, "алиса", "общий", "127.0.0.7")[1], THROTTLED)
        self.assertIsNone(login_fault(self.server.xport, "алиса", "общий", "127.0.0.1"))

    def test_calls_wait_for_a_running_command(self):
        # A check script lets the event loop run inside its transaction, then fails: an import
        # arriving meanwhile must not run inside that transaction and vanish with its rollback.
        c = self.client("admin", "tavro")
        looping = node_with_data(c, 104)
        c.ok("setCheckParams", looping, {"script": "while (true) {}"})
        x, token = logged_in(self.server)
        document = renumbered(x.exportNodes(token, [self.node]), 101, 105)
        c.send("checkArchives", [looping])
        time.sleep(0.3)
        self.assertEqual(x.importNodes(token, document), 1)
        self.assertIn("error", c.read())
        self.assertIn(105, [r["number"] for r in c.rows("getNodes")])

    def test_poll_and_cancel(self):
        # What a run stores and how a cancel ends it: test_polling; here the calls, each start by its own.
        sim = DeviceSimulator(self.server.home)   # only now: the other nodes' scheduled tasks poll nothing
        self.addCleanup(sim.stop)
        x, token = logged_in(self.server)
        node, task = node_and_task(self.admin, 7102, runSeconds="30")
        for start, started in ((lambda: x.startMainTask(token, node), task), (lambda: x.startTask(token, task), "")):
            self.assertEqual(start(), started)
            self.assertTrue(wait_until(lambda: "Подключение" in x.getTaskState(token, task)["state"]))
            state = x.getTaskState(token, task)
            self.assertEqual((state["id"], state["is_run"], state["attempts"]), (task, True, 3))
            self.assertIsInstance(state["started"], xmlrpc.client.DateTime)
            self.assertEqual(x.cancelTask(token, task), "")
            self.assertTrue(wait_until(lambda: x.getTaskState(token, task)["is_run"] == ""))
        self.assertEqual(self.admin.ok("getTask", task)["last_error"], "Задание отменено")

    def assertSameNode(self, source_package, target_package):
        def comparable(package):   # tasks without the ids and run times the import gives anew
            tables = plain(package["$tables"])
            keys = ["channel", "archives", "timetable", "is_main", "mon_interval", "varnel_ip", "varnel_port"]
            tables["tasks"] = [{k: t[k] for k in keys} for t in tables["tasks"]]
            return tables
        self.assertEqual(comparable(source_package), comparable(target_package))

    def test_nodes_move_between_servers(self):
        src, dst = self.admin, self.target.admin()
        self.addCleanup(dst.close)
        group = src.ok("saveGroup", {"name": "Перенос"})
        first = node_with_data(src, 201, group=group, consumer='ООО "Тепло" <север>', version=3)
        second = node_with_data(src, 202)
        xs, source_token = logged_in(self.server)
        document = xs.exportNodes(source_token, [first, 99999, second])
        self.assertEqual([n.tag for n in ElementTree.fromstring(document)], ["node", "node"])
        xt, token = logged_in(self.target)
        self.assertEqual(xt.importNodes(token, document), 2)
        # Each node as it was, its group's name included.
        moved = {r["number"]: r for r in dst.rows("getNodes") if r["number"] in (201, 202)}
        for number, node in ((201, first), (202, second)):
            self.assertSameNode(src.ok("exportNode", node), dst.ok("exportNode", moved[number]["id"]))
        # The task with a timetable counts as run at the import; the import is in the journal.
        tasks = [t for t in dst.rows("getTasks") if t["node_id"] == moved[201]["id"]]
        self.assertEqual(sorted(t["last_exec"] is None for t in tasks), [False, True])
        self.assertIn(("Импорт данных", moved[201]["name"]), [(r["message"], r["node_name"]) for r in journal(dst)])

        # Through the RPC commands, without XML.
        package = src.ok("exportNode", node_with_data(src, 203))
        self.assertSameNode(package, dst.ok("exportNode", dst.ok("importNode", package)))

        # A bad node among good ones is left out; a document cut short imports the nodes before the cut.
        body = document[document.index("<node>"):document.index("</node>") + len("</node>")]
        renumber = lambda number: renumbered(body, 201, number)  # noqa: E731
        head = '<?xml version="1.0"?><nodes>'
        self.assertEqual(xt.importNodes(token, head + renumber(301) + body.replace('model_code="QRV5"', 'model_code="XX9"')
                                        + renumber(302) + "</nodes>"), 2)
        self.assertTrue(any("Неизвестная модель прибора: XX9" in e["message"] for e in journal(dst)))
        self.assertFault(lambda: xt.importNodes(token, head + renumber(303) + renumber(304)[:300]),
                         "Ошибка XML (импортировано узлов: 1)")
        numbers = [r["number"] for r in dst.rows("getNodes")]
        self.assertEqual([n in numbers for n in (301, 302, 303, 304)], [True, True, True, False])

    def test_oversized_name_stores_nothing(self):
        # The field bounds themselves: tst_records, tst_nodeexchange; here a name of 40 MB through XML-RPC.
        x, token = logged_in(self.server)
        document = renumbered(x.exportNodes(token, [self.node]), 101, 7304)
        self.assertEqual(x.importNodes(token, document.replace("ТВ-5 №00007304", "x" * (40 << 20))), 0)
        self.assertIn("Узел 1 пакета не импортирован: Слишком длинное значение поля name: не более 255 символов",
                      [e["message"] for e in journal(self.admin)])
        self.assertNotIn(7304, [r["number"] for r in self.admin.rows("getNodes")])

    def test_http_edge(self):
        # The HTTP rules every listener keeps: tst_zeltohttpserver; the document's layout: tst_xmlrpc; here what
        # XML-RPC adds.
        port = self.server.xport
        self.short_request_timeout()
        body = xmlrpc.client.dumps(("admin", "tavro"), "login").encode()
        cors = {"access-control-allow-origin": "*", "access-control-allow-methods": "POST",
                "access-control-allow-headers": "content-type"}
        status, headers, document = http_answer(port, b"OPTIONS /RPC2 HTTP/1.1\r\nHost: localhost\r\n"
                                                      b"Origin: http://page\r\n\r\n")
        self.assertEqual((status, {k: headers.get(k) for k in cors}, document), (200, cors, b""))
        status, headers, document = http_answer(port, post(body))
        self.assertEqual((status, headers["access-control-allow-origin"], headers["content-type"], headers["server"],
                          headers["connection"], int(headers["content-length"])),
                         (200, "*", "text/xml", "MaiaXmlRpc/0.1", "close", len(document)))
        self.assertEqual(fault_of(exchange(port, post(b"", {"Host": HOST, "Content-Length": str(100 << 20)}))),
                         (-32600, "server error: request body over 64 MiB"))
        self.assertEqual(http_answer(port, post(body, {"Host": HOST, "Content-Type": "text/xml"}))[0], 411)
        # An incomplete one after xmlRpcRequestTimeout; everybody else is served meanwhile and after.
        started = time.monotonic()
        self.assertEqual(http_answer(port, post(body)[:-10])[0], 408)
        self.assertGreater(time.monotonic() - started, TIMEOUT_MS / 1000 * 0.8)
        self.assertIsNone(fault_of(exchange(port, post(body))))

    def test_mutated_requests(self):
        self.short_request_timeout()   # requests cut short are answered within the client's 5 s
        rng = random.Random(14)
        token, node = logged_in(self.server)[1], self.fuzzed
        seeds = [xmlrpc.client.dumps(params, method).encode() for method, params in (
            ("login", ("admin", "tavro")), ("getNodes", (token,)),
            ("getArchive", (token, node, "hour_data", START, START)), ("exportNodes", (token, [node, 2])),
            ("startMainTask", (token, node)), ("getCheckLog", (token, node, START, START)))]
        # Whole requests and bodies alone, from an address of their own, which mutated logins may get blocked.
        for _ in range(1500):
            request = mutate(rng, post(rng.choice(seeds))) if rng.random() < 0.05 else post(mutate(rng, rng.choice(seeds)))
            answer = exchange(self.server.xport, request, timeout=5, source="127.0.0.9")
            self.assertIsNotNone(answer, request[:200])   # answered or closed
            if answer:
                # A call, read or not, is answered with a document; a broken request with an HTTP error.
                head, document = answer.split(b"\r\n\r\n", 1)
                if head.startswith(b"HTTP/1.1 200 OK\r\n"):
                    self.assertEqual(ElementTree.fromstring(document).tag, "methodResponse")
                else:
                    self.assertRegex(head, rb"^HTTP/1.1 (4\d\d|505) ", answer[:200])
        self.assertIn(b"<methodResponse>", exchange(self.server.xport, post(seeds[1])))
