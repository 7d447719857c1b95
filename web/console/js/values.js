// Values on the wire (docs/protocol.md) and their text for people.
//
// Tagged objects become instances of the classes below so that the views
// can tell a date-time from a string; plain JSON stays as it is. A
// date-time keeps the server's local wall-clock text ("2024-03-01T10:00:00.000"):
// the browser may sit in another time zone, and the operator wants the
// times of the meter's site.

export class DateTime {
  constructor(text) { this.text = text; }
  // Seconds since the epoch of the wall-clock time read as UTC: the charts
  // draw in UTC, so their axes show the server's wall-clock time.
  get seconds() { return Date.parse(this.text + 'Z') / 1000; }
  toString() { return this.text; }
}

export class DateOnly {
  constructor(text) { this.text = text; }
  toString() { return this.text; }
}

export class Marker {
  constructor(name) { this.name = name; }
}

export class Table {
  constructor(columns, rows) {
    this.columns = columns;
    this.rows = rows.map(row => (row.length < columns.length
      ? row.concat(new Array(columns.length - row.length).fill(null)) : row));
  }
  column(name) { return this.columns.indexOf(name); }
  // Rows as objects by column name.
  records() {
    return this.rows.map(row => Object.fromEntries(this.columns.map((c, i) => [c, row[i]])));
  }
}

export function decode(value) {
  if (Array.isArray(value)) return value.map(decode);
  if (value === null || typeof value !== 'object') return value;
  const keys = Object.keys(value);
  if (keys.length === 1 && keys[0].startsWith('$')) {
    const inner = value[keys[0]];
    switch (keys[0]) {
      case '$datetime': return inner ? new DateTime(inner) : null;
      case '$date': return inner ? new DateOnly(inner) : null;
      case '$time': return inner || null;
      case '$bytes': return inner;
      case '$marker': return new Marker(inner);
      case '$table': return new Table(inner.columns, inner.rows.map(row => row.map(decode)));
      case '$tables': return Object.fromEntries(Object.entries(inner).map(([k, v]) => [k, decode(v)]));
      default: break;
    }
  }
  return Object.fromEntries(keys.map(k => [k, decode(value[k])]));
}

export function encode(value) {
  if (value instanceof DateTime) return { $datetime: value.text };
  if (value instanceof DateOnly) return { $date: value.text };
  if (Array.isArray(value)) return value.map(encode);
  return value;
}

// "YYYY-MM-DD" of a date input as the start of that day, or its end.
export function dayStart(day) { return day ? new DateTime(day + 'T00:00:00.000') : null; }
export function dayEnd(day) { return day ? new DateTime(day + 'T23:59:59.999') : null; }

// A day of the browser's calendar (today, or the "YYYY-MM-DD" given),
// shifted by whole days, as "YYYY-MM-DD".
export function isoDay(offsetDays = 0, from = null) {
  const d = from ? new Date(`${from}T12:00:00`) : new Date();
  d.setDate(d.getDate() + offsetDays);
  const pad = n => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
}

export function isEmpty(value) {
  return value === null || value === undefined || value === '';
}

// Text of a value the way the operators read it; decimalMark for numbers
// (CSV with ";" takes the comma), unused for a parameter the device does not
// deliver, precision in digits after the mark (-1: as it is).
export function formatValue(value, { precision = -1, decimalMark = '.', unused = '—' } = {}) {
  if (isEmpty(value)) return '';
  if (value instanceof Marker) return value.name === 'Unused' ? unused : 'вне диапазона';
  if (value instanceof DateTime) {
    const [date, time] = value.text.split('T');
    const day = date.split('-').reverse().join('.');
    const hm = (time || '').slice(0, 5);
    return hm && hm !== '00:00' ? `${day} ${hm}` : day;
  }
  if (value instanceof DateOnly) return value.text.split('-').reverse().join('.');
  if (typeof value === 'boolean') return value ? 'да' : 'нет';
  if (typeof value === 'number') {
    const text = precision >= 0 ? value.toFixed(precision) : String(value);
    return decimalMark === '.' ? text : text.replace('.', decimalMark);
  }
  if (typeof value === 'object') return JSON.stringify(value);
  return String(value);
}
