// orvel dashboard: one tile per device grouped by room, a detail panel per
// device, the weekly schedule, live events, the day logs and a sign-in screen.
// It talks only to the gateway's own routes on the same origin:
//   /&devices, /&home, /&history/<id>, /&room/<id>/<name>, /&device/...,
//   /@<id>=<level> ! ? +<s> /timeset /time?, /&cron? /&cron/..., /&log=,
//   /&events (live stream; falls back to the /&listen long-poll),
//   /&health (falls back to /&usb?), /&auth? /&login /&logout.
'use strict';

const DAY_LETTERS = 'smtwtfs';
const DAY_NAMES = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
const TYPE_NAMES = { rel: 'Switch', rtc: 'Clock switch', dim: 'Dimmer', led: 'LED strip', tmp: 'Temperature', btn: 'Button' };
const EVENTS_MAX = 200;
const DAY_S = 86400;

const state = {
  devices: [],              // /&devices
  home: { rooms: {}, presses: {}, unreachable: [], sensors: [] },  // /&home
  history: {},              // id -> [[t, v], ...]
  crons: [],                // /&cron?
  layout: '',               // what the tile grid was last built from
  started: false,
  live: null,               // 'stream' | 'poll'
};

const $ = (sel, root = document) => root.querySelector(sel);
const $$ = (sel, root = document) => [...root.querySelectorAll(sel)];
const field = (form, name) => form.elements.namedItem(name);
const now = () => Date.now() / 1000;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') node.className = v;
    else if (k.startsWith('on') && typeof v === 'function') node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== undefined && v !== null) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined && c !== false) node.append(c);
  return node;
}

const SVG_NS = 'http://www.w3.org/2000/svg';
function svg(tag, attrs = {}, ...children) {
  const node = document.createElementNS(SVG_NS, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  for (const c of children) node.append(c);
  return node;
}

// Line icons, 24x24, drawn with the current colour.
const ICONS = {
  dim: 'M9 18h6M10 21h4M12 3a6 6 0 0 0-3.5 10.9c.6.5 1 1.2 1 2.1h5c0-.9.4-1.6 1-2.1A6 6 0 0 0 12 3z',
  led: 'M3 9h18v6H3zM7 9v6M11 9v6M15 9v6M19 9v6',
  rel: 'M12 3v8M7.5 6.3a7 7 0 1 0 9 0',
  rtc: 'M12 7v5l3 2M12 3a9 9 0 1 0 0 18 9 9 0 0 0 0-18z',
  tmp: 'M10 4a2 2 0 0 1 4 0v10.3a4 4 0 1 1-4 0zM12 10v6',
  btn: 'M5 5h14v14H5zM12 9v6M9 12h6',
};
function icon(type) {
  return svg('svg', { viewBox: '0 0 24 24', class: 'ico', 'aria-hidden': 'true', focusable: 'false' },
    svg('path', { d: ICONS[type] || ICONS.btn }));
}

function toast(text, isError = false) {
  const t = el('div', { class: 'toast' + (isError ? ' error' : '') }, text);
  $('#toasts').append(t);
  setTimeout(() => t.remove(), isError ? 6000 : 3000);
}

// ---------------------------------------------------------------- requests

// The gateway writes some JSON without escaping; a stray control character
// (such as the line end in "ERROR: Sockets Full\n") is blanked before a second try.
function parseJson(text) {
  try { return JSON.parse(text); } catch (e) {
    return JSON.parse(text.replace(/[\u0000-\u001f]/g, ' '));
  }
}

async function getText(path, opts = {}) {
  const res = await fetch(path, { cache: 'no-store', credentials: 'same-origin', ...opts });
  const text = await res.text();
  if (res.status === 401) showLogin();
  if (!res.ok) { const err = new Error('HTTP ' + res.status); err.status = res.status; throw err; }
  return text;
}
async function getJson(path) { return parseJson(await getText(path)); }

// ---------------------------------------------------------------- devices

const deviceById = (id) => state.devices.find((d) => d.id === id);
const nameOf = (id) => { const d = deviceById(id); return d && d.name ? d.name : id; };
const kindOf = (d) => {
  const t = d.type || '';
  if (t === 'dim' || t === 'led') return 'level';
  if (t.startsWith('r')) return 'switch';
  if (t === 'tmp') return 'sensor';
  if (t === 'btn') return 'button';
  return 'other';
};

function levelOf(val) {
  const m = /^(-?\d+)%$/.exec(val || '');
  return m ? Math.max(0, Math.min(100, Number(m[1]))) : null;
}
function isOn(d) {
  if (d.val === 'ON') return true;
  const l = levelOf(d.val);
  return l !== null && l > 0;
}
function tempOf(val) {
  const m = /^(-?\d+(?:\.\d+)?)C$/.exec(val || '');
  return m ? Number(m[1]) : null;
}
const degrees = (v) => v.toFixed(1) + '\u00a0°C';

// The level "On" brings a dimmer back to: the last one it had that was not 0.
function lastLevel(id) { return Number(localStorage.getItem('orvel.level.' + id)) || 100; }
function rememberLevel(d) {
  const l = levelOf(d.val);
  if (l) localStorage.setItem('orvel.level.' + d.id, String(l));
}

const isLost = (id) => state.home.unreachable.includes(id);
function markHeard(id) {
  const mask = id.slice(0, 6);
  const before = state.home.unreachable.length;
  state.home.unreachable = state.home.unreachable.filter((x) => x.slice(0, 6) !== mask);
  if (state.home.unreachable.length !== before) for (const d of state.devices) if (d.id.startsWith(mask)) updateTile(d);
}

function ago(t) {
  if (!t) return '';
  const s = Math.max(0, Math.round(now() - Number(t)));
  if (s < 45) return 'just now';
  if (s < 3600) return Math.round(s / 60) + ' min ago';
  if (s < DAY_S) return Math.round(s / 3600) + ' h ago';
  return new Date(Number(t) * 1000).toLocaleDateString(undefined, { day: 'numeric', month: 'short' });
}

function stateText(d) {
  const kind = kindOf(d);
  if (kind === 'sensor') { const v = tempOf(d.val); return v === null ? (d.val === 'ERROR' ? 'Sensor error' : 'No reading yet') : degrees(v); }
  if (kind === 'button') {
    const p = state.home.presses[d.id];
    return p ? 'Button ' + p.button + ' · ' + ago(p.time) : 'No press yet';
  }
  if (!d.val) return 'Unknown';
  if (kind === 'level') { const l = levelOf(d.val); return l === null ? d.val : l === 0 ? 'Off' : l + '\u00a0%'; }
  if (d.val === 'ON') return 'On';
  if (d.val === 'OFF') return 'Off';
  return d.val;
}

// Sends one radio command; resolves to the device's event, or null after
// showing what went wrong.
async function radio(id, form, quiet = false) {
  let ev;
  try { ev = await getJson('/' + id + form); } catch (e) {
    if (e.status !== 401 && !quiet) toast('The gateway did not answer (' + e.message + ')', true);
    return null;
  }
  if (ev.cmd === 'ERROR') {
    if (ev.data === 'NO REPLY' && ev.id) {
      if (!isLost(ev.id)) state.home.unreachable.push(ev.id);
      for (const d of state.devices) if (d.id.startsWith(ev.id.slice(0, 6))) updateTile(d);
      if (!quiet) toast(nameOf(ev.id) + ' did not answer', true);
    } else if (!quiet) {
      toast((ev.id ? nameOf(ev.id) + ': ' : '') + (ev.data || 'error'), true);
    }
    return null;
  }
  if (ev.id) markHeard(ev.id);
  if (state.live !== 'stream') scheduleDevices(200);
  return ev;
}

async function switchTo(d, on) {
  const form = !on ? '=0' : kindOf(d) === 'level' ? '=' + lastLevel(d.id) : '=100';
  const tile = tileOf(d.id);
  if (tile) tile.classList.add('busy');
  await radio(d.id, form);
  if (tile) tile.classList.remove('busy');
}

let devicesTimer = null;
function scheduleDevices(ms = 250) {
  clearTimeout(devicesTimer);
  devicesTimer = setTimeout(loadDevices, ms);
}

async function loadDevices() {
  try { state.devices = await getJson('/&devices'); } catch (e) {
    if (e.status !== 401) toast('Device list: ' + e.message, true);
    return;
  }
  state.devices.forEach(rememberLevel);
  renderHome();
  refreshCommandSelects();
}

// After a gateway restart nothing is known of the switches and dimmers until
// they report: ask each unknown one for its status, two at a time.
async function askUnknown() {
  const queue = state.devices.filter((d) => !d.val && (kindOf(d) === 'switch' || kindOf(d) === 'level') && !isLost(d.id));
  const seen = new Set();
  const worker = async () => {
    for (let d; (d = queue.shift());) {
      const mask = d.id.slice(0, 6);  // one status answers for every channel
      if (seen.has(mask)) continue;
      seen.add(mask);
      await radio(d.id, '=?', true);
    }
  };
  await Promise.all([worker(), worker()]);
}

async function loadHome() {
  try {
    const h = await getJson('/&home');
    state.home = { rooms: h.rooms || {}, presses: h.presses || {}, unreachable: h.unreachable || [], sensors: h.sensors || [] };
  } catch (e) { return; } // an older gateway: no rooms, no history
  renderHome();
}

async function loadHistory(id) {
  try { state.history[id] = await getJson('/&history/' + id); } catch (e) { return; }
  const d = deviceById(id);
  if (d) updateTile(d);
  if (detailId === id) renderDetail();
}

// ---------------------------------------------------------------- tiles

const tileOf = (id) => $('#rooms .tile[data-id="' + id + '"]');

function roomsInUse() {
  const names = new Set(Object.values(state.home.rooms));
  return [...names].sort((a, b) => a.localeCompare(b));
}

function renderHome() {
  const box = $('#rooms');
  $('#home-empty').hidden = state.devices.length > 0;
  const layout = JSON.stringify(state.devices.map((d) => [d.id, d.name, d.type, state.home.rooms[d.id] || ''])) ;
  if (layout !== state.layout) {
    state.layout = layout;
    const rooms = roomsInUse();
    const groups = rooms.map((r) => [r, state.devices.filter((d) => state.home.rooms[d.id] === r)]);
    const loose = state.devices.filter((d) => !state.home.rooms[d.id]);
    if (loose.length) groups.push([rooms.length ? 'Other devices' : 'All devices', loose]);
    box.replaceChildren(...groups.filter(([, list]) => list.length).map(([room, list], i) => {
      const hid = 'room-h-' + i;
      return el('section', { class: 'room', 'aria-labelledby': hid },
        el('h2', { id: hid }, room),
        el('div', { class: 'tiles' }, ...list.map(buildTile)));
    }));
  }
  for (const d of state.devices) updateTile(d);
}

function buildTile(d) {
  const kind = kindOf(d);
  const name = d.name || d.id;
  const main = el('button', { type: 'button', class: 'tile-main' },
    icon(d.type), el('span', { class: 'name' }, name), el('span', { class: 'state' }));
  const more = el('button', { type: 'button', class: 'tile-more', 'aria-label': name + ': details' },
    svg('svg', { viewBox: '0 0 24 24', 'aria-hidden': 'true', focusable: 'false' },
      svg('circle', { cx: 6, cy: 12, r: 1.6 }), svg('circle', { cx: 12, cy: 12, r: 1.6 }), svg('circle', { cx: 18, cy: 12, r: 1.6 })));
  more.addEventListener('click', () => openDetail(d.id));
  const tile = el('article', { class: 'tile kind-' + kind + ' type-' + d.type, 'data-id': d.id }, main, more);
  if (kind === 'switch' || kind === 'level') {
    main.addEventListener('click', () => { const cur = deviceById(d.id); if (cur) switchTo(cur, !isOn(cur)); });
  } else {
    main.addEventListener('click', () => openDetail(d.id));
  }
  if (kind === 'level') {
    const range = el('input', { type: 'range', min: 0, max: 100, step: 1, class: 'tile-level', 'aria-label': name + ' level' });
    range.addEventListener('input', () => { tile.dataset.dragging = '1'; $('.state', tile).textContent = range.value + '\u00a0%'; });
    range.addEventListener('change', async () => {
      const v = Number(range.value);
      if (v > 0) localStorage.setItem('orvel.level.' + d.id, String(v));
      await radio(d.id, '=' + v);
      delete tile.dataset.dragging;
    });
    tile.append(range);
  }
  if (kind === 'sensor') tile.append(el('div', { class: 'spark', 'aria-hidden': 'true' }));
  return tile;
}

function updateTile(d) {
  const tile = tileOf(d.id);
  if (!tile) return;
  const kind = kindOf(d);
  const on = (kind === 'switch' || kind === 'level') && isOn(d);
  const lost = isLost(d.id);
  tile.classList.toggle('on', on);
  tile.classList.toggle('lost', lost);
  const main = $('.tile-main', tile);
  if (kind === 'switch' || kind === 'level') main.setAttribute('aria-pressed', on ? 'true' : 'false');
  if (!tile.dataset.dragging) $('.state', tile).textContent = stateText(d);
  tile.classList.toggle('unknown', kind === 'sensor' ? tempOf(d.val) === null : !d.val);
  let badge = $('.badge', tile);
  if (lost && !badge) main.append(el('span', { class: 'badge' }, 'No reply'));
  if (!lost && badge) badge.remove();
  const range = $('.tile-level', tile);
  if (range && !tile.dataset.dragging) { const l = levelOf(d.val); range.value = l === null ? 0 : l; }
  const spark = $('.spark', tile);
  if (spark) spark.replaceChildren(sparkline(state.history[d.id] || []));
  tile.title = [TYPE_NAMES[d.type] || d.type, d.id, d.time ? 'heard ' + ago(d.time) : 'not heard yet'].join(' · ');
}

function sparkline(points) {
  const recent = points.filter(([t]) => t > now() - DAY_S);
  if (recent.length < 2) return svg('svg', { viewBox: '0 0 100 24' });
  const vs = recent.map(([, v]) => v);
  const lo = Math.min(...vs), hi = Math.max(...vs), span = hi - lo || 1;
  const t0 = now() - DAY_S;
  const step = Math.max(1, Math.floor(recent.length / 120));
  const pts = recent.filter((_, i) => i % step === 0 || i === recent.length - 1)
    .map(([t, v]) => ((t - t0) / DAY_S * 100).toFixed(1) + ',' + (22 - (v - lo) / span * 20).toFixed(1));
  return svg('svg', { viewBox: '0 0 100 24', preserveAspectRatio: 'none' }, svg('polyline', { points: pts.join(' ') }));
}

// ---------------------------------------------------------------- chart

// A 24-hour line chart of one sensor's history, with hour marks and degree
// lines; a gap of more than 10 minutes breaks the line.
function chart(points, name) {
  const W = 640, H = 240, L = 44, R = 12, T = 12, B = 28;
  const end = now(), start = end - DAY_S;
  const recent = points.filter(([t]) => t >= start);
  if (!recent.length) return el('p', { class: 'hint' }, 'No readings in the last 24 hours yet.');
  const vs = recent.map(([, v]) => v);
  let lo = Math.floor(Math.min(...vs)), hi = Math.ceil(Math.max(...vs));
  if (hi - lo < 2) { lo -= 1; hi += 1; }
  const x = (t) => L + (t - start) / DAY_S * (W - L - R);
  const y = (v) => T + (hi - v) / (hi - lo) * (H - T - B);
  const g = svg('svg', { viewBox: `0 0 ${W} ${H}`, class: 'chart', role: 'img',
    'aria-label': `${name}: temperature over the last 24 hours, lowest ${degrees(Math.min(...vs))}, highest ${degrees(Math.max(...vs))}, now ${degrees(vs[vs.length - 1])}` });
  const step = Math.max(1, Math.ceil((hi - lo) / 5));
  for (let v = Math.ceil(lo / step) * step; v <= hi; v += step) {
    g.append(svg('line', { x1: L, x2: W - R, y1: y(v), y2: y(v), class: 'grid' }));
    const label = svg('text', { x: L - 6, y: y(v) + 4, 'text-anchor': 'end' }); label.textContent = v + '°';
    g.append(label);
  }
  const first = new Date(start * 1000); first.setMinutes(0, 0, 0);
  for (let t = first.getTime() / 1000 + 3600; t < end; t += 3600) {
    const hour = new Date(t * 1000).getHours();
    if (hour % 6) continue;
    g.append(svg('line', { x1: x(t), x2: x(t), y1: T, y2: H - B, class: 'grid' }));
    const label = svg('text', { x: x(t), y: H - 8, 'text-anchor': 'middle' }); label.textContent = String(hour).padStart(2, '0') + ':00';
    g.append(label);
  }
  let d = '', prev = null;
  for (const [t, v] of recent) {
    d += (prev === null || t - prev > 600 ? 'M' : 'L') + x(t).toFixed(1) + ' ' + y(v).toFixed(1);
    prev = t;
  }
  g.append(svg('path', { d, class: 'line' }));
  const [lt, lv] = recent[recent.length - 1];
  g.append(svg('circle', { cx: x(lt), cy: y(lv), r: 4, class: 'dot' }));
  return g;
}

// ---------------------------------------------------------------- detail panel

let detailId = null;

function openDetail(id) {
  detailId = id;
  renderDetail();
  const dlg = $('#detail');
  if (!dlg.open) dlg.showModal();
  const d = deviceById(id);
  if (d && kindOf(d) === 'sensor') loadHistory(id);
}

function section(title, ...children) {
  return el('section', { class: 'dsec' }, el('h3', {}, title), ...children);
}

function renderDetail() {
  const d = deviceById(detailId);
  const body = $('#detail-body');
  if (!d) { $('#detail').close(); return; }
  const kind = kindOf(d);
  $('#detail-title').textContent = d.name || d.id;
  const out = [];
  const facts = [TYPE_NAMES[d.type] || d.type, d.id];
  if (d.time) facts.push('heard ' + ago(d.time));
  if (d.rssi) facts.push('signal ' + d.rssi);
  out.push(el('p', { class: 'facts' }, facts.join(' · ')));
  out.push(el('p', { class: 'big-state' }, stateText(d)));
  if (isLost(d.id)) out.push(el('p', { class: 'warn', role: 'note' }, 'This device did not answer its last command. It stays marked until it is heard again.'));

  const btn = (label, form, cls = '') => el('button', { type: 'button', class: cls, onclick: () => radio(d.id, form) }, label);
  if (kind === 'switch' || kind === 'level') {
    const row = el('div', { class: 'row' },
      el('button', { type: 'button', class: 'primary', onclick: () => switchTo(d, true) }, 'On'),
      el('button', { type: 'button', onclick: () => switchTo(d, false) }, 'Off'),
      btn('Toggle', '!'), btn('Check status', '=?', 'ghost'));
    const parts = [row];
    if (kind === 'level') {
      const l = levelOf(d.val);
      const out2 = el('output', {}, (l === null ? 0 : l) + '\u00a0%');
      const range = el('input', { type: 'range', min: 0, max: 100, value: l === null ? 0 : l, 'aria-label': 'Level' });
      range.addEventListener('input', () => { out2.textContent = range.value + '\u00a0%'; });
      range.addEventListener('change', () => { if (Number(range.value) > 0) localStorage.setItem('orvel.level.' + d.id, range.value); radio(d.id, '=' + range.value); });
      parts.push(el('label', { class: 'level' }, 'Level ', range, out2));
    }
    out.push(section('Switch', ...parts));
    const mins = el('input', { type: 'number', min: 1, max: 1092, value: 30, name: 'minutes', 'aria-label': 'Minutes' });
    out.push(section('Off timer',
      el('p', { class: 'hint' }, 'The device switches itself off after this time.'),
      el('div', { class: 'row' }, el('label', {}, 'Minutes ', mins),
        el('button', { type: 'button', onclick: async () => {
          const s = Math.round(Number(mins.value) * 60);
          if (!(s >= 60 && s <= 65535)) { toast('Off timer: 1 to 1092 minutes', true); return; }
          if (await radio(d.id, '+' + s)) toast((d.name || d.id) + ' switches off in ' + mins.value + ' min');
        } }, 'Start timer'))));
    if (d.type === 'rtc') {
      const clock = el('output', { class: 'clock' });
      out.push(section('Clock', el('div', { class: 'row' },
        el('button', { type: 'button', onclick: async () => { if (await radio(d.id, '/timeset')) toast('Clock set to this computer’s time'); } }, 'Set to now'),
        el('button', { type: 'button', onclick: async () => { const ev = await radio(d.id, '/time?'); if (ev) clock.textContent = ev.data || ev.cmd; } }, 'Read clock'),
        clock)));
    }
  } else if (kind === 'sensor') {
    const pts = state.history[d.id];
    out.push(section('Last 24 hours', pts ? chart(pts, d.name || d.id) : el('p', { class: 'hint' }, 'Loading…')));
  } else if (kind === 'button') {
    const p = state.home.presses[d.id];
    out.push(section('Last press', el('p', {}, p ? 'Button ' + p.button + ', ' + new Date(p.time * 1000).toLocaleString() : 'No press heard yet.')));
  } else {
    out.push(section('Commands', el('div', { class: 'row' }, btn('Check status', '=?'), btn('Toggle', '!'))));
  }

  // Room, name and type, delete.
  const roomInput = el('input', { name: 'room', list: 'room-list', maxlength: 31, value: state.home.rooms[d.id] || '', autocomplete: 'off' });
  const roomList = el('datalist', { id: 'room-list' }, ...roomsInUse().map((r) => el('option', { value: r })));
  out.push(section('Room', el('form', { class: 'row', onsubmit: async (e) => {
    e.preventDefault();
    await saveRoom(d.id, roomInput.value.trim());
  } }, el('label', {}, 'Room ', roomInput), roomList, el('button', { type: 'submit' }, 'Save room'))));
  out.push(section('Name and type', deviceForm(d),
    el('div', { class: 'row' }, el('button', { type: 'button', class: 'danger', onclick: () => deleteDevice(d) }, 'Delete device'))));
  body.replaceChildren(...out);
}

function typeSelect(chosen) {
  const s = el('select', { name: 'type' }, ...Object.entries(TYPE_NAMES).map(([k, v]) => el('option', { value: k }, v + ' (' + k + ')')));
  if (chosen && !TYPE_NAMES[chosen]) s.append(el('option', { value: chosen }, chosen));
  if (chosen) s.value = chosen;
  return s;
}

function deviceForm(d) {
  const f = el('form', { class: 'form' });
  if (!d) f.append(el('label', {}, 'Id (six hex digits) ', el('input', { name: 'id', required: true, maxlength: 7, placeholder: '0a1b2c', autocomplete: 'off', spellcheck: 'false' })));
  f.append(el('label', {}, 'Name ', el('input', { name: 'name', maxlength: 31, value: d ? d.name : '', placeholder: 'Kitchen light' })),
    el('label', {}, 'Type ', typeSelect(d ? d.type : 'rel')));
  if (!d) f.append(el('label', {}, 'Room ', el('input', { name: 'room', maxlength: 31, list: 'room-list-new', autocomplete: 'off' })),
    el('datalist', { id: 'room-list-new' }, ...roomsInUse().map((r) => el('option', { value: r }))));
  f.append(el('div', { class: 'row' }, el('button', { type: 'submit', class: 'primary' }, d ? 'Save' : 'Add device')));
  f.addEventListener('submit', (e) => { e.preventDefault(); saveDevice(f, d); });
  return f;
}

async function saveDevice(f, d) {
  const id = d ? d.id.slice(1) : field(f, 'id').value.trim().toLowerCase().replace(/^@/, '');
  if (!/^[0-9a-f]{6}$/.test(id)) { toast('The id is six hex digits, like 0a1b2c', true); return; }
  const name = field(f, 'name').value.replace(/[\r\n/]/g, ' ').trim();
  try {
    const reply = (await getText('/&device/@' + id + '/' + field(f, 'type').value + '/' + encodeURIComponent(name))).trim();
    if (reply === 'ERROR') { toast('The gateway refused this device', true); return; }
    toast(d ? 'Saved' : 'Device added');
    if (!d && field(f, 'room').value.trim()) await saveRoom('@' + id, field(f, 'room').value.trim(), true);
  } catch (e) { toast('Save: ' + e.message, true); return; }
  await loadDevices();
  if (d) renderDetail(); else openDetail('@' + id);
}

async function saveRoom(id, room, quiet = false) {
  try {
    const reply = (await getText('/&room/' + id + '/' + encodeURIComponent(room))).trim();
    if (reply !== 'ROOM SAVED') { toast('Room not saved', true); return; }
  } catch (e) { toast('Room: ' + e.message, true); return; }
  if (room) state.home.rooms[id] = room; else delete state.home.rooms[id];
  if (!quiet) toast(room ? 'Moved to ' + room : 'Room removed');
  renderHome();
  loadHome();
}

async function deleteDevice(d) {
  if (!confirm('Delete ' + (d.name || d.id) + ' from the device list?')) return;
  try {
    const reply = (await getText('/&device/' + d.id + '-')).trim();
    toast(reply === 'ERROR' ? 'Not deleted' : 'Deleted', reply === 'ERROR');
  } catch (e) { toast('Delete: ' + e.message, true); }
  $('#detail').close();
  loadDevices();
}

function openAddDevice() {
  detailId = null;
  $('#detail-title').textContent = 'Add a device';
  $('#detail-body').replaceChildren(
    el('p', { class: 'hint' }, 'Find the id on the device’s label, or press its button and look in Events for the line that appears.'),
    deviceForm(null));
  $('#detail').showModal();
}

// ---------------------------------------------------------------- live events

function describe(ev) {
  const who = ev.id ? nameOf(ev.id) + ' (' + ev.id + ')' : 'gateway';
  return who + ' · ' + ev.cmd + (ev.data ? ' ' + ev.data : '') + (ev.rssi ? ' · ' + ev.rssi : '');
}

function logEvent(ev) {
  const li = el('li', { class: ev.cmd === 'ERROR' ? 'error' : '' },
    el('time', {}, new Date().toLocaleTimeString()), ' ', describe(ev));
  const list = $('#events');
  list.prepend(li);
  while (list.children.length > EVENTS_MAX) list.lastChild.remove();
}

// One radio event, from the stream or the long-poll.
function onPacket(ev) {
  logEvent(ev);
  if (!ev.id) return;
  markHeard(ev.id);
  if (ev.cmd === 'SS PRESS') {
    const m = /(\d+)/.exec(ev.data || '');
    state.home.presses[ev.id] = { button: m ? Number(m[1]) : 0, time: Math.round(now()) };
    const d = deviceById(ev.id);
    if (d) { updateTile(d); toast(nameOf(ev.id) + ': button ' + (m ? m[1] : '')); }
  }
  if (ev.cmd === 'TEMP') {
    const v = tempOf(ev.data);
    const h = state.history[ev.id];
    if (v !== null && h) {
      const t = Math.round(now());
      if (h.length && Math.floor(h[h.length - 1][0] / 60) === Math.floor(t / 60)) h[h.length - 1] = [t, v]; else h.push([t, v]);
    }
  }
  if (detailId === ev.id) renderDetail();
}

// A device object exactly as /&devices lists it.
function onDevice(d) {
  const i = state.devices.findIndex((x) => x.id === d.id);
  if (i < 0) { scheduleDevices(); return; }
  state.devices[i] = d;
  rememberLevel(d);
  markHeard(d.id);
  updateTile(d);
  if (detailId === d.id) renderDetail();
}

function setChip(sel, text, ok) {
  const c = $(sel);
  c.textContent = text;
  c.classList.toggle('ok', ok === true);
  c.classList.toggle('bad', ok === false);
}

// The event stream; when the gateway has none (an older one), the long-poll.
function startStream() {
  let opened = false;
  const es = new EventSource('/&events');
  const json = (fn) => (e) => { try { fn(parseJson(e.data)); } catch (err) { /* a broken event is skipped */ } };
  es.addEventListener('open', () => {
    // What happened before the stream opened is read again.
    loadDevices();
    if (opened) loadHome();
    opened = true;
    state.live = 'stream';
    setChip('#st-live', 'Live', true);
  });
  es.addEventListener('packet', json(onPacket));
  es.addEventListener('device', json(onDevice));
  es.addEventListener('usb', json((u) => setModem(!!u.connected)));
  es.addEventListener('gap', () => { loadDevices(); loadHome(); });
  es.addEventListener('error', async () => {
    if (es.readyState !== EventSource.CLOSED) { setChip('#st-live', 'Reconnecting', false); return; }
    es.close();
    if (!opened) {
      const auth = await authState();
      if (auth === 'required') { showLogin(); return; }
      if (state.live !== 'stream') { listen(); return; }
    }
    setChip('#st-live', 'Offline', false);
    await sleep(5000);
    startStream();
  });
}

// Long-poll loop: each /&listen answers one event and closes; ask again at once.
let listening = false;
async function listen() {
  if (listening) return;
  listening = true;
  state.live = 'poll';
  scheduleDevices(1000);  // what happened before the first poll was parked
  for (;;) {
    let ev;
    setChip('#st-live', 'Live', true);
    try { ev = await getJson('/&listen'); } catch (e) {
      setChip('#st-live', 'Offline', false);
      if (e.status === 401) { listening = false; return; }
      await sleep(3000);
      continue;
    }
    if (ev.cmd === 'ERROR') {
      logEvent(ev);
      if (/USB/.test(ev.data)) checkHealth();
      await sleep(2000);
      continue;
    }
    onPacket(ev);
    scheduleDevices();
  }
}

function setModem(ok) { setChip('#st-modem', ok ? 'Radio' : 'No radio', ok); }

async function checkHealth() {
  let res;
  try { res = await fetch('/&health', { cache: 'no-store' }); } catch (e) { setChip('#st-modem', 'Gateway offline', false); return; }
  if (res.status === 401) { showLogin(); return; }
  if (res.status === 200 || res.status === 503) {
    try {
      const h = parseJson(await res.text());
      setModem(!!h.modem);
      const mq = $('#st-mqtt');
      mq.hidden = !h.mqtt || h.mqtt === 'off';
      if (!mq.hidden) setChip('#st-mqtt', h.mqtt === 'connected' ? 'MQTT' : 'MQTT down', h.mqtt === 'connected');
      return;
    } catch (e) { /* fall through to the old check */ }
  }
  try {
    const t = (await getText('/&usb?')).trim();
    setModem(t === 'USB:OK');
  } catch (e) { if (e.status !== 401) setChip('#st-modem', 'Gateway offline', false); }
}

// ---------------------------------------------------------------- schedule

let cronEditing = null;  // key of the entry being edited; null = a new entry

function daysText(days) {
  const set = [...days].map((c) => c !== c.toLowerCase());
  if (set.every(Boolean)) return 'Every day';
  if (set.slice(1, 6).every(Boolean) && !set[0] && !set[6]) return 'Weekdays';
  if (set[0] && set[6] && !set.slice(1, 6).some(Boolean)) return 'Weekends';
  if (!set.some(Boolean)) return 'No day';
  return DAY_NAMES.filter((_, i) => set[i]).join(', ');
}

function parseCmd(cmd) {
  const m = /^(@[0-9a-f]{6})(?:=(\d+)|(!))$/.exec(cmd || '');
  if (!m) return null;
  if (m[3]) return { id: m[1], action: 'toggle' };
  const l = Number(m[2]);
  const d = deviceById(m[1]);
  const levelled = d && kindOf(d) === 'level';
  if (l === 0) return { id: m[1], action: 'off' };
  if (l === 100 || (!levelled && l > 0)) return { id: m[1], action: 'on', level: l };
  return { id: m[1], action: 'level', level: l };
}

function commandText(cmd) {
  const c = parseCmd(cmd);
  if (!c) return cmd;
  const what = { on: 'on', off: 'off', toggle: 'toggle', level: c.level + '\u00a0%' }[c.action];
  return nameOf(c.id) + ' → ' + what;
}

async function loadCrons() {
  try { state.crons = await getJson('/&cron?'); } catch (e) { if (e.status !== 401) toast('Schedule: ' + e.message, true); return; }
  const list = $('#crons');
  $('#crons-empty').hidden = state.crons.length > 0;
  list.replaceChildren(...state.crons.map((c) => el('li', { class: 'entry' + (c.run ? '' : ' paused'), 'data-key': Number(c.key) },
    el('div', { class: 'when' }, el('span', { class: 'time' }, c.time), el('span', {}, daysText(c.days)),
      c.run ? null : el('span', { class: 'chip' }, 'Paused')),
    el('div', { class: 'what' }, c.cmd.map(commandText).join(', ') || 'nothing'),
    el('div', { class: 'acts' },
      el('button', { type: 'button', class: 'ghost', 'aria-label': 'Edit entry ' + Number(c.key), onclick: () => cronEdit(c) }, 'Edit'),
      el('button', { type: 'button', class: 'ghost', 'aria-label': (c.run ? 'Pause' : 'Resume') + ' entry ' + Number(c.key),
        onclick: () => cronSave(c.key, c.days, c.time, c.cmd, !c.run) }, c.run ? 'Pause' : 'Resume'),
      el('button', { type: 'button', class: 'ghost danger', 'aria-label': 'Delete entry ' + Number(c.key), onclick: () => cronDelete(c) }, 'Delete')))));
  cronFormTitle();
}

function freeKey() {
  const used = new Set(state.crons.map((c) => Number(c.key)));
  for (let k = 1; k <= 99; k++) if (!used.has(k)) return k;
  return null;
}

function cronFormTitle() {
  const editing = cronEditing !== null;
  $('#cron-form-title').textContent = editing ? 'Edit entry ' + cronEditing : 'New entry';
  $('#cron-form-note').textContent = editing ? 'Saving changes entry ' + cronEditing + '; the others stay as they are.'
    : 'It will be saved as entry ' + (freeKey() || '– (the schedule is full)') + '.';
  $('#cron-save').textContent = editing ? 'Save changes' : 'Add entry';
  $('#cron-new').hidden = !editing;
}

// One entry as the gateway's text: key, '/' or '!', day letters, time, commands.
function cronText(key, days, time, cmds, active) {
  return String(key).padStart(3, '0') + (active ? '/' : '!') + days + '/' + time + '/' + cmds.join('');
}

async function cronSave(key, days, time, cmds, active) {
  try {
    const reply = (await getText('/&cron/' + cronText(key, days, time, cmds, active))).trim();
    const ok = reply === 'CRON SAVED';
    toast(ok ? 'Schedule saved' : 'The gateway refused this entry', !ok);
    await loadCrons();
    return ok;
  } catch (e) { toast('Schedule: ' + e.message, true); return false; }
}

async function cronDelete(c) {
  if (!confirm('Delete schedule entry ' + Number(c.key) + ' (' + c.time + ')?')) return;
  try {
    const reply = (await getText('/&cron/' + String(c.key).padStart(3, '0') + '-')).trim();
    toast(reply === 'CRON SAVED' ? 'Entry deleted' : reply, reply !== 'CRON SAVED');
  } catch (e) { toast('Schedule: ' + e.message, true); }
  if (cronEditing === Number(c.key)) cronClear();
  loadCrons();
}

const controllable = () => state.devices.filter((d) => kindOf(d) === 'switch' || kindOf(d) === 'level' || kindOf(d) === 'other');

function commandRow(cmd) {
  const c = parseCmd(cmd) || { action: 'on' };
  const select = el('select', { 'aria-label': 'Device', class: 'dev' });
  fillDeviceSelect(select, c.id);
  const action = el('select', { 'aria-label': 'Action', class: 'act' },
    el('option', { value: 'on' }, 'On'), el('option', { value: 'off' }, 'Off'),
    el('option', { value: 'toggle' }, 'Toggle'), el('option', { value: 'level' }, 'Level'));
  action.value = c.action;
  const level = el('input', { type: 'number', min: 1, max: 100, value: c.level && c.action === 'level' ? c.level : 50, 'aria-label': 'Level in percent', class: 'lvl' });
  const sync = () => { level.hidden = action.value !== 'level'; };
  action.addEventListener('change', sync);
  sync();
  const row = el('div', { class: 'cmd-row' }, select, action, level,
    el('button', { type: 'button', class: 'icon-btn', 'aria-label': 'Remove this device', onclick: () => row.remove() }, '×'));
  return row;
}

function fillDeviceSelect(select, chosen) {
  const keep = chosen || select.value;
  select.replaceChildren(...controllable().map((d) => el('option', { value: d.id }, d.name || d.id)));
  if (keep && ![...select.options].some((o) => o.value === keep)) select.append(el('option', { value: keep }, keep));
  if (keep) select.value = keep;
}

function refreshCommandSelects() { for (const s of $$('#cron-cmds select.dev')) fillDeviceSelect(s); }

function cronEdit(c) {
  const f = $('#cron-form');
  cronEditing = Number(c.key);
  field(f, 'time').value = c.time;
  field(f, 'active').checked = !!c.run;
  DAY_NAMES.forEach((_, i) => { field(f, 'day' + i).checked = c.days[i] !== c.days[i].toLowerCase(); });
  $('#cron-cmds').replaceChildren(...(c.cmd.length ? c.cmd : ['']).map(commandRow));
  cronFormTitle();
  f.scrollIntoView({ behavior: 'smooth', block: 'start' });
  field(f, 'time').focus();
}

function cronClear() {
  const f = $('#cron-form');
  cronEditing = null;
  field(f, 'time').value = '07:30';
  field(f, 'active').checked = true;
  DAY_NAMES.forEach((_, i) => { field(f, 'day' + i).checked = i > 0 && i < 6; });
  $('#cron-cmds').replaceChildren(commandRow());
  cronFormTitle();
}

async function cronSubmit(ev) {
  ev.preventDefault();
  const f = ev.target;
  const days = DAY_LETTERS.split('').map((ch, i) => (field(f, 'day' + i).checked ? ch.toUpperCase() : ch)).join('');
  if (days === DAY_LETTERS) { toast('Pick at least one day', true); return; }
  const time = field(f, 'time').value;
  if (!/^\d\d:\d\d$/.test(time)) { toast('Pick a time', true); return; }
  const cmds = [];
  for (const row of $$('#cron-cmds .cmd-row')) {
    const id = $('select.dev', row).value;
    if (!id) continue;
    const act = $('select.act', row).value;
    const level = Number($('input.lvl', row).value);
    if (act === 'level' && !(Number.isInteger(level) && level >= 1 && level <= 100)) { toast('A level is 1 to 100', true); return; }
    cmds.push(id + { on: '=100', off: '=0', toggle: '!', level: '=' + level }[act]);
  }
  if (!cmds.length) { toast('Add at least one device', true); return; }
  if (cmds.length > 20) { toast('At most 20 devices per entry', true); return; }
  let key = cronEditing;
  if (key === null) {
    // A new entry never replaces one: the number is chosen from a fresh list.
    try { state.crons = await getJson('/&cron?'); } catch (e) { toast('Schedule: ' + e.message, true); return; }
    key = freeKey();
    if (!key) { toast('The schedule is full (99 entries)', true); return; }
  }
  if (await cronSave(key, days, time, cmds, field(f, 'active').checked)) cronClear();
}

// ---------------------------------------------------------------- day log

async function showLog(ev) {
  if (ev) ev.preventDefault();
  const v = field($('#log-form'), 'day').value; // yyyy-mm-dd
  const name = v.slice(2, 4) + v.slice(5, 7) + v.slice(8, 10);
  const pre = $('#log');
  try { pre.textContent = await getText('/&log=' + name) || '(empty)'; } catch (e) {
    pre.textContent = e.status === 404 ? 'No log for ' + v + '. Daily logs are written when setup.ini has DEBUG=1 or LOGS=1.' : 'Log: ' + e.message;
  }
}

// ---------------------------------------------------------------- sign-in

async function authState() {
  try {
    const res = await fetch('/&auth?', { cache: 'no-store' });
    if (!res.ok) return 'off';
    return parseJson(await res.text()).auth || 'off';
  } catch (e) { return 'off'; }
}

function showLogin() {
  const box = $('#login');
  if (!box.hidden) return;
  if ($('#detail').open) $('#detail').close();
  box.hidden = false;
  for (const n of [$('header.top'), $('nav.tabs'), $('main')]) n.inert = true;
  field($('#login-form'), 'token').focus();
}

async function login(ev) {
  ev.preventDefault();
  const f = ev.target;
  const err = $('#login-error');
  err.textContent = '';
  let res;
  try {
    res = await fetch('/&login', { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: 'token=' + encodeURIComponent(field(f, 'token').value), credentials: 'same-origin' });
  } catch (e) { err.textContent = 'The gateway did not answer.'; return; }
  if (res.status !== 200) { err.textContent = res.status === 401 ? 'That token is not right.' : 'Sign-in failed (HTTP ' + res.status + ').'; return; }
  f.reset();
  $('#login').hidden = true;
  $('#logout').hidden = false;
  for (const n of [$('header.top'), $('nav.tabs'), $('main')]) n.inert = false;
  if (!state.started) start(); else { loadDevices(); loadHome(); checkHealth(); if (!state.live) startStream(); }
}

// ---------------------------------------------------------------- start

function showTab(name) {
  for (const b of $$('nav.tabs button')) {
    if (b.dataset.tab === name) b.setAttribute('aria-current', 'page'); else b.removeAttribute('aria-current');
  }
  for (const s of $$('main > section')) s.hidden = s.id !== 'tab-' + name;
  if (name === 'schedule') loadCrons();
  if (name === 'log') showLog();
}

function start() {
  state.started = true;
  loadDevices().then(async () => {
    await loadHome();
    for (const d of state.devices) if (kindOf(d) === 'sensor') loadHistory(d.id);
    cronClear();
    loadCrons();
    askUnknown();
  });
  checkHealth();
  setInterval(checkHealth, 10000);
  setInterval(() => { if (!document.hidden) { state.devices.forEach(updateTile); } }, 30000);
  setInterval(() => { if (!document.hidden) loadHome(); }, 60000);
  setInterval(() => { if (!document.hidden) for (const d of state.devices) if (kindOf(d) === 'sensor') loadHistory(d.id); }, 600000);
  startStream();
}

async function boot() {
  for (const b of $$('nav.tabs button')) b.addEventListener('click', () => showTab(b.dataset.tab));
  const fs = $('#cron-form .days');
  DAY_NAMES.forEach((n, i) => fs.append(el('label', { class: 'day' }, el('input', { type: 'checkbox', name: 'day' + i }), el('span', {}, n))));
  $('#cron-form').addEventListener('submit', cronSubmit);
  $('#cron-add-cmd').addEventListener('click', () => $('#cron-cmds').append(commandRow()));
  $('#cron-new').addEventListener('click', cronClear);
  $('#events-clear').addEventListener('click', () => $('#events').replaceChildren());
  $('#add-device').addEventListener('click', openAddDevice);
  $('#detail-close').addEventListener('click', () => $('#detail').close());
  $('#detail').addEventListener('close', () => { detailId = null; });
  $('#detail').addEventListener('click', (e) => { if (e.target === e.currentTarget) e.currentTarget.close(); });
  $('#login-form').addEventListener('submit', login);
  const today = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  field($('#log-form'), 'day').value = today.getFullYear() + '-' + pad(today.getMonth() + 1) + '-' + pad(today.getDate());
  $('#log-form').addEventListener('submit', showLog);
  getText('/&version?').then((t) => { $('#version').textContent = t.trim(); }).catch(() => {});
  $('#logout').addEventListener('click', async () => {
    try { await fetch('/&logout', { cache: 'no-store' }); } catch (e) { /* signed out or gone: reload either way */ }
    location.reload();
  });
  const auth = await authState();
  if (auth === 'required') { showLogin(); return; }
  $('#logout').hidden = auth !== 'ok';
  start();
}

boot();
