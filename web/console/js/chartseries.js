// Which archive columns the chart offers, and which it draws before the
// operator picks: the quantities looked at first, of the first heating
// system that has them (supply and return temperature, the flow or the
// mass, the heat energy), never bitmasks, settings or columns that stay the same.

import { isSetting } from './params.js';

// Quantities in the order they are drawn; the first present of each group.
const FIRST_LOOK = [['t1'], ['t2'], ['G1', 'M1', 'V1'], ['Q']];
// Without any of those, this many of the other columns that change.
const FALLBACK_COUNT = 3;

function hasNumber(table, c) {
  return table.rows.some(row => typeof row[c] === 'number' && Number.isFinite(row[c]));
}

// A column whose numbers never change (a run time of 1 in every hourly
// row); a single number tells nothing yet, so it is not constant.
export function isConstant(table, code) {
  const c = table.column(code);
  let first = null;
  let count = 0;
  for (const row of table.rows) {
    const value = row[c];
    if (typeof value !== 'number' || !Number.isFinite(value)) continue;
    if (first === null) first = value;
    else if (value !== first) return false;
    ++count;
  }
  return count > 1;
}

// The columns a chart may draw, in the table's order.
export function chartableCodes(table, columns) {
  return columns.codesOf(table).filter(code => columns.isNumeric(code) && !isSetting(code)
    && hasNumber(table, table.column(code)));
}

// The columns drawn by default, from the chartable ones.
export function defaultChartCodes(table, chartable) {
  const varying = chartable.filter(code => !isConstant(table, code));
  const systems = [...new Set(varying.map(code => /^S(\d+)_/.exec(code)?.[1]).filter(Boolean))]
    .map(Number).sort((a, b) => a - b);
  for (const system of systems) {
    const picked = FIRST_LOOK.map(group => group.map(q => `S${system}_${q}`).find(code => varying.includes(code)))
      .filter(Boolean);
    if (picked.length) return picked;
  }
  return varying.slice(0, FALLBACK_COUNT);
}
