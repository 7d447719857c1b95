"""Mutated XML-RPC requests and node packages: each answered with a
well-formed document or closed, and the server keeps serving."""

import os
import random
import re
import sys
import unittest
import xml.etree.ElementTree as ElementTree
import xmlrpc.client

sys.path.insert(0, os.path.dirname(__file__))
from orvexe2e import START, exchange, node_with_data  # noqa: E402
from test_xmlrpc import post, proxy, xmlrpc_server  # noqa: E402

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


class FuzzTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = xmlrpc_server()
        cls.node = node_with_data(cls.server.admin(), 401)
        cls.x = proxy(cls.server)
        cls.token = cls.x.login("admin", "tavro")
        cls.package = cls.x.exportNodes(cls.token, [cls.node])

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        assert code == 0 and "AddressSanitizer" not in cls.server.output, cls.server.output

    def assertAnsweredOrClosed(self, request, answer):
        self.assertIsNotNone(answer, request[:200])
        if answer == b"":
            return
        head, document = answer.split(b"\r\n\r\n", 1)
        self.assertTrue(head.startswith(b"HTTP/1.1 200 Ok\r\n"), answer[:200])
        self.assertEqual(ElementTree.fromstring(document).tag, "methodResponse")

    def test_mutated_requests(self):
        rng = random.Random(14)
        seeds = [xmlrpc.client.dumps(params, method).encode() for method, params in (
            ("login", ("admin", "tavro")),
            ("getNodes", (self.token,)),
            ("getArchive", (self.token, self.node, "hour_data", START, START)),
            ("exportNodes", (self.token, [self.node, 2])),
            ("startMainTask", (self.token, self.node)),
            ("getCheckLog", (self.token, self.node, START, START)))]
        # Whole requests mutated, the head too, and bodies alone.
        for _ in range(1500):
            request = mutate(rng, post(rng.choice(seeds))) if rng.random() < 0.05 else post(mutate(rng, rng.choice(seeds)))
            self.assertAnsweredOrClosed(request, exchange(self.server.xport, request, timeout=5))
        # Mutated logins may have got this address blocked; the server itself still serves.
        answer = exchange(self.server.xport, post(xmlrpc.client.dumps((self.token,), "getNodes").encode()),
                     source="127.0.0.2")
        self.assertIn(b"<methodResponse>", answer)

    def test_mutated_packages(self):
        rng = random.Random(41)
        package = self.package.encode()
        imported = 0
        for _ in range(250):
            text = mutate(rng, package).decode("utf-8", "replace")
            try:
                result = self.x.importNodes(self.token, text)
                self.assertIsInstance(result, int)
                imported += result
            except xmlrpc.client.Fault as fault:
                # 0 from the import; -32700 when a flipped byte made the
                # call itself no XML (xmlrpc.client sends control characters as they are).
                self.assertIn(fault.faultCode, (0, -32700))
                self.assertTrue(fault.faultString)
        self.assertGreater(imported, 0)
        # The node the packages came from is still whole and readable.
        hours = self.server.admin().ok("getArchive", self.node, "hour_data", None, None)
        self.assertEqual(len(hours["$table"]["rows"]), 48)


if __name__ == "__main__":
    unittest.main()
