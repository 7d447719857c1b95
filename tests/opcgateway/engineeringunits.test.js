// The EngineeringUnits the gateway makes of an item's unit and common code
// (the whole of it, with a three-letter code, is seen end to end).
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const { EngineeringUnits } = require(path.join(__dirname, "..", "..", "tools", "opc-gateway", "engineeringunits.js"));

test("only codes of Recommendation 20's shape count; only short texts are units; one unit, one object", () => {
    const units = new EngineeringUnits();
    const rows = [["GV", 0x4756], ["E18", 0x453138], ["bar", -1], ["MAWX", -1], [5, -1], ["", -1], [undefined, -1]];
    for (const [unitCode, unitId] of rows) {
        const made = units.of({ unit: "ед", unitCode });
        const got = [made.unitId, made.displayName.text, made.description.text];
        assert.deepStrictEqual(got, [unitId, "ед", "ед"], String(unitCode));
    }
    for (const unit of [undefined, 5, "", "  ", ["°C"], "к".repeat(65)]) {
        assert.strictEqual(units.of({ unit, unitCode: "CEL" }), null, JSON.stringify(unit));
    }
    assert.strictEqual(units.of({ unit: "°C", unitCode: "CEL" }), units.of({ unit: "°C", unitCode: "CEL" }));
    assert.notStrictEqual(units.of({ unit: "°C", unitCode: "CEL" }), units.of({ unit: "°C" }));
});
