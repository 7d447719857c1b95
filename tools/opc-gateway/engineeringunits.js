"use strict";
// The EngineeringUnits of an item: an EUInformation of the UN/CEFACT units
// (Recommendation 20; node-opcua gives their namespace URI) made of the unit
// text and the common code the server sends with the item. The text is the
// unit's display name and description; the id is the code's letters as one
// number ("CEL" 0x43454C), -1 for a unit without a code. An item without a
// unit text has no EngineeringUnits. Items of one unit share one
// EUInformation, which is never changed.

const { makeEUInformation } = require("node-opcua");

// Common codes are two or three capital letters or digits.
const COMMON_CODE = /^[0-9A-Z]{2,3}$/;
const MAX_UNIT_LENGTH = 64;

class EngineeringUnits {
    constructor() {
        this.made = new Map(); // code + "\n" + text -> EUInformation
    }

    // The item's EUInformation, or null when it has no unit (or one that is not a short text).
    of(item) {
        const text = item.unit;
        if (typeof text !== "string" || !text.trim() || text.length > MAX_UNIT_LENGTH) return null;
        const code = typeof item.unitCode === "string" && COMMON_CODE.test(item.unitCode) ? item.unitCode : "";
        const key = code + "\n" + text;
        let units = this.made.get(key);
        if (!units) {
            units = makeEUInformation(code, text, text);
            if (!code) units.unitId = -1;
            this.made.set(key, units);
        }
        return units;
    }
}

module.exports = { EngineeringUnits };
