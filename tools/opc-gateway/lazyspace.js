"use strict";
// The OPC UA nodes of the published items and their folders, made when a
// client needs one and dropped when nobody has for a while. The item store
// holds what the nodes are made of; the address space holds only the nodes
// in use. Lookups of our namespace that miss make the node: an item's
// variable (with its EngineeringUnits property) or a folder. A folder's
// browse is answered from the store without making its children, so
// browsing never makes more than the browsed node. A node watched by a
// monitored item is pinned and stays; the others go once unused for idleMs,
// or sooner, the least recently used first, when more than `limit` are made.
// A client sees the same nodes, ids, names and references either way.
//
// The EngineeringUnits property of the item of ordinal k has the numeric
// id UNITS_BASE + k: it comes back under the same id when remade.

const opcua = require("node-opcua");

const UNITS_BASE = 0x40000000;
const ORGANIZES = opcua.resolveNodeId("Organizes");
const FOLDER_TYPE = opcua.resolveNodeId("FolderType");
const OBJECTS_FOLDER = opcua.resolveNodeId("ObjectsFolder");
const BASE_DATA_VARIABLE_TYPE = opcua.resolveNodeId("BaseDataVariableType");
const ANALOG_UNIT_TYPE = opcua.resolveNodeId("AnalogUnitType");

// numeric: a number with a unit is an AnalogUnitType variable.
const TYPES = {
    Boolean: { dataType: opcua.DataType.Boolean },
    Int32: { dataType: opcua.DataType.Int32, numeric: true },
    UInt32: { dataType: opcua.DataType.UInt32, numeric: true },
    Double: { dataType: opcua.DataType.Double, numeric: true },
    String: { dataType: opcua.DataType.String },
    DateTime: { dataType: opcua.DataType.DateTime },
};

const QUALITY = {
    0xc0: opcua.StatusCodes.Good,
    0x00: opcua.StatusCodes.Bad,
    0x08: opcua.StatusCodes.BadNotConnected,
};

function denied() {
    return new opcua.DataValue({ statusCode: opcua.StatusCodes.BadUserAccessDenied });
}

class LazySpace {
    // sees(session, what): whether the session sees an item ({ ordinal }) or
    // a folder ({ folder }); onValueRead(ordinal): a session read an item's value.
    constructor({ namespace, store, sees, onValueRead = () => {}, locale, limit = 10000, idleMs = 60000 }) {
        this.namespace = namespace;
        this.addressSpace = namespace.addressSpace;
        this.store = store;
        this.sees = sees;
        this.onValueRead = onValueRead;
        this.locale = locale;
        this.limit = limit;
        this.idleMs = idleMs;
        this.live = new Map(); // item id or folder path -> { node, ordinal | folder, pins, used }, oldest use first
        this.pinned = 0; // entries of live with pins
        this.sweepQueued = false;
        this.organizes = this.addressSpace.findReferenceType("Organizes");
        const findNode2 = namespace.findNode2.bind(namespace);
        namespace.findNode2 = (nodeId) => findNode2(nodeId) || this.make(nodeId);
        this.hookObjectsFolder();
        this.timer = setInterval(() => this.sweep(), Math.max(1000, idleMs / 2));
        // (a timer that keeps nothing running: the gateway ends with its input)
        if (this.timer.unref) this.timer.unref();
    }

    close() {
        clearInterval(this.timer);
    }

    // What a node id of our namespace is, without making anything:
    // { ordinal } of an item, { ordinal, units: true } of its EngineeringUnits,
    // { folder }, or null.
    resolve(nodeId) {
        if (!nodeId || nodeId.namespace !== this.namespace.index) return null;
        if (typeof nodeId.value === "string") {
            const ordinal = this.store.find(nodeId.value);
            if (ordinal >= 0) return { ordinal };
            const folder = this.store.findFolder(nodeId.value);
            return folder ? { folder } : null;
        }
        if (typeof nodeId.value === "number" && nodeId.value >= UNITS_BASE) {
            const ordinal = nodeId.value - UNITS_BASE;
            const item = this.store.describe(ordinal);
            return item && item.units ? { ordinal, units: true } : null;
        }
        return null;
    }

    // Whether a session may not see what a node id names (false for ids not ours).
    hiddenFrom(session, nodeId) {
        const what = this.resolve(nodeId);
        return what !== null && !this.sees(session, what);
    }

    // Keeps a node (of ours) made while a monitored item watches it.
    pin(node, by) {
        const entry = node && node.$orvexKey !== undefined ? this.live.get(node.$orvexKey) : undefined;
        if (!entry || entry.node !== (node.$orvexOwner || node)) return;
        if (entry.pins === 0 && by > 0) this.pinned += 1;
        entry.pins += by;
        if (entry.pins === 0) this.pinned -= 1;
    }

    // Reads and writes of what the session may not see are refused without
    // making its node (the server's address space accessor's).
    guardAccessor(accessor) {
        const self = this;
        const hidden = (context, nodeId) =>
            !!(context && context.session && nodeId) && self.hiddenFrom(context.session, opcua.resolveNodeId(nodeId));
        const readNode = accessor.readNode;
        accessor.readNode = async function (context, nodeToRead, maxAge, timestampsToReturn) {
            if (!hidden(context, nodeToRead && nodeToRead.nodeId)) return readNode.apply(this, arguments);
            const refused = denied();
            if (timestampsToReturn === opcua.TimestampsToReturn.Both || timestampsToReturn === opcua.TimestampsToReturn.Server) {
                refused.serverTimestamp = new Date();
            }
            return refused;
        };
        const writeNode = accessor.writeNode;
        accessor.writeNode = async function (context, writeValue) {
            if (hidden(context, writeValue && writeValue.nodeId)) return opcua.StatusCodes.BadUserAccessDenied;
            return writeNode.apply(this, arguments);
        };
    }

    make(nodeId) {
        const what = this.resolve(nodeId);
        if (!what) return null;
        const node = what.folder ? this.makeFolder(what.folder) : this.makeVariable(what.ordinal);
        if (!what.units) return node;
        return node.$orvexUnits || null;
    }

    remember(key, entry) {
        entry.pins = 0;
        entry.node.$orvexKey = key;
        this.live.set(key, entry);
        // (pinned ones do not count: they cannot go)
        if (this.live.size - this.pinned > this.limit && !this.sweepQueued) {
            this.sweepQueued = true;
            setImmediate(() => this.sweep());
        }
    }

    // A use of a made node: it goes to the end of the line of those to drop.
    touch(key) {
        const entry = this.live.get(key);
        if (!entry) return;
        entry.used = Date.now();
        this.live.delete(key);
        this.live.set(key, entry);
    }

    // Drops the nodes unused for idleMs, then the least recently used
    // ones while more than 3/4 of the limit are made; pinned ones stay
    // and do not count.
    sweep(now = Date.now()) {
        this.sweepQueued = false;
        const idleSince = now - this.idleMs;
        let over = this.live.size - this.pinned - Math.floor((this.limit * 3) / 4);
        for (const [key, entry] of this.live) {
            if (entry.pins > 0) continue;
            if (entry.used >= idleSince && over <= 0) continue;
            this.live.delete(key);
            over -= 1;
            try {
                this.namespace.deleteNode(entry.node);
            } catch (err) {
                // Already gone with its parent: nothing is left to drop.
            }
        }
    }

    makeVariable(ordinal) {
        const item = this.store.describe(ordinal);
        const made = this.live.get(item.id);
        if (made) return made.node;
        const ns = this.namespace.index;
        const type = TYPES[item.type];
        const variable = this.namespace.addVariable({
            browseName: new opcua.QualifiedName({ name: item.name, namespaceIndex: ns }),
            displayName: item.name,
            description: item.description ? { text: item.description, locale: this.locale } : undefined,
            nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, item.id, ns),
            dataType: type.dataType,
            typeDefinition: item.units && type.numeric ? "AnalogUnitType" : undefined,
            accessLevel: "CurrentRead",
            userAccessLevel: "CurrentRead",
            minimumSamplingInterval: 0,
        });
        this.remember(item.id, { node: variable, ordinal, used: Date.now() });
        this.writeValue(variable, ordinal);
        // A hidden item reads as denied, every attribute of it; a read of its value is a use.
        const readAttribute = variable.readAttribute;
        const self = this;
        variable.readAttribute = function (context, attributeId, ...rest) {
            const session = context && context.session;
            self.touch(item.id);
            if (session) {
                if (!self.sees(session, { ordinal })) return denied();
                if (attributeId === opcua.AttributeIds.Value) self.onValueRead(ordinal);
            }
            return readAttribute.call(this, context, attributeId, ...rest);
        };
        this.addParentReference(variable, item.folder);
        if (item.units) {
            const property = this.namespace.addVariable({
                propertyOf: variable,
                nodeId: new opcua.NodeId(opcua.NodeIdType.NUMERIC, UNITS_BASE + ordinal, ns),
                browseName: { name: "EngineeringUnits", namespaceIndex: 0 },
                typeDefinition: "PropertyType",
                dataType: "EUInformation",
                accessLevel: "CurrentRead",
                userAccessLevel: "CurrentRead",
                minimumSamplingInterval: 0,
                value: { dataType: opcua.DataType.ExtensionObject, value: item.units },
            });
            property.$orvexKey = item.id;
            property.$orvexOwner = variable;
            property.$orvexWhat = { ordinal };
            variable.$orvexUnits = property;
        }
        variable.$orvexWhat = { ordinal };
        variable.$orvexItem = item.id;
        return variable;
    }

    // Sets a made variable's value from the store.
    writeValue(variable, ordinal) {
        const { type, value, quality, time } = this.store.valueOf(ordinal);
        variable.setValueFromSource(
            { dataType: TYPES[type].dataType, value: value === null ? opcua.minOPCUADate : value },
            QUALITY[quality] || opcua.StatusCodes.Bad,
            time
        );
    }

    // A value came for an item: its variable, when made, passes it on.
    valueChanged(ordinal, id) {
        const entry = this.live.get(id);
        if (entry && entry.ordinal === ordinal) this.writeValue(entry.node, ordinal);
    }

    makeFolder(folder) {
        const path = this.store.pathOf(folder);
        const made = this.live.get(path);
        if (made) return made.node;
        const ns = this.namespace.index;
        const node = this.namespace.addObject({
            browseName: new opcua.QualifiedName({ name: folder.name, namespaceIndex: ns }),
            nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, path, ns),
            displayName: folder.name,
            typeDefinition: "FolderType",
        });
        node.$orvexWhat = { folder };
        this.remember(path, { node, folder, used: Date.now() });
        const self = this;
        // A hidden folder reads as denied too: its name is a node's.
        const readAttribute = node.readAttribute;
        node.readAttribute = function (context, ...rest) {
            self.touch(path);
            if (context && context.session && !self.sees(context.session, { folder })) return denied();
            return readAttribute.call(this, context, ...rest);
        };
        // Its own references are the type's; the others come from the store.
        const browseNode = node.browseNode;
        node.browseNode = function (description, context) {
            self.touch(path);
            return browseNode.call(this, description, context).concat(
                self.browseVirtual(self.referencesOf(folder), description, context)
            );
        };
        const byName = node.browseNodeByTargetName;
        node.browseNodeByTargetName = function (element, isLast) {
            return byName.call(this, element, isLast).concat(self.namedVirtual(self.referencesOf(folder), element));
        };
        return node;
    }

    // The Objects folder lists the folders and items at the top besides its own.
    hookObjectsFolder() {
        const objects = this.addressSpace.findNode(OBJECTS_FOLDER);
        const self = this;
        const browseNode = objects.browseNode;
        objects.browseNode = function (description, context) {
            return browseNode.call(this, description, context).concat(
                self.browseVirtual(self.childReferences(self.store.root), description, context)
            );
        };
        const byName = objects.browseNodeByTargetName;
        objects.browseNodeByTargetName = function (element, isLast) {
            return byName.call(this, element, isLast).concat(
                self.namedVirtual(self.childReferences(self.store.root), element)
            );
        };
    }

    // A made variable's reference from its folder, which no node holds.
    addParentReference(variable, folder) {
        const self = this;
        const browseNode = variable.browseNode;
        variable.browseNode = function (description, context) {
            return browseNode.call(this, description, context).concat(
                self.browseVirtual([self.parentReference(folder)], description, context)
            );
        };
        const byName = variable.browseNodeByTargetName;
        variable.browseNodeByTargetName = function (element, isLast) {
            return byName.call(this, element, isLast).concat(self.namedVirtual([self.parentReference(folder)], element));
        };
    }

    // References as { isForward, target: { nodeId, browseName, displayName, nodeClass, typeDefinition }, what },
    // all of them Organizes: the folder's parent and its children.
    referencesOf(folder) {
        return [this.parentReference(folder.parent)].concat(this.childReferences(folder));
    }

    parentReference(parent) {
        if (parent === this.store.root) {
            return {
                isForward: false,
                target: {
                    nodeId: OBJECTS_FOLDER,
                    browseName: new opcua.QualifiedName({ name: "Objects", namespaceIndex: 0 }),
                    displayName: "Objects",
                    nodeClass: opcua.NodeClass.Object,
                    typeDefinition: FOLDER_TYPE,
                },
                what: null,
            };
        }
        return { isForward: false, target: this.folderTarget(parent), what: { folder: parent } };
    }

    folderTarget(folder) {
        return {
            nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, this.store.pathOf(folder), this.namespace.index),
            browseName: new opcua.QualifiedName({ name: folder.name, namespaceIndex: this.namespace.index }),
            displayName: folder.name,
            nodeClass: opcua.NodeClass.Object,
            typeDefinition: FOLDER_TYPE,
        };
    }

    childReferences(folder) {
        const references = [];
        if (folder.children) {
            for (const child of folder.children.values()) {
                references.push({ isForward: true, target: this.folderTarget(child), what: { folder: child } });
            }
        }
        for (const ordinal of this.store.itemsIn(folder)) {
            const item = this.store.describe(ordinal);
            references.push({
                isForward: true,
                target: {
                    nodeId: new opcua.NodeId(opcua.NodeIdType.STRING, item.id, this.namespace.index),
                    browseName: new opcua.QualifiedName({ name: item.name, namespaceIndex: this.namespace.index }),
                    displayName: item.name,
                    nodeClass: opcua.NodeClass.Variable,
                    typeDefinition: item.units && TYPES[item.type].numeric ? ANALOG_UNIT_TYPE : BASE_DATA_VARIABLE_TYPE,
                },
                what: { ordinal },
            });
        }
        return references;
    }

    // Whether Organizes is one of the reference types asked for (none: all).
    organizesAsked(referenceTypeId, includeSubtypes) {
        if (!referenceTypeId || referenceTypeId.isEmpty()) return true;
        const asked = this.addressSpace.findReferenceType(referenceTypeId);
        if (!asked) return false;
        return asked === this.organizes || (!!includeSubtypes && this.organizes.isSubtypeOf(asked));
    }

    // The reference descriptions of the references a browse asks for and its session sees.
    browseVirtual(references, description, context) {
        if (!this.organizesAsked(description.referenceTypeId, description.includeSubtypes)) return [];
        const direction = description.browseDirection;
        const mask = description.nodeClassMask || 0;
        const resultMask = description.resultMask;
        const session = context && context.session;
        const results = [];
        for (const { isForward, target, what } of references) {
            if (direction === opcua.BrowseDirection.Forward && !isForward) continue;
            if (direction === opcua.BrowseDirection.Inverse && isForward) continue;
            if (mask && !(mask & target.nodeClass)) continue;
            if (session && what && !this.sees(session, what)) continue;
            results.push(
                new opcua.ReferenceDescription({
                    referenceTypeId: resultMask & opcua.ResultMask.ReferenceType ? ORGANIZES : null,
                    isForward: resultMask & opcua.ResultMask.IsForward ? isForward : false,
                    nodeId: target.nodeId,
                    browseName: resultMask & opcua.ResultMask.BrowseName ? target.browseName : null,
                    displayName: resultMask & opcua.ResultMask.DisplayName ? { text: target.displayName } : null,
                    nodeClass: resultMask & opcua.ResultMask.NodeClass ? target.nodeClass : opcua.NodeClass.Unspecified,
                    typeDefinition: resultMask & opcua.ResultMask.TypeDefinition ? target.typeDefinition : undefined,
                })
            );
        }
        return results;
    }

    // The node ids of the references a step of a browse path follows to its name.
    namedVirtual(references, element) {
        const name = element.targetName;
        if (!name || !this.organizesAsked(element.referenceTypeId, element.includeSubtypes)) return [];
        return references
            .filter(({ isForward, target }) =>
                isForward === !element.isInverse &&
                target.browseName.name === name.name &&
                target.browseName.namespaceIndex === name.namespaceIndex
            )
            .map(({ target }) => target.nodeId);
    }
}

module.exports = { LazySpace, UNITS_BASE };
