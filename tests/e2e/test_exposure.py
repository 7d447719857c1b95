"""What a network reaching the server can do to it: Host names that are not the server's, pages of other sites on the
console's /rpc, requests withheld to hold memory, connections from one address, junk on the WebSocket port."""

import os
import socket
import struct
import time
import xmlrpc.client

import prometheus
from orvexe2e import (WS_UPGRADE, ServerTestCase, WebSocketClient, accepts, closed, exchange, first_status, free_port,
                      http_get, idle, rss_bytes, server_with_settings, wait_until)

MIB = 1 << 20
LIMIT_MIB = 16
# A small quarantine, so that memory the sanitizer keeps after freeing it does not count as held.
SMALL_QUARANTINE = {"ASAN_OPTIONS": "quarantine_size_mb=4:" + os.environ.get("ASAN_OPTIONS", "")}
REBIND = "rebind.attacker.example"


class ListenerTest(ServerTestCase):
    """One server with every listener: the RPC port, "wsPort", the operators' "httpPort" and XML-RPC's "xPort"."""

    @classmethod
    def setUpClass(cls):
        cls.xport, cls.ws_port, cls.http_port = free_port(), free_port(), free_port()
        # XML-RPC's request timeout far off: a withheld request must be closed for what it holds, not for its time.
        cls.server = server_with_settings({"xPort": cls.xport, "wsPort": cls.ws_port, "httpPort": cls.http_port,
                                           "requestBufferLimit": LIMIT_MIB, "allowedHosts": ["scada.example"],
                                           "xmlRpcRequestTimeout": 600000}, env=SMALL_QUARANTINE)
        assert wait_until(lambda: accepts(cls.xport) and accepts(cls.ws_port) and accepts(cls.http_port))

    def test_host_names(self):
        # A page of another site whose name an attacker points here sends that name in Host: refused on the
        # operators' listener and on XML-RPC; a name of "allowedHosts" passes. Which names match, and that the
        # refusal comes before routing: tst_zeltohttpserver; the WebSocket port's: test_rpc.
        login = xmlrpc.client.dumps(("admin", "tavro"), "login").encode()
        for host in (REBIND, "scada.example"):
            for port, line, body in [(self.http_port, "GET / HTTP/1.1", b""), (self.xport, "POST /RPC2 HTTP/1.1", login)]:
                data = ("%s\r\nHost: %s:%d\r\nContent-Length: %d\r\n\r\n" % (line, host, port, len(body))).encode()
                self.assertEqual(first_status(port, data + body), 421 if host == REBIND else 200, data[:40])
        text = http_get(self.http_port, "/metrics")[2]
        self.assertGreaterEqual(prometheus.value(prometheus.parse(text.decode()), "orvex_connections_refused_total",
                                                 reason="host"), 2)

    def test_rpc_upgrade(self):
        # Sessions on /rpc (logged in there, dropped with the port): test_server. Only GET upgrades. A page of
        # another site is refused (the handshake's refusals: test_rpc) unless "wsOrigins" names its site.
        self.assertEqual(http_get(self.http_port, "/rpc", method="POST", extra="Content-Length: 0\r\n")[0], 405)
        request = ("GET /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\n%sOrigin: http://attacker.example\r\n\r\n" % WS_UPGRADE).encode()
        self.assertEqual(first_status(self.http_port, request), 403)
        self.admin().ok("setSetting", "wsOrigins", ["https://scada.example", "http://attacker.example/"])
        self.assertTrue(wait_until(lambda: first_status(self.http_port, request) == 101, timeout=10))

    def test_withheld_requests_bounded(self):
        # Three clients withhold the last byte of a request on each listener: the third passes the
        # listener's limit, and the first, which holds most, is closed; the others are served.
        login = xmlrpc.client.dumps(("admin", "tavro"), "login").encode()
        call = b'{"jsonrpc":"2.0","id":1,"method":"getApiVersion"}'
        pid = self.server.proc.pid
        # Each request padded with spaces to its size; the WebSocket frame's mask of zeros sends the payload as it is.
        for name, port, open_, request, answered in [
                ("XML-RPC", self.xport, None, lambda size: b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d"
                 b"\r\n\r\n" % size + login.ljust(size), b"<methodResponse>"),
                ("RPC over TCP", self.server.port, None, lambda size: call.ljust(size - 1) + b"\n", b'"result":2'),
                ("wsPort", self.ws_port, lambda: WebSocketClient(self.ws_port, timeout=30).sock,
                 lambda size: b"\x81\xff" + struct.pack(">Q", size) + b"\0\0\0\0" + call.ljust(size), b'"result":2')]:
            before = rss_bytes(pid)
            clients = []
            for size in (10 * MIB, 3 * MIB, 5 * MIB):
                s = open_() if open_ else socket.create_connection(("127.0.0.1", port), timeout=30)
                data = request(size)
                s.sendall(data[:-1])
                clients.append((s, data[-1:]))
                self.assertTrue(wait_until(lambda: idle(pid, 0.5), timeout=60), name)
            held = rss_bytes(pid) - before
            self.assertTrue(closed(clients[0][0]), name)
            for s, last in clients[1:]:
                s.sendall(last)
                reply = b""
                while answered not in reply:
                    chunk = s.recv(65536)
                    self.assertTrue(chunk, "%s: closed without an answer" % name)
                    reply += chunk
            for s, _ in clients:
                s.close()
            # 18 MiB sent; at most the limit is held, with some room for the sanitizer's own books.
            self.assertLess(held, (LIMIT_MIB + 8) * MIB, "%s: grew by %d MiB" % (name, held // MIB))

    def test_websocket_handshake_limits(self):
        # Junk that never makes an upgrade request is let go after the handshake time (10 s),
        # a junk line at once, and a head over 16 KiB as soon as it is that long.
        for data, expected, seconds in [(os.urandom(300).replace(b"\n", b"."), 408, 8), (b"junk " * 60 + b"\n", 400, 0),
                                        (b"GET / HTTP/1.1\r\nX: " + b"a" * 20000, 431, 0)]:
            started = time.monotonic()
            self.assertEqual(first_status(self.ws_port, data), expected, data[:20])
            self.assertGreaterEqual(time.monotonic() - started, seconds)

    def test_connections_per_address(self):
        admin = self.admin()
        admin.ok("setSetting", "connectionsPerAddress", 4)   # applies at once
        self.addCleanup(admin.ok, "setSetting", "connectionsPerAddress", None)

        def connect(source):
            return socket.create_connection(("127.0.0.1", self.server.port), timeout=30, source_address=(source, 0))

        def served(s):
            try:
                s.sendall(b'{"jsonrpc":"2.0","id":1,"method":"getApiVersion"}\n')
                return b'"result":2' in s.recv(4096)
            except ConnectionResetError:
                return False

        def served_anew(source):
            with connect(source) as s:
                return served(s)

        held = [connect("127.0.0.5") for _ in range(4)]
        self.assertEqual([served(s) for s in held], [True] * 4)
        # The cap counts every listener together: one more is closed at once, on any port,
        # however often it comes back (logged once); other addresses are not affected.
        self.assertEqual([served_anew("127.0.0.5") for _ in range(3)], [False] * 3)
        self.assertEqual(exchange(self.http_port, b"GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n",
                                  source="127.0.0.5"), b"")
        self.assertTrue(served_anew("127.0.0.6"))
        held.pop().close()
        self.assertTrue(wait_until(lambda: served_anew("127.0.0.5"), timeout=10))
        families = prometheus.parse(http_get(self.http_port, "/metrics")[2].decode())
        self.assertGreaterEqual(prometheus.value(families, "orvex_connections_refused_total", reason="per_address"), 4)
        for s in held:
            s.close()
        self.assertEqual(self.server.log().count("connectionsPerAddress"), 1, self.server.log())

