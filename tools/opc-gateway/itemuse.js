"use strict";
// Counts the uses of each item: monitored items of all sessions and
// subscriptions, and a while after a one-shot read of an unused item. The
// first use activates the item, the last one going away deactivates it.
// Changes are reported together once the current turn of the event loop
// ends, so that a subscription of many items is one message, and an item
// released and used again within one turn is no change at all.

class ItemUse {
    constructor({ onChange, holdMs = 60000 }) {
        this.onChange = onChange;
        this.holdMs = holdMs;
        this.counts = new Map(); // item -> uses
        this.reported = new Set(); // items reported active
        this.holds = new Map(); // item -> timer of a read's hold
        this.touched = new Set();
        this.flushing = false;
    }

    add(item) {
        this.counts.set(item, (this.counts.get(item) || 0) + 1);
        this.touch(item);
    }

    release(item) {
        const count = (this.counts.get(item) || 0) - 1;
        if (count > 0) this.counts.set(item, count);
        else this.counts.delete(item);
        this.touch(item);
    }

    // A read: an item nobody uses is used for holdMs.
    hold(item) {
        if (this.counts.has(item) || this.holds.has(item)) return;
        this.add(item);
        const timer = setTimeout(() => {
            this.holds.delete(item);
            this.release(item);
        }, this.holdMs);
        if (timer.unref) timer.unref();
        this.holds.set(item, timer);
    }

    isActive(item) {
        return this.counts.has(item);
    }

    touch(item) {
        this.touched.add(item);
        if (this.flushing) return;
        this.flushing = true;
        setImmediate(() => this.flush());
    }

    flush() {
        this.flushing = false;
        const activated = [];
        const deactivated = [];
        for (const item of this.touched) {
            const active = this.counts.has(item);
            if (active && !this.reported.has(item)) {
                this.reported.add(item);
                activated.push(item);
            } else if (!active && this.reported.has(item)) {
                this.reported.delete(item);
                deactivated.push(item);
            }
        }
        this.touched.clear();
        if (activated.length || deactivated.length) this.onChange(activated, deactivated);
    }
}

module.exports = { ItemUse };
