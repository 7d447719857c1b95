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
run's result reaches it; that wait comes on top of the figures."""

import argparse
import os
import statistics
import sys
import time
import unittest
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from orvexe2e import DataServer, DeviceSimulator, TcpClient, TempHome, free_port, wait_until  # noqa: E402
from opce2e import NODE, OpcClient, children, listening, require_node  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def usage(pid):
    """CPU seconds so far and resident MiB of a process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICKS
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024
    return cpu, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=500)
    parser.add_argument("--seconds", type=int, default=60)
    args = parser.parse_args()
    try:
        require_node()
    except unittest.SkipTest as reason:
        print("bench_opc: skipped:", reason)
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
