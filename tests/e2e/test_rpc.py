"""The RPC server (test server binary) over TCP and WebSocket: values, pipelining, refusals, bad input, disconnects."""

import socket

from orvexe2e import ServerTestCase, TcpClient, WebSocketClient, dt, table

# One of each kind of value; each kind's own forms: tst_zeltorpc.
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

    def test_malformed_lines_keep_the_connection(self):
        # What the dispatcher answers to each request: tst_zeltorpc; here that the connection goes on.
        c = self.client()
        for line, code in ((b"{not json", -32700), (b"[" * 100000, -32700), (b"[1,2,3]", -32600)):
            c.send_raw(line + b"\n")
            self.assertEqual(c.read()["error"]["code"], code, line[:60])
        c.send_raw(b'{"jsonrpc":"2.0","method":"noop"}\n')   # a notification: call() sees no reply to it
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

    def test_websocket_calls_pipelining_and_errors(self):
        ws = WebSocketClient(self.server.web_port)
        self.addCleanup(ws.close)
        ids = [ws.send("identity", [i]) for i in range(100)]
        self.assertEqual([ws.read()["id"] for _ in ids], ids)
        ws.send_text("{broken")
        self.assertEqual(ws.read()["error"]["code"], -32700)
        # WebSocket and TCP clients get distinct ids.
        self.assertNotEqual(ws.ok("clientId"), self.client().ok("clientId"))
        # A reply of 64-bit frame length.
        result = ws.ok("makeTable", 8760, 41)["$table"]
        self.assertEqual((len(result["rows"]), len(result["columns"])), (8760, 41))
