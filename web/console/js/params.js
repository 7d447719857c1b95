// Titles, units and precision of archive columns, from describeParams for
// the node's model and the values its device reported.

// Columns of an archive that are not parameters.
export const SERVICE_COLUMNS = ['date', 'CHECK_ERR', 'calc', 'calcV'];

import { formatValue, isEmpty, Marker } from './values.js';

// Unit and scheme settings of the device: shown above a report, not in its rows.
export function isSetting(code) {
  const base = /^S\d_/.test(code) ? code.slice(3) : code;
  return base === 'Qdim' || base === 'Pdim' || base === 'scheme';
}

// The newest value of each parameter column that tells what the device
// delivers (a parameter it does not deliver is left out).
export function newestValues(table) {
  const values = {};
  table.columns.forEach((column, c) => {
    if (SERVICE_COLUMNS.includes(column)) return;
    for (let r = table.rows.length - 1; r >= 0; --r) {
      const value = table.rows[r][c];
      if (!isEmpty(value) && !(value instanceof Marker && value.name === 'Unused')) {
        values[column] = value;
        break;
      }
    }
  });
  return values;
}

export class ParameterColumns {
  static async describe(app, modelCode, values) {
    const codes = Object.keys(values);
    const description = codes.length
      ? await app.call('describeParams', modelCode, codes, codes.map(c => values[c])) : {};
    return new ParameterColumns(description || {});
  }

  constructor(description) {
    this.systems = new Map((description.systems || []).map(s => [s.code, s.name]));
    this.columns = new Map();
    for (const param of description.params || []) {
      if (!param.code || this.columns.has(param.code)) continue;
      const items = new Map();
      if (param.type !== 'Flags') {
        for (const pair of param.enum || []) if (Array.isArray(pair) && pair.length === 2) items.set(String(pair[0]), pair[1]);
      }
      this.columns.set(param.code, {
        title: param.name || param.code,
        unit: typeof param.unit === 'string' ? param.unit.trim() : '',
        type: param.type || '',
        isError: param.isError === true,
        precision: Number.isInteger(param.precision) ? param.precision : -1,
        system: param.system || 0,
        items,
      });
    }
    const systems = new Set([...this.columns.values()].map(c => c.system).filter(s => s > 0));
    this.manySystems = systems.size > 1;
  }

  codes() { return [...this.columns.keys()]; }

  // The parameter columns of a table: the described ones in the catalogue's
  // order, then any the catalogue does not know, under their codes.
  codesOf(table) {
    const described = this.codes().filter(code => table.column(code) >= 0);
    return described.concat(table.columns.filter(c => !SERVICE_COLUMNS.includes(c) && !this.columns.has(c)));
  }

  heading(code, withUnit = true) {
    const column = this.columns.get(code);
    if (!column) return code;
    let text = column.title;
    if (this.manySystems && column.system > 0) text = `${this.systems.get(column.system) ?? `Система ${column.system}`}. ${text}`;
    if (withUnit && column.unit && !endsWithUnit(text, column.unit)) text += `, ${column.unit}`;
    return text;
  }

  unit(code) { return this.columns.get(code)?.unit ?? ''; }

  text(code, value, style = {}) {
    const column = this.columns.get(code);
    if (column && column.items.size && typeof value === 'number' && column.items.has(String(value))) {
      return column.items.get(String(value));
    }
    return formatValue(value, { ...style, precision: column ? column.precision : -1 });
  }

  // Columns that hold measurements: not codes from a list, not bitmasks, not
  // error codes. A column the catalogue does not know is judged by its values.
  isNumeric(code) {
    const column = this.columns.get(code);
    return !column || (!CODED_TYPES.includes(column.type) && !column.isError && column.items.size === 0);
  }
}

// Types whose numbers are codes or bit sets, meaningless on a chart.
const CODED_TYPES = ['Flags', 'List', 'Enum'];

// Whether a title already names the unit at its end ("Время наработки, ч",
// "Объем (м3)"), as a word of its own rather than the last letters of one.
function endsWithUnit(title, unit) {
  const escaped = unit.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&');
  return new RegExp(`(^|[\\s,;(\\[])${escaped}[)\\]]?$`, 'u').test(title);
}
