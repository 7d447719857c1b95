// Polling tasks with the state of their live run (queued, running with
// progress, waiting to retry, the last error); start and cancel for users
// with those rights. Follows the task change events, and while a run is
// live asks again every second for its progress.

import { el, replace, dataTable, errorBox } from '../dom.js';
import { formatValue, isEmpty } from '../values.js';

const WATCHED = ['taskSaved', 'taskRemoved', 'taskStateChanged', 'nodeSaved', 'nodeRemoved'];
const LIVE_REFRESH_MS = 1000;

export function tasksView(app) {
  let timer = null;
  let disposed = false;
  const list = el('div', { id: 'task-list' });
  const failure = el('div', { id: 'task-failure' });

  async function act(command, id) {
    try {
      await app.call(command, id);
      replace(failure);
      await load();
    } catch (e) {
      replace(failure, errorBox(e.message));
    }
  }

  function stateCell(task) {
    if (isEmpty(task.is_run)) return { text: 'Не выполняется', className: 'idle' };
    let text = formatValue(task.state);
    if (task.progress > 0) text += ` — ${task.progress}%`;
    return { node: el('span', { className: 'run-state', dataset: { task: task.id } }, text), className: 'running' };
  }

  function draw(tasks, nodeNames) {
    const rows = tasks.map(t => [
      formatValue(t.id),
      nodeNames.get(t.node_id) ?? formatValue(t.node_id),
      stateCell(t),
      formatValue(t.attempts),
      formatValue(t.last_exec),
      isEmpty(t.last_error) ? '' : { text: t.last_error, className: 'bad' },
      el('span', { className: 'actions' },
        app.can('startTask') ? el('button', { type: 'button', className: 'start', dataset: { task: t.id },
          disabled: !isEmpty(t.is_run), onclick: () => act('startTask', t.id) }, 'Запустить') : null,
        app.can('cancelTask') ? el('button', { type: 'button', className: 'cancel', dataset: { task: t.id },
          disabled: isEmpty(t.is_run), onclick: () => act('cancelTask', t.id) }, 'Отменить') : null),
    ]);
    replace(list, tasks.length
      ? dataTable(['№', 'Узел', 'Состояние', 'Осталось попыток', 'Последний опрос', 'Последняя ошибка', ''], rows)
      : el('p', { className: 'empty' }, 'Нет доступных задач опроса'));
  }

  async function load() {
    clearTimeout(timer);
    timer = null;
    try {
      const [taskTable, nodeTable] = await Promise.all([app.call('getTasks'), app.call('getNodes')]);
      if (disposed) return;
      const tasks = taskTable.records();
      draw(tasks, new Map(nodeTable.records().map(n => [n.id, n.name])));
      if (tasks.some(t => !isEmpty(t.is_run))) timer = setTimeout(load, LIVE_REFRESH_MS);
    } catch (e) {
      replace(failure, errorBox(e.message));
    }
  }

  return {
    async render(root) {
      root.append(el('h2', {}, 'Задачи опроса'), failure, list);
      await load();
    },
    onEvents(events) {
      if (WATCHED.some(name => events[name])) load();
    },
    dispose() {
      disposed = true;
      clearTimeout(timer);
    },
  };
}
