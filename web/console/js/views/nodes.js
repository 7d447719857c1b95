// Nodes by group: model, number, last update, read error and check fails;
// a search over names, numbers and consumers; kept up to date by the change
// events of nodes, groups and archives.

import { el, field, replace, dataTable, errorBox } from '../dom.js';
import { formatValue, isEmpty } from '../values.js';

const WATCHED = ['nodeSaved', 'nodeRemoved', 'groupSaved', 'groupRemoved', 'archivesSaved', 'taskSaved'];

export function nodesView(app) {
  let nodes = [];
  let groups = new Map();
  const search = el('input', { type: 'search', id: 'node-search', placeholder: 'Название, номер, потребитель' });
  const list = el('div', { id: 'node-list' });
  const failure = el('div');

  function matches(node, words) {
    const text = [node.name, node.number, node.model_name, node.consumer, node.address]
      .map(v => (isEmpty(v) ? '' : String(v))).join(' ').toLowerCase();
    return words.every(w => text.includes(w));
  }

  function draw() {
    const words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
    const shown = nodes.filter(n => matches(n, words));
    const byGroup = new Map();
    for (const node of shown) {
      if (!byGroup.has(node.group_id)) byGroup.set(node.group_id, []);
      byGroup.get(node.group_id).push(node);
    }
    const sections = [...byGroup].map(([groupId, members]) => el('section', { className: 'group' },
      el('h3', {}, groups.get(groupId) ?? `Группа ${groupId}`),
      dataTable(['Узел', 'Прибор', 'Номер', 'Обновлен', 'Ошибка опроса', 'Ошибки проверки'],
        members.map(n => [
          { node: el('a', { href: `#/node/${n.id}`, className: 'node-name' }, n.name) },
          formatValue(n.model_name),
          formatValue(n.number),
          formatValue(n.last_update),
          isEmpty(n.read_error) ? '' : { text: n.read_error, className: 'bad' },
          n.check_fails > 0 ? { node: el('a', { href: `#/checklog/${n.id}` }, String(n.check_fails)), className: 'bad' } : '',
        ]),
        { rowClass: i => (!isEmpty(members[i].read_error) || members[i].check_fails > 0 ? 'flagged' : null) })));
    replace(list, sections.length ? sections : el('p', { className: 'empty' },
      nodes.length ? 'Ничего не найдено' : 'Нет доступных узлов'));
  }

  async function load() {
    try {
      const [groupTable, nodeTable] = await Promise.all([app.call('getGroups'), app.call('getNodes')]);
      groups = new Map(groupTable.records().map(g => [g.id, g.name]));
      nodes = nodeTable.records();
      replace(failure);
      draw();
    } catch (e) {
      replace(failure, errorBox(e.message));
    }
  }

  return {
    async render(root) {
      search.addEventListener('input', draw);
      root.append(el('h2', {}, 'Узлы учета'), field('Поиск', search), failure, list);
      await load();
    },
    onEvents(events) {
      if (WATCHED.some(name => events[name])) load();
    },
  };
}
