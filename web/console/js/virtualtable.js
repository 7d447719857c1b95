// A table of many rows (years of hourly archive) that keeps only the rows
// in view in the page: every row has the same height, two spacer rows
// stand for the rows above and below, and the visible rows plus a margin
// are drawn anew as the box scrolls. Columns have fixed widths, worked out
// from a sample of the rows, so that they do not jump while scrolling.

import { el, replace } from './dom.js';

const ROW_PX = 28;
// Rows drawn beyond each edge of the view.
const MARGIN_ROWS = 40;
// Rows read to size the columns: the first, the last and some between.
const SAMPLE_ROWS = 1000;
// A heading wraps instead of widening its column past this many characters.
const HEADING_CHARS = 16;

// Text of a cell as dataTable takes it: text, a node, or {text, node, className, title}.
function cellText(value) {
  if (value instanceof Node) return value.textContent;
  if (value && typeof value === 'object') return value.node ? value.node.textContent : String(value.text ?? '');
  return value === null || value === undefined ? '' : String(value);
}

function cell(tag, value) {
  if (value && typeof value === 'object' && !(value instanceof Node)) {
    return el(tag, { className: value.className, title: value.title }, value.node ?? value.text);
  }
  return el(tag, {}, value);
}

function sampleIndexes(count) {
  if (count <= SAMPLE_ROWS) return [...Array(count).keys()];
  const ends = SAMPLE_ROWS / 4;
  const between = SAMPLE_ROWS / 2;
  const indexes = new Set();
  for (let i = 0; i < ends; ++i) {
    indexes.add(i);
    indexes.add(count - 1 - i);
  }
  for (let i = 0; i < between; ++i) indexes.add(Math.floor(ends + (i * (count - 2 * ends)) / between));
  return [...indexes];
}

export class VirtualTable {
  // headings: the column titles; count: the number of rows; cells(i): the
  // cells of row i; rowClass(i): its class name or null.
  constructor({ headings, count, cells, rowClass = () => null }) {
    this.count = count;
    this.cells = cells;
    this.rowClass = rowClass;
    this.columnCount = headings.length;
    this.rowHeight = ROW_PX;
    this.shown = null;  // [first, end) of the rows in the page
    this.measured = false;
    this.frame = 0;
    this.body = el('tbody');
    this.head = el('thead', {}, el('tr', {}, headings.map(h => cell('th', h))));
    this.table = el('table', { className: 'data virtual', dataset: { rows: count } }, this.columnWidths(headings),
      this.head, this.body);
    this.element = el('div', { className: 'virtual-scroll' }, this.table);
    this.onScroll = () => {
      if (!this.frame) this.frame = requestAnimationFrame(() => { this.frame = 0; this.render(); });
    };
    this.element.addEventListener('scroll', this.onScroll, { passive: true });
    window.addEventListener('resize', this.onScroll);
  }

  columnWidths(headings) {
    const widths = headings.map(h => Math.min(HEADING_CHARS, cellText(h).length));
    for (const i of sampleIndexes(this.count)) {
      this.cells(i).forEach((value, c) => { widths[c] = Math.max(widths[c], cellText(value).length); });
    }
    return el('colgroup', {}, widths.map(chars => {
      const col = el('col');
      col.style.width = `calc(${Math.max(chars, 3)}ch + 1.2rem)`;
      return col;
    }));
  }

  spacer(height) {
    const td = el('td', { colspan: this.columnCount });
    td.style.height = `${height}px`;
    return el('tr', { className: 'spacer', 'aria-hidden': 'true' }, td);
  }

  // Draws the rows in view, if they are not the ones drawn already.
  render() {
    const box = this.element;
    const top = Math.max(0, box.scrollTop - this.head.offsetHeight);
    const inView = Math.ceil((box.clientHeight || window.innerHeight) / this.rowHeight) + 1;
    const first = Math.max(0, Math.min(this.count, Math.floor(top / this.rowHeight)) - MARGIN_ROWS);
    const end = Math.min(this.count, Math.floor(top / this.rowHeight) + inView + MARGIN_ROWS);
    if (this.shown && this.shown[0] === first && this.shown[1] === end) return;
    this.shown = [first, end];
    const rows = [];
    for (let i = first; i < end; ++i) {
      rows.push(el('tr', { className: this.rowClass(i), dataset: { row: i } }, this.cells(i).map(v => cell('td', v))));
    }
    replace(this.body, first > 0 ? this.spacer(first * this.rowHeight) : null, rows,
      end < this.count ? this.spacer((this.count - end) * this.rowHeight) : null);
    // Fonts and zoom decide the real height of a row: measured once, and the spacers follow it.
    const measured = !this.measured && rows.length ? rows[0].getBoundingClientRect().height : 0;
    if (measured > 0) this.measured = true;
    if (measured > 0 && Math.abs(measured - this.rowHeight) > 0.01) {
      this.rowHeight = measured;
      this.shown = null;
      this.render();
    }
  }

  dispose() {
    cancelAnimationFrame(this.frame);
    this.element.removeEventListener('scroll', this.onScroll);
    window.removeEventListener('resize', this.onScroll);
  }
}
