// The gateway's count of item uses: across subscriptions, one report per
// turn of the event loop, and the hold after a read.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const { ItemUse } = require(path.join(__dirname, "..", "..", "tools", "opc-gateway", "itemuse.js"));

const turn = () => new Promise((resolve) => setImmediate(resolve));

function recorder(holdMs) {
    const reports = [];
    const use = new ItemUse({ onChange: (on, off) => reports.push({ on, off }), holdMs });
    return { use, reports };
}

test("the first use activates, the last release deactivates", async () => {
    const { use, reports } = recorder();
    ["a", "a", "b"].forEach((item) => use.add(item)); // two subscriptions of one item, and a second item
    await turn();
    assert.deepStrictEqual(reports.splice(0), [{ on: ["a", "b"], off: [] }]);
    use.release("a");
    await turn();
    assert.deepStrictEqual(reports.splice(0), []);
    ["a", "b"].forEach((item) => use.release(item));
    use.add("b"); // released and used again within one turn: no change
    await turn();
    assert.deepStrictEqual(reports.splice(0), [{ on: [], off: ["a"] }]);
});

test("a read holds an unused item for a while", async () => {
    const { use, reports } = recorder(30);
    ["a", "a"].forEach((item) => use.hold(item));
    await turn();
    assert.deepStrictEqual(reports.splice(0), [{ on: ["a"], off: [] }]);
    await new Promise((resolve) => setTimeout(resolve, 80));
    assert.deepStrictEqual(reports.splice(0), [{ on: [], off: ["a"] }]);
    // An item in use is not held: its release is the subscription's.
    ["add", "hold", "release"].forEach((step) => use[step]("b"));
    await turn();
    assert.deepStrictEqual(reports.splice(0), []);
});
