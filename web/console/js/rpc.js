// The server's RPC over a WebSocket: JSON-RPC 2.0, one JSON text per
// message, replies matched to requests by id (docs/protocol.md).
//
// A lost connection is announced (event "state": "connecting", "open",
// "lost") and tried again after a pause that grows to 10 s; calls in flight
// then fail with a message, as do calls made while there is no connection.
// With several addresses (the servers of one installation, of which one is
// active at a time) each new try goes to the next one.

import { decode, encode } from './values.js';

export class RpcError extends Error {
  constructor(message, code) {
    super(message);
    this.code = code;
  }
}

const LOST = 'Нет связи с сервером';

export class RpcClient extends EventTarget {
  constructor(urls) {
    super();
    this.urls = Array.isArray(urls) ? urls : [urls];
    this.index = 0;
    this.socket = null;
    this.nextId = 1;
    this.pending = new Map();  // id -> {resolve, reject}
    this.retryMs = 500;
    this.state = 'idle';
  }

  connect() {
    // A retry after a loss keeps saying the connection is lost until it is back.
    if (this.state !== 'lost') this.setState('connecting');
    let socket;
    try {
      socket = new WebSocket(this.url());
    } catch (e) {
      this.onClosed();
      return;
    }
    this.socket = socket;
    socket.onopen = () => {
      this.retryMs = 500;
      this.setState('open');
    };
    socket.onmessage = event => this.onMessage(event.data);
    socket.onclose = () => {
      if (this.socket === socket) this.onClosed();
    };
  }

  url() {
    return this.urls[this.index];
  }

  // More servers to go on with; those already known are kept in their place.
  addUrls(urls) {
    for (const url of urls) if (!this.urls.includes(url)) this.urls.push(url);
  }

  onClosed() {
    this.socket = null;
    this.index = (this.index + 1) % this.urls.length;
    for (const { reject } of this.pending.values()) reject(new RpcError(LOST, 0));
    this.pending.clear();
    this.setState('lost');
    // A server that was there gets the short pause first; so does each of the others.
    setTimeout(() => this.connect(), this.retryMs);
    if (this.index === 0) this.retryMs = Math.min(this.retryMs * 2, 10000);
  }

  setState(state) {
    this.state = state;
    this.dispatchEvent(new CustomEvent('state', { detail: state }));
  }

  onMessage(text) {
    let reply;
    try {
      reply = JSON.parse(text);
    } catch (e) {
      return;
    }
    const waiting = this.pending.get(reply.id);
    if (!waiting) return;
    this.pending.delete(reply.id);
    if (reply.error) waiting.reject(new RpcError(reply.error.message || 'Ошибка сервера', reply.error.code));
    else waiting.resolve(decode(reply.result));
  }

  call(method, ...params) {
    if (!this.socket || this.socket.readyState !== WebSocket.OPEN) return Promise.reject(new RpcError(LOST, 0));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      this.socket.send(JSON.stringify({ jsonrpc: '2.0', id, method, params: params.map(encode) }));
    });
  }
}

// The RPC address: /rpc on the server that gave the page, or the one the
// page's ?ws= names (a console served from elsewhere, as in development).
// The override may change only the port: a link must not send the
// password an operator types to some other host.
export function rpcUrl(location) {
  const override = new URLSearchParams(location.search).get('ws');
  if (override) {
    try {
      const url = new URL(override);
      if ((url.protocol === 'ws:' || url.protocol === 'wss:') && url.hostname === location.hostname) return url.href;
    } catch (e) { /* not a URL: the default below */ }
  }
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return `${scheme}//${location.host}/rpc`;
}

// The other servers' addresses from the server's /servers.json (its
// setting "consoleServers"): only WebSocket URLs, none twice.
export function otherServers(list) {
  const urls = [];
  for (const entry of Array.isArray(list) ? list : []) {
    try {
      const url = new URL(entry);
      if ((url.protocol === 'ws:' || url.protocol === 'wss:') && !urls.includes(url.href)) urls.push(url.href);
    } catch (e) { /* not a URL: left out */ }
  }
  return urls;
}
