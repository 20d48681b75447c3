// orvel dashboard: the device list with live states, controls per device type,
// device edits, the weekly schedule, live events, modem status and day logs.
// It talks only to the gateway's own routes on the same origin.
'use strict';

const DAY_LETTERS = 'smtwtfs';
const DAY_NAMES = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
const TYPE_NAMES = { rel: 'relay', rtc: 'clock relay', dim: 'dimmer', led: 'LED', tmp: 'sensor', btn: 'button' };
const EVENTS_MAX = 200;

let devices = [];           // last /&devices answer
let crons = [];             // last /&cron? answer
const lastPress = {};       // device id -> last button text
let devicesTimer = null;

const $ = (sel, root = document) => root.querySelector(sel);
const field = (form, name) => form.elements.namedItem(name);

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') node.className = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== undefined && v !== null) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) node.append(c);
  return node;
}

function toast(text, isError = false) {
  const t = el('div', { class: 'toast' + (isError ? ' error' : '') }, text);
  $('#toasts').append(t);
  setTimeout(() => t.remove(), isError ? 6000 : 2500);
}

// The gateway writes JSON without escaping; a stray control character (such
// as the line end in "ERROR: Sockets Full\n") is blanked before a second try.
function parseJson(text) {
  try { return JSON.parse(text); } catch (e) {
    return JSON.parse(text.replace(/[\u0000-\u001f]/g, ' '));
  }
}

async function getText(path) {
  const res = await fetch(path, { cache: 'no-store' });
  const text = await res.text();
  if (!res.ok) { const err = new Error('HTTP ' + res.status); err.status = res.status; throw err; }
  return text;
}

async function getJson(path) { return parseJson(await getText(path)); }

function deviceName(id) {
  const d = devices.find((x) => x.id === id);
  return d && d.name ? d.name : id;
}

// ---------------------------------------------------------------- radio

// Sends one radio command; resolves to the device's event, or null after showing the error.
async function radio(id, form) {
  let ev;
  try {
    ev = await getJson('/' + id + form);
  } catch (e) {
    toast('Gateway unreachable (' + e.message + ')', true);
    return null;
  }
  if (ev.cmd === 'ERROR') {
    const who = ev.id ? deviceName(ev.id) + ': ' : '';
    toast(who + (ev.data || 'error'), true);
    return null;
  }
  scheduleDevices(300);
  return ev;
}

// ---------------------------------------------------------------- devices

function scheduleDevices(ms = 250) {
  clearTimeout(devicesTimer);
  devicesTimer = setTimeout(loadDevices, ms);
}

async function loadDevices() {
  try {
    devices = await getJson('/&devices');
  } catch (e) {
    toast('Device list: ' + e.message, true);
    return;
  }
  renderDevices();
  refreshCommandSelects();
}

function ago(time) {
  if (!time) return 'no report yet';
  const s = Math.max(0, Math.round(Date.now() / 1000 - Number(time)));
  if (s < 60) return s + ' s ago';
  if (s < 3600) return Math.floor(s / 60) + ' min ago';
  const d = new Date(Number(time) * 1000);
  return d.toLocaleString();
}

function levelOf(val) {
  const m = /^(-?\d+)%$/.exec(val || '');
  return m ? Math.max(0, Math.min(100, Number(m[1]))) : null;
}

function isOn(d) {
  if (d.val === 'ON') return true;
  const l = levelOf(d.val);
  return l !== null && l > 0;
}

function timerControl(d) {
  const input = el('input', { class: 'timer', type: 'number', min: 1, max: 65535, placeholder: 'sec', 'aria-label': 'off timer seconds' });
  const go = el('button', { class: 'small', title: 'switch off after the given seconds', onclick: async () => {
    const s = Number(input.value);
    if (!(s >= 1 && s <= 65535)) { toast('Off timer: 1 to 65535 seconds', true); return; }
    if (await radio(d.id, '+' + s)) toast(d.name + ': off in ' + s + ' s');
  } }, 'Off timer');
  return [input, go];
}

function levelControl(d, what) {
  const level = levelOf(d.val);
  const out = el('span', { class: 'meta' }, (level === null ? '?' : level) + '%');
  const range = el('input', { type: 'range', min: 0, max: 100, step: 1, value: level === null ? 0 : level, 'aria-label': what + ' level' });
  range.addEventListener('input', () => { out.textContent = range.value + '%'; });
  range.addEventListener('change', () => radio(d.id, '=' + range.value));
  return [range, out];
}

function controlsFor(d) {
  const t = d.type || '';
  const btn = (label, form, cls = 'small') => el('button', { class: cls, onclick: () => radio(d.id, form) }, label);
  if (t === 'tmp') return [btn('Read', '=?')];
  if (t === 'btn') return [el('span', { class: 'meta' }, lastPress[d.id] ? 'last: ' + lastPress[d.id] : 'no press seen')];
  if (t.startsWith('r')) {
    const list = [btn('On', '=100', 'small primary'), btn('Off', '=0'), btn('Toggle', '!'), btn('Status', '=?'), ...timerControl(d)];
    if (t === 'rtc') list.push(btn('Set clock', '/timeset'), btn('Read clock', '/time?'));
    return list;
  }
  if (t === 'dim') return [...levelControl(d, 'dim'), btn('On', '=100', 'small primary'), btn('Off', '=0'), btn('Toggle', '!'), btn('Status', '=?'), ...timerControl(d)];
  if (t === 'led') return [...levelControl(d, 'LED'), btn('Off', '=0'), btn('Status', '=?')];
  return [btn('Status', '=?'), btn('Toggle', '!')];
}

function renderDevices() {
  const box = $('#devices');
  box.replaceChildren();
  $('#devices-empty').hidden = devices.length > 0;
  for (const d of devices) {
    const on = isOn(d);
    const card = el('article', { class: 'card' + (on ? ' on' : ''), 'data-id': d.id },
      el('h3', {}, el('span', {}, d.name || d.id), el('span', { class: 'meta' }, TYPE_NAMES[d.type] || d.type)),
      el('div', { class: 'val' }, d.val || '\u2013'),
      el('div', { class: 'meta' }, d.id + ' \u00b7 ' + ago(d.time) + (d.rssi ? ' \u00b7 signal ' + d.rssi : '')),
      el('div', { class: 'controls' }, ...controlsFor(d)),
      el('div', { class: 'edit' },
        el('button', { class: 'small', onclick: () => editDevice(d) }, 'Edit'),
        el('button', { class: 'small danger', onclick: () => deleteDevice(d) }, 'Delete')));
    box.append(card);
  }
}

function editDevice(d) {
  const f = $('#device-form');
  field(f, 'id').value = d.id.replace('@', '');
  if (![...field(f, 'type').options].some((o) => o.value === d.type)) field(f, 'type').append(el('option', { value: d.type }, d.type));
  field(f, 'type').value = d.type;
  field(f, 'name').value = d.name;
  $('#device-form-box').open = true;
  field(f, 'name').focus();
}

async function deleteDevice(d) {
  if (!confirm('Delete ' + (d.name || d.id) + ' from the device list?')) return;
  try {
    const reply = await getText('/&device/' + d.id + '-');
    toast(reply.trim(), reply.trim() === 'ERROR');
  } catch (e) { toast('Delete: ' + e.message, true); }
  loadDevices();
}

async function saveDevice(ev) {
  ev.preventDefault();
  const f = ev.target;
  const id = field(f, 'id').value.trim().toLowerCase().replace(/^@/, '');
  if (!/^[0-9a-f]{6}$/.test(id)) { toast('The id is six hex digits, like 0a1b2c', true); return; }
  const name = field(f, 'name').value.replace(/[\r\n]/g, ' ').trim();
  try {
    const reply = (await getText('/&device/@' + id + '/' + field(f, 'type').value + '/' + encodeURIComponent(name))).trim();
    toast(reply, reply === 'ERROR');
    if (reply !== 'ERROR') f.reset();
  } catch (e) { toast('Save: ' + e.message, true); }
  loadDevices();
}

// ---------------------------------------------------------------- live events

function describe(ev) {
  const who = ev.id ? deviceName(ev.id) + ' (' + ev.id + ')' : 'gateway';
  return who + ' ' + ev.cmd + (ev.data ? ' ' + ev.data : '') + (ev.rssi ? ' ' + ev.rssi : '');
}

function logEvent(ev) {
  const li = el('li', { class: ev.cmd === 'ERROR' ? 'error' : '' },
    el('span', { class: 't' }, new Date().toLocaleTimeString()), describe(ev));
  const list = $('#events');
  list.prepend(li);
  while (list.children.length > EVENTS_MAX) list.lastChild.remove();
}

function setPill(sel, text, ok) {
  const p = $(sel);
  p.textContent = text;
  p.classList.toggle('ok', ok === true);
  p.classList.toggle('bad', ok === false);
}

// Long-poll loop: each /&listen answers one event and closes; ask again at once.
async function listen() {
  for (;;) {
    let ev;
    setPill('#live', 'live', true);
    try {
      ev = await getJson('/&listen');
    } catch (e) {
      setPill('#live', 'live: offline', false);
      await new Promise((r) => setTimeout(r, 3000));
      continue;
    }
    logEvent(ev);
    if (ev.cmd === 'ERROR') {
      toast(ev.data, true);
      if (/USB/.test(ev.data)) checkModem();
      await new Promise((r) => setTimeout(r, 2000));
      continue;
    }
    if (ev.cmd === 'SS PRESS') {
      lastPress[ev.id] = ev.data;
      toast(deviceName(ev.id) + ': ' + ev.data);
    }
    scheduleDevices();
  }
}

async function checkModem() {
  try {
    const t = (await getText('/&usb?')).trim();
    setPill('#modem', t === 'USB:OK' ? 'modem OK' : 'no modem', t === 'USB:OK');
  } catch (e) {
    setPill('#modem', 'gateway offline', false);
  }
}

// ---------------------------------------------------------------- schedule

function daysText(days) { // "sMTWTFs" -> "Mon-Fri" style summary
  const set = [...days].map((c) => c !== c.toLowerCase());
  if (set.every(Boolean)) return 'every day';
  if (!set.some(Boolean)) return 'no day';
  return DAY_NAMES.filter((_, i) => set[i]).join(' ');
}

function commandText(cmd) {
  const m = /^(@[0-9a-f]{6})=(\d+)$/.exec(cmd);
  return m ? deviceName(m[1]) + ' \u2192 ' + m[2] : cmd;
}

async function loadCrons() {
  try {
    crons = await getJson('/&cron?');
  } catch (e) { toast('Schedule: ' + e.message, true); return; }
  const body = $('#crons tbody');
  body.replaceChildren();
  $('#crons-empty').hidden = crons.length > 0;
  for (const c of crons) {
    body.append(el('tr', { class: c.run ? '' : 'paused' },
      el('td', {}, String(Number(c.key))),
      el('td', {}, daysText(c.days) + (c.run ? '' : ' (paused)')),
      el('td', {}, c.time),
      el('td', { class: 'cmds' }, c.cmd.map(commandText).join(', ') || '\u2013'),
      el('td', { class: 'acts' },
        el('button', { class: 'small', onclick: () => cronEdit(c) }, 'Edit'),
        el('button', { class: 'small', onclick: () => cronSave(c.key, c.days, c.time, c.cmd, !c.run) }, c.run ? 'Pause' : 'Resume'),
        el('button', { class: 'small danger', onclick: () => cronDelete(c) }, 'Delete'))));
  }
  const f = $('#cron-form');
  if (!field(f, 'key').value) field(f, 'key').value = freeKey();
}

function freeKey() {
  const used = new Set(crons.map((c) => Number(c.key)));
  for (let k = 1; k <= 99; k++) if (!used.has(k)) return k;
  return '';
}

// One entry as the gateway's text: key, '/' or '!', day letters, time, commands.
function cronText(key, days, time, cmds, active) {
  return String(key).padStart(3, '0') + (active ? '/' : '!') + days + '/' + time + '/' + cmds.join('');
}

async function cronSave(key, days, time, cmds, active) {
  try {
    const reply = (await getText('/&cron/' + cronText(key, days, time, cmds, active))).trim();
    toast(reply === 'CRON SAVED' ? 'Schedule saved' : 'Schedule: ' + reply, reply !== 'CRON SAVED');
    loadCrons();
    return reply === 'CRON SAVED';
  } catch (e) { toast('Schedule: ' + e.message, true); return false; }
}

async function cronDelete(c) {
  if (!confirm('Delete schedule entry ' + Number(c.key) + '?')) return;
  try {
    const reply = (await getText('/&cron/' + String(c.key).padStart(3, '0') + '-')).trim();
    toast(reply === 'CRON SAVED' ? 'Entry deleted' : reply, reply !== 'CRON SAVED');
  } catch (e) { toast('Schedule: ' + e.message, true); }
  loadCrons();
}

function levelDevices() { return devices.filter((d) => d.type !== 'tmp' && d.type !== 'btn'); }

function commandRow(cmd) {
  const m = /^(@[0-9a-f]{6})=(\d+)$/.exec(cmd || '') || [];
  const select = el('select', { 'aria-label': 'device' });
  fillDeviceSelect(select, m[1]);
  const level = el('input', { type: 'number', min: 0, max: 100, value: m[2] !== undefined ? m[2] : 100, 'aria-label': 'level' });
  const row = el('div', { class: 'cmd-row' }, select, level,
    el('button', { type: 'button', class: 'small danger', onclick: () => row.remove() }, '\u00d7'));
  return row;
}

function fillDeviceSelect(select, chosen) {
  const keep = chosen || select.value;
  select.replaceChildren();
  for (const d of levelDevices()) select.append(el('option', { value: d.id }, (d.name || d.id) + ' ' + d.id));
  if (keep && ![...select.options].some((o) => o.value === keep)) select.append(el('option', { value: keep }, keep));
  if (keep) select.value = keep;
}

function refreshCommandSelects() {
  for (const s of document.querySelectorAll('#cron-cmds select')) fillDeviceSelect(s);
}

function cronEdit(c) {
  const f = $('#cron-form');
  field(f, 'key').value = Number(c.key);
  field(f, 'time').value = c.time;
  field(f, 'active').checked = !!c.run;
  DAY_LETTERS.split('').forEach((_, i) => { field(f, 'day' + i).checked = c.days[i] !== c.days[i].toLowerCase(); });
  $('#cron-cmds').replaceChildren(...c.cmd.map(commandRow));
  $('#cron-form-title').textContent = 'Edit entry ' + Number(c.key);
  f.scrollIntoView({ behavior: 'smooth' });
}

function cronClear() {
  const f = $('#cron-form');
  f.reset();
  field(f, 'key').value = freeKey();
  $('#cron-cmds').replaceChildren(commandRow());
  $('#cron-form-title').textContent = 'New entry';
}

async function cronSubmit(ev) {
  ev.preventDefault();
  const f = ev.target;
  const key = Number(field(f, 'key').value);
  if (!(key >= 1 && key <= 99)) { toast('Entry number 1 to 99', true); return; }
  const days = DAY_LETTERS.split('').map((ch, i) => (field(f, 'day' + i).checked ? ch.toUpperCase() : ch)).join('');
  if (days === DAY_LETTERS) { toast('Pick at least one day', true); return; }
  const cmds = [];
  for (const row of document.querySelectorAll('#cron-cmds .cmd-row')) {
    const id = $('select', row).value;
    const level = Number($('input', row).value);
    if (!id) continue;
    if (!(level >= 0 && level <= 100 && Number.isInteger(level))) { toast('Levels are 0 to 100', true); return; }
    cmds.push(id + '=' + level);
  }
  if (cmds.length > 20) { toast('At most 20 commands per entry', true); return; }
  if (await cronSave(key, days, field(f, 'time').value, cmds, field(f, 'active').checked)) cronClear();
}

// ---------------------------------------------------------------- day log

async function showLog(ev) {
  if (ev) ev.preventDefault();
  const v = field($('#log-form'), 'day').value; // yyyy-mm-dd
  const name = v.slice(2, 4) + v.slice(5, 7) + v.slice(8, 10);
  const pre = $('#log');
  try {
    pre.textContent = await getText('/&log=' + name) || '(empty)';
  } catch (e) {
    pre.textContent = e.status === 404 ? 'No log for ' + v + '.' : 'Log: ' + e.message;
  }
}

// ---------------------------------------------------------------- start

function showTab(name) {
  for (const b of document.querySelectorAll('nav button')) b.classList.toggle('on', b.dataset.tab === name);
  for (const s of document.querySelectorAll('main > section')) s.hidden = s.id !== 'tab-' + name;
  if (name === 'schedule') loadCrons();
  if (name === 'log') showLog();
}

function start() {
  for (const b of document.querySelectorAll('nav button')) b.addEventListener('click', () => showTab(b.dataset.tab));
  $('#device-form').addEventListener('submit', saveDevice);
  const fs = $('#cron-form .days');
  DAY_NAMES.forEach((n, i) => fs.append(el('label', {}, el('input', { type: 'checkbox', name: 'day' + i, checked: i > 0 && i < 6 }), n)));
  $('#cron-form').addEventListener('submit', cronSubmit);
  $('#cron-add-cmd').addEventListener('click', () => $('#cron-cmds').append(commandRow()));
  $('#cron-new').addEventListener('click', cronClear);
  $('#events-clear').addEventListener('click', () => $('#events').replaceChildren());
  const today = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  field($('#log-form'), 'day').value = today.getFullYear() + '-' + pad(today.getMonth() + 1) + '-' + pad(today.getDate());
  $('#log-form').addEventListener('submit', showLog);
  getText('/&version?').then((t) => { $('#version').textContent = t.trim(); }).catch(() => {});
  loadDevices().then(() => { $('#cron-cmds').replaceChildren(commandRow()); loadCrons(); });
  checkModem();
  setInterval(checkModem, 5000);
  setInterval(() => { if (!document.hidden) renderDevicesAges(); }, 15000);
  listen();
}

// Refreshes the "n s ago" texts without another request.
function renderDevicesAges() { if (devices.length) renderDevices(); }

start();
