"use strict";
// node-opcua 2.182.2 (and every release since) asserts in
// MonitoredItem._setOverflowBit that the value whose queue overflowed has
// status exactly Good. A slow subscriber, or a client killed without closing
// its session, whose queue overflows on a Bad or BadNotConnected value (a
// failed monitor run) makes that assertion throw out of setValueFromSource,
// and the process dies. This override does what the original does, without
// the assertion: it sets the overflow bit on whatever status the value has.

const { StatusCode } = require("node-opcua");

const Guard = {
    install(MonitoredItem) {
        if (MonitoredItem.prototype._setOverflowBit === setOverflowBit) return;
        if (typeof MonitoredItem.prototype._setOverflowBit !== "function") {
            // Renamed upstream: the override would silently do nothing.
            throw new Error("MonitoredItem._setOverflowBit not found: review the overflow guard");
        }
        MonitoredItem.prototype._setOverflowBit = setOverflowBit;
    },
};

function setOverflowBit(notification) {
    if (Object.prototype.hasOwnProperty.call(notification, "value")) {
        const dataValue = notification.value;
        dataValue.statusCode = StatusCode.makeStatusCode(dataValue.statusCode, "Overflow | InfoTypeDataValue");
    }
    if (this.$subscription && this.$subscription.subscriptionDiagnostics) {
        this.$subscription.subscriptionDiagnostics.monitoringQueueOverflowCount++;
    }
}

module.exports = { Guard, setOverflowBit };
