// The check log of a node for a period: when a check ran, which archive row
// it judged and what it said.

import { el, field, replace, dataTable, errorBox } from '../dom.js';
import { formatValue, dayStart, dayEnd } from '../values.js';
import { periodForm } from '../periodform.js';

const ARCHIVE_TITLES = { hour_data: 'Часовой', day_data: 'Суточный', month_data: 'Месячный',
  day_totals: 'Суточные итоги', month_totals: 'Месячные итоги', current_data: 'Текущие' };

export function checkLogView(app, nodeId) {
  const nodeSelect = el('select', { name: 'node', id: 'checklog-node' });
  const output = el('div', { id: 'checklog' });
  const period = periodForm({ fromDays: -31, extra: [field('Узел', nodeSelect)], onSubmit: show });

  async function show() {
    replace(output);
    if (!nodeSelect.value) return;
    if (window.location.hash !== `#/checklog/${nodeSelect.value}`) {
      window.location.hash = `#/checklog/${nodeSelect.value}`;  // the route draws the view anew
      return;
    }
    try {
      const log = await app.call('getCheckLog', Number(nodeSelect.value), dayStart(period.from.value),
        dayEnd(period.to.value));
      const rows = log ? log.records() : [];
      replace(output, rows.length
        ? dataTable(['Проверено', 'Архив', 'Запись архива', 'Сообщение'], rows.map(r => [
          formatValue(r.ctime), ARCHIVE_TITLES[r.archive] ?? formatValue(r.archive), formatValue(r.atime),
          formatValue(r.message)]))
        : el('p', { className: 'empty' }, 'Записей нет'));
    } catch (e) {
      replace(output, errorBox(e.message));
    }
  }

  return {
    async render(root) {
      const nodes = (await app.call('getNodes')).records();
      replace(nodeSelect, el('option', { value: '' }, '— выберите узел —'),
        nodes.map(n => el('option', { value: n.id }, n.name)));
      if (nodeId !== null) nodeSelect.value = String(nodeId);
      nodeSelect.addEventListener('change', show);
      root.append(el('h2', {}, 'Журнал проверок'), period.form, output);
      await show();
    },
  };
}
