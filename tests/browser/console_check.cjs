// Drives the operators' console in chromium the way an operator would, for
// tests/e2e/test_console.py (the JSON argument says what to expect). Asks for
// "stop-server"/"start-server" on stdout and goes on at a line on stdin;
// prints "result <findings JSON>" at the end, or exits 1 with the reason.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const puppeteer = require('puppeteer-core');

const config = JSON.parse(process.argv[2]);
const STEP_MS = 20000;
const lines = readline.createInterface({ input: process.stdin });
const nextLine = () => new Promise(resolve => lines.once('line', resolve));

async function launch() {
  const executablePath = process.env.CHROMIUM || '/usr/bin/chromium';
  if (!fs.existsSync(executablePath)) {
    throw new Error(`chromium not found at ${executablePath}: install Debian's chromium (scripts/setup does)`);
  }
  try {
    return await puppeteer.launch({
      executablePath,
      headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--window-size=1280,900'],
      defaultViewport: { width: 1280, height: 900 },
    });
  } catch (e) {
    throw new Error(`chromium at ${executablePath} did not start: ${e.message}`);
  }
}

async function shot(page, name) {
  await page.screenshot({ path: path.join(config.artifacts, `${name}.png`), fullPage: true });
}

async function login(page, user, password) {
  await page.waitForSelector('#login-form', { timeout: STEP_MS });
  await page.$eval('#login', el => { el.value = ''; });
  await page.$eval('#password', el => { el.value = ''; });
  await page.type('#login', user);
  await page.type('#password', password);
  await page.click('#login-button');
}

// Sets the period form of the page (once the view has drawn it) and submits it.
async function showPeriod(page, from, to) {
  await page.waitForSelector('form.period button[type="submit"]', { timeout: STEP_MS });
  await page.$eval('form.period input[name="from"]', (el, v) => { el.value = v; }, from);
  if (to) await page.$eval('form.period input[name="to"]', (el, v) => { el.value = v; }, to);
  await page.click('form.period button[type="submit"]');
}

const textOf = (page, selector) => page.$eval(selector, el => el.textContent);

async function main() {
  const browser = await launch();
  const findings = {};
  const pageErrors = [];
  let page = null;
  try {
    page = await browser.newPage();
    const dialogs = [];
    page.on('dialog', async dialog => { dialogs.push(dialog.message()); await dialog.dismiss(); });
    page.on('pageerror', e => pageErrors.push(e.message));
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: config.downloads });

    // A refused login stays on the form and says why.
    await page.goto(config.url, { waitUntil: 'load' });
    await login(page, 'admin', 'неверный');
    await page.waitForSelector('#login-form .error', { timeout: STEP_MS });
    findings.refusedLogin = await textOf(page, '#login-form .error');
    await shot(page, 'login');

    // Nodes, with a name that would be markup if it were inserted as HTML.
    await login(page, 'admin', 'tavro');
    await page.waitForSelector('#node-list table', { timeout: STEP_MS });
    findings.nodeNames = await page.$$eval('#node-list a.node-name', els => els.map(e => e.textContent));
    findings.imagesInList = await page.$$eval('#node-list img', els => els.length);
    findings.groups = await page.$$eval('#node-list section h3', els => els.map(e => e.textContent));
    await page.type('#node-search', config.searchFor);
    findings.searched = await page.$$eval('#node-list a.node-name', els => els.map(e => e.textContent));
    await page.$eval('#node-search', el => { el.value = ''; el.dispatchEvent(new Event('input')); });
    await shot(page, 'nodes');

    // A poll started from the tasks page, its state followed live.
    await page.goto(`${config.url}#/tasks`);
    const start = `button.start[data-task="${config.taskId}"]`;
    await page.waitForSelector(`${start}:not([disabled])`, { timeout: STEP_MS });
    const stateOf = () => page.$$eval('#task-list tbody tr', (rows, id) => {
      const row = rows.find(r => r.cells[0].textContent === String(id));
      return row ? { state: row.cells[2].textContent, last: row.cells[4].textContent } : null;
    }, config.taskId);
    findings.stateBefore = (await stateOf()).state;
    await page.click(start);
    const states = [];
    const deadline = Date.now() + 60000;
    let idleAgain = false;
    while (Date.now() < deadline) {
      const state = await stateOf();
      if (state && (!states.length || states[states.length - 1] !== state.state)) {
        states.push(state.state);
        if (states.length === 1) await shot(page, 'tasks');
      }
      if (state && states.length > 1 && state.state === 'Не выполняется' && state.last) {
        idleAgain = true;
        break;
      }
      await new Promise(r => setTimeout(r, 100));
    }
    findings.taskStates = states;
    assert.ok(idleAgain, `the poll did not end: ${JSON.stringify(states)}`);

    // The polled node now shows its last update, through the change events.
    await page.goto(`${config.url}#/nodes`);
    await page.waitForFunction(id => {
      const link = document.querySelector(`#node-list a[href="#/node/${id}"]`);
      return link && link.closest('tr').cells[3].textContent !== '';
    }, { timeout: STEP_MS }, config.polledNode);

    // A node's archive as a chart and a table.
    await page.goto(`${config.url}#/node/${config.chartNode}`);
    await page.waitForSelector('#archive-kind', { timeout: STEP_MS });
    findings.nodeTitle = await textOf(page, '#node-title');
    await page.select('#archive-kind', 'hour_data');
    await showPeriod(page, config.from, config.to);
    await page.waitForSelector('#archive-chart canvas', { timeout: STEP_MS });
    await page.waitForSelector('#archive-table table', { timeout: STEP_MS });
    findings.chart = await page.$eval('#archive-chart', el => {
      // Pixels of the first series' colour on the canvas: lines and points drawn.
      const canvas = el.querySelector('canvas');
      const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let drawn = 0;
      for (let i = 0; i < data.length; i += 4) {
        if (data[i] === 0x1f && data[i + 1] === 0x6f && data[i + 2] === 0xb2) drawn++;
      }
      return { points: Number(el.dataset.points), flagged: Number(el.dataset.flagged), gaps: Number(el.dataset.gaps),
        drawn };
    });
    findings.tableRows = await page.$$eval('#archive-table tbody tr', rows => rows.length);
    findings.flaggedRows = await page.$$eval('#archive-table tbody tr.flagged', rows => rows.length);
    findings.chartParams = await page.$$eval('#chart-params label', els => els.map(e => e.textContent));
    await page.click('#archive-table a.check-flag');
    await page.waitForSelector('#check-messages li', { timeout: STEP_MS });
    findings.checkMessages = await page.$$eval('#check-messages li', els => els.map(e => e.textContent));
    await shot(page, 'node');

    // The report, and its CSV downloaded.
    await page.goto(`${config.url}#/report/${config.chartNode}`);
    await page.waitForSelector('#report-csv', { timeout: STEP_MS });
    await showPeriod(page, config.reportFrom, config.reportTo);
    await page.waitForSelector('#report table', { timeout: STEP_MS });
    await page.waitForSelector('#report-csv:not([disabled])', { timeout: STEP_MS });
    findings.reportHeading = await page.$$eval('#report p.heading', els => els.map(e => e.textContent));
    await page.click('#report-csv');
    const deadlineCsv = Date.now() + STEP_MS;
    let csvFile = null;
    while (!csvFile && Date.now() < deadlineCsv) {
      csvFile = fs.readdirSync(config.downloads).find(name => name.endsWith('.csv'));
      if (!csvFile) await new Promise(r => setTimeout(r, 100));
    }
    assert.ok(csvFile, 'no CSV downloaded');
    findings.csvFile = path.join(config.downloads, csvFile);
    await shot(page, 'report');

    // The check log and the journal.
    await page.goto(`${config.url}#/checklog/${config.chartNode}`);
    await showPeriod(page, config.from, null);
    await page.waitForSelector('#checklog table', { timeout: STEP_MS });
    findings.checkLog = await page.$$eval('#checklog tbody tr', rows => rows.map(r => r.cells[3].textContent));
    await shot(page, 'checklog');
    await page.goto(`${config.url}#/journal`);
    await page.waitForSelector('#journal table', { timeout: STEP_MS });
    findings.journalRows = await page.$$eval('#journal tbody tr', rows => rows.length);
    await shot(page, 'journal');

    // A restricted user on a tablet: only the nodes of its groups, no start or cancel.
    const other = await browser.createBrowserContext();
    const restricted = await other.newPage();
    await restricted.setViewport({ width: 768, height: 1024 });   // a tablet held upright
    await restricted.goto(config.url, { waitUntil: 'load' });
    await login(restricted, config.restrictedUser, config.restrictedPassword);
    await restricted.waitForSelector('#node-list', { timeout: STEP_MS });
    await restricted.waitForFunction(() => document.querySelector('#node-list table, #node-list p'),
      { timeout: STEP_MS });
    findings.restrictedNodes = await restricted.$$eval('#node-list a.node-name', els => els.map(e => e.textContent));
    await restricted.goto(`${config.url}#/tasks`);
    await restricted.waitForSelector('#task-list table, #task-list p', { timeout: STEP_MS });
    findings.restrictedButtons = await restricted.$$eval('#task-list button', els => els.length);
    await shot(restricted, 'restricted');

    // A lost connection shows itself; once the server is back the console
    // logs in again by itself, unless the login is refused by then (the
    // restricted user's password changes meanwhile): that page is back at
    // the login form, saying why.
    await page.goto(`${config.url}#/nodes`);
    await page.waitForSelector('#node-list table', { timeout: STEP_MS });
    await page.$eval('#node-list', el => { el.dataset.before = '1'; });
    // Every text the status line shows while the server is away, across
    // the first retries (after 0.5 s and 1.5 s).
    await page.$eval('#connection', el => {
      window.shownTexts = [];
      new MutationObserver(records => records.forEach(r => r.addedNodes.forEach(
        n => window.shownTexts.push(n.textContent)))).observe(el, { childList: true });
    });
    console.log('stop-server');
    await nextLine();
    await page.waitForFunction(() => document.body.dataset.connection !== 'open', { timeout: STEP_MS });
    await new Promise(resolve => setTimeout(resolve, 2000));
    findings.lostTexts = [...new Set(await page.evaluate(() => window.shownTexts))];
    await shot(page, 'connection-lost');
    console.log('start-server');
    await nextLine();
    await page.waitForFunction(() => document.body.dataset.connection === 'open', { timeout: 30000 });
    // The view drawn anew after the login, not the one from before.
    await page.waitForSelector('#node-list:not([data-before]) table', { timeout: STEP_MS });
    findings.afterReconnect = await page.$$eval('#node-list a.node-name', els => els.length);
    await restricted.waitForSelector('#login-form .error', { timeout: 30000 });
    findings.restrictedRefused = await textOf(restricted, '#login-form .error');

    findings.dialogs = dialogs;
    findings.pageErrors = pageErrors;
  } catch (e) {
    // What the page showed when the step failed, and what it complained of.
    if (page) await shot(page, 'failure').catch(() => {});
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
