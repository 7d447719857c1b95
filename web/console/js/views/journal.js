// The server's event journal for a period, in time order as the server gives it.

import { el, replace, dataTable, errorBox } from '../dom.js';
import { formatValue, dayStart, dayEnd, isEmpty } from '../values.js';
import { periodForm } from '../periodform.js';

// The journal keeps its levels as codes; people read them in words.
const LEVELS = { INFO: 'Информация', WARN: 'Предупреждение', ERROR: 'Ошибка', DEBUG: 'Отладка' };

function levelCell(level) {
  const code = isEmpty(level) ? '' : String(level);
  return { text: LEVELS[code.toUpperCase()] ?? code, className: code ? `level-${code.toLowerCase()}` : null };
}

export function journalView(app) {
  const output = el('div', { id: 'journal' });
  const period = periodForm({ fromDays: -1, onSubmit: show });

  async function show() {
    try {
      const journal = await app.call('getJournal', dayStart(period.from.value), dayEnd(period.to.value));
      const rows = journal ? journal.records() : [];
      replace(output, rows.length
        ? dataTable(['Время', 'Уровень', 'Сообщение', 'Пользователь', 'Группа', 'Узел'], rows.map(r => [
          formatValue(r.ctime), levelCell(r.level), formatValue(r.message), formatValue(r.user),
          formatValue(r.group_name), formatValue(r.node_name)]))
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
