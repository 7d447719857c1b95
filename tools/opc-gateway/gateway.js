#!/usr/bin/env node
// The OPC UA layer of Orvex Data Server. The server starts this program as
// a child process and talks to it over standard input and output, one JSON
// object per line (docs/protocol.md gives the grammar): it sends the
// configuration, the address space and value updates; this program serves
// them to OPC UA clients and reports which items the clients use, and asks
// the server whether a user name and password may log in and which nodes
// that user sees: a session browses, reads and monitors only their items.
// Standard error is for the server's log only. The items are kept in compact
// tables (itemstore.js) and their OPC UA nodes made only while clients use
// them (lazyspace.js), so that a gateway of millions of items stays small.
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
const { ItemStore } = require("./itemstore");
const { LazySpace } = require("./lazyspace");

Guard.install(opcua.MonitoredItem);

// Version of the line protocol this program speaks (the "config" line's
// "version" must match its major number). The address space comes as
//   {"op":"shape", "shape":id, "items":[[leaf, type, unit|null, unitCode|null, description|null], ...]}
//   {"op":"nodes", "nodes":[{"node":id, "branch":text, "shape":id, "time":text|null,
//                            "values":[...], "qualities":[...]}, ...]}
// an item's id being branch + separator + leaf; unknown ops and fields are
// ignored, and what an older peer would misread raises the version (3:
// shapes and nodes instead of whole items).
const PROTOCOL_VERSION = 3;
const LOGIN_TIMEOUT_MS = 10000;

function send(message) {
    process.stdout.write(JSON.stringify(message) + "\n");
}

function log(level, text) {
    send({ op: "log", level, text });
}

let config = null;
let server = null;
let namespace = null;
let store = null; // the items, from the "shape" and "nodes" messages
let space = null; // their OPC UA nodes, once the server runs
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

// Whether a session sees an item ({ ordinal }) or a folder ({ folder }) of the store.
function sees(session, what) {
    if (what.folder) return access.seesAnyNode(session, what.folder.nodes);
    const item = store.describe(what.ordinal);
    return !!item && access.seesNode(session, item.node);
}

// Whether a node of the address space is one of ours that the session may not see.
function hiddenFrom(session, node) {
    return !!(node && node.$orvexWhat) && !sees(session, node.$orvexWhat);
}

function defineShape(message) {
    if (!Number.isInteger(message.shape) || !Array.isArray(message.items)) {
        log("warning", "shape skipped: " + JSON.stringify(message).slice(0, 200));
        return;
    }
    for (const entry of store.defineShape(message.shape, message.items)) {
        log("warning", "item skipped: " + JSON.stringify(entry).slice(0, 200));
    }
}

function addNodes(message) {
    if (!Array.isArray(message.nodes)) {
        log("warning", "nodes skipped: " + JSON.stringify(message).slice(0, 200));
        return;
    }
    for (const node of message.nodes) {
        if (typeof node !== "object" || node === null || !store.addNode(node)) {
            log("warning", "node skipped: " + JSON.stringify(node).slice(0, 200));
        }
    }
}

function update(message) {
    if (!Array.isArray(message.items)) return;
    const time = timeOf(message.time);
    for (const entry of message.items) {
        if (!Array.isArray(entry) || typeof entry[0] !== "string") continue;
        // One item that cannot be written must not cost the others their values.
        try {
            const ordinal = store.find(entry[0]);
            if (ordinal < 0) continue;
            store.setValue(ordinal, entry[1], entry[2], time);
            if (space) space.valueChanged(ordinal, entry[0]);
        } catch (err) {
            log("warning", `value of ${entry[0]} not written: ${err.message}`);
        }
    }
}

function denied() {
    return new opcua.DataValue({ statusCode: opcua.StatusCodes.BadUserAccessDenied });
}

function timeOf(text) {
    const date = text ? new Date(text) : new Date();
    return Number.isNaN(date.getTime()) ? new Date() : date;
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
            // Refused without making the node of what the session does not see.
            if (space.hiddenFrom(this.$session, opcua.resolveNodeId(request.itemToMonitor.nodeId))) {
                const statusCode = opcua.StatusCodes.BadUserAccessDenied;
                return {
                    createResult: new opcua.MonitoredItemCreateResult({ statusCode }),
                    monitoredItemCreateRequest: request,
                };
            }
            return preCreate.call(this, addressSpace, timestampsToReturn, request);
        };
        subscription.on("monitoredItem", (monitoredItem, itemToMonitor) => {
            // Whatever of ours it watches stays made meanwhile.
            const node = monitoredItem.node;
            if (node && node.$orvexWhat) {
                space.pin(node, 1);
                monitoredItem.$orvexPinned = node;
            }
            if (node && node.$orvexItem !== undefined) {
                const uses = itemToMonitor.attributeId === opcua.AttributeIds.Value;
                track(monitoredItem, node.$orvexItem, node.$orvexWhat.ordinal, uses);
            }
        });
        subscription.on("removeMonitoredItem", (monitoredItem) => {
            if (monitoredItem.$orvexPinned) space.pin(monitoredItem.$orvexPinned, -1);
            monitoredItem.$orvexPinned = undefined;
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
function track(monitoredItem, item, ordinal, uses) {
    const record = monitoredItem.recordValue;
    monitoredItem.$orvex = { item, ordinal, uses, shown: true, record };
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
        const shown = sees(session, { ordinal: state.ordinal });
        if (shown === state.shown) continue;
        state.shown = shown;
        if (state.uses) {
            if (shown) itemUse.add(state.item);
            else itemUse.release(state.item);
        }
        const value = shown ? monitoredItem.node.readValue().clone() : denied();
        state.record.call(monitoredItem, value, true);
    }
}

// TranslateBrowsePathsToNodeIds answers a session with what it sees only:
// a path to a hidden item or folder matches nothing. (node-opcua's handler,
// with the session's view applied to the results.)
function guardTranslation() {
    const engine = server.engine;
    server._on_TranslateBrowsePathsToNodeIdsRequest = function (message, channel) {
        const request = message.request;
        const Response = opcua.TranslateBrowsePathsToNodeIdsResponse;
        this._apply_on_SessionObject(Response, message, channel, async (session, sendResponse, sendError) => {
            if (!request.browsePaths || request.browsePaths.length === 0) {
                return sendError(opcua.StatusCodes.BadNothingToDo);
            }
            const limit = engine.serverCapabilities.operationLimits.maxNodesPerTranslateBrowsePathsToNodeIds;
            if (limit > 0 && request.browsePaths.length > limit) return sendError(opcua.StatusCodes.BadTooManyOperations);
            try {
                const results = [];
                for (const browsePath of request.browsePaths) {
                    // From a hidden node nothing is followed (nor is it made).
                    const hidden = space.hiddenFrom(session, opcua.resolveNodeId(browsePath.startingNode));
                    const result = hidden ? noMatch() : await engine.translateBrowsePath(browsePath);
                    results.push(seenTargets(session, result));
                }
                sendResponse(new Response({ diagnosticInfos: null, results }));
            } catch (err) {
                sendError(opcua.StatusCodes.BadInternalError);
            }
        });
    };
}

function seenTargets(session, result) {
    const targets = (result.targets || []).filter((target) => !space.hiddenFrom(session, target.targetId));
    if (targets.length === (result.targets || []).length) return result;
    return targets.length ? new opcua.BrowsePathResult({ statusCode: result.statusCode, targets }) : noMatch();
}

function noMatch() {
    return new opcua.BrowsePathResult({ statusCode: opcua.StatusCodes.BadNoMatch });
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
    space = new LazySpace({
        namespace,
        store,
        sees,
        onValueRead: (ordinal) => itemUse.hold(store.describe(ordinal).id),
        locale: typeof config.locale === "string" ? config.locale : undefined,
    });
    space.guardAccessor(server.engine.addressSpaceAccessor);
    guardTranslation();
    log("info", `address space of ${store.count} items of ${store.records.length} nodes`);
    await server.start();
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
            if (!store) {
                const separator = typeof config.separator === "string" && config.separator ? config.separator : ".";
                store = new ItemStore({ separator, unitsOf: (item) => units.of(item) });
            }
            break;
        case "shape":
            if (store) defineShape(message);
            break;
        case "nodes":
            if (store) addNodes(message);
            break;
        case "start":
            if (!config || server) return;
            startServer().catch((err) => {
                log("error", "OPC UA server did not start: " + err.message);
                stop(1);
            });
            break;
        case "update":
            if (store) update(message);
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
