// The EngineeringUnits the gateway makes of an item's unit and common code.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const { EngineeringUnits, UNITS_URI } = require(path.join(__dirname, "..", "..", "tools", "opc-gateway", "engineeringunits.js"));

test("a unit's id is its common code's letters, -1 without a code; no unit text, no units", () => {
    const units = new EngineeringUnits();
    const rows = [
        [{ unit: "°C", unitCode: "CEL" }, 0x43454c],
        [{ unit: "ГДж", unitCode: "GV" }, 0x4756],
        [{ unit: "т/ч", unitCode: "E18" }, 0x453138],
        [{ unit: "Гкал" }, -1],
        // Codes that are not Recommendation 20's shape are no codes.
        [{ unit: "bar", unitCode: "bar" }, -1],
        [{ unit: "МВт", unitCode: "MAWX" }, -1],
        [{ unit: "м3", unitCode: 5 }, -1],
        [{ unit: "ч", unitCode: "" }, -1],
    ];
    for (const [item, unitId] of rows) {
        const made = units.of(item);
        assert.deepStrictEqual(
            [made.namespaceUri, made.unitId, made.displayName.text, made.description.text],
            [UNITS_URI, unitId, item.unit, item.unit],
            JSON.stringify(item)
        );
    }
    for (const unit of [undefined, null, 5, "", "  ", ["°C"], { text: "°C" }, "к".repeat(65)]) {
        assert.strictEqual(units.of({ unit, unitCode: "CEL" }), null, JSON.stringify(unit));
    }
    // One unit, one object, shared by its items.
    assert.strictEqual(units.of({ unit: "°C", unitCode: "CEL" }), units.of({ unit: "°C", unitCode: "CEL" }));
    assert.notStrictEqual(units.of({ unit: "°C", unitCode: "CEL" }), units.of({ unit: "°C" }));
});
