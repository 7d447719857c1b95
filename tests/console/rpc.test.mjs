// The console's RPC client choosing among the servers of an installation,
// with a stand-in WebSocket and Node's mock timers.
import { test, mock } from 'node:test';
import assert from 'node:assert/strict';

const sockets = [];
class FakeSocket {
  static OPEN = 1;
  constructor(url) {
    this.url = url;
    this.readyState = 0;
    this.sent = [];
    sockets.push(this);
  }
  send(text) { this.sent.push(JSON.parse(text)); }
  open() { this.readyState = FakeSocket.OPEN; this.onopen(); }
  drop() { this.readyState = 3; this.onclose(); }
}
globalThis.WebSocket = FakeSocket;
const { RpcClient, otherServers } = await import('../../web/console/js/rpc.js');

test('each new try goes to the next server, and calls go where the connection is', () => {
  mock.timers.enable({ apis: ['setTimeout'] });
  try {
    const client = new RpcClient('ws://a:1/rpc');
    client.addUrls(['ws://b:2/rpc', 'ws://a:1/rpc', 'ws://c:3/rpc']);   // a is known already
    assert.deepEqual(client.urls, ['ws://a:1/rpc', 'ws://b:2/rpc', 'ws://c:3/rpc']);
    client.connect();
    sockets.at(-1).open();
    sockets.at(-1).drop();   // a stops answering
    for (const expected of ['ws://b:2/rpc', 'ws://c:3/rpc', 'ws://a:1/rpc']) {
      mock.timers.tick(10000);
      assert.equal(sockets.at(-1).url, expected);
      sockets.at(-1).drop();   // none answers yet
    }
    mock.timers.tick(10000);
    assert.equal(sockets.at(-1).url, 'ws://b:2/rpc');
    sockets.at(-1).open();   // b, active now
    assert.equal(client.state, 'open');
    client.call('getVersion');
    assert.equal(sockets.at(-1).sent[0].method, 'getVersion');
  } finally {
    mock.timers.reset();
  }
});

test('only WebSocket addresses are taken from the server list, none twice', () => {
  assert.deepEqual(otherServers(['ws://b:2/rpc', 'http://b:2/', 'nonsense', 'wss://c/rpc', 'ws://b:2/rpc', 5]),
                   ['ws://b:2/rpc', 'wss://c/rpc']);
  assert.deepEqual(otherServers({ not: 'a list' }), []);
});
