// The console: the session with the server, the page frame and the views.
//
// The session belongs to the WebSocket connection, so after a lost
// connection the console logs in again with the login the operator gave
// (kept in memory only); a refused login brings back the login form.

import { el, replace, errorBox } from './dom.js';
import { RpcClient, otherServers, rpcUrl } from './rpc.js';
import { loginView } from './views/login.js';
import { nodesView } from './views/nodes.js';
import { tasksView } from './views/tasks.js';
import { nodeView } from './views/node.js';
import { reportView } from './views/report.js';
import { checkLogView } from './views/checklog.js';
import { journalView } from './views/journal.js';

const EVENTS_INTERVAL_MS = 2000;

const routes = [
  [/^#\/nodes$/, () => nodesView],
  [/^#\/tasks$/, () => tasksView],
  [/^#\/node\/(\d+)$/, () => nodeView],
  [/^#\/report\/(\d+)$/, () => reportView],
  [/^#\/checklog(?:\/(\d+))?$/, () => checkLogView],
  [/^#\/journal$/, () => journalView],
];

class ConsoleApp {
  constructor(root) {
    this.root = root;
    this.rpc = new RpcClient(rpcUrl(window.location));
    this.user = null;
    this.credentials = null;
    this.view = null;
    this.status = el('div', { className: 'status', id: 'connection', role: 'status' });
    this.nav = el('nav', { className: 'nav' });
    this.main = el('main', { id: 'view' });
    replace(root, el('header', { className: 'top' }, el('h1', {}, 'Orvex: консоль оператора'), this.nav), this.status,
      this.main);
    this.rpc.addEventListener('state', e => this.onConnection(e.detail));
    window.addEventListener('hashchange', () => this.route());
    setInterval(() => this.pollEvents(), EVENTS_INTERVAL_MS);
  }

  start() {
    this.showLogin();
    this.rpc.connect();
    // The installation's other servers, to go on with when this one stops answering.
    fetch('servers.json')
      .then(response => (response.ok ? response.json() : []))
      .then(list => this.rpc.addUrls(otherServers(list)))
      .catch(() => {});
  }

  // Calls a command; failures reach the caller as errors with the server's words.
  call(method, ...params) {
    return this.rpc.call(method, ...params);
  }

  can(right) {
    if (!this.user) return false;
    const access = this.user.access || [];
    return this.user.id === 0 || access.includes('allowAll') || access.includes(right);
  }

  onConnection(state) {
    const texts = {
      connecting: 'Подключение к серверу…',
      lost: 'Нет связи с сервером. Повторное подключение…',
      open: '',
    };
    this.status.textContent = texts[state] ?? '';
    this.status.className = state === 'open' ? 'status' : 'status alert';
    document.body.dataset.connection = state;
    if (state === 'open' && this.credentials) this.relogin();
  }

  async relogin() {
    try {
      await this.login(this.credentials.login, this.credentials.password);
    } catch (e) {
      this.credentials = null;
      this.user = null;
      this.showLogin(e.message);
    }
  }

  async login(login, password) {
    this.user = await this.call('login', login, password);
    this.credentials = { login, password };
    this.drawNav();
    if (!routes.some(([pattern]) => pattern.test(window.location.hash))) window.location.hash = '#/nodes';
    else this.route();
  }

  async logout() {
    this.credentials = null;
    this.user = null;
    try { await this.call('logout'); } catch (e) { /* the session ends with the form anyway */ }
    this.showLogin();
  }

  showLogin(message) {
    this.dispose();
    replace(this.nav);
    this.view = loginView(this, message);
    this.view.render(this.main);
  }

  drawNav() {
    const link = (href, text) => el('a', { href }, text);
    replace(this.nav,
      link('#/nodes', 'Узлы'), link('#/tasks', 'Задачи опроса'), link('#/checklog', 'Журнал проверок'),
      link('#/journal', 'Журнал событий'),
      el('span', { className: 'user', id: 'user-name' }, this.user.name || this.user.login || ''),
      el('button', { type: 'button', id: 'logout', onclick: () => this.logout() }, 'Выйти'));
  }

  dispose() {
    if (this.view && this.view.dispose) this.view.dispose();
    this.view = null;
  }

  route() {
    if (!this.user) return;
    const hash = window.location.hash;
    for (const [pattern, make] of routes) {
      const match = pattern.exec(hash);
      if (!match) continue;
      this.dispose();
      this.view = make()(this, match[1] === undefined ? null : Number(match[1]));
      for (const a of this.nav.querySelectorAll('a')) a.classList.toggle('active', hash.startsWith(a.getAttribute('href')));
      replace(this.main);
      this.view.render(this.main).catch(e => this.main.append(errorBox(e.message)));
      return;
    }
    window.location.hash = '#/nodes';
  }

  async pollEvents() {
    if (!this.user || this.rpc.state !== 'open' || this.polling) return;
    this.polling = true;
    try {
      const events = await this.call('takeChangeEvents');
      if (events && Object.keys(events).length && this.view && this.view.onEvents) this.view.onEvents(events);
    } catch (e) {
      // A lost connection shows itself in the status line; the next poll tries again.
    } finally {
      this.polling = false;
    }
  }
}

new ConsoleApp(document.getElementById('app')).start();
