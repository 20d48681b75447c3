// The dashboard in real headless Chromium against the real gateway and the
// simulated house: every household flow, automations, a second window that
// follows changes, an accessibility check (target-size included), and
// screenshots (desktop, phone, dark, a panel, automations) as artifacts.
// Needs Debian chromium (or CHROMIUM=path) and the npm packages
// playwright-core and axe-core; run with `node --test tests/browser/`.
// ORVEL_BUILD (default ./build) holds orvel, orvel-sim and libvmodem.so;
// ORVEL_ARTIFACTS (default ORVEL_BUILD) gets the screenshots.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { spawn, execFile } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const root = path.resolve(__dirname, '..', '..');
const build = path.resolve(process.env.ORVEL_BUILD || path.join(root, 'build'));
const artifacts = path.resolve(process.env.ORVEL_ARTIFACTS || build);
const AXE = require.resolve('axe-core/axe.min.js');
const FIRST_LOAD_MAX = 150 * 1024;

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    s.on('error', reject);
  });
}

// One HTTP exchange, read to its end. Raw HTTP because Node's fetch drops an
// empty query ("/&usb?" would go out as "/&usb").
function exchange(to, text) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(to, () => sock.write(text));
    let data = '';
    sock.on('data', (d) => { data += d; });
    sock.on('end', () => resolve(data));
    sock.on('error', reject);
  });
}
const httpGet = (port, target, headers = '') => exchange({ port, host: '127.0.0.1' }, 'GET ' + target + ' HTTP/1.1\r\n' + headers + '\r\n')
  .then((d) => d.slice(d.indexOf('\r\n\r\n') + 4));

async function waitFor(what, check, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    try { if (await check()) return; } catch (e) { /* not yet */ }
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// The simulated house and a gateway on it, in a fresh directory; `files` are
// written there first. stop() and start() stop the gateway and start it again
// on the same files.
async function startHouse(t, { settings = '', files = {} } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-browser-'));
  const port = await freePort();
  const modem = path.join(dir, 'modem.sock');
  const ctl = path.join(dir, 'sim.ctl');
  fs.copyFileSync(path.join(build, 'orvel'), path.join(dir, 'orvel'));
  fs.chmodSync(path.join(dir, 'orvel'), 0o755);
  fs.cpSync(path.join(root, 'www'), path.join(dir, 'www'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'setup.ini'), 'PORT=' + port + '\n' + settings);
  for (const [name, text] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
    fs.writeFileSync(path.join(dir, name), text);
  }
  const children = [];
  const started = (cmd, args, env) => {
    const out = fs.openSync(path.join(dir, path.basename(cmd) + '.log'), 'a');
    const child = spawn(cmd, args, { cwd: dir, env: { ...process.env, ...env }, stdio: ['ignore', out, out] });
    children.push(child);
    return child;
  };
  t.after(() => {
    for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
    if (!process.env.ORVEL_KEEP_BROWSER) fs.rmSync(dir, { recursive: true, force: true });
  });
  started(path.join(build, 'orvel-sim'), ['--socket', modem, '--control', ctl, '--house', path.join(root, 'sim', 'house.txt'),
    '--write-devices', path.join(dir, 'devices'), '--quiet']);
  await waitFor('the simulator', () => fs.existsSync(modem) && fs.existsSync(ctl) && fs.existsSync(path.join(dir, 'devices')));
  let gateway;
  const stopGateway = async () => {
    const gone = new Promise((r) => gateway.once('exit', r));
    gateway.kill('SIGTERM');
    await gone;
  };
  const startGateway = async () => {
    gateway = started(path.join(dir, 'orvel'), [], { ORVEL_VMODEM: modem, LD_PRELOAD: path.join(build, 'libvmodem.so'),
      ASAN_OPTIONS: 'verify_asan_link_order=0:detect_leaks=0' });
    const token = /TOKEN=(\S+)/.exec(settings);
    const auth = token ? 'Authorization: Bearer ' + token[1] + '\r\n' : '';
    await waitFor('the gateway with its modem', async () => (await httpGet(port, '/&usb?', auth)) === 'USB:OK\n');
  };
  await startGateway();
  return {
    dir, port, base: 'http://127.0.0.1:' + port,
    // The simulator's own control client; an "error:" answer fails the step.
    sim: (line) => new Promise((resolve, reject) => execFile(path.join(build, 'orvel-sim'), ['ctl', '--control', ctl, ...line.split(' ')],
      (err, out) => (err ? reject(new Error(line + ': ' + (out || err.message))) : resolve(out)))),
    stop: stopGateway,
    start: startGateway,
  };
}

let browser;
test.before(async () => {
  browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
});
test.after(async () => { if (browser) await browser.close(); });

async function openPage(house, { width = 1280, height = 860, dark = false, onResponse } = {}) {
  const context = await browser.newContext({ viewport: { width, height }, colorScheme: dark ? 'dark' : 'light' });
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(String(e)));
  page.on('dialog', (d) => d.accept());
  if (onResponse) page.on('response', onResponse);
  await page.goto(house.base + '/');
  await page.locator('.tile').first().waitFor();
  return page;
}

const tile = (page, id) => page.locator('.tile[data-id="@' + id + '"]');
const stateOf = (page, id) => tile(page, id).locator('.state');

async function axeSerious(page) {
  if (!(await page.evaluate(() => !!window.axe))) await page.addScriptTag({ path: AXE });
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'], rules: { 'target-size': { enabled: true } } }));
  return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => v.id + ': ' + v.nodes.map((n) => n.target.join(' ')).join(', '));
}

// `hours` of one-minute readings ending two minutes ago, as an earlier run saved them.
function readings(hours) {
  const end = Math.floor(Date.now() / 60000) * 60 - 120;
  let text = '';
  for (let t = end - hours * 3600; t <= end; t += 60) text += t + ' ' + (20 + 2 * Math.sin(t / 7200)).toFixed(1) + '\n';
  return text;
}

test('the household dashboard', { timeout: 150000 }, async (t) => {
  const house = await startHouse(t, { files: { 'home/history-8c9da0': readings(24), 'home/history-8c9db0': readings(2) } });
  const staticBytes = [];
  const page = await openPage(house, { onResponse: (r) => {
    if (!/\/[&@_]/.test(new URL(r.url()).pathname)) staticBytes.push(r.body().then((b) => b.length, () => 0));
  } });
  await page.locator('#st-modem.ok').waitFor();

  await t.test('first load stays small', async () => {
    await page.waitForLoadState('load');
    const total = (await Promise.all(staticBytes)).reduce((a, b) => a + b, 0);
    assert.ok(total > 10000 && total <= FIRST_LOAD_MAX, 'first load is ' + total + ' bytes');
  });

  await t.test('relay and dimmer tiles follow the devices', async () => {
    assert.ok(await page.locator('.tile').count() >= 10, 'every listed device has a tile');
    const rows = [
      // device, how to switch it, the tile's state afterwards, lit
      ['2c3d10', (tl) => tl.locator('.tile-main').click(), /^On$/, true],
      ['2c3d10', (tl) => tl.locator('.tile-main').click(), /^Off$/, false],
      ['1a2b40', (tl) => tl.locator('.tile-level').fill('40'), /^40\s%$/, true],
      ['1a2b40', (tl) => tl.locator('.tile-main').click(), /^Off$/, false],
      ['1a2b40', (tl) => tl.locator('.tile-main').click(), /^40\s%$/, true],  // On brings the last level back
      ['1a2b40', (tl) => drag(tl, 0.1, 0.8), /^[7-9]\d\s%$/, true],          // sideways across the tile dims
      ['1a2b40', (tl) => drag(tl, 0.8, 0), /^Off$/, false],
    ];
    const drag = async (tl, from, to) => {
      const b = await tl.boundingBox();
      await page.mouse.move(b.x + b.width * from, b.y + b.height / 2);
      await page.mouse.down();
      await page.mouse.move(b.x + b.width * to, b.y + b.height / 2 + 4, { steps: 8 });
      await page.mouse.up();
    };
    for (const [id, act, want, lit] of rows) {
      await act(tile(page, id));
      await page.locator('.tile[data-id="@' + id + '"]' + (lit ? '.on' : ':not(.on)')).waitFor();
      await waitFor(id + ' ' + want, async () => want.test(await stateOf(page, id).innerText()));
      assert.strictEqual(await tile(page, id).locator('.tile-main').getAttribute('aria-pressed'), String(lit));
    }
  });

  await t.test('a button press shows live and after a reload', async () => {
    await house.sim('press 7a8b90 2');
    await waitFor('the press on the tile', async () => /^Button 2 · just now$/.test(await stateOf(page, '7a8b90').innerText()));
    await page.reload();
    await waitFor('the press after a reload', async () => /^Button 2 · just now$/.test(await stateOf(page, '7a8b90').innerText()));
  });

  await t.test('a device that does not answer is marked by its name until heard', async () => {
    const rows = [
      // radio id, channel commanded, its name, how, where the message shows
      ['9dae10', '9dae10', 'Broken socket', () => page.locator('#detail').getByRole('button', { name: 'Check status' }).click(), '#detail'],
      ['6e7f80', '6e7f82', 'Garage 2', () => tile(page, '6e7f82').locator('.tile-main').click(), '#toasts'],
    ];
    for (const [radio, id, name, act, where] of rows) {
      await house.sim('deaf ' + radio + ' on');
      if (where === '#detail') await tile(page, id).getByRole('button', { name: name + ': details' }).click();
      await act();
      await tile(page, id).locator('.note', { hasText: 'No reply' }).waitFor();
      await page.locator(where + ' .toast', { hasText: name + ' did not answer' }).waitFor();
      await page.keyboard.press('Escape');
      await house.sim('DEAF ' + radio + ' OFF');
      await house.sim('status ' + radio);
      await page.locator('.tile.lost').waitFor({ state: 'detached' });
    }
  });

  await t.test('first run: sort into rooms, rename and reorder them, kept on the gateway', async () => {
    await page.getByRole('button', { name: 'Sort into rooms' }).click();
    const dlg = page.locator('#detail');
    assert.strictEqual(await dlg.getByRole('combobox', { name: 'Garage 3' }).inputValue(), String(5));  // guessed from the name
    await dlg.getByRole('textbox', { name: 'Name of room 5' }).fill('Entrance');  // was Hall
    await dlg.getByRole('button', { name: 'Move Kitchen up' }).click();
    await dlg.getByRole('button', { name: 'Move Kitchen up' }).click();
    await dlg.getByRole('button', { name: 'Save rooms' }).click();
    const want = ['Kitchen', 'Living room', 'Bedroom', 'Garden', 'Entrance', 'Garage', 'Outside', 'Other devices'];
    await waitFor('the rooms', async () => (await page.locator('section.room h2').allInnerTexts()).join() === want.join());
    const other = await openPage(house);  // a second browser: no shared storage
    const entrance = other.locator('section.room', { has: other.getByRole('heading', { name: 'Entrance', exact: true }) });
    await entrance.locator('.tile[data-id="@5c6d71"]').waitFor();
    assert.strictEqual(await entrance.locator('.tile').count(), 3);
    assert.deepStrictEqual(await other.locator('section.room h2').allInnerTexts(), want);
    await other.context().close();
  });

  await t.test('the device panel: buttons show the state, a name that cannot be stored is refused, delete asks', async () => {
    const dlg = page.locator('#detail');
    await tile(page, '9dae10').locator('.tile-more').click();
    const pressed = (name) => dlg.getByRole('button', { name, exact: true }).getAttribute('aria-pressed');
    assert.deepStrictEqual([await pressed('On'), await pressed('Off')], ['false', 'true']);
    const name = dlg.locator('input[name=name]');
    await name.fill('Socket behind the big bookshelf');  // 31 characters, 31 bytes: fits
    assert.strictEqual(await dlg.locator('.field-error').count(), 0);
    await name.fill('Socket behind the big bookshélf');  // 31 characters, 32 bytes
    await dlg.getByRole('button', { name: 'Save name and type' }).click();
    await dlg.locator('.field-error', { hasText: 'Too long' }).waitFor();
    assert.match(fs.readFileSync(path.join(house.dir, 'devices'), 'utf8'), /^@9dae10\/rel\/Broken socket$/m);
    await dlg.locator('input[name=room]').fill('Cellar');
    await dlg.getByRole('button', { name: 'Save room' }).click();
    await dlg.locator('.toast', { hasText: 'Moved to Cellar' }).waitFor();
    await dlg.getByRole('button', { name: 'Delete device…' }).click();
    await dlg.getByRole('button', { name: 'Delete Broken socket' }).click();
    await tile(page, '9dae10').waitFor({ state: 'detached' });
    for (const file of ['devices', 'home/rooms']) assert.doesNotMatch(fs.readFileSync(path.join(house.dir, file), 'utf8'), /9dae10/);
  });

  await t.test('a chart shows the span that has data, and the reading under the pointer', async () => {
    await tile(page, '8c9db0').locator('.tile-main').click();
    const chart = page.locator('#detail svg.chart');
    assert.match(await chart.getAttribute('aria-label'), /over the last 2 hours/);
    assert.match(await chart.locator('path.line').getAttribute('d'), /^M44\.0 /);  // the first reading at the left edge
    const b = await chart.boundingBox();
    await page.mouse.move(b.x + b.width / 2, b.y + b.height / 2);
    assert.match(await page.locator('#detail .readout').innerText(), /^\d\d:\d\d.* · \d+\.\d\s°C$/);
    await page.keyboard.press('Escape');
  });

  await t.test('trouble shows at once (no radio, a lost gateway); temperature and its chart survive a restart', async () => {
    const chartAfter = async () => {
      await page.locator('#st-live.ok').waitFor();
      await waitFor('the reading', async () => {
        await house.sim('temp 8c9da0 21.5');  // again until the page hears one
        return /^21\.5\s°C$/.test(await stateOf(page, '8c9da0').innerText({ timeout: 1500 }))
          || (await new Promise((r) => setTimeout(r, 1000)));
      });
      await tile(page, '8c9da0').locator('.tile-main').click();
      const line = page.locator('#detail svg.chart path.line');
      await line.waitFor();
      const d = await line.getAttribute('d');
      assert.ok(d.split('L').length > 1000, 'a day of readings is drawn');
      assert.match(await page.locator('#detail svg.chart').getAttribute('aria-label'), /lowest 18\.\d\s°C, highest 2[12]\.\d\s°C, now 21\.5\s°C/);
      await page.keyboard.press('Escape');
    };
    await chartAfter();
    await house.sim('unplug');
    await page.locator('#banner-radio').waitFor();
    await tile(page, '2c3d10').locator('.tile-main').click({ force: true });  // aria-disabled, yet it says why
    await page.locator('#toasts .toast', { hasText: 'The radio modem is not connected' }).waitFor();
    await house.sim('plug');
    await page.locator('#banner-radio').waitFor({ state: 'hidden' });
    await house.stop();
    await page.locator('#banner-lost').waitFor({ timeout: 2000 });
    assert.strictEqual(await page.locator('#st-modem.ok').count(), 0, 'the radio is not shown as fine');
    await house.start();
    await page.locator('#banner-lost').waitFor({ state: 'hidden' });
    await page.reload();
    await chartAfter();
    const history = JSON.parse(await httpGet(house.port, '/&history/@8c9da0'));
    assert.ok(history.length >= 24 * 60 && history[0][0] <= Date.now() / 1000 - 23.9 * 3600);
  });

  await t.test('schedule: a new entry never replaces one, an edit changes only its own', async () => {
    await page.getByRole('button', { name: 'Schedule' }).click();
    const form = page.locator('#cron-form');
    const addEntry = async (time, device, action, level) => {
      await form.locator('input[name=time]').fill(time);
      await form.locator('select.dev').first().selectOption(device);
      await form.locator('select.act').first().selectOption(action);
      if (level) await form.locator('input.lvl').first().fill(level);
      await form.getByRole('button', { name: 'Add entry' }).click();
      await page.locator('#crons .entry', { hasText: time }).waitFor();
    };
    await addEntry('06:45', '@2c3d10', 'on');
    assert.match(await page.locator('#cron-form-title').innerText(), /^New entry$/);
    await addEntry('22:00', '@1a2b30', 'level', '30');
    assert.match(await page.locator('#crons .entry', { hasText: '22:00' }).innerText(), /Living room → 30\s%/);

    await page.getByRole('button', { name: 'Edit entry 1' }).click();
    assert.match(await page.locator('#cron-form-title').innerText(), /^Edit entry 1$/);
    await form.locator('input[name=time]').fill('07:15');
    await form.locator('select.act').first().selectOption('toggle');
    await form.getByRole('button', { name: 'Save changes' }).click();
    await page.locator('#crons .entry', { hasText: '07:15' }).waitFor();
    assert.match(await page.locator('#cron-form-title').innerText(), /^New entry$/);
    const cron = fs.readFileSync(path.join(house.dir, 'cron'), 'utf8').trim().split('\n');
    assert.deepStrictEqual(cron, ['001/sMTWTFs/07:15/@2c3d10!', '002/sMTWTFs/22:00/@1a2b30=30']);
    assert.strictEqual(await page.locator('#crons .entry').count(), 2);
  });

  // Changes made elsewhere (here over HTTP) reach an open window within a
  // second through the event stream's "config" events.
  await t.test('a second window follows renames, rooms, new devices and the schedule', async (st) => {
    const other = await openPage(house);
    const config = other.evaluate(() => new Promise((r) => {
      new EventSource('/&events').addEventListener('config', () => r(true));
      setTimeout(() => r(false), 2000);
    }));
    await other.getByRole('button', { name: 'Schedule' }).click();
    await other.locator('#crons .entry').nth(1).waitFor();
    const rows = [
      ['/&device/@2c3d20/rel/Pond%20pump', () => other.locator('#tab-home .tile .name', { hasText: 'Pond pump' })],
      ['/&room/@2c3d20/Pond', () => other.locator('section.room', { hasText: 'Pond' }).locator('.tile[data-id="@2c3d20"]')],
      ['/&device/@5a5a50/rel/Porch%20light', () => tile(other, '5a5a50')],
      ['/&cron/003/sMTWTFs/23:30/@2c3d10=0', () => other.locator('#crons .entry', { hasText: '23:30' })],
    ];
    for (const [change, shows] of rows) {
      await httpGet(house.port, change);
      if (change === rows[0][0] && !(await config)) st.todo('the gateway sends no "config" event yet');
      await shows().waitFor({ state: 'attached', timeout: 1000 });
    }
    await other.context().close();
  });

  // The editor only ever shows fields: the gateway's refusal lands next to the
  // field it concerns, and a second window follows the saved rule.
  await t.test('automations: create, a refusal by its field, run by a press, edit, run now, the trace', async () => {
    const other = await openPage(house);
    for (const p of [page, other]) await p.getByRole('button', { name: 'Automations' }).click();
    await page.getByRole('button', { name: '+ New automation' }).click();
    const form = page.locator('#tab-rules form');
    const step = form.locator('.items[data-list=then] > li').first();
    await form.getByLabel('Name').fill('Night light');
    await form.getByRole('combobox', { name: 'Button', exact: true }).selectOption({ label: 'Front door button' });
    await step.getByRole('combobox', { name: 'Device' }).selectOption({ label: 'Living room' });
    await step.getByRole('combobox', { name: 'What to do' }).selectOption('level');
    const save = async (amount) => {
      await step.getByRole('spinbutton', { name: 'Amount' }).fill(amount);
      await form.getByRole('button', { name: 'Save automation' }).click();
    };
    await save('130');
    await step.locator('.field-error', { hasText: 'A level is 0-100.' }).waitFor();
    assert.ok(!fs.existsSync(path.join(house.dir, 'rules')), 'nothing saved');
    await save('30');
    const entry = (p) => p.locator('#tab-rules .entry.rule', { hasText: 'Night light' });
    await entry(other).waitFor({ timeout: 1500 });
    assert.strictEqual(await entry(page).locator('.what').innerText(), 'When Front door button is pressed: switch Living room to 30\u00a0%.\nHas not run yet');
    await house.sim('press 7a8b90 1');
    const trace = page.locator('ol.trace > li').first();
    await trace.filter({ hasText: 'Front door button: button 1' }).filter({ hasText: 'Done: switch Living room to 30' }).waitFor();
    assert.match(await house.sim('show'), /@1a2b30 dim +v12 +30%/);

    await entry(page).getByRole('button', { name: 'Edit Night light' }).click();
    await form.getByRole('button', { name: '+ Condition' }).click();
    const cond = form.locator('.items[data-list=if] > li').first();
    await cond.getByRole('combobox', { name: 'Condition' }).selectOption('sun');
    await save('60');
    await cond.locator('.field-error', { hasText: 'need the gateway’s place' }).waitFor();
    await cond.getByRole('combobox', { name: 'Condition' }).selectOption('hub');
    await cond.getByRole('combobox', { name: 'Hub' }).selectOption('online');
    await save('60');
    await entry(page).filter({ hasText: 'if the hub is there: switch Living room to 60' }).waitFor();
    await house.sim('press 7a8b90 1');
    await trace.filter({ hasText: 'Did not run: a condition did not hold' }).filter({ hasText: 'Hub: offline (does not hold)' }).waitFor();
    await entry(page).getByRole('button', { name: 'Run now: Night light' }).click();
    await trace.filter({ hasText: 'run now' }).filter({ hasText: 'Done: switch Living room to 60' }).waitFor();
    await waitFor('the level', async () => /@1a2b30 dim +v12 +60%/.test(await house.sim('show')));
    const file = JSON.parse(fs.readFileSync(path.join(house.dir, 'rules'), 'utf8'));
    assert.deepStrictEqual(file.map((r) => [r.id, r.if, r.then]), [['night-light', [{ hub: 'online' }], [{ send: '@1a2b30=60' }]]]);
    fs.mkdirSync(artifacts, { recursive: true });
    await page.screenshot({ path: path.join(artifacts, 'dashboard-automations.png'), fullPage: true });
    await other.context().close();
  });

  await t.test('accessibility and screenshots', async () => {
    fs.mkdirSync(artifacts, { recursive: true });
    const found = [];
    await page.getByRole('button', { name: 'Edit Night light' }).click();
    found.push(...(await axeSerious(page)).map((v) => 'automations ' + v));
    await page.getByRole('button', { name: 'Schedule' }).click();
    found.push(...await axeSerious(page));
    await page.getByRole('button', { name: 'Devices' }).click();
    found.push(...await axeSerious(page));
    await page.screenshot({ path: path.join(artifacts, 'dashboard-desktop.png') });
    await tile(page, '8c9da0').locator('.tile-main').click();
    await page.locator('#detail svg.chart').waitFor();
    found.push(...await axeSerious(page));
    await page.screenshot({ path: path.join(artifacts, 'dashboard-panel.png') });
    for (const [name, opts] of [['phone', { width: 360, height: 780 }], ['dark', { width: 360, height: 780, dark: true }]]) {
      const p = await openPage(house, opts);
      await p.locator('#st-modem.ok').waitFor();
      found.push(...(await axeSerious(p)).map((v) => name + ' ' + v));
      assert.ok(await p.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth), name + ': no sideways scrolling');
      await p.screenshot({ path: path.join(artifacts, 'dashboard-' + name + '.png') });
      await tile(p, '1a2b30').locator('.tile-more').click();
      found.push(...(await axeSerious(p)).map((v) => name + ' panel ' + v));
      await p.keyboard.press('Escape');
      await p.getByRole('button', { name: 'Automations' }).click();
      await p.getByRole('button', { name: 'Edit Night light' }).click();
      found.push(...(await axeSerious(p)).map((v) => name + ' automations ' + v));
      assert.ok(await p.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth), name + ': the form fits');
      await p.screenshot({ path: path.join(artifacts, 'dashboard-automations-' + name + '.png'), fullPage: true });
      assert.deepStrictEqual(p.errors, []);
      await p.context().close();
    }
    assert.deepStrictEqual(found, []);
    assert.deepStrictEqual(page.errors, []);
  });
  await page.context().close();
});

test('sign-in with a token', { timeout: 60000 }, async (t) => {
  const house = await startHouse(t, { settings: 'TOKEN=kitchen-door-4242\n' });
  const context = await browser.newContext({ viewport: { width: 360, height: 780 } });
  const page = await context.newPage();
  await page.goto(house.base + '/');
  const token = page.getByLabel('Access token');
  await token.fill('wrong');
  await page.getByRole('button', { name: 'Sign in' }).click();
  await page.getByText('That token is not right.').waitFor();
  await token.fill('kitchen-door-4242');
  await page.getByRole('button', { name: 'Sign in' }).click();
  await tile(page, '2c3d10').waitFor();
  assert.ok(await page.locator('#login').isHidden());
  await page.reload();  // the session cookie keeps the browser signed in
  await tile(page, '2c3d10').waitFor();
  assert.ok(await page.locator('#login').isHidden());
  await page.getByRole('button', { name: 'Sign out' }).click();
  await token.waitFor();
  await context.close();
});
