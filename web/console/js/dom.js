// Building the page. Text from the server (node names, notes, check
// messages) only ever goes in as text nodes or attribute values, never as
// markup: there is no innerHTML anywhere in the console.

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (key === 'className') node.className = value;
    else if (key === 'dataset') Object.assign(node.dataset, value);
    else if (key === 'value') node.value = value;
    else if (key === 'checked') node.checked = Boolean(value);
    else node.setAttribute(key, value === true ? '' : String(value));
  }
  append(node, children);
  return node;
}

function append(node, children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
}

export function replace(node, ...children) {
  node.replaceChildren();
  append(node, children);
  return node;
}

// A table of rows of cells; a cell is text, a node, or {text, className, title}.
export function dataTable(headings, rows, { rowClass, caption } = {}) {
  const cell = (tag, value) => {
    if (value && typeof value === 'object' && !(value instanceof Node)) {
      return el(tag, { className: value.className, title: value.title }, value.node ?? value.text);
    }
    return el(tag, {}, value);
  };
  return el('table', { className: 'data' },
    caption ? el('caption', {}, caption) : null,
    el('thead', {}, el('tr', {}, headings.map(h => cell('th', h)))),
    el('tbody', {}, rows.map((row, i) => el('tr', { className: rowClass ? rowClass(i) : null },
      row.map(value => cell('td', value))))));
}

export function field(label, input) {
  return el('label', { className: 'field' }, el('span', {}, label), input);
}

// A message in words where the view shows its failures.
export function errorBox(message) {
  return el('div', { className: 'error', role: 'alert' }, message);
}
