#!/usr/bin/env node
// The OPC UA layer of Orvex Data Server. The server starts this program as
// a child process and talks to it over standard input and output, one JSON
// object per line (docs/protocol.md gives the grammar): it sends the
// configuration, the address space and value updates; this program serves
// them to OPC UA clients and reports which items the clients use, and asks
// the server whether a user name and password may log in and which nodes
// that user sees: a session browses, reads and monitors only their items.
// Standard error is for the server's log only.
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
const { ItemAccess, ANONYMOUS } = require("./itemaccess");
const { EngineeringUnits } = require("./engineeringunits");

Guard.install(opcua.MonitoredItem);

// Version of the line protocol this program speaks (the "config" line's
// "version" must match its major number).
const PROTOCOL_VERSION = 2;
const LOGIN_TIMEOUT_MS = 10000;

const QUALITY = {
    0xc0: opcua.StatusCodes.Good,
    0x00: opcua.StatusCodes.Bad,
    0x08: opcua.StatusCodes.BadNotConnected,
};

// numeric: a number with a unit is an AnalogUnitType variable.
const TYPES = {
    Boolean: { dataType: opcua.DataType.Boolean, zero: false },
    Int32: { dataType: opcua.DataType.Int32, zero: 0, numeric: true },
    UInt32: { dataType: opcua.DataType.UInt32, zero: 0, numeric: true },
    Double: { dataType: opcua.DataType.Double, zero: 0, numeric: true },
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
const published = new WeakMap(); // folder or variable node -> { item } or { folder }: its id
const monitored = new Set(); // monitored items of the published items
const access = new ItemAccess();
const units = new EngineeringUnits();
const logins = new Map(); // request id -> { callback, timer, session } of a login asked about
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

// The folder of an item's branch, made when missing; paths gets the path of
// every folder on the way.
function folderFor(parts, paths) {
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
            published.set(folder, { folder: branch });
            // A hidden folder reads as denied too: its name is a node's.
            const path = branch;
            const readAttribute = folder.readAttribute;
            folder.readAttribute = function (context, ...rest) {
                if (context && context.session && !access.seesFolder(context.session, path)) return denied();
                return readAttribute.call(this, context, ...rest);
            };
        }
        paths.push(branch);
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
    const paths = [];
    const folder = folderFor(parts, paths);
    access.addItem(item.id, item.node, paths);
    const engineeringUnits = units.of(item);
    const description =
        typeof item.description === "string" && item.description
            ? { text: item.description, locale: typeof config.locale === "string" ? config.locale : undefined }
            : undefined;
    const variable = namespace.addVariable({
        organizedBy: folder,
        browseName: new opcua.QualifiedName({ name, namespaceIndex: namespace.index }),
        displayName: name,
        description,
        nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, item.id, namespace.index),
        dataType: TYPES[item.type].dataType,
        typeDefinition: engineeringUnits && TYPES[item.type].numeric ? "AnalogUnitType" : undefined,
        accessLevel: "CurrentRead",
        userAccessLevel: "CurrentRead",
        minimumSamplingInterval: 0,
    });
    variables.set(item.id, { variable, type: item.type });
    published.set(variable, { item: item.id });
    setValue(item.id, item.value, item.quality, timeOf(item.time));
    // A hidden item reads as denied, every attribute of it. A client that
    // reads an item nobody uses makes its node watched for a while.
    const readAttribute = variable.readAttribute;
    variable.readAttribute = function (context, attributeId, ...rest) {
        const session = context && context.session;
        if (session) {
            if (!access.seesItem(session, item.id)) return denied();
            if (attributeId === opcua.AttributeIds.Value) itemUse.hold(item.id);
        }
        return readAttribute.call(this, context, attributeId, ...rest);
    };
    if (engineeringUnits) {
        const property = namespace.addVariable({
            propertyOf: variable,
            browseName: { name: "EngineeringUnits", namespaceIndex: 0 },
            typeDefinition: "PropertyType",
            dataType: "EUInformation",
            accessLevel: "CurrentRead",
            userAccessLevel: "CurrentRead",
            minimumSamplingInterval: 0,
            value: { dataType: opcua.DataType.ExtensionObject, value: engineeringUnits },
        });
        // What a hidden item is measured in is hidden with it: the session's
        // permission check refuses its value.
        published.set(property, { item: item.id });
    }
}

function denied() {
    return new opcua.DataValue({ statusCode: opcua.StatusCodes.BadUserAccessDenied });
}

// Whether a node of the address space is one of ours that the session may not see.
function hiddenFrom(session, node) {
    const what = published.get(node);
    if (!what) return false;
    return what.item !== undefined ? !access.seesItem(session, what.item) : !access.seesFolder(session, what.folder);
}

function itemOf(nodeId) {
    if (!nodeId || nodeId.namespace !== namespace.index || typeof nodeId.value !== "string") return undefined;
    return variables.has(nodeId.value) ? nodeId.value : undefined;
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

// A new session sees only what its user sees: Browse leaves hidden folders
// and items out and Write refuses them (the session's permission check),
// and CreateMonitoredItems refuses them. Reads are refused by the items.
function guardSession(session) {
    const context = session.sessionContext;
    const checkPermission = context.checkPermission;
    context.checkPermission = function (node, permission) {
        return !hiddenFrom(session, node) && checkPermission.call(this, node, permission);
    };
    session.on("new_subscription", (subscription) => {
        const preCreate = subscription.preCreateMonitoredItem;
        subscription.preCreateMonitoredItem = function (addressSpace, timestampsToReturn, request) {
            const node = addressSpace.findNode(request.itemToMonitor.nodeId);
            if (node && hiddenFrom(this.$session, node)) {
                const statusCode = opcua.StatusCodes.BadUserAccessDenied;
                return {
                    createResult: new opcua.MonitoredItemCreateResult({ statusCode }),
                    monitoredItemCreateRequest: request,
                };
            }
            return preCreate.call(this, addressSpace, timestampsToReturn, request);
        };
        subscription.on("monitoredItem", (monitoredItem, itemToMonitor) => {
            const id = itemOf(itemToMonitor.nodeId);
            if (id !== undefined) track(monitoredItem, id, itemToMonitor.attributeId === opcua.AttributeIds.Value);
        });
        subscription.on("removeMonitoredItem", (monitoredItem) => {
            const state = monitoredItem.$orvex;
            if (!state) return;
            monitored.delete(monitoredItem);
            if (state.uses && state.shown) itemUse.release(state.item);
            monitoredItem.$orvex = undefined;
        });
    });
}

// A monitored item of ours passes values on while its session sees the
// item; its value monitoring counts as a use of the item meanwhile.
function track(monitoredItem, item, uses) {
    const record = monitoredItem.recordValue;
    monitoredItem.$orvex = { item, uses, shown: true, record };
    monitoredItem.recordValue = function (...args) {
        return this.$orvex && !this.$orvex.shown ? false : record.apply(this, args);
    };
    monitored.add(monitoredItem);
    if (uses) itemUse.add(item);
}

// After a change of what some session sees: an item that went out of sight
// tells its client BadUserAccessDenied once, stops and is no longer a use;
// one that came back is a use again and goes on from its current value.
// Items of orphaned subscriptions wait for their next session.
function followAccess() {
    for (const monitoredItem of monitored) {
        const state = monitoredItem.$orvex;
        const session = monitoredItem.$subscription && monitoredItem.$subscription.$session;
        if (!state || !session) continue;
        const shown = access.seesItem(session, state.item);
        if (shown === state.shown) continue;
        state.shown = shown;
        if (state.uses) {
            if (shown) itemUse.add(state.item);
            else itemUse.release(state.item);
        }
        const value = shown ? variables.get(state.item).variable.readValue().clone() : denied();
        state.record.call(monitoredItem, value, true);
    }
}

// An activated session is its user's, or anonymous: it sees from now on what they see.
function bindSession(session) {
    const token = session.userIdentityToken;
    if (token instanceof opcua.UserNameIdentityToken) access.bind(session, session.$orvexUser);
    else if (token instanceof opcua.AnonymousIdentityToken) access.bind(session, ANONYMOUS);
    else access.unbind(session);
    followAccess();
}

// Called by node-opcua with the session as this.
function checkLogin(userName, password, callback) {
    const id = nextLoginId++;
    const session = this;
    const channel = session && session.channel;
    // A server that does not answer refuses: the client may try again.
    const timer = setTimeout(() => answerLogin({ id, ok: false }), LOGIN_TIMEOUT_MS);
    logins.set(id, { callback, timer, session });
    send({ op: "login", id, user: userName, password, peer: (channel && channel.remoteAddress) || "" });
}

// A login is let in with the user's id and what the user sees; an answer
// without the id refuses.
function answerLogin(answer) {
    const pending = logins.get(answer.id);
    if (!pending) return;
    logins.delete(answer.id);
    clearTimeout(pending.timer);
    const ok = answer.ok === true && Number.isInteger(answer.user);
    if (ok) {
        if (pending.session) pending.session.$orvexUser = answer.user;
        if (access.setView(answer.user, ItemAccess.viewOf(answer))) followAccess();
    }
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
    // The name clients use: in the endpoint URLs and the certificate's names
    // (an IPv6 address comes in brackets, fit for the URLs only).
    const hostname = typeof config.hostname === "string" && config.hostname ? config.hostname : undefined;
    const certificateNames = hostname && !hostname.startsWith("[") ? [hostname] : [];
    server = new opcua.OPCUAServer({
        port: config.port,
        // One interface, or all of them when the server is bound to none.
        host: config.host || undefined,
        hostname,
        alternateHostname: certificateNames,
        serverCertificateManager: certificateManager,
        certificateFile: path.join(pki, "own", "certs", "orvex_opc_server.pem"),
        privateKeyFile: path.join(pki, "own", "private", "private_key.pem"),
        securityPolicies: policies,
        securityModes: modes,
        allowAnonymous: !!config.allowAnonymous,
        userManager: { isValidUserAsync: checkLogin },
        buildInfo: { productName: "Orvex OPC Server", manufacturerName: "Orvex" },
        serverInfo: {
            // The application's own name, which no host name setting changes.
            applicationUri: opcua.makeApplicationUrn(require("node:os").hostname(), "Orvex.OPC"),
            productUri: "Orvex.OPC",
            applicationName: { text: "Orvex OPC Server", locale: "ru" },
        },
    });
    // Users are the server's users, by login and password: certificates as
    // user identities would let in whoever holds a trusted certificate.
    server.isValidX509IdentityToken = (channel, session, policy, token, signature, callback) =>
        callback(null, opcua.StatusCodes.BadIdentityTokenRejected);
    await server.initialize();
    await renameCertificate();
    // (the endpoints exist once the server is initialised)
    for (const endpoint of server.endpoints) {
        for (const description of endpoint.endpointDescriptions()) {
            description.userIdentityTokens = description.userIdentityTokens.filter(
                (token) => token.tokenType !== opcua.UserTokenType.Certificate
            );
        }
    }
    namespace = server.engine.addressSpace.getOwnNamespace();
    server.on("create_session", guardSession);
    server.on("session_activated", bindSession);
    server.on("session_closed", (session) => access.unbind(session));
    const building = Date.now();
    const count = pendingItems.length;
    for (const item of pendingItems.splice(0)) addItem(item);
    log("info", `address space of ${count} items built in ${Date.now() - building} ms`);
    await server.start();
    started = true;
    send({ op: "listening", port: config.port, endpoints: server.endpoints.map((e) => e.endpointDescriptions()[0].endpointUrl) });
}

// A certificate made here for other names (the host was renamed, or
// "opcHostName" changed) is made anew for the names of now; one from
// elsewhere is left as it is, with a warning.
async function renameCertificate() {
    const missing = server.checkCertificateSAN();
    if (!missing.length) return;
    try {
        await server.regenerateSelfSignedCertificate();
        for (const endpoint of server.endpoints) endpoint.invalidateCertificates();
        log("info", "server certificate made anew for " + missing.join(", ") + ": clients trust it anew");
    } catch (err) {
        log("warning", "the server certificate does not name " + missing.join(", ") + ": " + err.message);
    }
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
            answerLogin(message);
            break;
        case "visibility":
            if (Number.isInteger(message.user) && access.setView(message.user, ItemAccess.viewOf(message))) {
                followAccess();
            }
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
