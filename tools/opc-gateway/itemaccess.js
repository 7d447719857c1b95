"use strict";
// Which nodes an OPC UA session may see. A logged-in session sees the items
// of the nodes the server lists for its user (at login, and again whenever
// the user's groups or a node's group change), or every item when the server
// says so; an anonymous session sees every item, as the operator allowed
// anonymous sessions. A folder is seen when an item below it is, so that the
// names of hidden nodes do not show as folders either: the item store knows
// the nodes below each folder. An item that came without its node is seen
// only by those who see everything. Each check is a lookup or two, whatever
// the number of items.

const ANONYMOUS = Symbol("anonymous");
const EVERYTHING = Object.freeze({ all: true, nodes: new Set() });
const NOTHING = Object.freeze({ all: false, nodes: new Set() });

class ItemAccess {
    constructor() {
        this.views = new Map(); // user id -> { all, nodes }, as last told
        this.viewers = new Map(); // session -> user id or ANONYMOUS
    }

    // What a login answer or a visibility message says a user sees.
    static viewOf(message) {
        if (message.all === true) return EVERYTHING;
        const nodes = Array.isArray(message.nodes) ? message.nodes.filter(Number.isInteger) : [];
        return { all: false, nodes: new Set(nodes) };
    }

    // Sets what a user sees; true when that changes it.
    setView(user, view) {
        const old = this.views.get(user);
        this.views.set(user, view);
        return !old || old.all !== view.all || old.nodes.size !== view.nodes.size ||
            [...view.nodes].some((node) => !old.nodes.has(node));
    }

    // The session is the user's from now on (ANONYMOUS for an anonymous
    // session; anything else sees nothing).
    bind(session, viewer) {
        this.viewers.set(session, viewer);
    }

    unbind(session) {
        this.viewers.delete(session);
    }

    viewFor(session) {
        const viewer = this.viewers.get(session);
        if (viewer === ANONYMOUS) return EVERYTHING;
        return this.views.get(viewer) || NOTHING;
    }

    // Whether the session sees the items of a node (undefined: an item without its node).
    seesNode(session, node) {
        const view = this.viewFor(session);
        return view.all || (node !== undefined && view.nodes.has(node));
    }

    // Whether the session sees an item of any of these nodes (a node id, or a
    // Set of them, as a folder of the item store gives them).
    seesAnyNode(session, nodes) {
        const view = this.viewFor(session);
        if (view.all) return true;
        if (!(nodes instanceof Set)) return nodes !== undefined && view.nodes.has(nodes);
        const [fewer, more] = nodes.size <= view.nodes.size ? [nodes, view.nodes] : [view.nodes, nodes];
        for (const node of fewer) {
            if (more.has(node)) return true;
        }
        return false;
    }
}

module.exports = { ItemAccess, ANONYMOUS };
