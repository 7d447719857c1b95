// Drives the console in chromium as an operator would, for tests/e2e/test_console.py. Asks for
// "stop-server"/"start-server" on stdout, goes on at a line on stdin; prints "result <findings JSON>".

const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const puppeteer = require('puppeteer-core');

const config = JSON.parse(process.argv[2]);
const STEP_MS = 20000;
const lines = readline.createInterface({ input: process.stdin });
// Asks the test for something on stdout and waits for its line on stdin.
const ask = what => new Promise(resolve => { lines.once('line', resolve); console.log(what); });

// Polls check() until it gives something true; fails with why() after ms.
async function waitFor(check, ms, why) {
  for (const deadline = Date.now() + ms; Date.now() < deadline; await new Promise(r => setTimeout(r, 100))) {
    const found = await check();
    if (found) return found;
  }
  throw new Error(why());
}

// Opens a view of the console and waits for all the selectors.
async function open(page, hash, ...selectors) {
  await page.goto(`${config.url}${hash}`);
  await Promise.all(selectors.map(selector => page.waitForSelector(selector)));
}

async function login(page, user, password) {
  await page.waitForSelector('#login-form');
  await page.$$eval('#login, #password', els => els.forEach(el => { el.value = ''; }));
  await page.type('#login', user);
  await page.type('#password', password);
  await page.click('#login-button');
}

// Sets the period form of the page (once the view has drawn it) and submits it.
async function showPeriod(page, from, to) {
  await page.waitForSelector('form.period button[type="submit"]');
  await page.$eval('form.period input[name="from"]', (el, v) => { el.value = v; }, from);
  if (to) await page.$eval('form.period input[name="to"]', (el, v) => { el.value = v; }, to);
  await page.click('form.period button[type="submit"]');
}

const textOf = async (page, selector, timeout = STEP_MS) =>
  (await page.waitForSelector(selector, { timeout })).evaluate(el => el.textContent);
const textsOf = (page, selector) => page.$$eval(selector, els => els.map(e => e.textContent));

async function main() {
  const executablePath = process.env.CHROMIUM || '/usr/bin/chromium';
  if (!fs.existsSync(executablePath))
    throw new Error(`chromium not found at ${executablePath}: install Debian's chromium (scripts/setup does)`);
  const browser = await puppeteer.launch({ executablePath, headless: true,
    defaultViewport: { width: 1280, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--window-size=1280,900'] });
  const findings = {};
  const pageErrors = [];
  let page = null;
  try {
    page = await browser.newPage();
    page.setDefaultTimeout(STEP_MS);
    const dialogs = [];
    page.on('dialog', async dialog => { dialogs.push(dialog.message()); await dialog.dismiss(); });
    page.on('pageerror', e => pageErrors.push(e.message));
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: config.downloads });

    // A refused login stays on the form and says why.
    await page.goto(config.url, { waitUntil: 'load' });
    await login(page, 'admin', 'неверный');
    findings.refusedLogin = await textOf(page, '#login-form .error');

    // Nodes, with a name that would be markup if it were inserted as HTML.
    await login(page, 'admin', 'tavro');
    await page.waitForSelector('#node-list table');
    findings.nodeNames = await textsOf(page, '#node-list a.node-name');
    findings.imagesInList = await page.$$eval('#node-list img', els => els.length);
    findings.groups = await textsOf(page, '#node-list section h3');
    await page.type('#node-search', config.searchFor);
    findings.searched = await textsOf(page, '#node-list a.node-name');
    await page.$eval('#node-search', el => { el.value = ''; el.dispatchEvent(new Event('input')); });

    // A poll started from the tasks page, its state followed live.
    const start = `button.start[data-task="${config.taskId}"]`;
    await open(page, '#/tasks', `${start}:not([disabled])`);
    const stateOf = () => page.$$eval('#task-list tbody tr', (rows, id) => {
      const row = rows.find(r => r.cells[0].textContent === String(id));
      return row ? { state: row.cells[2].textContent, last: row.cells[4].textContent } : null;
    }, config.taskId);
    findings.stateBefore = (await stateOf()).state;
    await page.click(start);
    const states = [];
    await waitFor(async () => {
      const state = await stateOf();
      if (state && states[states.length - 1] !== state.state) states.push(state.state);
      return state && states.length > 1 && state.state === 'Не выполняется' && state.last;
    }, 60000, () => `the poll did not end: ${JSON.stringify(states)}`);

    // The polled node now shows its last update, through the change events.
    await open(page, '#/nodes');
    await page.waitForFunction(id => document.querySelector(`#node-list a[href="#/node/${id}"]`)
      ?.closest('tr').cells[3].textContent, {}, config.polledNode);

    // A node's archive as a chart and a table.
    await open(page, `#/node/${config.chartNode}`);
    findings.nodeTitle = await textOf(page, '#node-title');
    await page.select('#archive-kind', 'hour_data');
    await showPeriod(page, config.from, config.to);
    await Promise.all(['#archive-chart canvas', '#archive-table table'].map(s => page.waitForSelector(s)));
    findings.chart = await page.$eval('#archive-chart', el => {
      // Pixels of the first series' colour on the canvas: lines and points drawn.
      const canvas = el.querySelector('canvas');
      const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let drawn = 0;
      for (let i = 0; i < data.length; i += 4) drawn += data[i] === 0x1f && data[i + 1] === 0x6f && data[i + 2] === 0xb2;
      const { points, flagged, gaps } = el.dataset;
      return { points: Number(points), flagged: Number(flagged), gaps: Number(gaps), drawn };
    });
    findings.tableRows = await page.$$eval('#archive-table tbody tr[data-row]', rows => rows.length);
    findings.flaggedRows = await page.$$eval('#archive-table tbody tr.flagged', rows => rows.length);
    await page.click('#archive-table a.check-flag');
    await page.waitForSelector('#check-messages li');
    findings.checkMessages = await textsOf(page, '#check-messages li');

    // A monthly archive of one row: the time axis around it, not years away.
    await page.select('#archive-kind', 'month_data');
    await showPeriod(page, config.monthFrom, config.monthTo);
    await page.waitForSelector('#archive-table table[data-rows="1"]');
    await page.waitForSelector('#archive-chart[data-x-ticks] canvas');
    findings.monthTicks = await page.$eval('#archive-chart', el => el.dataset.xTicks.split('|'));

    // Five years of hourly rows: only the rows in view in the page, every row reachable by scrolling.
    await open(page, `#/node/${config.longNode}`, '#archive-table p.empty');
    await page.select('#archive-kind', 'hour_data');
    await showPeriod(page, config.longFrom, config.longTo);
    await page.waitForFunction(() => document.querySelector('#archive-chart canvas')
      && document.querySelector('#archive-table tr[data-row]'), { polling: 'raf', timeout: 120000 });
    Object.assign(findings, await page.evaluate(() => {
      const chart = document.querySelector('#archive-chart');
      return {
        longRows: Number(document.querySelector('#archive-table table').dataset.rows),
        longDomRows: document.querySelectorAll('#archive-table tbody tr').length,
        longLegend: [...chart.querySelectorAll('.u-legend .u-series .u-label')].map(e => e.textContent),
        longAxes: JSON.parse(chart.dataset.axes),
        longPicker: [...document.querySelectorAll('#chart-params label')].map(l => [l.textContent,
          l.querySelector('input').checked]),
      };
    }));
    // The row under the headings after scrolling to a row, in the middle and at the end.
    const rowInView = async at => {
      await page.$eval('#archive-table .virtual-scroll', (box, at) => {
        const height = box.querySelector('tr[data-row]').getBoundingClientRect().height;
        box.scrollTop = at === 'end' ? box.scrollHeight : at * height;
      }, at);
      return page.waitForFunction(() => {
        const box = document.querySelector('#archive-table .virtual-scroll');
        const rect = box.getBoundingClientRect();
        const below = rect.top + box.querySelector('thead').offsetHeight;
        const rows = [...box.querySelectorAll('tr[data-row]')].filter(r => {
          const { top, bottom } = r.getBoundingClientRect();
          return top >= below - 1 && bottom <= rect.bottom + 1;
        });
        return rows.length && [Number(rows[0].dataset.row), [...rows[rows.length - 1].cells].map(c => c.textContent)];
      }, { polling: 'raf' }).then(handle => handle.jsonValue());
    };
    findings.longMiddle = (await rowInView(config.longMiddle))[0];
    findings.longEnd = (await rowInView('end'))[1];
    findings.longDomRowsAtEnd = await page.evaluate(() => document.querySelectorAll('#archive-table tbody tr').length);
    // S1_t1 alone, picked: each day's swing fills its pixel columns, and one hour's leap still shows above them.
    await page.evaluate(() => document.querySelectorAll('#chart-params input').forEach(box => {
      if (box.checked !== (box.value === 'S1_t1')) box.click();
    }));
    await page.waitForFunction(() => document.querySelectorAll('#archive-chart .u-legend .u-series').length === 2);
    findings.spikeDrawn = await page.$eval('#archive-chart canvas', canvas => {
      const { data, width } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height * 0.15);
      for (let i = 0; i < data.length; i += 4) {
        if (data[i] === 0x1f && data[i + 1] === 0x6f && data[i + 2] === 0xb2) return Math.floor(i / 4 / width);
      }
      return null;
    });

    // The report, and its CSV downloaded.
    await open(page, `#/report/${config.chartNode}`, '#report-csv');
    await showPeriod(page, config.reportFrom, config.reportTo);
    await Promise.all(['#report table', '#report-csv:not([disabled])'].map(s => page.waitForSelector(s)));
    findings.reportHeading = await textsOf(page, '#report p.heading');
    await page.click('#report-csv');
    const csvFile = await waitFor(() => fs.readdirSync(config.downloads).find(name => name.endsWith('.csv')), STEP_MS,
      () => 'no CSV downloaded');
    findings.csvFile = path.join(config.downloads, csvFile);

    // The check log and the journal.
    await open(page, `#/checklog/${config.chartNode}`);
    await showPeriod(page, config.from, null);
    await page.waitForSelector('#checklog table');
    findings.checkLog = await page.$$eval('#checklog tbody tr', rows => rows.map(r => r.cells[3].textContent));
    await open(page, '#/journal', '#journal table');
    findings.journalLevels = await page.$$eval('#journal tbody tr', rows => rows.map(r => [r.cells[1].textContent,
      r.cells[1].className]));

    // A restricted user on a tablet: only the nodes of its groups, no start or cancel.
    const restricted = await (await browser.createBrowserContext()).newPage();
    restricted.setDefaultTimeout(STEP_MS);
    await restricted.setViewport({ width: 768, height: 1024 });   // a tablet held upright
    await restricted.goto(config.url, { waitUntil: 'load' });
    await login(restricted, config.restrictedUser, config.restrictedPassword);
    await restricted.waitForSelector('#node-list table, #node-list p');
    findings.restrictedNodes = await textsOf(restricted, '#node-list a.node-name');
    await open(restricted, '#/tasks', '#task-list table, #task-list p');
    findings.restrictedButtons = await restricted.$$eval('#task-list button', els => els.length);

    // A lost connection shows itself; back, the console logs in again by itself, unless refused
    // (the restricted user's password changes meanwhile): that page returns to the login form.
    await open(page, '#/nodes', '#node-list table');
    await page.$eval('#node-list', el => { el.dataset.before = '1'; });
    // Every text the status line shows while the server is away, across the first retries (0.5 s, 1.5 s).
    await page.$eval('#connection', el => {
      window.shownTexts = [];
      new MutationObserver(records => records.forEach(r => r.addedNodes.forEach(
        n => window.shownTexts.push(n.textContent)))).observe(el, { childList: true });
    });
    await ask('stop-server');
    await page.waitForFunction(() => document.body.dataset.connection !== 'open');
    await new Promise(resolve => setTimeout(resolve, 2000));
    findings.lostTexts = [...new Set(await page.evaluate(() => window.shownTexts))];
    await ask('start-server');
    await page.waitForFunction(() => document.body.dataset.connection === 'open', { timeout: 30000 });
    // The view drawn anew after the login, not the one from before.
    await page.waitForSelector('#node-list:not([data-before]) table');
    findings.afterReconnect = await page.$$eval('#node-list a.node-name', els => els.length);
    findings.restrictedRefused = await textOf(restricted, '#login-form .error', 30000);

    Object.assign(findings, { dialogs, pageErrors });
  } catch (e) {
    if (page) await page.screenshot({ path: path.join(config.artifacts, 'failure.png'), fullPage: true }).catch(() => {});
    e.message += ` (page errors: ${JSON.stringify(pageErrors)})`;
    throw e;
  } finally {
    await browser.close();
  }
  console.log('result ' + JSON.stringify(findings));
}

main().then(() => process.exit(0), e => {
  console.error(`console check failed: ${e.message}`);
  process.exit(1);
});
