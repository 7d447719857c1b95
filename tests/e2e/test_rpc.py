"""The RPC server (test server binary) over TCP and WebSocket: values, pipelining, refusals, bad input, disconnects."""

import socket

from orvexe2e import ServerTestCase, TcpClient, WebSocketClient, dt, table

# One of each kind of value; each kind's own forms: tst_zeltojson.
SAMPLE_VALUES = [
    None, True, -9223372036854775808, 18446744073709551615, 0.1, "текст \"в кавычках\"\n\t\u0001𝄞",
    [1, [2, []]], {"вложенный": {"a": [None]}}, dt("2024-03-01T10:20:30.456"), {"$date": "2024-02-29"},
    {"$time": "23:59:59.999"}, {"$bytes": "AAECAwQ="}, {"$marker": "OutOfRange"},
    table(["date", "S1_t1", "note"], [[dt("2024-01-01T00:00:00.000"), 70.5, "ok"],
                                      [dt("2024-01-01T01:00:00.000"), {"$marker": "Unused"}]]),
    {"$tables": {"info": table(["id"], [[3]]), "hour_data": table([], [])}}]


class RpcTest(ServerTestCase):
    rpc_only = True

    def test_values_round_trip_with_types(self):
        c = self.client()
        # Short table rows come back as short as they were sent.
        self.assertEqual(c.call("echo", SAMPLE_VALUES)["result"], SAMPLE_VALUES)
        # Doubles keep a fraction so they read back as doubles.
        for method, params, text in (("identity", [5.0], b'"result":5.0'), ("add", [2, 3], b'"result":5}')):
            c.send(method, params)
            self.assertIn(text, c.read_line())
        self.assertEqual(c.call("add", [2, 0.5])["result"], 2.5)

    def test_refusals(self):
        c = self.client()
        c.send_raw(b'{"jsonrpc":"2.0","method":"noop"}\n')   # a notification: call() sees no reply to it
        self.assertEqual(c.call("fail", ["Узел не найден"])["error"], {"code": -32000, "message": "Узел не найден"})
        for method, params, code, text in (("add", [1], -32602, "ожидается 2, передано 1"),
                                           ("noSuchCommand", [], -32601, "noSuchCommand"),
                                           ("silentFail", [], -32000, "silentFail"), ("badResult", [], -32000, "QPoint")):
            error = c.call(method, params)["error"]
            self.assertEqual((error["code"], text in error["message"]), (code, True), error)
        # A previous failure's message must not leak into the next success.
        self.assertEqual(c.call("noop")["result"], True)

    def test_malformed_lines_keep_the_connection(self):
        c = self.client()
        cases = [
            (b"{not json", -32700), (b"\xff\xfe garbage", -32700), (b"[1,2,3]", -32600),
            (b'{"jsonrpc":"2.0","id":1}', -32600), (b'{"jsonrpc":"2.0","id":2,"method":5}', -32600),
            (b'{"jsonrpc":"2.0","id":3,"method":"echo","params":{"a":1}}', -32600),
            (b'{"jsonrpc":"2.0","id":5,"method":"echo","params":[{"$date":"2024-13-45"}]}', -32600),
            (b'{"jsonrpc":"1.0","id":6,"method":"echo"}', -32600),
            (b'{"jsonrpc":"2.0","id":{"x":1},"method":"echo"}', -32600), (b"[" * 100000, -32700)]
        for line, code in cases:
            c.send_raw(line + b"\n")
            error = c.read()["error"]
            self.assertEqual((error["code"], bool(error["message"])), (code, True), line[:60])
        self.assertEqual(c.call("identity", ["still here"])["result"], "still here")

    def test_disconnect_mid_request(self):
        half = self.client()
        half.send_raw(b'{"jsonrpc":"2.0","id":1,"method":"ec')
        half.close()
        busy = self.client()
        busy.send("sleep", [300])
        gone = TcpClient(self.server.port)
        gone.send("sleep", [200])
        gone.sock.shutdown(socket.SHUT_RDWR)
        gone.close()
        self.assertEqual(busy.read()["result"], 300)
        self.assertEqual(self.client().call("noop")["result"], True)

    def test_client_ids_are_distinct_and_never_reused(self):
        a, b = self.client(), self.client()
        ida, idb = a.call("clientId")["result"], b.call("clientId")["result"]
        self.assertNotEqual(ida, idb)
        self.assertEqual(a.call("clientId")["result"], ida)
        b.close()
        c = self.client()
        self.assertGreater(c.call("clientId")["result"], max(ida, idb))

    def test_websocket_calls_pipelining_and_errors(self):
        ws = WebSocketClient(self.server.web_port)
        self.addCleanup(ws.close)
        ids = [ws.send("identity", [i]) for i in range(100)]
        self.assertEqual([ws.read()["id"] for _ in ids], ids)
        ws.send_text("{broken")
        self.assertEqual(ws.read()["error"]["code"], -32700)
        self.assertEqual(ws.call("add", [1, 2, 3])["error"]["code"], -32602)
        # WebSocket and TCP clients get distinct ids.
        self.assertNotEqual(ws.ok("clientId"), self.client().ok("clientId"))
        # A reply of 64-bit frame length.
        result = ws.ok("makeTable", 8760, 41)["$table"]
        self.assertEqual((len(result["rows"]), len(result["columns"])), (8760, 41))
