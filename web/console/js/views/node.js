// A node: its record, and an archive (hourly, daily, monthly) for a chosen
// period as a chart of chosen parameters and as a table that draws only
// the rows in view; rows flagged by the checks are marked, and a click on
// one shows the checks' messages.

import { el, field, replace, errorBox } from '../dom.js';
import { formatValue, dayStart, dayEnd, isEmpty, isoDay } from '../values.js';
import { ParameterColumns, newestValues } from '../params.js';
import { archiveChart } from '../chart.js';
import { chartableCodes, defaultChartCodes } from '../chartseries.js';
import { periodForm } from '../periodform.js';
import { VirtualTable } from '../virtualtable.js';

const ARCHIVES = [['hour_data', 'Часовой', -2], ['day_data', 'Суточный', -31], ['month_data', 'Месячный', -365]];
const RECORD_FIELDS = [['name', 'Название'], ['model_name', 'Прибор'], ['number', 'Заводской номер'],
  ['consumer', 'Потребитель'], ['provider', 'Поставщик'], ['address', 'Адрес'], ['contract', 'Договор'],
  ['note', 'Примечание'], ['last_update', 'Последнее обновление'], ['first_day', 'Первые сутки архива'],
  ['last_day', 'Последние сутки архива'], ['gap_count', 'Пропусков в архиве']];

export function nodeView(app, nodeId) {
  let node = null;
  let chart = null;
  let rowsTable = null;
  let loads = 0;
  const recordBox = el('div', { id: 'node-record' });
  const failure = el('div', { id: 'archive-failure' });
  const picker = el('div', { className: 'picker', id: 'chart-params' });
  const chartBox = el('div', { className: 'chart', id: 'archive-chart' });
  const tableBox = el('div', { id: 'archive-table' });
  const messages = el('div', { id: 'check-messages' });
  const archive = el('select', { name: 'archive', id: 'archive-kind' },
    ARCHIVES.map(([code, title]) => el('option', { value: code }, title)));
  const period = periodForm({ fromDays: ARCHIVES[0][2], extra: [field('Архив', archive)], onSubmit: load });
  archive.addEventListener('change', () => {
    const days = ARCHIVES.find(a => a[0] === archive.value)[2];
    period.from.value = isoDay(days, period.to.value || null);
  });

  function drawChart(kind, table, columns, codes) {
    if (chart) chart.destroy();
    chart = null;
    replace(chartBox);
    for (const key of Object.keys(chartBox.dataset)) delete chartBox.dataset[key];
    if (codes.length) chart = archiveChart(chartBox, kind, table, codes, columns);
    if (!chart) chartBox.append(el('p', { className: 'empty' }, 'Нет данных для графика'));
  }

  function drawTable(view) {
    if (rowsTable) rowsTable.dispose();
    rowsTable = view;
    replace(tableBox, view ? view.element : el('p', { className: 'empty' }, 'Нет данных за этот период'));
    if (view) view.render();
  }

  async function showChecks(kind, atime) {
    try {
      const list = await app.call('getCheckErrors', nodeId, kind, atime);
      replace(messages, el('h4', {}, `Проверки за ${formatValue(atime)}`),
        el('ul', {}, (list || []).map(text => el('li', {}, text))));
    } catch (e) {
      replace(messages, errorBox(e.message));
    }
  }

  async function load() {
    // Only the latest request is drawn: an earlier, slower one must not overwrite it.
    const request = ++loads;
    replace(failure);
    replace(messages);
    try {
      // The archive asked for, even if the list is changed before the answer comes.
      const kind = archive.value;
      const table = await app.call('getArchive', nodeId, kind, dayStart(period.from.value), dayEnd(period.to.value));
      if (request !== loads) return;
      if (!table || !table.rows.length) {
        drawChart(kind, { columns: [], rows: [] }, null, []);
        replace(picker);
        drawTable(null);
        return;
      }
      const columns = await ParameterColumns.describe(app, node.model_code, newestValues(table));
      if (request !== loads) return;
      const codes = columns.codesOf(table);
      const chartable = chartableCodes(table, columns);
      const shown = new Set(defaultChartCodes(table, chartable));
      const boxes = chartable.map(code => el('input', { type: 'checkbox', value: code, checked: shown.has(code) }));
      const redraw = () => drawChart(kind, table, columns, boxes.filter(b => b.checked).map(b => b.value));
      boxes.forEach(b => b.addEventListener('change', redraw));
      replace(picker, chartable.map((code, i) => el('label', {}, boxes[i], columns.heading(code))));
      redraw();

      const dateColumn = table.column('date');
      const flagColumn = table.column('CHECK_ERR');
      const indexes = codes.map(code => table.column(code));
      const flaggedRow = i => flagColumn >= 0 && Boolean(table.rows[i][flagColumn]);
      drawTable(new VirtualTable({
        headings: ['Дата'].concat(codes.map(code => columns.heading(code))),
        count: table.rows.length,
        cells: i => {
          const row = table.rows[i];
          const date = formatValue(row[dateColumn]);
          return [flaggedRow(i) ? { node: el('a', { href: '#', className: 'check-flag', title: 'Сообщения проверок',
            onclick: e => { e.preventDefault(); showChecks(kind, row[dateColumn]); } }, `${date} ⚠`) } : date]
            .concat(codes.map((code, c) => columns.text(code, row[indexes[c]])));
        },
        rowClass: i => (flaggedRow(i) ? 'flagged' : null),
      }));
    } catch (e) {
      if (request === loads) replace(failure, errorBox(e.message));
    }
  }

  return {
    async render(root) {
      node = await app.call('getNode', nodeId);
      if (!node || isEmpty(node.id)) {
        root.append(errorBox(`Узел ${nodeId} не найден или недоступен`));
        return;
      }
      replace(recordBox, el('dl', { className: 'record' }, RECORD_FIELDS
        .filter(([key]) => !isEmpty(node[key]))
        .map(([key, title]) => [el('dt', {}, title), el('dd', { dataset: { field: key } }, formatValue(node[key]))])));
      root.append(el('h2', { id: 'node-title' }, node.name),
        el('p', { className: 'links' }, el('a', { href: `#/report/${nodeId}` }, 'Отчет'), ' ',
          el('a', { href: `#/checklog/${nodeId}` }, 'Журнал проверок')),
        recordBox, el('h3', {}, 'Архив'), period.form, failure, picker, chartBox, messages, tableBox);
      await load();
    },
    onEvents(events) {
      // Saved archives come as a change of their node.
      if ((events.nodeSaved || []).includes(nodeId)) load();
    },
    dispose() {
      if (chart) chart.destroy();
      if (rowsTable) rowsTable.dispose();
    },
  };
}
