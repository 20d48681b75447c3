// The device panel (a dialog): state and commands, off timer, clock, the
// 24-hour chart of a sensor, room, name and type, delete; and the same form
// for adding a device.
import { $, el, field } from './dom.js';
import { getText } from './api.js';
import { toast } from './notify.js';
import { state, on, emit, TYPE_NAMES, deviceById, kindOf, switchable, levelOf, isLost, stateText, ago, roomsInUse } from './model.js';
import { radio, switchTo, setLevel, loadDevices, loadHome, loadHistory } from './devices.js';
import { chart } from './chart.js';

let detailId = null;

export function openDetail(id) {
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
  if (switchable(d)) {
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
      range.addEventListener('change', () => setLevel(d, Number(range.value)));
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
  emit('home');
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

export function openAddDevice() {
  detailId = null;
  $('#detail-title').textContent = 'Add a device';
  $('#detail-body').replaceChildren(
    el('p', { class: 'hint' }, 'Find the id on the device’s label, or press its button and look in Events for the line that appears.'),
    deviceForm(null));
  $('#detail').showModal();
}

export function initPanel() {
  const dlg = $('#detail');
  $('#add-device').addEventListener('click', openAddDevice);
  $('#detail-close').addEventListener('click', () => dlg.close());
  dlg.addEventListener('close', () => { detailId = null; });
  dlg.addEventListener('click', (e) => { if (e.target === e.currentTarget) dlg.close(); });
  const follow = (id) => { if (detailId && (id === undefined || id === detailId)) renderDetail(); };
  on('device', follow);
  on('history', follow);
}
