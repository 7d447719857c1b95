#!/usr/bin/env python3
"""OPC UA publishing under load: 500 nodes polled from the instant device
simulator (about 10,000 items), every item monitored by one client at a 1 s
publishing interval while the data monitor runs each node every 5 s. Prints
the latency from the server sending a node's fresh values to the client's
data change (median, 99th percentile, worst) and the CPU time and resident
memory of the server and the gateway over the measured minute; then how
long the address space takes to build anew when a changed setting restarts
the gateway (the server's item table, the gateway's variables, listening).

    ORVEX_BUILD_DIR=build-release python3 bench/bench_opc.py [--nodes N] [--seconds S]

The server announces a refreshed node at most 200 ms after the monitor
run's result reaches it; that wait comes on top of the figures.

With --gateway N the gateway runs alone, fed a synthetic address space of N
nodes of 38 items each (as the server would send it, two models), and the
figures are its time to listen, its resident memory (listening; with 100
nodes' items monitored; after --browse-all has browsed every folder), and
the latency of browsing one node's folder and reading its items (median and
99th percentile of 200 random nodes, each a round trip through the scripted
client), and of listing the top folder.

    python3 bench/bench_opc.py --gateway 10000 [--browse-all]"""

import argparse
import os
import random
import statistics
import sys
import time
import unittest
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from orvexe2e import DataServer, DeviceSimulator, TcpClient, TempHome, free_port, wait_until  # noqa: E402
from opce2e import NODE, GATEWAY_DIR, LineProcess, OpcClient, children, listening, require_node  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def usage(pid):
    """CPU seconds so far and resident MiB of a process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICKS
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024
    return cpu, rss


PARAMETERS = ["Температура в подающем трубопроводе", "Температура в обратном трубопроводе", "Разность температур",
              "Давление в подающем трубопроводе", "Давление в обратном трубопроводе", "Тепловая энергия",
              "Тепловая мощность", "Объём в подающем трубопроводе", "Объём в обратном трубопроводе",
              "Масса в подающем трубопроводе", "Масса в обратном трубопроводе", "Расход в подающем трубопроводе",
              "Расход в обратном трубопроводе", "Время наработки", "Время простоя", "Код нештатной ситуации",
              "Температура холодной воды"]
UNITS = [("°C", "CEL"), ("°C", "CEL"), ("°C", "CEL"), ("кгс/см2", None), ("кгс/см2", None), ("Гкал", None),
         ("Гкал/ч", None), ("м3", "MTQ"), ("м3", "MTQ"), ("т", "TNE"), ("т", "TNE"), ("м3/ч", "MQH"), ("м3/ч", "MQH"),
         ("ч", "HUR"), ("ч", "HUR"), (None, None), ("°C", "CEL")]


def synthetic_items(model):
    """A model's 38 items below the node's branch: [leaf, type, unit, unitCode, description]."""
    items = [["Время прибора", "DateTime", None, None, "Время прибора"],
             ["НС вычислителя", "Int32", None, None, "НС вычислителя"],
             ["Модель %d: заводской номер" % model, "String", None, None, "Заводской номер"],
             ["Единицы измерения тепловой энергии", "Int32", None, None, "Единицы измерения тепловой энергии"]]
    for system in ("Система отопления", "Система ГВС"):
        for title, (unit, code) in zip(PARAMETERS, UNITS):
            items.append([system + "\\" + title, "Double", unit, code, title])
    return items


def synthetic_nodes(count):
    """(node id, branch, model) of count nodes of two models."""
    return [(n, "ТВ-%d №%06d" % (2 + n % 2, n), n % 2) for n in range(1, count + 1)]


def feed_shapes(gateway, nodes):
    """The address space as the server sends it: each model's shape once, then the nodes by it."""
    for model in (0, 1):
        gateway.write({"op": "shape", "shape": model + 1, "items": synthetic_items(model)})
    time_text = "2024-05-02T00:00:00.000Z"
    for start in range(0, len(nodes), 100):
        batch = []
        for node, branch, model in nodes[start:start + 100]:
            values = [time_text, 0, "%08d" % node, 1] + [float(node % 97) + i / 10 for i in range(34)]
            batch.append({"node": node, "branch": branch, "shape": model + 1, "time": time_text,
                          "values": values, "qualities": [0xC0] * len(values)})
        gateway.write({"op": "nodes", "nodes": batch})


def rss(pid):
    return usage(pid)[1]


def percentile(values, share):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * share))]


def bench_gateway(count, browse_all, feed=feed_shapes, version=3, script=None):
    """The gateway alone with count synthetic nodes: time to listen, memory, browse and read latency."""
    home = TempHome()
    port = free_port()
    gateway = LineProcess([NODE, script or os.path.join(GATEWAY_DIR, "gateway.js")])
    started = time.time()
    gateway.write({"op": "config", "version": version, "separator": "\\", "readHoldMs": 60000, "port": port,
                   "pki": os.path.join(home.path, "pki"), "hostname": "localhost", "allowAnonymous": True,
                   "securityNone": True})
    nodes = synthetic_nodes(count)
    feed(gateway, nodes)
    fed = time.time() - started
    gateway.write({"op": "start"})
    message = {}
    while message is not None and message.get("op") != "listening":
        message = gateway.read(3600)
    if message is None:
        raise SystemExit("the gateway did not listen: %r" % gateway.lines[-5:])
    listened = time.time() - started
    items = count * 38
    print("gateway of %d nodes, %d items: fed in %.1f s, listening %.1f s after its start, RSS %.0f MiB"
          % (count, items, fed, listened, rss(gateway.proc.pid)))

    client = OpcClient()
    client.call("connect", url="opc.tcp://127.0.0.1:%d" % port)
    random.seed(1)
    browse, read = [], []
    for node, branch, model in random.sample(nodes, min(200, len(nodes))):
        at = time.time()
        system = client.call("children", folder=branch + "\\Система отопления\\")["ids"]
        browse.append(time.time() - at)
        at = time.time()
        values = client.call("read", ids=system)["values"]
        read.append(time.time() - at)
        if len(system) != 17 or any(v["statusName"] != "Good" for v in values):
            raise SystemExit("node %d: %d items, %r" % (node, len(system), values[:2]))
    print("browse of a system folder (17 items): median %.1f ms, p99 %.1f ms; read of its 17 values: median %.1f ms,"
          " p99 %.1f ms" % (statistics.median(browse) * 1000, percentile(browse, 0.99) * 1000,
                            statistics.median(read) * 1000, percentile(read, 0.99) * 1000))
    at = time.time()
    top = client.call("children", timeout=3600)["ids"]
    print("browse of the top folder (%d folders): %.2f s" % (len(top), time.time() - at))

    # Every item of 100 nodes monitored: those stay made.
    monitored = []
    for node, branch, model in nodes[:100]:
        monitored += ["%s\\%s" % (branch, item[0]) for item in synthetic_items(model)]
    at = time.time()
    statuses = client.call("subscribe", ids=monitored, interval=1000, timeout=3600)["statuses"]
    if set(statuses) != {"Good"}:
        raise SystemExit("subscribe: %r" % sorted(set(statuses)))
    print("%d items of 100 nodes subscribed in %.1f s; RSS %.0f MiB"
          % (len(monitored), time.time() - at, rss(gateway.proc.pid)))
    if browse_all:
        at, peak, folders = time.time(), 0.0, 0
        pending = [None]
        while pending:
            folder = pending.pop()
            for child in client.call("children", folder=folder, timeout=3600)["ids"]:
                if child.endswith("\\"):
                    pending.append(child)
            folders += 1
            if folders % 1000 == 0:
                peak = max(peak, rss(gateway.proc.pid))
                client.lines.clear()   # the answers read so far are not needed again
        peak = max(peak, rss(gateway.proc.pid))
        print("every folder browsed (%d) in %.0f s: RSS peak %.0f MiB" % (folders, time.time() - at, peak))
    client.stop()
    gateway.stop()
    home.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=500)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--gateway", type=int, metavar="N", help="the gateway alone, with N synthetic nodes")
    parser.add_argument("--browse-all", action="store_true", help="with --gateway: browse every folder too")
    args = parser.parse_args()
    try:
        require_node()
    except unittest.SkipTest as reason:
        print("bench_opc: skipped:", reason)
        return
    if args.gateway:
        bench_gateway(args.gateway, args.browse_all)
        return

    home = TempHome()
    sim = DeviceSimulator(home)
    env = {"ORVEX_MONITOR_TICK_MS": "1000", "ORVEX_LOG_LEVEL": "1"}
    server = DataServer(home=home, env=env)
    admin = TcpClient(server.port)
    admin.ok("login", "admin", "tavro")
    admin.ok("setSetting", "maxRunningTaskCount", 100)
    # Two-system meters have 31 current parameters, one-system ones 17: this
    # mix makes 20 a node on average.
    two_systems = args.nodes * 107 // 500
    started = time.time()
    tasks = []
    for i in range(args.nodes):
        model, name = ("QRV3", "ТВ-3") if i < two_systems else ("QRV2", "ТВ-2")
        number = 10000 + i
        node = admin.ok("saveNode", {"model_code": model, "model_name": name, "number": number})
        channel = {"code": "COM", "port": "COM%d" % number, "deviceId": str(number), "model": model}
        tasks.append(admin.ok("saveTask", {"node_id": node, "mon_interval": 5, "archives": ["currentData"],
                                           "channel": channel}))
    for task in tasks:
        admin.ok("startTask", task)
    wait_until(lambda: all(admin.ok("getTaskState", t)["is_run"] is None for t in tasks[-20:]), 600, 0.5)
    wait_until(lambda: all(admin.ok("getTaskState", t)["is_run"] is None for t in tasks), 600, 0.5)
    print("prepared %d nodes in %.0f s" % (args.nodes, time.time() - started))

    opc_port = free_port()
    admin.ok("setSetting", "opcPort", opc_port)
    admin.ok("setSetting", "opcAnonymous", True)
    admin.close()
    server.stop()
    server = DataServer(home=home, port=server.port, env=env)
    started = time.time()
    if not wait_until(lambda: listening(opc_port), 600, 0.2):
        raise SystemExit("the gateway did not listen")
    print("gateway listening %.1f s after the server started" % (time.time() - started))

    client = OpcClient()
    client.call("connect", url="opc.tcp://127.0.0.1:%d" % opc_port)
    items = [i["id"] for i in client.call("browse", timeout=600)["items"]]
    started = time.time()
    client.call("subscribe", ids=items, interval=1000, timeout=600)
    print("%d items subscribed in %.1f s" % (len(items), time.time() - started))
    client.call("changes")
    gateway = children(server.proc.pid)[0]
    time.sleep(15)   # every node watched and refreshed at least once
    client.call("changes", timeout=600)

    window_start = time.time()
    before = {"server": usage(server.proc.pid), "gateway": usage(gateway)}
    latencies, peak = [], {"server": 0.0, "gateway": 0.0}
    while time.time() - window_start < args.seconds:
        time.sleep(2)
        for change in client.call("changes", timeout=600)["changes"]:
            sent = datetime.fromisoformat(change["sourceTime"].replace("Z", "+00:00")).timestamp()
            if sent >= window_start:
                latencies.append(change["received"] / 1000 - sent)
        for name, pid in (("server", server.proc.pid), ("gateway", gateway)):
            peak[name] = max(peak[name], usage(pid)[1])
    after = {"server": usage(server.proc.pid), "gateway": usage(gateway)}
    elapsed = time.time() - window_start

    latencies.sort()
    print("nodes %d, items %d, data changes %d in %.0f s" % (args.nodes, len(items), len(latencies), elapsed))
    if latencies:
        p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        print("latency send -> client: median %.0f ms, p99 %.0f ms, worst %.0f ms"
              % (statistics.median(latencies) * 1000, p99 * 1000, latencies[-1] * 1000))
    for name in ("server", "gateway"):
        cpu = (after[name][0] - before[name][0]) / elapsed * 100
        print("%-8s CPU %.0f %% of one core, RSS %.0f MiB (peak %.0f MiB)" % (name, cpu, after[name][1], peak[name]))
    print("node %s" % NODE)

    # A changed setting restarts the gateway, which is sent the whole address space again.
    client.call("close")
    admin = server.admin()
    rebuilds = []
    for trust in (True, False, True, False, True):
        admin.ok("setSetting", "opcTrustClients", trust)
        started = time.time()
        if not wait_until(lambda: not listening(opc_port), 60, 0.02):
            raise SystemExit("the gateway was not restarted")
        if not wait_until(lambda: listening(opc_port), 600, 0.02):
            raise SystemExit("the restarted gateway did not listen")
        rebuilds.append(time.time() - started)
    admin.close()
    print("address space of %d items built anew in %.2f s (median of %d gateway restarts)"
          % (len(items), statistics.median(rebuilds), len(rebuilds)))

    client.stop()
    server.stop()
    sim.stop()
    home.remove()


if __name__ == "__main__":
    main()
