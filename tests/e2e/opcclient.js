#!/usr/bin/env node
// A scripted OPC UA client (node-opcua of tools/opc-gateway) for the e2e tests and the benchmark: one JSON
// command a line in ({"cmd": name, ...}), one answer out ({"ok": true, ...} or {"ok": false, "error": ...}).
"use strict";

// Standard output carries the protocol: node-opcua's console warnings go to standard error.
const util = require("node:util");
for (const name of ["log", "info", "warn", "debug", "trace", "dir"]) {
    console[name] = (...args) => process.stderr.write(util.format(...args) + "\n");
}

const path = require("node:path");
const readline = require("node:readline");
const opcua = require(path.join(__dirname, "..", "..", "tools", "opc-gateway", "node_modules", "node-opcua"));

let client = null, session = null, subscription = null;
const changes = [];

const answer = (message) => process.stdout.write(JSON.stringify(message) + "\n");

function dataValueJson(id, dataValue) {
    const value = dataValue.value ? dataValue.value.value : null;
    return { id, value: value instanceof Date ? value.toISOString() : value, statusName: dataValue.statusCode.name,
        overflow: !!dataValue.statusCode.hasOverflowBit, sourceTime: dataValue.sourceTimestamp?.toISOString() ?? null,
        received: Date.now() };   // received: the OPC benchmark's latencies
}

const valueAttribute = (id) =>
    ({ nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, id, 1), attributeId: opcua.AttributeIds.Value });

// The references down from a node, its first page.
const browseDown = (nodeId) => session.browse({ nodeId, browseDirection: opcua.BrowseDirection.Forward,
    referenceTypeId: "HierarchicalReferences", includeSubtypes: true, resultMask: 63 });

async function browseAll(nodeId, prefix, out) {
    const result = await browseDown(nodeId);
    for (const ref of result.references || []) {
        if (ref.nodeId.namespace !== 1) continue;
        const name = ref.browseName.name;
        if (ref.nodeClass === opcua.NodeClass.Variable) out.push({ id: ref.nodeId.value, path: prefix.concat(name) });
        else await browseAll(ref.nodeId, prefix.concat(name), out);
    }
    return out;
}

const commands = {
    async connect(c) {
        const mode = opcua.MessageSecurityMode[c.mode || "None"];
        client = opcua.OPCUAClient.create({ securityMode: mode, endpointMustExist: false, requestedSessionTimeout: 60000,
            securityPolicy: opcua.SecurityPolicy[mode === opcua.MessageSecurityMode.None ? "None" : "Basic256Sha256"],
            connectionStrategy: { maxRetry: 0, initialDelay: 200, maxDelay: 500 } });
        await client.connect(c.url);
        const identity = c.user !== undefined
            ? { type: opcua.UserTokenType.UserName, userName: c.user, password: c.password }
            : { type: opcua.UserTokenType.Anonymous };
        session = await client.createSession(identity)
            .catch(async (err) => { await client.disconnect(); client = null; throw err; });
    },
    async endpoints(c) {
        const probe = opcua.OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
        await probe.connect(c.url);
        const endpoints = await probe.getEndpoints();
        await probe.disconnect();
        return { endpoints: endpoints.map((e) => ({ url: e.endpointUrl, policy: e.securityPolicyUri.split("#")[1],
            mode: opcua.MessageSecurityMode[e.securityMode],
            tokens: e.userIdentityTokens.map((t) => opcua.UserTokenType[t.tokenType]) })) };
    },
    async browse() { return { items: await browseAll(opcua.ObjectIds.ObjectsFolder, [], []) }; },
    // The ids of our nodes right below one (a folder's path, the Objects folder without one), all of them.
    async children(c) {
        const nodeId = c.folder ? new opcua.NodeId(opcua.NodeIdType.STRING, c.folder, 1) : opcua.ObjectIds.ObjectsFolder;
        let result = await browseDown(nodeId);
        const ids = [];
        for (;;) {
            for (const ref of result.references || []) if (ref.nodeId.namespace === 1) ids.push(ref.nodeId.value);
            if (!result.continuationPoint) break;
            [result] = await session.browseNext([result.continuationPoint], false);
        }
        return { status: result.statusCode.name, ids };
    },
    async read(c) {
        const values = await session.read(c.ids.map(valueAttribute));
        return { values: values.map((v, i) => dataValueJson(c.ids[i], v)) };
    },
    // Each item's Description, EngineeringUnits property (null when it has none) and type definition.
    async describe(c) {
        const items = [];
        for (const id of c.ids) {
            const nodeId = new opcua.NodeId(opcua.NodeIdType.STRING, id, 1);
            const [description] = await session.read([{ nodeId, attributeId: opcua.AttributeIds.Description }]);
            const text = description.value.value;
            const found = await session.translateBrowsePath(opcua.makeBrowsePath(nodeId, ".EngineeringUnits"));
            let units = null;
            if (found.statusCode.isGood()) {
                const [read] = await session.read([{ nodeId: found.targets[0].targetId,
                    attributeId: opcua.AttributeIds.Value }]);
                const eu = read.value.value;
                units = eu ? { namespaceUri: eu.namespaceUri, unitId: eu.unitId, displayName: eu.displayName.text,
                    description: eu.description.text } : { statusName: read.statusCode.name };
            }
            const type = await session.browse({ nodeId, referenceTypeId: "HasTypeDefinition",
                browseDirection: opcua.BrowseDirection.Forward, resultMask: 63 });
            items.push({ id, statusName: description.statusCode.name,
                description: text && text.text !== null ? { text: text.text, locale: text.locale } : null, units,
                type: type.references && type.references.length ? type.references[0].browseName.name : null });
        }
        return { items };
    },
    async subscribe(c) {
        subscription = await session.createSubscription2({ requestedPublishingInterval: c.interval || 1000,
            requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10, maxNotificationsPerPublish: 0,
            publishingEnabled: true });
        const group = await subscription.monitorItems(c.ids.map((id) => valueAttribute(id)),
            { samplingInterval: 0, discardOldest: true, queueSize: c.queueSize || 1 }, opcua.TimestampsToReturn.Both);
        group.on("changed", (item, dataValue) => changes.push(dataValueJson(item.itemToMonitor.nodeId.value, dataValue)));
        return { statuses: group.monitoredItems.map((item) => item.statusCode.name) };
    },
    async changes() { return { changes: changes.splice(0) }; },
    async unsubscribe() {
        if (subscription) await subscription.terminate();
        subscription = null;
    },
    // While stalled no publish requests go out: the server's queues fill up.
    async stall() { session.getPublishEngine().suspend(true); },
    async resume() { session.getPublishEngine().suspend(false); },
    async close() {
        if (session) await session.close();
        if (client) await client.disconnect();
        session = client = null;
    },
};

const queue = [];
let busy = false, inputClosed = false;

async function run() {
    if (busy) return;
    busy = true;
    while (queue.length) {
        try {
            const command = JSON.parse(queue.shift());
            const handler = commands[command.cmd];
            if (!handler) throw new Error("unknown command " + command.cmd);
            answer({ ok: true, ...(await handler(command)) });
        } catch (err) {
            answer({ ok: false, error: String(err && err.message ? err.message : err) });
        }
    }
    busy = false;
    if (inputClosed) process.exit(0);
}

readline.createInterface({ input: process.stdin }).on("line", (line) => {
    if (!line.trim()) return;
    queue.push(line);
    run();
}).on("close", () => {
    inputClosed = true;
    if (!busy) process.exit(0);
});
