// The gateway's compact item tables: ids, folders and the nodes below them,
// shapes shared by nodes, values kept by type.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const { ItemStore } = require(path.join(__dirname, "..", "..", "tools", "opc-gateway", "itemstore.js"));

const SHAPE = [
    ["Отопление\\t1", "Double", "°C", "CEL", "Температура"],
    ["Отопление\\Q", "Double", "Гкал", null, ["Тепло"]], // a description that is no text: none
    ["Время", "DateTime", null, null, "Время прибора"],
    ["НС", "String", null, null, null],
    ["Есть", "Boolean", null, null, null],
];

function filled() {
    const store = new ItemStore({ separator: "\\", unitsOf: (item) => (item.unit ? { unit: item.unit } : null) });
    // Entries that are no items are left out, the others keep their places.
    const skipped = store.defineShape(1, SHAPE.concat([["x", "Float"], "t2", ["", "Double"], ["Отопление\\", "Double"]]));
    assert.strictEqual(skipped.length, 4);
    const values = [70.5, 1.25, "2024-05-02T00:00:00.000Z", "норма", true];
    for (const [node, branch] of [[1, "Север\\ТВ-2 №1"], [2, "Север\\ТВ-2 №2"]]) {
        assert.ok(store.addNode({ node, branch, shape: 1, time: "2024-05-02T01:00:00Z", values, qualities: [0xc0, 0xc0, 0xc0, 8, 0] }));
    }
    return store;
}

test("ids lead to items and folders; folders know the nodes below them", () => {
    const store = filled();
    const id = "Север\\ТВ-2 №2\\Отопление\\t1";
    const ordinal = store.find(id);
    const item = store.describe(ordinal);
    assert.deepStrictEqual({ ...item, folder: store.pathOf(item.folder) }, {
        id, name: "t1", folder: "Север\\ТВ-2 №2\\Отопление\\", node: 2, type: "Double", units: { unit: "°C" },
        description: "Температура",
    });
    for (const missing of ["Север\\ТВ-2 №2\\Отопление\\t3", "Север\\ТВ-2 №2\\Отопление", "Юг\\x", "", 5, "Север\\ТВ-2 №2\\x"]) {
        assert.strictEqual(store.find(missing), -1, String(missing));
    }
    assert.deepStrictEqual([...store.findFolder("Север\\").nodeList()], [1, 2]);
    assert.deepStrictEqual([...store.findFolder("Север\\ТВ-2 №1\\Отопление\\").nodeList()], [1]);
    assert.deepStrictEqual([...store.findFolder("Север\\ТВ-2 №1\\").children.keys()], ["Отопление"]);
    for (const notFolder of ["Север", "Юг\\", id + "\\", "\\"]) assert.strictEqual(store.findFolder(notFolder), null, notFolder);
    // Texts of one shape are kept once.
    const [first, second] = [store.find("Север\\ТВ-2 №1\\Время"), store.find("Север\\ТВ-2 №2\\Время")];
    assert.strictEqual(store.describe(first).description, store.describe(second).description);
    assert.strictEqual(store.describe(store.find("Север\\ТВ-2 №1\\Отопление\\Q")).description, null);
    assert.strictEqual(store.locate(store.count), null);
    assert.strictEqual(store.locate(5), null); // the first node's item left out of the shape

    // A later node whose item ids are taken keeps only the free ones; an unknown shape adds nothing.
    store.defineShape(2, [["Отопление\\t1", "Int32"], ["Отопление\\t2", "Int32"]]);
    assert.ok(store.addNode({ node: 3, branch: "Север\\ТВ-2 №1", shape: 2, values: [1, 2] }));
    assert.strictEqual(store.describe(store.find("Север\\ТВ-2 №1\\Отопление\\t1")).node, 1);
    assert.strictEqual(store.describe(store.find("Север\\ТВ-2 №1\\Отопление\\t2")).node, 3);
    assert.deepStrictEqual([...store.findFolder("Север\\ТВ-2 №1\\Отопление\\").nodeList()], [1, 3]);
    const names = store.itemsIn(store.findFolder("Север\\ТВ-2 №1\\Отопление\\")).map((ordinal) => store.nameOf(ordinal));
    assert.deepStrictEqual(names, ["t1", "Q", "t2"]);
    assert.strictEqual(store.addNode({ node: 4, branch: "Юг", shape: 9 }), false);
    assert.strictEqual(store.findFolder("Юг\\"), null);
});

test("values are kept by type: nulls as zeros, wrong types refused", () => {
    const store = filled();
    const value = (name) => store.valueOf(store.find("Север\\ТВ-2 №1\\" + name));
    assert.deepStrictEqual(value("Отопление\\t1"), { type: "Double", value: 70.5, quality: 0xc0, time: new Date("2024-05-02T01:00:00Z") });
    assert.deepStrictEqual(value("Время").value, new Date("2024-05-02T00:00:00Z"));
    assert.deepStrictEqual([value("НС").value, value("НС").quality, value("Есть").value, value("Есть").quality], ["норма", 8, true, 0]);
    const time = new Date("2024-05-03T00:00:00Z");
    for (const [name, zero] of [["Отопление\\t1", 0], ["Время", null], ["НС", ""], ["Есть", false]]) {
        assert.ok(store.setValue(store.find("Север\\ТВ-2 №1\\" + name), null, 0, time));
        assert.deepStrictEqual([value(name).value, value(name).quality, value(name).time], [zero, 0, time], name);
    }
    // Not a time: the OPC UA minimum date.
    store.setValue(store.find("Север\\ТВ-2 №1\\Время"), "когда-то", 0xc0, time);
    assert.strictEqual(value("Время").value, null);
    for (const [name, wrong] of [["Отопление\\t1", "70"], ["НС", 5], ["Есть", 1], ["Отопление\\t1", { a: 1 }]]) {
        const ordinal = store.find("Север\\ТВ-2 №2\\" + name);
        const before = store.valueOf(ordinal);
        assert.throws(() => store.setValue(ordinal, wrong, 0, time), /not a/, name);
        assert.deepStrictEqual(store.valueOf(ordinal), before, name);
    }
    assert.strictEqual(store.setValue(-1, 1, 0xc0, time), false);
});
