// Which nodes' items and folders a session sees: its user's nodes,
// everything when anonymous, nothing when nobody told.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const { ItemAccess, ANONYMOUS } = require(path.join(__dirname, "..", "..", "tools", "opc-gateway", "itemaccess.js"));

test("a session sees the items and folders of its user's nodes", () => {
    const access = new ItemAccess();
    access.setView(7, ItemAccess.viewOf({ nodes: [1, 3] }));
    access.setView(8, ItemAccess.viewOf({ all: true }));
    const [user, other, anonymous, stranger] = [{}, {}, {}, {}];
    [[user, 7], [other, 8], [anonymous, ANONYMOUS], [stranger, 9]].forEach(([s, viewer]) => access.bind(s, viewer));
    // Items of node 1, of node 2, without a node; folders above nodes 1 and 2, above 2 and 4, above none.
    const seen = (session) => ({
        items: [1, 2, undefined].filter((node) => access.seesNode(session, node)),
        folders: [new Set([1, 2]), new Set([2, 4]), 2, undefined].filter((nodes) => access.seesAnyNode(session, nodes)),
    });
    assert.deepStrictEqual(seen(user), { items: [1], folders: [new Set([1, 2])] });
    const everything = { items: [1, 2, undefined], folders: [new Set([1, 2]), new Set([2, 4]), 2, undefined] };
    assert.deepStrictEqual(seen(other), everything);
    assert.deepStrictEqual(seen(anonymous), everything);
    assert.deepStrictEqual(seen(stranger), { items: [], folders: [] });
    // A new view counts for the user's sessions at once; a closed session sees nothing.
    access.setView(7, ItemAccess.viewOf({ nodes: [2] }));
    assert.deepStrictEqual(seen(user), { items: [2], folders: [new Set([1, 2]), new Set([2, 4]), 2] });
    access.unbind(other);
    assert.deepStrictEqual(seen(other), { items: [], folders: [] });
});

test("views as told, and whether they change", () => {
    const nodes = (message) => [...ItemAccess.viewOf(message).nodes];
    assert.strictEqual(ItemAccess.viewOf({ all: true }).all, true);
    // Only what is plainly said counts: whole node ids in a list, "all" as true.
    assert.deepStrictEqual(nodes({ all: "true", nodes: [null, "1", {}, 1.5, [2], 3] }), [3]);
    assert.strictEqual(ItemAccess.viewOf({ all: 1 }).all, false);
    assert.deepStrictEqual(nodes({ nodes: "1" }), []);
    assert.deepStrictEqual(nodes({}), []);

    const access = new ItemAccess();
    const steps = [[{ nodes: [1, 2] }, true], [{ nodes: [2, 1] }, false], [{ nodes: [1] }, true],
        [{ nodes: [1, 3] }, true], [{ all: true }, true], [{ all: true }, false], [{ nodes: [] }, true]];
    for (const [message, changes] of steps) {
        assert.strictEqual(access.setView(7, ItemAccess.viewOf(message)), changes, JSON.stringify(message));
    }
});
