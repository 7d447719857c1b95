// The lazy address space on a real node-opcua address space: nodes made
// when looked up, browsed from the store without making children, dropped
// when idle or too many unless pinned, and made again the same; what a
// session may not see is refused without being made.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const GATEWAY = path.join(__dirname, "..", "..", "tools", "opc-gateway");
const opcua = require(path.join(GATEWAY, "node_modules", "node-opcua"));
const { AddressSpaceAccessor } = require(path.join(GATEWAY, "node_modules", "node-opcua-server", "dist", "addressSpace_accessor.js"));
const { ItemStore } = require(path.join(GATEWAY, "itemstore.js"));
const { LazySpace, UNITS_BASE } = require(path.join(GATEWAY, "lazyspace.js"));
const { EngineeringUnits } = require(path.join(GATEWAY, "engineeringunits.js"));

const T1 = "Север\\ТВ-2 №1\\Отопление\\t1";
const HIDDEN = "Юг\\ТВ-2 №2\\Отопление\\t1";

async function setUp({ limit = 1000 } = {}) {
    const addressSpace = opcua.AddressSpace.create();
    await opcua.generateAddressSpace(addressSpace, [opcua.nodesets.standard]);
    const namespace = addressSpace.registerNamespace("urn:orvex-test");
    const units = new EngineeringUnits();
    const store = new ItemStore({ separator: "\\", unitsOf: (item) => units.of(item) });
    store.defineShape(1, [["Отопление\\t1", "Double", "°C", "CEL", "Температура"], ["Время", "DateTime", null, null, null]]);
    for (const [node, branch] of [[1, "Север\\ТВ-2 №1"], [2, "Юг\\ТВ-2 №2"]]) {
        store.addNode({ node, branch, shape: 1, time: "2024-05-02T00:00:00Z", values: [70.5, null], qualities: [0xc0, 0xc0] });
    }
    // A session sees the nodes in its set.
    const sees = (session, what) =>
        what.folder
            ? [...what.folder.nodeList()].some((node) => session.nodes.has(node))
            : session.nodes.has(store.describe(what.ordinal).node);
    const space = new LazySpace({ namespace, store, sees, locale: "ru", limit });
    const context = new opcua.SessionContext({ session: { nodes: new Set([1]) } });
    const accessor = new AddressSpaceAccessor(addressSpace);
    space.guardAccessor(accessor);
    const browse = (nodeId, browseDirection = opcua.BrowseDirection.Forward) =>
        addressSpace
            .browseSingleNode(nodeId, new opcua.BrowseDescription({ referenceTypeId: opcua.resolveNodeId("HierarchicalReferences"),
                includeSubtypes: true, browseDirection, resultMask: 63, nodeClassMask: 0 }), context)
            .references.filter((r) => r.nodeId.namespace === namespace.index || browseDirection !== opcua.BrowseDirection.Forward)
            .map((r) => r.nodeId.value);
    const id = (value) => new opcua.NodeId(typeof value === "string" ? opcua.NodeIdType.STRING : opcua.NodeIdType.NUMERIC, value, namespace.index);
    const read = (nodeId, attributeId = opcua.AttributeIds.Value) =>
        accessor.readNode(context, { nodeId, attributeId }, 0, opcua.TimestampsToReturn.Both);
    const made = () => [...space.live.keys()].sort();
    return { addressSpace, namespace, store, space, context, accessor, browse, id, read, made };
}

test("a node is made when looked up, dropped when idle, and made again the same", async () => {
    const { store, space, browse, id, read, made, addressSpace } = await setUp();
    // Browsing lists what the session sees, making no more than the browsed folders.
    assert.deepStrictEqual(browse(opcua.resolveNodeId("ObjectsFolder")), ["Север\\"]);
    assert.deepStrictEqual(browse(id("Север\\ТВ-2 №1\\")), ["Север\\ТВ-2 №1\\Отопление\\", "Север\\ТВ-2 №1\\Время"]);
    assert.deepStrictEqual(browse(id("Север\\ТВ-2 №1\\"), opcua.BrowseDirection.Inverse), ["Север\\"]);
    assert.deepStrictEqual(made(), ["Север\\ТВ-2 №1\\"]);
    const first = await read(id(T1));
    assert.deepStrictEqual([first.statusCode.name, first.value.value], ["Good", 70.5]);
    assert.deepStrictEqual(made(), ["Север\\ТВ-2 №1\\", T1]);
    const ordinal = store.find(T1);
    const path = opcua.makeBrowsePath("ObjectsFolder", "/1:Север/1:ТВ-2 №1/1:Отопление/1:t1.EngineeringUnits");
    const units = addressSpace.browsePath(path);
    assert.deepStrictEqual(units.targets.map((t) => t.targetId.value), [UNITS_BASE + ordinal]);
    // The variable knows its folder though no node holds the reference.
    assert.deepStrictEqual(browse(id(T1), opcua.BrowseDirection.Inverse), ["Север\\ТВ-2 №1\\Отопление\\"]);

    // Idle: dropped. A value that comes meanwhile is there when it is made again, under the same ids.
    space.sweep(Date.now() + 2 * space.idleMs);
    assert.deepStrictEqual(made(), []);
    assert.strictEqual(addressSpace.findNode(id(T1)).nodeId.value, T1); // a lookup makes it again
    space.sweep(Date.now() + 2 * space.idleMs);
    store.setValue(ordinal, 71.5, 0x08, new Date("2024-05-03T00:00:00Z"));
    space.valueChanged(ordinal, T1);
    const again = await read(id(T1));
    assert.deepStrictEqual([again.statusCode.name, again.value.value, again.sourceTimestamp.toISOString()],
        ["BadNotConnected", 71.5, "2024-05-03T00:00:00.000Z"]);
    const eu = await read(id(UNITS_BASE + ordinal));
    assert.deepStrictEqual([eu.value.value.displayName.text, eu.value.value.unitId], ["°C", 0x43454c]);
    assert.deepStrictEqual(addressSpace.browsePath(path).targets.map((t) => t.targetId.value), [UNITS_BASE + ordinal]);
    space.close();
});

test("a pinned node stays and follows its values; too many made drops the least recently used", async () => {
    const { store, space, id, read, made, addressSpace } = await setUp({ limit: 4 });
    const variable = addressSpace.findNode(id(T1));
    space.pin(addressSpace.findNode(id(UNITS_BASE + store.find(T1))), 1); // its EngineeringUnits pins it
    space.sweep(Date.now() + 2 * space.idleMs);
    assert.strictEqual(addressSpace.findNode(id(T1)), variable);
    store.setValue(store.find(T1), 72.5, 0xc0, new Date());
    space.valueChanged(store.find(T1), T1);
    assert.strictEqual(variable.readValue().value.value, 72.5);
    // Six more made: a turn later the last three are left (3/4 of the limit) besides the pinned one.
    for (const made of ["Север\\", "Юг\\", "Север\\ТВ-2 №1\\", "Юг\\ТВ-2 №2\\", "Север\\ТВ-2 №1\\Время", HIDDEN]) {
        assert.ok(addressSpace.findNode(id(made)), made);
    }
    await new Promise((resolve) => setImmediate(resolve));
    assert.deepStrictEqual(made(), [T1, "Юг\\ТВ-2 №2\\", "Север\\ТВ-2 №1\\Время", HIDDEN].sort());
    space.pin(variable, -1);
    space.sweep(Date.now() + 2 * space.idleMs);
    assert.deepStrictEqual(made(), []);
    assert.strictEqual((await read(id(T1))).value.value, 72.5);
    space.close();
});

test("what a session may not see, or what is not there, is refused without making anything", async () => {
    const { store, space, accessor, context, browse, id, read, made } = await setUp();
    const hidden = [id(HIDDEN), id("Юг\\"), id("Юг\\ТВ-2 №2\\"), id(UNITS_BASE + store.find(HIDDEN))];
    for (const nodeId of hidden) {
        assert.strictEqual((await read(nodeId)).statusCode.name, "BadUserAccessDenied", nodeId.toString());
        assert.strictEqual((await read(nodeId, opcua.AttributeIds.DisplayName)).statusCode.name, "BadUserAccessDenied");
    }
    const write = (nodeId) => accessor.writeNode(context, new opcua.WriteValue({ nodeId, attributeId: opcua.AttributeIds.Value,
        value: { value: { dataType: opcua.DataType.Double, value: 1 } } }));
    assert.strictEqual((await write(id(HIDDEN))).name, "BadUserAccessDenied");
    const unknown = [id("Юг\\ТВ-2 №3\\x"), id("Юг\\ТВ-2 №2\\Отопление"), id(""), id(UNITS_BASE + 999), id(UNITS_BASE - 1),
        id(UNITS_BASE + store.find("Юг\\ТВ-2 №2\\Время")), id(5), new opcua.NodeId(opcua.NodeIdType.STRING, T1, 7),
        new opcua.NodeId(opcua.NodeIdType.GUID, "72962B91-FA75-4AE6-8D28-B404DC7DAF63", 1),
        new opcua.NodeId(opcua.NodeIdType.BYTESTRING, Buffer.from(T1), 1), id("\\".repeat(100000))];
    for (const nodeId of unknown) {
        assert.strictEqual((await read(nodeId)).statusCode.name, "BadNodeIdUnknown", nodeId.toString());
    }
    assert.strictEqual((await write(id("nothing"))).name, "BadNodeIdUnknown");
    assert.deepStrictEqual(made(), []);
    assert.deepStrictEqual(browse(opcua.resolveNodeId("ObjectsFolder")), ["Север\\"]);
    assert.strictEqual((await write(id(T1))).name, "BadNotWritable");
    assert.deepStrictEqual(made(), [T1]);
    space.close();
});
