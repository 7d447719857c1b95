"""Node.js, the OPC UA gateway and the scripted client (opcclient.js) for the OPC tests and benchmark."""

import json
import os
import selectors
import shutil
import subprocess
import time
import unittest

from orvexe2e import read, wait_until, accepts as listening  # noqa: F401 (the OPC benchmark's name for it)

HERE = os.path.dirname(os.path.abspath(__file__))
GATEWAY_DIR = os.path.join(HERE, "..", "..", "tools", "opc-gateway")
NODE = os.environ.get("ORVEX_NODE") or shutil.which("node")


def require_node():
    """Skips without Node.js; fails without the gateway's packages (scripts/setup installs them)."""
    if not NODE:
        raise unittest.SkipTest("Node.js is not installed: the OPC UA tests need it")
    if not os.path.isdir(os.path.join(GATEWAY_DIR, "node_modules", "node-opcua")):
        raise RuntimeError("tools/opc-gateway/node_modules is missing: run scripts/setup")


def children(pid):
    """The ids of the process's child processes."""
    def parent(entry):
        try:
            return int(read("/proc/%s/stat" % entry).rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            return None
    return [int(e) for e in os.listdir("/proc") if e.isdigit() and parent(e) == pid]


class LineProcess:
    """A child process that takes and gives one JSON object per line."""

    def __init__(self, args, env=None):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.proc.stdout, selectors.EVENT_READ)
        self.buffer = b""
        self.lines = []   # every line read, for the checks after

    def write(self, message):
        self.proc.stdin.write((json.dumps(message, ensure_ascii=False) + "\n").encode())
        self.proc.stdin.flush()

    def read(self, timeout=60):
        """The next line as an object; None at the end of the output or after timeout."""
        deadline = time.time() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.time()
            if left <= 0 or not self.selector.select(left):
                return None
            chunk = os.read(self.proc.stdout.fileno(), 1 << 20)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        self.lines.append(json.loads(line))
        return self.lines[-1]

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.selector.close()


class OpcClient(LineProcess):
    """opcclient.js: call(cmd, **fields) returns its answer, raising on failure."""

    def __init__(self):
        super().__init__([NODE, os.path.join(HERE, "opcclient.js")])

    def answer(self, cmd, timeout=120, **fields):
        self.write(dict(fields, cmd=cmd))
        reply = self.read(timeout)
        if reply is None:
            raise AssertionError("opc client gave no answer to " + cmd)
        return reply

    def call(self, cmd, timeout=120, **fields):
        reply = self.answer(cmd, timeout, **fields)
        if not reply["ok"]:
            raise AssertionError("%s failed: %s" % (cmd, reply["error"]))
        return reply

    def wait_change(self, predicate, timeout=30):
        """The first data change for which predicate holds; changes before it are dropped."""
        found = wait_until(lambda: next(filter(predicate, self.call("changes")["changes"]), None), timeout, 0.1)
        if not found:
            raise AssertionError("no such data change within %d s" % timeout)
        return found


class Gateway(LineProcess):
    """gateway.js on its own, fed by the test as the server would feed it: anonymous sessions and no security allowed;
    items given as (id, node, value), each a Double of a node's of its own without a unit, Good, its branch the id's
    first part."""

    def __init__(self, port, pki, items):
        super().__init__([NODE, os.path.join(GATEWAY_DIR, "gateway.js")])
        self.write({"op": "config", "version": 3, "separator": "\\", "readHoldMs": 60000, "port": port, "pki": pki,
                    "hostname": "localhost", "allowAnonymous": True, "securityNone": True})
        for number, (item, node, value) in enumerate(items, 1):
            branch, leaf = item.split("\\", 1)
            self.write({"op": "shape", "shape": number, "items": [[leaf, "Double", None, None, None]]})
            self.write({"op": "nodes", "nodes": [{"node": node, "branch": branch, "shape": number, "time": None,
                                                  "values": [value], "qualities": [0xC0]}]})
        self.write({"op": "start"})

    def wait_for(self, op, timeout=120):
        deadline = time.time() + timeout
        message = {}
        while message is not None and message.get("op") != op:
            message = self.read(max(0, deadline - time.time()))
        if message:
            return message
        raise AssertionError("gateway sent no %s: %r" % (op, self.lines[-5:]))
