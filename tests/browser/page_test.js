// The center's page in Debian's chromium, against a real zq_rcenter on
// 127.0.0.1 fed by the built datareport. What each file should show is
// taken from zq_ident, which computes it apart from the server and the page.
// Run by run.sh (ZQ_BIN_DIR: the programs; ZQ_BROWSER_DIR: playwright-core's
// node_modules and where the screenshots go). Every wait is bounded.
'use strict';

const test = require('node:test');
const assert = require('node:assert');
const childProcess = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const binDir = process.env.ZQ_BIN_DIR;
const browserDir = process.env.ZQ_BROWSER_DIR;
if (!binDir || !browserDir) throw new Error('run through tests/browser/run.sh (ZQ_BIN_DIR and ZQ_BROWSER_DIR unset)');
const { chromium } = require(require.resolve('playwright-core', { paths: [browserDir] }));

const START_MS = 30000;
const WAIT_MS = 15000;
const XSS_NAME = '<img src=x onerror=alert(1)>.bin';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zq_page.'));
const files = path.join(work, 'files');
let server = null;
let httpBase = '';
let context = null;
let page = null;
const pageErrors = [];
let centerErr = '';
const dialogs = [];

function writeFile(name, size) {
  fs.writeFileSync(path.join(files, name), crypto.randomBytes(size));
}

function ident(name) {
  const out = childProcess.execFileSync(path.join(binDir, 'zq_ident'), ['--json', path.join(files, name)],
    { timeout: WAIT_MS, encoding: 'utf8' });
  return JSON.parse(out);
}

function report(name, url) {
  const run = childProcess.spawnSync(path.join(binDir, 'datareport'), [name, url],
    { cwd: path.join(work, 'report'), timeout: WAIT_MS, encoding: 'utf8' });
  assert.strictEqual(run.status, 0, 'datareport ' + name + ': ' + run.stdout + run.stderr);
  assert.match(run.stdout, /dwresult=0, dwerrno=0/, 'the center accepts ' + name);
}

// The center's two ports, read from the lines it prints once listening.
function startCenter() {
  const dir = path.join(work, 'center');
  fs.mkdirSync(dir);
  fs.writeFileSync(path.join(dir, 'rcenter.conf'),
    'listen_ip: 127.0.0.1\nlisten_port: 0\nhttp_listen_port: 0\nshm_size: 4194304\nmax_fd_num: 64\n' +
    // The reported mirrors are made up: no check may look them up.
    'check_interval_s: 0\n');
  server = childProcess.spawn(path.join(binDir, 'zq_rcenter'), ['rcenter.conf'],
    { cwd: dir, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  server.stderr.on('data', (b) => { err += b; centerErr += b; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('zq_rcenter did not start: ' + err)), START_MS);
    server.on('exit', (code) => { clearTimeout(timer); reject(new Error('zq_rcenter exited ' + code + ': ' + err)); });
    server.stdout.on('data', (b) => {
      out += b;
      const report = /^listening on 127\.0\.0\.1:(\d+)$/m.exec(out);
      const http = /^http on 127\.0\.0\.1:(\d+)$/m.exec(out);
      if (report && http) {
        clearTimeout(timer);
        resolve({ reportPort: Number(report[1]), httpPort: Number(http[1]) });
      }
    });
  });
}

// Resolves with the exit status (a signal's name when it was killed).
function stopCenter() {
  if (!server || server.exitCode !== null) return Promise.resolve(server ? server.exitCode : null);
  return new Promise((resolve) => {
    const kill = setTimeout(() => server.kill('SIGKILL'), 10000);
    server.once('exit', (code, signal) => { clearTimeout(kill); resolve(code === null ? signal : code); });
    server.kill('SIGTERM');
  });
}

// As someone at the keyboard would: "/" to reach the box from anywhere.
async function search(text) {
  await page.evaluate(() => document.activeElement && document.activeElement.blur());
  await page.keyboard.press('/');
  await page.keyboard.type(text);
  await page.keyboard.press('Enter');
}

test.before(async () => {
  fs.mkdirSync(files);
  fs.mkdirSync(path.join(work, 'report'));
  const ports = await startCenter();
  httpBase = 'http://127.0.0.1:' + ports.httpPort;
  fs.writeFileSync(path.join(work, 'report', 'main.conf'),
    'rc_ip: 127.0.0.1\nrc_port: ' + ports.reportPort + '\nfile_path: ' + files + '\ntask_timeout_ms: 10000\n');
  writeFile('Holiday-Video-2024.mkv', 300000);
  report('Holiday-Video-2024.mkv', 'http://mirror-one.example/videos/Holiday-Video-2024.mkv');
  report('Holiday-Video-2024.mkv', 'https://mirror-two.example/h.mkv?from=page');
  writeFile(XSS_NAME, 70000);
  report(XSS_NAME, 'javascript:alert(2)');

  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1100, height: 900 },
  });
  page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(WAIT_MS);
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss().catch(() => {}); });
});

test.after(async () => {
  if (context) await context.close().catch(() => {});
  await stopCenter();
  fs.rmSync(work, { recursive: true, force: true });
});

test('the page comes with a policy that runs only its own script and style', async () => {
  const answer = await page.goto(httpBase + '/');
  const policy = answer.headers()['content-security-policy'] || '';
  assert.match(policy, /default-src 'none'/);
  assert.match(policy, /script-src 'self'(;|$)/);
  assert.match(policy, /style-src 'self'(;|$)/);
  await page.locator('#stats dd[data-key="resources"]').waitFor();
});

test('a file is found by part of its name, in any case, and opened from the keyboard', async () => {
  const want = ident('Holiday-Video-2024.mkv');
  await search('dAY-vid');
  await page.waitForURL(/#\/search\/dAY-vid$/);
  const link = page.locator('table.list a.name', { hasText: 'Holiday-Video-2024.mkv' });
  await link.waitFor();
  assert.strictEqual(await page.locator('table.list tbody tr').count(), 1);
  for (let i = 0; i < 10 && !(await link.evaluate((a) => a === document.activeElement)); i++) {
    await page.keyboard.press('Tab');
  }
  await page.keyboard.press('Enter');
  await page.waitForURL('**/#/resource/' + want.fid);
});

test('a file is found by its SHA-1 and its view shows its mirrors and piece count', async () => {
  const want = ident('Holiday-Video-2024.mkv');
  await search(want.sha1.toUpperCase());
  await page.waitForURL('**/#/resource/' + want.fid);
  await page.locator('canvas.strip').waitFor();
  const view = page.locator('#view');
  assert.strictEqual(await view.locator('h2.name').textContent(), 'Holiday-Video-2024.mkv');
  assert.strictEqual(await view.locator('.pieces').textContent(), String(want.pieces));
  assert.match(await view.locator('p.piece').textContent(), new RegExp('^Piece 1 of ' + want.pieces + ':'));
  const mirrors = await view.locator('ol.mirrors a').evaluateAll((links) => links.map((a) => a.href));
  assert.deepStrictEqual(mirrors, ['http://mirror-one.example/videos/Holiday-Video-2024.mkv',
    'https://mirror-two.example/h.mkv?from=page']);
  // Each mirror says what the checks found (none here: the center checks nothing in this test).
  assert.deepStrictEqual(await view.locator('ol.mirrors .health').allTextContents(), ['not checked yet', 'not checked yet']);
  assert.strictEqual(await view.locator('a.get').getAttribute('href'), '/v1/resources/' + want.fid + '/download');
  assert.strictEqual(await view.locator('a.metalink').getAttribute('href'), '/v1/resources/' + want.fid + '/metalink');
  const table = await page.evaluate(async (href) => {
    const reply = await fetch(href);
    return Array.from(new Uint8Array(await reply.arrayBuffer()));
  }, await view.locator('a.download').getAttribute('href'));
  assert.strictEqual(table.length, want.tpt_bytes);
  await page.screenshot({ path: path.join(browserDir, 'resource-view.png'), fullPage: true });

  await page.setViewportSize({ width: 375, height: 800 });
  await page.locator('canvas.strip').focus();
  await page.keyboard.press('End');
  assert.match(await view.locator('p.piece').textContent(), new RegExp('^Piece ' + want.pieces + ' of '));
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, 'at a phone width the page is ' + overflow + ' px wider than the screen');
  await page.screenshot({ path: path.join(browserDir, 'resource-view-phone.png'), fullPage: true });
  await page.setViewportSize({ width: 1100, height: 900 });
});

test('a file name that is markup shows as text and runs nothing, nor does its URL', async () => {
  const want = ident(XSS_NAME);
  await search('onerror=alert');
  const link = page.locator('table.list a.name');
  await link.waitFor();
  assert.strictEqual(await link.textContent(), XSS_NAME);
  await link.click();
  await page.waitForURL('**/#/resource/' + want.fid);
  await page.locator('canvas.strip').waitFor();
  assert.strictEqual(await page.locator('#view h2.name').textContent(), XSS_NAME);
  assert.strictEqual(await page.locator('ol.mirrors .url').textContent(), 'javascript:alert(2)');
  assert.strictEqual(await page.locator('ol.mirrors a').count(), 0, 'a javascript: URL is no link');
  assert.strictEqual(await page.locator('img').count(), 0);
  await page.waitForTimeout(500);
  assert.deepStrictEqual(dialogs, []);
  assert.deepStrictEqual(pageErrors, []);
});

test('the recent list shows a report made after the page was opened, once it refreshes', async () => {
  await page.goto(httpBase + '/#/');
  await page.locator('table.list tbody tr').first().waitFor();
  const before = Number(await page.locator('#stats dd[data-key="resources"]').textContent());
  assert.strictEqual(await page.locator('table.list a.name', { hasText: 'Fresh-After-Open.iso' }).count(), 0);
  writeFile('Fresh-After-Open.iso', 5000);
  report('Fresh-After-Open.iso', 'http://mirror-one.example/Fresh-After-Open.iso');
  await page.waitForFunction(() => {
    const first = document.querySelector('table.list tbody tr a.name');
    return first !== null && first.textContent === 'Fresh-After-Open.iso';
  }, null, { timeout: WAIT_MS });
  // The counts are the store's as the center last read them (within a second of a write), so
  // the page opened may not yet count the report of the test before: what matters is that it
  // comes to count this one without a reload.
  await page.waitForFunction((n) => Number(document.querySelector('#stats dd[data-key="resources"]').textContent) >= n,
    before + 1, { timeout: WAIT_MS });
  assert.deepStrictEqual(pageErrors, []);
});

test('a resource with more mirrors than one answer holds shows them all through "More mirrors"', async () => {
  writeFile('Many-Mirrors.dat', 5000);
  const urls = [];
  for (let i = 0; i < 101; i++) urls.push('http://m' + i + '.example/Many-Mirrors.dat');
  for (const url of urls) report('Many-Mirrors.dat', url);
  await page.goto(httpBase + '/#/resource/' + ident('Many-Mirrors.dat').fid);
  const more = page.locator('button.more', { hasText: 'More mirrors' });
  await more.waitFor();
  assert.ok(await page.locator('ol.mirrors li').count() < urls.length);
  await more.click();
  await page.waitForFunction((n) => document.querySelectorAll('ol.mirrors li').length === n, urls.length);
  assert.deepStrictEqual(await page.locator('ol.mirrors a').evaluateAll((links) => links.map((a) => a.href)), urls);
  assert.ok(await more.isHidden());
  assert.deepStrictEqual(pageErrors, []);
});

test('the center served it all and stops cleanly on SIGTERM', async () => {
  await context.close();
  context = null;
  assert.strictEqual(await stopCenter(), 0, 'zq_rcenter: ' + centerErr);
  assert.doesNotMatch(centerErr, /runtime error|AddressSanitizer|LeakSanitizer/);
});
