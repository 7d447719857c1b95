"""The RPC server (test server binary) over TCP and WebSocket: pipelining, bad input, disconnects (each kind of
value and its forms on the wire: tst_zeltorpc)."""

import contextlib
import socket
import struct
import threading

from orvexe2e import ServerTestCase, TcpClient, WebSocketClient, first_status

LIMIT = 64 * 1024 * 1024


class RpcTest(ServerTestCase):
    rpc_only = True

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
        # Frames and their lengths: tst_zeltorpc reads; replies of 64-bit frame length: test_console's five years.
        ws.send_text("{broken")
        self.assertEqual(ws.read()["error"]["code"], -32700)
        self.assertEqual(ws.call("identity", ["still here"])["result"], "still here")

    def send_in_background(self, sock, data):
        def send():
            with contextlib.suppress(OSError):   # closed by the server before the end: expected
                sock.sendall(data)
        thread = threading.Thread(target=send)
        thread.start()
        self.addCleanup(thread.join)

    def test_line_over_limit_after_earlier_lines(self):
        bystander, c = self.client(), self.client()
        big = b'{"jsonrpc":"2.0","id":2,"method":"sizeOf","params":["' + b"x" * (LIMIT + 4096) + b'"]}\n'
        self.send_in_background(c.sock, b'{"jsonrpc":"2.0","id":1,"method":"identity","params":[1]}\n' + big)
        self.assertEqual(c.read()["result"], 1)
        reply = c.read()
        self.assertEqual((reply["id"], reply["error"]["code"]), (None, -32600))
        self.assertIn("64", reply["error"]["message"])
        with self.assertRaises(ConnectionError):   # closed by the server
            c.read_line()
        self.assertEqual(bystander.call("identity", ["alive"])["result"], "alive")

    def test_websocket_message_over_limit_is_answered(self):
        ws = WebSocketClient(self.server.web_port)
        self.addCleanup(ws.close)
        first = ws.send("identity", [1])
        payload = b'{"jsonrpc":"2.0","id":2,"method":"sizeOf","params":["' + b"x" * LIMIT + b'"]}'
        # Masked with a zero key: the payload goes as it is, and fast.
        frame = b"\x81\xff" + struct.pack(">Q", len(payload)) + b"\0\0\0\0" + payload
        self.send_in_background(ws.sock, frame)
        self.assertEqual(ws.read()["id"], first)
        reply = ws.read()
        self.assertEqual((reply["id"], reply["error"]["code"]), (None, -32600))
        with self.assertRaisesRegex(ConnectionError, r"close frame b'\\x03\\xf1'"):   # 1009
            ws.read_message()

    def test_websocket_handshake_refusals(self):
        key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: %s\r\n"
        # A browser's page must be the server's own (its Origin names the Host asked), and the
        # Host one of the server's names (a rebinding page sends its own); other clients send no Origin.
        rebind = "rebind.attacker.example:80"
        for host, headers, status in [
                ("localhost:80", "Sec-WebSocket-Version: 13\r\n", 400), ("localhost:80", key % 8, 426),
                ("localhost:80", key % 13 + "Origin: http://evil.example\r\n", 403),
                ("localhost:80", key % 13 + "Origin: null\r\n", 403),
                ("localhost:80", key % 13 + "Origin: HTTP://LocalHost:80\r\n", 101),
                (rebind, key % 13 + "Origin: http://" + rebind + "\r\n", 421), (rebind, key % 13, 101)]:
            request = "GET / HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" % host + headers
            self.assertEqual(first_status(self.server.web_port, (request + "\r\n").encode()), status, headers)
