// The dashboard in real headless Chromium against the real gateway and the
// simulated house: see the devices, switch a relay and see its state change,
// add a schedule entry and see it listed. Leaves a screenshot as an artifact.
//
// Needs: Debian chromium (/usr/bin/chromium, or CHROMIUM=path) and the npm
// package playwright-core (no browser download). Run from the source tree:
//   node --test tests/browser/
// Environment: ORVEL_BUILD (default ./build) holds orvel, orvel-sim and
// libvmodem.so; ORVEL_ARTIFACTS (default ORVEL_BUILD) gets dashboard.png.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const root = path.resolve(__dirname, '..', '..');
const build = path.resolve(process.env.ORVEL_BUILD || path.join(root, 'build'));
const artifacts = path.resolve(process.env.ORVEL_ARTIFACTS || build);

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    s.on('error', reject);
  });
}

// One request on a raw socket: Node's fetch drops an empty query ("/&usb?"
// would go out as "/&usb"), which the gateway's word routes need.
function httpGet(port, target) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(port, '127.0.0.1', () => sock.write('GET ' + target + ' HTTP/1.1\r\n\r\n'));
    let data = '';
    sock.on('data', (d) => { data += d; });
    sock.on('end', () => resolve(data.slice(data.indexOf('\r\n\r\n') + 4)));
    sock.on('error', reject);
  });
}

async function waitFor(what, check, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    try { if (await check()) return; } catch (e) { /* not yet */ }
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

test('dashboard drives the simulated house', { timeout: 90000 }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-browser-'));
  const port = await freePort();
  const modem = path.join(dir, 'modem.sock');
  fs.copyFileSync(path.join(build, 'orvel'), path.join(dir, 'orvel'));
  fs.chmodSync(path.join(dir, 'orvel'), 0o755);
  fs.cpSync(path.join(root, 'www'), path.join(dir, 'www'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'setup.ini'), 'PORT=' + port + '\n');
  const children = [];
  const started = (cmd, args, env) => {
    const out = fs.openSync(path.join(dir, path.basename(cmd) + '.log'), 'w');
    const child = spawn(cmd, args, { cwd: dir, env: { ...process.env, ...env }, stdio: ['ignore', out, out] });
    children.push(child);
    return child;
  };
  let browser;
  t.after(async () => {
    if (browser) await browser.close();
    for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
    if (!process.env.ORVEL_KEEP_BROWSER) fs.rmSync(dir, { recursive: true, force: true });
  });

  started(path.join(build, 'orvel-sim'), ['--socket', modem, '--house', path.join(root, 'sim', 'house.txt'),
    '--write-devices', path.join(dir, 'devices'), '--quiet']);
  await waitFor('the simulator', () => fs.existsSync(modem) && fs.existsSync(path.join(dir, 'devices')));
  started(path.join(dir, 'orvel'), [], { ORVEL_VMODEM: modem, LD_PRELOAD: path.join(build, 'libvmodem.so'),
    ASAN_OPTIONS: 'verify_asan_link_order=0:detect_leaks=0' });
  const base = 'http://127.0.0.1:' + port;
  await waitFor('the gateway with its modem', async () => (await httpGet(port, '/&usb?')) === 'USB:OK\n');

  browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  const page = await browser.newPage({ viewport: { width: 412, height: 900 } });
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(base + '/');

  // The device list: one card per listed device, the house's names.
  const kitchen = page.locator('article.card', { hasText: 'Kitchen light' });
  await kitchen.waitFor();
  assert.ok(await page.locator('article.card').count() >= 10, 'every listed device has a card');
  await page.locator('#modem.ok').waitFor();

  // Switch the relay on, then off, and watch its state follow.
  await kitchen.getByRole('button', { name: 'On', exact: true }).click();
  await kitchen.locator('.val', { hasText: /^ON$/ }).waitFor();
  await kitchen.getByRole('button', { name: 'Off', exact: true }).click();
  await kitchen.locator('.val', { hasText: /^OFF$/ }).waitFor();

  // A deaf device answers nothing: the error is shown, not swallowed.
  const broken = page.locator('article.card', { hasText: 'Broken socket' });
  await broken.getByRole('button', { name: 'Status' }).click();
  await page.locator('.toast.error', { hasText: 'NO REPLY' }).waitFor();

  // A schedule entry: Kitchen light to 100 at 06:45 on weekdays.
  await page.getByRole('button', { name: 'Schedule' }).click();
  const form = page.locator('#cron-form');
  await form.locator('input[name=time]').fill('06:45');
  await form.locator('#cron-cmds select').first().selectOption('@2c3d10');
  await form.locator('#cron-cmds input').first().fill('100');
  await form.getByRole('button', { name: 'Save entry' }).click();
  const row = page.locator('#crons tbody tr', { hasText: '06:45' });
  await row.waitFor();
  assert.match(await row.innerText(), /Kitchen light \u2192 100/);
  assert.match(fs.readFileSync(path.join(dir, 'cron'), 'utf8'), /^001\/sMTWTFs\/06:45\/@2c3d10=100$/m);

  await page.getByRole('button', { name: 'Devices' }).click();
  fs.mkdirSync(artifacts, { recursive: true });
  await page.screenshot({ path: path.join(artifacts, 'dashboard.png'), fullPage: true });
  assert.deepStrictEqual(pageErrors, []);
});
