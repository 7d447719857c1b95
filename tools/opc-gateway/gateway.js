#!/usr/bin/env node
// The OPC UA layer of Orvex Data Server. The server starts this program as
// a child process and talks to it over standard input and output, one JSON
// object per line (docs/protocol.md gives the grammar): it sends the
// configuration, the address space and value updates; this program serves
// them to OPC UA clients and reports which items the clients use, and asks
// the server whether a user name and password may log in. Standard error is
// for the server's log only.
"use strict";

// node-opcua prints its warnings through console.log: standard output
// carries the protocol, so whatever console prints goes to standard error.
const util = require("node:util");
for (const name of ["log", "info", "warn", "debug", "trace", "dir"]) {
    console[name] = (...args) => process.stderr.write(util.format(...args) + "\n");
}

const readline = require("node:readline");
const path = require("node:path");
const opcua = require("node-opcua");
const { Guard } = require("./overflowguard");
const { ItemUse } = require("./itemuse");

Guard.install(opcua.MonitoredItem);

// Version of the line protocol this program speaks (the "config" line's
// "version" must match its major number).
const PROTOCOL_VERSION = 1;
const LOGIN_TIMEOUT_MS = 10000;

const QUALITY = {
    0xc0: opcua.StatusCodes.Good,
    0x00: opcua.StatusCodes.Bad,
    0x08: opcua.StatusCodes.BadNotConnected,
};

const TYPES = {
    Boolean: { dataType: opcua.DataType.Boolean, zero: false },
    Int32: { dataType: opcua.DataType.Int32, zero: 0 },
    UInt32: { dataType: opcua.DataType.UInt32, zero: 0 },
    Double: { dataType: opcua.DataType.Double, zero: 0 },
    String: { dataType: opcua.DataType.String, zero: "" },
    DateTime: { dataType: opcua.DataType.DateTime, zero: null },
};

function send(message) {
    process.stdout.write(JSON.stringify(message) + "\n");
}

function log(level, text) {
    send({ op: "log", level, text });
}

let config = null;
let server = null;
let namespace = null;
let started = false;
const pendingItems = [];
const variables = new Map(); // item name -> { variable, type }
const folders = new Map(); // branch path -> folder node
const logins = new Map(); // request id -> callback
let nextLoginId = 1;

const itemUse = new ItemUse({
    onChange: (activated, deactivated) => {
        if (activated.length) send({ op: "activate", items: activated });
        if (deactivated.length) send({ op: "deactivate", items: deactivated });
    },
});

function wireValue(type, value) {
    const t = TYPES[type];
    if (value === null || value === undefined) {
        return type === "DateTime" ? opcua.minOPCUADate : t.zero;
    }
    if (type === "DateTime") {
        const date = new Date(value);
        return Number.isNaN(date.getTime()) ? opcua.minOPCUADate : date;
    }
    return value;
}

function quality(code) {
    return QUALITY[code] || opcua.StatusCodes.Bad;
}

function timeOf(text) {
    const date = text ? new Date(text) : new Date();
    return Number.isNaN(date.getTime()) ? new Date() : date;
}

function folderFor(parts) {
    let parent = server.engine.addressSpace.rootFolder.objects;
    let branch = "";
    for (const part of parts) {
        branch += part + config.separator;
        let folder = folders.get(branch);
        if (!folder) {
            // Folders take their path with a trailing separator as id, so
            // that no folder takes an item's id.
            folder = namespace.addFolder(parent, {
                browseName: new opcua.QualifiedName({ name: part, namespaceIndex: namespace.index }),
                nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, branch, namespace.index),
                displayName: part,
            });
            folders.set(branch, folder);
        }
        parent = folder;
    }
    return parent;
}

function addItem(item) {
    if (typeof item !== "object" || item === null || typeof item.id !== "string" || !TYPES[item.type]) {
        log("warning", "item skipped: " + JSON.stringify(item).slice(0, 200));
        return;
    }
    if (variables.has(item.id)) return;
    const parts = item.id.split(config.separator);
    const name = parts.pop();
    const variable = namespace.addVariable({
        organizedBy: folderFor(parts),
        browseName: new opcua.QualifiedName({ name, namespaceIndex: namespace.index }),
        displayName: name,
        nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, item.id, namespace.index),
        dataType: TYPES[item.type].dataType,
        accessLevel: "CurrentRead",
        userAccessLevel: "CurrentRead",
        minimumSamplingInterval: 0,
    });
    variables.set(item.id, { variable, type: item.type });
    setValue(item.id, item.value, item.quality, timeOf(item.time));
    // A client that reads an item nobody uses makes its node watched for a while.
    const readAttribute = variable.readAttribute;
    variable.readAttribute = function (context, attributeId, ...rest) {
        if (attributeId === opcua.AttributeIds.Value && context && context.session) itemUse.hold(item.id);
        return readAttribute.call(this, context, attributeId, ...rest);
    };
}

function setValue(id, value, code, time) {
    const entry = variables.get(id);
    if (!entry) return;
    const t = TYPES[entry.type];
    entry.variable.setValueFromSource(
        { dataType: t.dataType, value: wireValue(entry.type, value) },
        quality(code),
        time
    );
}

function update(message) {
    if (!Array.isArray(message.items)) return;
    const time = timeOf(message.time);
    for (const entry of message.items) {
        if (!Array.isArray(entry) || typeof entry[0] !== "string") continue;
        // One item that cannot be written must not cost the others their values.
        try {
            setValue(entry[0], entry[1], entry[2], time);
        } catch (err) {
            log("warning", `value of ${entry[0]} not written: ${err.message}`);
        }
    }
}

function trackSubscriptions(session) {
    session.on("new_subscription", (subscription) => {
        subscription.on("monitoredItem", (monitoredItem, itemToMonitor) => {
            if (itemToMonitor.attributeId !== opcua.AttributeIds.Value) return;
            const nodeId = itemToMonitor.nodeId;
            if (nodeId.namespace !== namespace.index || typeof nodeId.value !== "string") return;
            if (!variables.has(nodeId.value)) return;
            monitoredItem.$orvexItem = nodeId.value;
            itemUse.add(nodeId.value);
        });
        subscription.on("removeMonitoredItem", (monitoredItem) => {
            if (monitoredItem.$orvexItem) itemUse.release(monitoredItem.$orvexItem);
            monitoredItem.$orvexItem = undefined;
        });
    });
}

function checkLogin(userName, password, callback) {
    const id = nextLoginId++;
    const channel = this && this.channel;
    // A server that does not answer refuses: the client may try again.
    const timer = setTimeout(() => answerLogin(id, false), LOGIN_TIMEOUT_MS);
    logins.set(id, { callback, timer });
    send({ op: "login", id, user: userName, password, peer: (channel && channel.remoteAddress) || "" });
}

function answerLogin(id, ok) {
    const pending = logins.get(id);
    if (!pending) return;
    logins.delete(id);
    clearTimeout(pending.timer);
    pending.callback(null, ok);
}

async function startServer() {
    const pki = config.pki;
    const certificateManager = new opcua.OPCUACertificateManager({
        rootFolder: pki,
        automaticallyAcceptUnknownCertificate: !!config.trustClients,
    });
    await certificateManager.initialize();
    const modes = [opcua.MessageSecurityMode.Sign, opcua.MessageSecurityMode.SignAndEncrypt];
    const policies = [opcua.SecurityPolicy.Basic256Sha256];
    if (config.securityNone) {
        modes.unshift(opcua.MessageSecurityMode.None);
        policies.unshift(opcua.SecurityPolicy.None);
    }
    const hostname = config.hostname || undefined;
    server = new opcua.OPCUAServer({
        port: config.port,
        hostname,
        serverCertificateManager: certificateManager,
        certificateFile: path.join(pki, "own", "certs", "orvex_opc_server.pem"),
        privateKeyFile: path.join(pki, "own", "private", "private_key.pem"),
        securityPolicies: policies,
        securityModes: modes,
        allowAnonymous: !!config.allowAnonymous,
        userManager: { isValidUserAsync: checkLogin },
        buildInfo: { productName: "Orvex OPC Server", manufacturerName: "Orvex" },
        serverInfo: {
            applicationUri: opcua.makeApplicationUrn(hostname || require("node:os").hostname(), "Orvex.OPC"),
            productUri: "Orvex.OPC",
            applicationName: { text: "Orvex OPC Server", locale: "ru" },
        },
    });
    // Users are the server's users, by login and password: certificates as
    // user identities would let in whoever holds a trusted certificate.
    server.isValidX509IdentityToken = (channel, session, policy, token, signature, callback) =>
        callback(null, opcua.StatusCodes.BadIdentityTokenRejected);
    await server.initialize();
    // (the endpoints exist once the server is initialised)
    for (const endpoint of server.endpoints) {
        for (const description of endpoint.endpointDescriptions()) {
            description.userIdentityTokens = description.userIdentityTokens.filter(
                (token) => token.tokenType !== opcua.UserTokenType.Certificate
            );
        }
    }
    namespace = server.engine.addressSpace.getOwnNamespace();
    server.on("create_session", trackSubscriptions);
    for (const item of pendingItems.splice(0)) addItem(item);
    await server.start();
    started = true;
    send({ op: "listening", port: config.port, endpoints: server.endpoints.map((e) => e.endpointDescriptions()[0].endpointUrl) });
}

async function stop(code) {
    try {
        if (server) await server.shutdown(500);
    } finally {
        process.exit(code);
    }
}

function handle(message) {
    switch (message.op) {
        case "config":
            if (Math.floor(Number(message.version)) !== PROTOCOL_VERSION) {
                log("error", `protocol version ${message.version} is not ${PROTOCOL_VERSION}`);
                stop(2);
                return;
            }
            config = {
                separator: ".",
                readHoldMs: 60000,
                ...message,
            };
            itemUse.holdMs = Number(config.readHoldMs) || 60000;
            break;
        case "items":
            if (!config || !Array.isArray(message.items)) return;
            if (started) message.items.forEach(addItem);
            else pendingItems.push(...message.items);
            break;
        case "start":
            if (!config || server) return;
            startServer().catch((err) => {
                log("error", "OPC UA server did not start: " + err.message);
                stop(1);
            });
            break;
        case "update":
            if (started) update(message);
            break;
        case "login":
            answerLogin(message.id, message.ok === true);
            break;
        case "stop":
            stop(0);
            break;
        default:
            // Newer servers may send more: what is not known here is left alone.
            break;
    }
}

const lines = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });
lines.on("line", (line) => {
    if (!line.trim()) return;
    let message;
    try {
        message = JSON.parse(line);
    } catch (err) {
        log("warning", "malformed line skipped: " + line.slice(0, 200));
        return;
    }
    if (typeof message !== "object" || message === null || Array.isArray(message)) {
        log("warning", "line without an object skipped: " + line.slice(0, 200));
        return;
    }
    handle(message);
});
// The server went away: nobody is left to serve values.
lines.on("close", () => stop(0));

process.on("uncaughtException", (err) => {
    // Said once, then ended: the server restarts the gateway in a known state.
    log("error", "unexpected failure: " + (err && err.stack ? err.stack.split("\n").slice(0, 3).join(" | ") : err));
    process.exitCode = 70;
    setImmediate(() => process.exit(70));
});
