// The report of a node for a period: the daily rows of getReportData with
// the summary rows (totals, means, totalizer readings), titles, units and
// precision from describeParams; estimated rows marked "*"; and the same
// table as a CSV file.

import { el, replace, dataTable, errorBox } from '../dom.js';
import { formatValue, DateOnly } from '../values.js';
import { ParameterColumns, isSetting, newestValues } from '../params.js';
import { periodForm } from '../periodform.js';
import { csvText, download } from '../csv.js';

const SUMMARIES = ['range_totals', 'range_middles', 'first_totals', 'last_totals'];

// The report as rows of text: heading lines, the table's header and rows,
// footnotes. decimalMark and unused as formatValue takes them.
async function buildReport(app, nodeId, from, to, style) {
  const report = await app.call('getReportData', nodeId, new DateOnly(from), new DateOnly(to));
  const days = report && report.day_data;
  if (!days || !days.rows.length) {
    throw new Error(`Нет суточных данных узла за период ${formatValue(new DateOnly(from))} - ${formatValue(new DateOnly(to))}`);
  }
  const info = report.info.records()[0] || {};
  const group = report.group ? report.group.records()[0] || {} : {};
  const columns = await ParameterColumns.describe(app, info.model_code, newestValues(days));
  const codes = columns.codesOf(days).filter(code => !isSetting(code));
  const header = ['Дата'].concat(codes.map(code => columns.heading(code)));
  let estimated = false;
  const rowOf = (table, r, date, calc) => {
    estimated = estimated || calc;
    return [calc ? `${date} *` : date].concat(codes.map(code => columns.text(code, table.rows[r][table.column(code)], style)));
  };
  const rows = days.rows.map((row, r) => rowOf(days, r, formatValue(row[days.column('date')]),
    Boolean(row[days.column('calc')])));
  for (const name of SUMMARIES) {
    const summary = report[name];
    if (summary && summary.rows.length) {
      rows.push(rowOf(summary, 0, formatValue(summary.rows[0][summary.column('date')]),
        Boolean(summary.rows[0][summary.column('calcV')])));
    }
  }
  const heading = [`Узел учета: ${info.name ?? ''}`,
    `Тип прибора: ${info.model_name ?? ''}, заводской номер ${info.number ?? ''}`,
    `Группа: ${group.name ?? ''}`];
  if (info.consumer) heading.push(`Потребитель: ${info.consumer}`);
  if (info.address) heading.push(`Адрес: ${info.address}`);
  heading.push(`Период: ${formatValue(new DateOnly(from))} - ${formatValue(new DateOnly(to))}`);
  const last = days.rows.length - 1;
  for (const code of columns.codes().filter(isSetting)) {
    heading.push(`${columns.heading(code, false)}: ${columns.text(code, days.rows[last][days.column(code)], style)}`);
  }
  return { heading, header, rows, footnotes: estimated ? ['* расчетные значения'] : [], number: info.number };
}

export function reportView(app, nodeId) {
  const output = el('div', { id: 'report' });
  const failure = el('div', { id: 'report-failure' });
  const csvButton = el('button', { type: 'button', id: 'report-csv', disabled: true }, 'Скачать CSV');
  const period = periodForm({ fromDays: -31, button: 'Построить', onSubmit: show });

  async function show() {
    replace(failure);
    replace(output);
    csvButton.disabled = true;
    try {
      const report = await buildReport(app, nodeId, period.from.value, period.to.value, {});
      replace(output, report.heading.map(line => el('p', { className: 'heading' }, line)),
        el('div', { className: 'scroll' }, dataTable(report.header, report.rows)),
        report.footnotes.map(line => el('p', { className: 'note' }, line)));
      csvButton.disabled = false;
    } catch (e) {
      replace(failure, errorBox(e.message));
    }
  }

  async function saveCsv() {
    try {
      const report = await buildReport(app, nodeId, period.from.value, period.to.value,
        { decimalMark: ',', unused: '' });
      // The table alone, as orvex-cli writes it: a header row of titles, then the rows.
      download(`report_${nodeId}_${period.from.value}_${period.to.value}.csv`,
        csvText([report.header].concat(report.rows)));
    } catch (e) {
      replace(failure, errorBox(e.message));
    }
  }

  return {
    async render(root) {
      csvButton.addEventListener('click', saveCsv);
      root.append(el('h2', {}, 'Отчет по узлу'),
        el('p', { className: 'links' }, el('a', { href: `#/node/${nodeId}` }, 'К узлу')),
        period.form, csvButton, failure, output);
      await show();
    },
  };
}
