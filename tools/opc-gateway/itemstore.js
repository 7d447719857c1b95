"use strict";
// The gateway's address space in compact tables: what every item is, its
// value, and the folders the item ids make. No OPC UA node is kept here; the
// lazy address space (lazyspace.js) makes one when a client needs it, from
// what this store holds.
//
// A shape is what nodes of one model have in common: their items' names
// below the node's branch, types, units and descriptions; it is kept once
// however many nodes have it. Each item has an ordinal, its place in the
// order items were added, which never changes while the gateway runs; a
// node's items have consecutive ordinals. Values (texts aside), qualities
// and times are columns by ordinal, in typed arrays of 64 Ki items each; a
// node keeps its shape, its folders and its texts. Folders form a tree of
// names; a folder knows its child folders by name, the runs of ordinals of
// the items right inside it, and the node (or the set of nodes) that has
// items below it, which decides who sees it. All this comes to some 30
// bytes an item besides the folders' names.

const TYPES = ["Boolean", "Int32", "UInt32", "Double", "String", "DateTime"];
const TYPE_INDEX = new Map(TYPES.map((name, index) => [name, index]));
const STRING = TYPE_INDEX.get("String");
const DATETIME = TYPE_INDEX.get("DateTime");
const BOOLEAN = TYPE_INDEX.get("Boolean");
const CHUNK_BITS = 16;
const CHUNK = 1 << CHUNK_BITS;

// Numbers by ordinal, in typed arrays of CHUNK each, made as ordinals are given.
class Column {
    constructor(Type) {
        this.Type = Type;
        this.chunks = [];
    }

    grow(count) {
        while (this.chunks.length * CHUNK < count) this.chunks.push(new this.Type(CHUNK));
    }

    get(ordinal) {
        return this.chunks[ordinal >>> CHUNK_BITS][ordinal & (CHUNK - 1)];
    }

    set(ordinal, value) {
        this.chunks[ordinal >>> CHUNK_BITS][ordinal & (CHUNK - 1)] = value;
    }
}

class Folder {
    constructor(name, parent) {
        this.name = name;
        this.parent = parent;
        this.children = null; // name -> Folder
        this.items = null; // [first ordinal, count, ...]: the runs of the items right inside
        this.nodes = undefined; // node id, or Set of node ids, with items below
    }

    addNode(node) {
        if (this.nodes === undefined) this.nodes = node;
        else if (this.nodes instanceof Set) this.nodes.add(node);
        else if (this.nodes !== node) this.nodes = new Set([this.nodes, node]);
    }

    // The nodes with items below, as an iterable.
    nodeList() {
        if (this.nodes === undefined) return [];
        return this.nodes instanceof Set ? this.nodes : [this.nodes];
    }
}

class ItemStore {
    // unitsOf(item) gives an item's EngineeringUnits (or null) from its unit and unitCode.
    constructor({ separator = ".", unitsOf = () => null } = {}) {
        this.separator = separator;
        this.unitsOf = unitsOf;
        this.root = new Folder("", null);
        this.shapes = new Map(); // shape id -> shape
        this.records = []; // nodes in the order of their first ordinal
        this.bases = []; // first ordinal of each record
        this.count = 0; // ordinals given
        this.nums = new Column(Float64Array); // values (numbers, booleans as 0 and 1, times as ms or NaN)
        this.times = new Column(Float64Array); // source times, ms
        this.qualities = new Column(Uint8Array);
        this.interned = new Map(); // text -> the one copy kept of it
    }

    intern(text) {
        const kept = this.interned.get(text);
        if (kept !== undefined) return kept;
        this.interned.set(text, text);
        return text;
    }

    // A shape: items as [leaf, type, unit, unitCode, description]; an
    // entry that is not one is left out of it (with its values).
    // Returns the entries left out.
    defineShape(id, entries) {
        const items = [];
        const folders = new Map([["", 0]]); // relative folder path -> index
        const folderParts = [[]];
        const skipped = [];
        let texts = 0; // slots of the text values
        entries.forEach((entry) => {
            if (!Array.isArray(entry) || typeof entry[0] !== "string" || !TYPE_INDEX.has(entry[1])) {
                skipped.push(entry);
                items.push(null);
                return;
            }
            const parts = entry[0].split(this.separator).map((part) => this.intern(part));
            const name = parts.pop();
            if (!name) {
                // An item's id never ends with the separator: such ids are the folders'.
                skipped.push(entry);
                items.push(null);
                return;
            }
            const relative = parts.join(this.separator);
            let folder = folders.get(relative);
            if (folder === undefined) {
                folder = folderParts.length;
                folders.set(relative, folder);
                folderParts.push(parts);
            }
            const description = typeof entry[4] === "string" && entry[4] ? this.intern(entry[4]) : null;
            const units = this.unitsOf({ unit: entry[2], unitCode: entry[3] });
            const type = TYPE_INDEX.get(entry[1]);
            items.push({ name, folder, type, units, description, slot: type === STRING ? texts++ : -1 });
        });
        this.shapes.set(id, { items, folderParts, texts });
        return skipped;
    }

    hasShape(id) {
        return this.shapes.has(id);
    }

    // A node's items by its shape below its branch; false when the shape is
    // unknown. Items whose id is taken already keep the first one's place.
    addNode({ node, branch, shape: shapeId, time, values, qualities }) {
        const shape = this.shapes.get(shapeId);
        if (!shape || typeof branch !== "string") return false;
        const n = shape.items.length;
        const nodeId = Number.isInteger(node) ? node : undefined;
        const branchParts = branch.split(this.separator);
        const folders = shape.folderParts.map((parts) => this.folderAt(branchParts.concat(parts), true));
        const record = {
            node: nodeId,
            shape,
            folders,
            base: this.count,
            strs: shape.texts ? new Array(shape.texts).fill("") : null,
            absent: null, // indexes of items not published (taken ids, bad entries)
        };
        this.count += n;
        for (const column of [this.nums, this.times, this.qualities]) column.grow(this.count);
        const at = timeOf(time);
        for (let i = 0; i < n; ++i) {
            const item = shape.items[i];
            const folder = item && folders[item.folder];
            // Only items of earlier nodes can take an id: a shape's names are its own.
            if (!item || this.inFolder(folder, item.name, record.base) >= 0) {
                (record.absent || (record.absent = new Set())).add(i);
                continue;
            }
            const ordinal = record.base + i;
            const runs = folder.items || (folder.items = []);
            if (runs.length && runs[runs.length - 2] + runs[runs.length - 1] === ordinal) runs[runs.length - 1] += 1;
            else runs.push(ordinal, 1);
            if (nodeId !== undefined) {
                for (let f = folder; f !== this.root; f = f.parent) f.addNode(nodeId);
            }
            try {
                this.write(record, i, Array.isArray(values) ? values[i] : null);
            } catch (err) {
                this.write(record, i, null);
            }
            this.qualities.set(ordinal, Array.isArray(qualities) && Number.isInteger(qualities[i]) ? qualities[i] & 0xff : 0);
            this.times.set(ordinal, at);
        }
        this.records.push(record);
        this.bases.push(record.base);
        return true;
    }

    // The folder at these names from the root; made when missing if make.
    folderAt(parts, make) {
        let folder = this.root;
        for (const part of parts) {
            let child = folder.children && folder.children.get(part);
            if (!child) {
                if (!make) return null;
                child = new Folder(this.intern(part), folder);
                (folder.children || (folder.children = new Map())).set(child.name, child);
            }
            folder = child;
        }
        return folder;
    }

    // The ordinal of the item of this name right inside the folder (among
    // those of ordinals below `below`), or -1.
    inFolder(folder, name, below = Infinity) {
        const runs = folder && folder.items;
        if (!runs) return -1;
        for (let r = 0; r < runs.length; r += 2) {
            const end = Math.min(runs[r] + runs[r + 1], below);
            for (let ordinal = runs[r]; ordinal < end; ++ordinal) {
                if (this.nameOf(ordinal) === name) return ordinal;
            }
        }
        return -1;
    }

    // The ordinals of the items right inside the folder.
    itemsIn(folder) {
        const ordinals = [];
        const runs = folder.items || [];
        for (let r = 0; r < runs.length; r += 2) {
            for (let ordinal = runs[r]; ordinal < runs[r] + runs[r + 1]; ++ordinal) ordinals.push(ordinal);
        }
        return ordinals;
    }

    // The ordinal of the item of this id, or -1.
    find(id) {
        if (typeof id !== "string") return -1;
        const parts = id.split(this.separator);
        const name = parts.pop();
        return this.inFolder(this.folderAt(parts, false), name);
    }

    // The folder of this path (its names each followed by the separator), or null.
    findFolder(path) {
        if (typeof path !== "string" || !path.endsWith(this.separator)) return null;
        const folder = this.folderAt(path.slice(0, -this.separator.length).split(this.separator), false);
        return folder === this.root ? null : folder;
    }

    // The node record of an ordinal and the item's index in it; null for
    // an ordinal of no published item.
    locate(ordinal) {
        if (!Number.isInteger(ordinal) || ordinal < 0 || ordinal >= this.count) return null;
        let low = 0;
        let high = this.bases.length - 1;
        while (low < high) {
            const middle = (low + high + 1) >> 1;
            if (this.bases[middle] <= ordinal) low = middle;
            else high = middle - 1;
        }
        const record = this.records[low];
        const index = ordinal - record.base;
        if (index >= record.shape.items.length || (record.absent && record.absent.has(index))) return null;
        return { record, index };
    }

    nameOf(ordinal) {
        const at = this.locate(ordinal);
        return at ? at.record.shape.items[at.index].name : undefined;
    }

    // What a client may learn of an item: id, name, parent folder, node, type, units, description.
    describe(ordinal) {
        const at = this.locate(ordinal);
        if (!at) return null;
        const item = at.record.shape.items[at.index];
        const folder = at.record.folders[item.folder];
        return {
            id: this.pathOf(folder) + item.name,
            name: item.name,
            folder,
            node: at.record.node,
            type: TYPES[item.type],
            units: item.units,
            description: item.description,
        };
    }

    // A folder's path: its names from the root, each followed by the separator.
    pathOf(folder) {
        const names = [];
        for (let f = folder; f && f !== this.root; f = f.parent) names.push(f.name);
        return names.length ? names.reverse().join(this.separator) + this.separator : "";
    }

    // The item's value as OPC UA takes it, its quality code and source time.
    valueOf(ordinal) {
        const at = this.locate(ordinal);
        if (!at) return null;
        const item = at.record.shape.items[at.index];
        let value = this.nums.get(ordinal);
        if (item.type === STRING) value = at.record.strs[item.slot];
        else if (item.type === BOOLEAN) value = value !== 0;
        else if (item.type === DATETIME) value = Number.isNaN(value) ? null : new Date(value);
        return {
            type: TYPES[item.type],
            value,
            quality: this.qualities.get(ordinal),
            time: new Date(this.times.get(ordinal)),
        };
    }

    // Sets an item's value (null: the type's zero), quality and time; throws
    // on a value the item's type cannot take, leaving the item as it was.
    setValue(ordinal, value, quality, time) {
        const at = this.locate(ordinal);
        if (!at) return false;
        this.write(at.record, at.index, value);
        this.qualities.set(ordinal, Number.isInteger(quality) ? quality & 0xff : 0);
        this.times.set(ordinal, time instanceof Date ? time.getTime() : timeOf(time));
        return true;
    }

    write(record, index, value) {
        const { type, slot } = record.shape.items[index];
        const ordinal = record.base + index;
        if (value === null || value === undefined) {
            if (type === STRING) record.strs[slot] = "";
            else this.nums.set(ordinal, type === DATETIME ? NaN : 0);
            return;
        }
        if (type === STRING) {
            if (typeof value !== "string") throw new Error("not a text: " + JSON.stringify(value).slice(0, 50));
            record.strs[slot] = value;
        } else if (type === DATETIME) {
            const date = typeof value === "string" || typeof value === "number" ? new Date(value) : new Date(NaN);
            this.nums.set(ordinal, date.getTime());
        } else if (type === BOOLEAN) {
            if (typeof value !== "boolean") throw new Error("not a boolean: " + JSON.stringify(value).slice(0, 50));
            this.nums.set(ordinal, value ? 1 : 0);
        } else {
            if (typeof value !== "number") throw new Error("not a number: " + JSON.stringify(value).slice(0, 50));
            this.nums.set(ordinal, value);
        }
    }
}

// Milliseconds of a time text; now when there is none or it is no time.
function timeOf(text) {
    const time = typeof text === "string" && text ? Date.parse(text) : NaN;
    return Number.isNaN(time) ? Date.now() : time;
}

module.exports = { ItemStore, Folder, TYPES };
