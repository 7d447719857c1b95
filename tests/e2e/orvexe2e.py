"""Shared pieces of the end-to-end tests: real binaries in temporary homes, TCP and WebSocket clients."""

import base64
import contextlib
import datetime
import hashlib
import itertools
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("ORVEX_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
METADATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "metadata")
# The PostgreSQL tests' cluster (pgcluster) is a module of tests/support.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import pgcluster  # noqa: E402
REFUSED = "Недостаточно прав для выполнения команды"
AUTH_FAILED = "Ошибка авторизации"
THROTTLED = re.compile(r"Слишком много неудачных попыток входа: повторите через (\d+) с")
# A WebSocket upgrade request's own headers.
WS_UPGRADE = ("Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n"
              "Sec-WebSocket-Version: 13\r\n")
# The data monitor looks for due nodes five times a second instead of every 10 s.
FAST_MONITOR = {"ORVEX_MONITOR_TICK_MS": "200"}
NUMBERS = itertools.count(9001)   # meter numbers no test asks for by value
# ORVEX_E2E_DRIVER=QPSQL: every DataServer keeps its data in a fresh PostgreSQL database of the cluster
# ORVEX_PG_CLUSTER names (CTest's fixture "pg"), or of one started for this run.
E2E_DRIVER = os.environ.get("ORVEX_E2E_DRIVER", "QSQLITE")
ON_POSTGRES = E2E_DRIVER == "QPSQL"


def database_section(home):
    """The INI file's [Database] section for the home: empty on SQLite, its own PostgreSQL database on QPSQL."""
    if not ON_POSTGRES:
        return ""
    marker = os.path.join(home.path, "pgdatabase")
    cluster = pgcluster.shared()   # the one the PostgreSQL test classes share
    if not os.path.exists(marker):
        write(marker, cluster.create_database("e2e"))
    return pg_section(cluster, read(marker).strip())


def pg_section(cluster, database, host=None, port=None):
    """An INI file's [Database] section for a database of the cluster (or of another host and port)."""
    return "[Database]\ndriver=QPSQL\nhost=%s\nport=%d\nuser=%s\ndatabaseName=%s\n" % (
        host or cluster.host, port or cluster.port, cluster.user, database)


def write(path, text, mode="w"):
    with open(path, mode) as f:
        f.write(text)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def sha256(path):
    return hashlib.sha256(read(path, "rb")).hexdigest()


def binary(name):
    path = os.path.join(BUILD_DIR, name)
    if not os.path.exists(path):
        raise RuntimeError("binary not built: " + path)
    return path


class TempHome:
    """A temporary ORVEX_HOME and control-socket folder (removed at the clean-up of the test given)."""

    def __init__(self, test=None):
        self.path = tempfile.mkdtemp(prefix="orvex-home-")
        self.runtime = os.path.join(self.path, "run")
        os.mkdir(self.runtime)
        if test:
            test.addCleanup(self.remove)

    def env(self):
        return dict(os.environ, ORVEX_HOME=self.path, ORVEX_RUNTIME_DIR=self.runtime)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def finish(proc, sig=signal.SIGTERM, timeout=30):
    """Stops a process (killed after timeout seconds): its exit code and output (stdout and stderr)."""
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        code = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        code = proc.wait()
    output = ""
    for stream in filter(None, (proc.stdout, proc.stderr)):
        with stream:
            output += stream.read()
    return code, output


def start_listening(args, env):
    """A program that tells its ports on its first line ("listening tcp=N ..."): the process, the ports."""
    proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("listening"):
        proc.kill()
        raise RuntimeError("%s did not start: %r %s" % (args[0], line, proc.stderr.read()))
    return proc, {k: int(v) for k, v in (item.split("=") for item in line.split()[1:])}


class ServerProcess:
    """The test RPC server (the RPC layer alone) on free ports."""

    def __init__(self, env=None):
        self.home = TempHome()
        args = [binary("zelto-test-server"), "-p", "0", "-w", "0"]
        self.proc, ports = start_listening(args, dict(self.home.env(), **(env or {})))
        self.port, self.web_port = ports["tcp"], ports["web"]

    def stop(self):
        code, self.output = finish(self.proc)
        self.home.remove()
        return code


class DeviceSimulator:
    """orvex-device-sim on a free loopback port, written into the home's varnel.ini."""

    def __init__(self, home):
        shutil.copytree(METADATA_DIR, os.path.join(home.path, "metadata"), dirs_exist_ok=True)
        self.proc, ports = start_listening([binary("orvex-device-sim"), "-p", "0", "-a", "127.0.0.1", "--instant"],
                                           home.env())
        self.port = ports["tcp"]
        write(os.path.join(home.path, "varnel.ini"), "[Server]\nport=%d\n" % self.port)
        self.client = TcpClient(self.port)

    def stats(self):
        return self.client.ok("getStats")

    def stop(self):
        self.client.close()
        return finish(self.proc)[0]


def channel_key(channel):
    """How the task manager and the simulator tell channels apart: the non-device settings in key order."""
    skip = {"code", "initString", "phoneNumber", "baudRate", "readTimeout", "charTimeout", "slaveAddress"}
    return "".join(str(channel[k]) for k in sorted(channel) if k not in skip)


class DataServer:
    """The real orvex-server in a temporary home, on a free loopback port."""

    def __init__(self, home=None, port=None, wait=True, args=(), env=None, server_ini=""):
        self.own_home = home is None
        self.home = home or TempHome()
        self.db_path = os.path.join(self.home.path, "telvan.db")
        self.port = port or free_port()
        if "[Database]" not in server_ini:
            server_ini = server_ini + database_section(self.home)
        write(os.path.join(self.home.path, "orvex-server.ini"),
              "[Server]\nport=%d\naddress=127.0.0.1\n%s" % (self.port, server_ini))
        # ORVEX_HOME stands in for the program folder, metadata included.
        shutil.copytree(METADATA_DIR, os.path.join(self.home.path, "metadata"), dirs_exist_ok=True)
        # Its output goes to a file, to be read at any time: a pipe read only at the end could fill up and stall it.
        with tempfile.NamedTemporaryFile("w", dir=self.home.runtime, suffix=".log", delete=False) as log:
            self.log_path, self.output = log.name, ""
            self.proc = subprocess.Popen([binary("orvex-server")] + list(args), stdout=log, stderr=subprocess.STDOUT,
                                         env=dict(self.home.env(), **(env or {})), text=True)
        if wait and not wait_until(lambda: accepts(self.port) or self.proc.poll() is not None):
            raise RuntimeError("orvex-server did not listen")
        if wait and self.proc.poll() is not None:
            raise RuntimeError("orvex-server ended: %s" % self.log())

    def log(self):
        """What the server has written so far (standard output and error)."""
        return read(self.log_path)

    def admin(self):
        """A new connection logged in as the administrator."""
        c = TcpClient(self.port)
        c.ok("login", "admin", "tavro")
        return c

    def stop(self, sig=signal.SIGTERM):
        code = finish(self.proc, sig, timeout=60)[0]
        self.output = self.log()
        if self.own_home:
            self.home.remove()
        return code


class SimulatedInstallation:
    """A data server and the device simulator in one home, the administrator logged in."""

    def __init__(self, env=None):
        self.env = env
        self.home = TempHome()
        self.sim = DeviceSimulator(self.home)
        self.server = DataServer(home=self.home, env=env)
        self.admin = self.server.admin()

    def restart_server(self):
        self.admin.close()
        assert self.server.stop() == 0, self.server.output
        self.server = DataServer(home=self.home, port=self.server.port, env=self.env)
        self.admin = self.server.admin()

    def close(self):
        self.admin.close()
        code = self.server.stop()
        self.sim.stop()
        self.home.remove()
        return code


def installation(test):
    """A SimulatedInstallation for one test; its server must stop cleanly after it."""
    inst = SimulatedInstallation()
    test.addCleanup(lambda: test.assertEqual(inst.close(), 0, inst.server.output))
    return inst


def server_with_settings(settings, **kwargs):
    """A DataServer started with settings already in its database."""
    home = TempHome()
    first = DataServer(home=home, **kwargs)
    client = first.admin()
    for name, value in settings.items():
        client.ok("setSetting", name, value)
    client.close()
    first.stop()
    server = DataServer(home=home, port=first.port, **kwargs)
    server.own_home = True
    return server


def sql(path, statement, *args, readonly=False):
    """Runs one statement on a database file (committed, closed): its rows. On PostgreSQL runs, path is the
    file's place in a home, and the statement goes to that home's database through psql (rows of text; the
    arguments of the statements run there are ids, written in as whole numbers)."""
    if ON_POSTGRES:
        marker = os.path.join(os.path.dirname(path), "pgdatabase")
        parts = statement.split("?")
        text = parts[0] + "".join("%d" % a + p for a, p in zip(args, parts[1:]))
        out = pgcluster.shared().psql(text, database=read(marker).strip())
        return [tuple(line.split("|")) for line in out.splitlines() if line]
    uri = "file:%s%s" % (path, "?mode=ro" if readonly else "")
    with contextlib.closing(sqlite3.connect(uri, uri=True)) as db, db:
        return db.execute(statement, args).fetchall()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port, host="127.0.0.1"):
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


class ServerTestCase(unittest.TestCase):
    """One server for the class (the test RPC server when rpc_only is set); clients close after each test."""

    server_ini = ""
    server_env = None
    rpc_only = False

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(cls.server_env) if cls.rpc_only else DataServer(server_ini=cls.server_ini)

    @classmethod
    def tearDownClass(cls):
        assert cls.server.stop() == 0, cls.server.output

    def client(self, login=None, password=None, source=None):
        c = TcpClient(self.server.port, source=source)
        self.addCleanup(c.close)
        if login:
            c.ok("login", login, password)
        return c

    def admin(self):
        return self.client("admin", "tavro")


def table(columns, rows):
    return {"$table": {"columns": columns, "rows": rows}}


def dt(text):
    return {"$datetime": text}


def rows(value):
    """A tagged table as a list of dicts, short rows padded with None."""
    t = value["$table"]
    return [dict(zip(t["columns"], r + [None] * (len(t["columns"]) - len(r)))) for r in t["rows"]]


def stamp(when):
    """A datetime.datetime as a wire date-time."""
    return dt(when.strftime("%Y-%m-%dT%H:%M:%S.000"))


ALL_TIME = (dt("2000-01-01T00:00:00.000"), dt("2100-01-01T00:00:00.000"))


START = datetime.datetime(2024, 3, 1)


def node_with_data(c, number, group=0, **extra):
    """A QRV5 node with 48 hours (S1_t1 60 .. 65.875, one S1_Q out of range), days, current data,
    settings, a device journal, two tasks and a check rule that finds the hours over 65."""
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


def journal(c):
    """Every journal entry, oldest first."""
    return c.rows("getJournal", *ALL_TIME)


def new_node(c, number=None, **fields):
    """A QRV5 node (a fresh number unless given)."""
    return c.ok("saveNode", dict({"model_code": "QRV5", "model_name": "ТВ-5", "number": number or next(NUMBERS)}, **fields))


def node_and_task(c, number=None, group=0, model="QRV2", task=None, **channel):
    """A node of a simulated device and its (main) task; channel settings given as None are left out."""
    number = number or next(NUMBERS)
    node = c.ok("saveNode", {"model_code": model, "model_name": "ТВ-2", "number": number, "group_id": group,
                             "name": "Узел %d" % number})
    settings = dict({"code": "COM", "port": "COM%d" % number, "deviceId": str(number)}, **channel)
    form = dict({"node_id": node, "archives": ["hourData", "dayData"],
                 "channel": {k: v for k, v in settings.items() if v is not None}}, **(task or {}))
    return node, c.ok("saveTask", form)


def wait_idle(c, task, timeout=60):
    """Waits until the task has no live run."""
    if not wait_until(lambda: c.ok("getTaskState", task)["is_run"] is None, timeout, 0.1):
        raise AssertionError("task %d still runs: %r" % (task, c.ok("getTaskState", task)))


def open_http(c):
    """Turns the operators' HTTP listener on at a free port; the port."""
    port = free_port()
    c.ok("setSetting", "httpPort", port)
    if not wait_until(lambda: accepts(port), timeout=10):
        raise AssertionError("no HTTP listener on %d" % port)
    return port


def run(name, *args, home=None, text=True, timeout=120):
    """One of the built programs run to its end (in the home when given): its completed process."""
    return subprocess.run([binary(name)] + [str(a) for a in args], env=home.env() if home else None,
                          capture_output=True, text=text, timeout=timeout)


def cli(port, *args, login=True, text=False):
    """orvex-cli against the server on port, as the administrator unless login is False."""
    return run("orvex-cli", "-H", "127.0.0.1", "-p", port, *(["-u", "admin", "-w", "tavro"] if login else []), *args,
               text=text, timeout=60)


def exchange(port, data, timeout=10, source="127.0.0.1"):
    """Sends data on a fresh connection, reads until closed; None when still open after the timeout."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))
    sock.sendall(data)
    received = []
    return b"".join(received) if closed(sock, timeout, received) else None


def closed(sock, timeout=10, received=None):
    """True once the server has closed the connection (what it sent before goes to the list received), False when
    it is still open after the timeout; the socket is closed either way."""
    sock.settimeout(timeout)
    try:
        while chunk := sock.recv(65536):
            if received is not None:
                received.append(chunk)
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    finally:
        sock.close()


def first_status(port, request):
    """The status of the server's first answer to raw request bytes; the connection may stay open (an upgrade)."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(request)
        return int(s.recv(65536).split(b" ", 2)[1])


def http_answer(port, request):
    """The answer to raw request bytes: (status, headers (names in lower case), body)."""
    head, _, body = exchange(port, request, timeout=30).partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    fields = (line.split(": ", 1) for line in lines[1:])
    return int(lines[0].split()[1]), {name.lower(): value for name, value in fields}, body


def http_get(port, target, method="GET", extra=""):
    """One raw HTTP request, the target sent exactly as given; (status, headers, body)."""
    return http_answer(port, ("%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (method, target, extra)).encode())


class RpcClient:
    """JSON-RPC over a subclass's transport; send and read apart, so that tests can pipeline."""

    next_id = 1
    buffer = b""

    def send(self, method, params=None):
        message = dict({"jsonrpc": "2.0", "id": self.next_id, "method": method},
                       **({} if params is None else {"params": params}))
        self.next_id += 1
        self.send_text(json.dumps(message, ensure_ascii=False))
        return self.next_id - 1

    def read(self):
        return json.loads(self.read_message())

    def call(self, method, params=None):
        id_ = self.send(method, params)
        reply = self.read()
        assert reply.get("id") == id_, reply
        return reply

    def ok(self, method, *params):
        """The result of a call that must succeed."""
        reply = self.call(method, list(params))
        if "error" in reply:
            raise AssertionError("%s failed: %s" % (method, reply["error"]))
        return reply["result"]

    def failure(self, method, *params):
        """The error code and message of a call that must fail."""
        reply = self.call(method, list(params))
        if "error" not in reply:
            raise AssertionError("%s succeeded: %r" % (method, reply["result"]))
        return reply["error"]["code"], reply["error"]["message"]

    def error(self, method, *params):
        """The message of a call that must fail."""
        return self.failure(method, *params)[1]

    def rows(self, method, *params):
        """The rows of a table a call must return."""
        return rows(self.ok(method, *params))

    def receive_until(self, done):
        while not done(self.buffer):
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("closed by server")
            self.buffer += chunk

    def close(self):
        self.sock.close()


class TcpClient(RpcClient):
    """Line-framed JSON-RPC over TCP."""

    def __init__(self, port, timeout=60, source=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(source, 0) if source else None)

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_text(self, text):
        self.send_raw(text.encode() + b"\n")

    def read_line(self):
        self.receive_until(lambda buffer: b"\n" in buffer)
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line

    read_message = read_line


class WebSocketClient(RpcClient):
    """Enough of RFC 6455: handshake, masked frames out, frames in (continuations, pings answered)."""

    def __init__(self, port, timeout=60, path="/"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (path, port, key)).encode())
        self.receive_until(lambda buffer: b"\r\n\r\n" in buffer)
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError(head.decode(errors="replace"))

    def _frame(self, opcode, payload):
        n = len(payload)
        length = bytes([0x80 | n]) if n < 126 else b"\xfe" + struct.pack(">H", n) if n < 65536 else \
            b"\xff" + struct.pack(">Q", n)
        header, mask = bytes([0x80 | opcode]) + length, os.urandom(4)
        return header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))

    def send_text(self, text):
        self.sock.sendall(self._frame(0x1, text.encode()))

    def _need(self, n):
        self.receive_until(lambda buffer: len(buffer) >= n)
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def read_message(self):
        parts = []
        while True:
            b0, b1 = self._need(2)
            opcode, n = b0 & 0x0F, b1 & 0x7F
            if n >= 126:
                n = struct.unpack(">H" if n == 126 else ">Q", self._need(2 if n == 126 else 8))[0]
            payload = self._need(n)
            if opcode == 0x8:
                raise ConnectionError("close frame %r" % payload[:2])
            if opcode == 0x9:
                self.sock.sendall(self._frame(0xA, payload))
            elif opcode in (0x1, 0x2, 0x0):
                parts.append(payload)
                if b0 & 0x80:
                    return b"".join(parts).decode()

    def close(self):
        with contextlib.suppress(OSError):
            self.sock.sendall(self._frame(0x8, struct.pack(">H", 1000)))
        self.sock.close()


def cpu_ticks(pid):
    return sum(int(f) for f in read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()[11:13])   # utime + stime


def idle(pid, period=1.0):
    """True when the process used no CPU time for a while."""
    ticks = cpu_ticks(pid)
    time.sleep(period)
    return cpu_ticks(pid) == ticks


def rss_bytes(pid):
    return int(re.search(r"VmRSS:\s+(\d+) kB", read("/proc/%d/status" % pid)).group(1)) * 1024


def wait_until(predicate, timeout=30, step=0.05):
    """The first true value of predicate() within timeout seconds, else its last."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        found = predicate()
        if found:
            return found
        time.sleep(step)
    return predicate()
