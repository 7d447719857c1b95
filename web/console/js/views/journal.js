// The server's event journal for a period, newest first as the server gives it.

import { el, replace, dataTable, errorBox } from '../dom.js';
import { formatValue, dayStart, dayEnd } from '../values.js';
import { periodForm } from '../periodform.js';

export function journalView(app) {
  const output = el('div', { id: 'journal' });
  const period = periodForm({ fromDays: -1, onSubmit: show });

  async function show() {
    try {
      const journal = await app.call('getJournal', dayStart(period.from.value), dayEnd(period.to.value));
      const rows = journal ? journal.records() : [];
      replace(output, rows.length
        ? dataTable(['Время', 'Уровень', 'Сообщение', 'Пользователь', 'Группа', 'Узел', 'Задача'], rows.map(r => [
          formatValue(r.ctime), { text: formatValue(r.level), className: `level-${String(r.level).toLowerCase()}` },
          formatValue(r.message), formatValue(r.user_name ?? r.user_id), formatValue(r.group_name ?? r.group_id),
          formatValue(r.node_name ?? r.node_id), formatValue(r.task_id)]))
        : el('p', { className: 'empty' }, 'Записей нет'));
    } catch (e) {
      replace(output, errorBox(e.message));
    }
  }

  return {
    async render(root) {
      root.append(el('h2', {}, 'Журнал событий'), period.form, output);
      await show();
    },
  };
}
