// The device panel (a dialog): state, signal and last heard; commands, off
// timer and clock; a sensor's chart; room; name and type; and, set apart at
// the bottom, a delete that asks first. The same dialog shows the form for
// adding a device and the rooms editor (setDialog). Parts that follow the
// device are refreshed in place, so typing in a field is never lost.
import { $, el, field } from './dom.js';
import { toast, fieldError } from './notify.js';
import { state, on, TYPE_NAMES, NAME_MAX_BYTES, deviceById, kindOf, switchable, isOn, levelOf, isLost, stateText,
  ago, heardAt, roomsInUse, nameProblem } from './model.js';
import { radio, switchTo, setLevel, loadHistory, saveDevice, saveRoom, deleteDevice } from './devices.js';
import { chart } from './chart.js';

let detailId = null;
let view = null;  // the parts refresh() updates

export function setDialog(title, ...content) {
  detailId = null;
  view = null;
  $('#detail-title').textContent = title;
  $('#detail-body').replaceChildren(...content);
  const dlg = $('#detail');
  if (!dlg.open) dlg.showModal();
}

export function openDetail(id) {
  const d = deviceById(id);
  if (!d) return;
  const { parts, refs } = build(d);
  setDialog(d.name || d.id, ...parts);
  detailId = id;
  view = refs;
  refresh();
  if (kindOf(d) === 'sensor') loadHistory(id);
}

const section = (title, ...children) => el('section', { class: 'dsec' }, el('h3', {}, title), ...children);
const fact = (term, dd) => [el('dt', {}, term), el('dd', {}, dd)];

function build(d) {
  const kind = kindOf(d);
  const view = { facts: el('dl', { class: 'facts' }), big: el('p', { class: 'big-state' }),
    lost: el('p', { class: 'warn', role: 'note', hidden: true }, 'This device did not answer its last command. It stays marked until it is heard again.') };
  const out = [view.facts, view.big, view.lost];
  const btn = (label, form, cls = '') => el('button', { type: 'button', class: cls, onclick: () => radio(d.id, form) }, label);

  if (switchable(d)) {
    view.on = el('button', { type: 'button', onclick: () => switchTo(deviceById(d.id), true) }, 'On');
    view.off = el('button', { type: 'button', onclick: () => switchTo(deviceById(d.id), false) }, 'Off');
    const parts = [el('div', { class: 'row' }, el('div', { class: 'seg', role: 'group', 'aria-label': 'Switch' }, view.on, view.off),
      btn('Toggle', '!', 'ghost'), btn('Check status', '=?', 'ghost'))];
    if (kind === 'level') {
      view.level = el('output', {});
      view.range = el('input', { type: 'range', min: 0, max: 100, 'aria-label': 'Level', class: 'level-bar' });
      view.range.addEventListener('input', () => { view.dragging = true; view.level.textContent = view.range.value + '\u00a0%'; view.range.style.setProperty('--lvl', view.range.value + '%'); });
      view.range.addEventListener('change', async () => { await setLevel(deviceById(d.id), Number(view.range.value)); view.dragging = false; refresh(); });
      parts.push(el('label', { class: 'level' }, 'Level ', view.range, view.level));
    }
    out.push(section('Switch', ...parts));
    const mins = el('input', { type: 'number', min: 1, max: 1092, value: 30, name: 'minutes' });
    out.push(section('Off timer',
      el('p', { class: 'hint' }, 'The device switches itself off after this time.'),
      el('form', { class: 'row', onsubmit: async (e) => {
        e.preventDefault();
        const s = Math.round(Number(mins.value) * 60);
        if (!fieldError(mins, s >= 60 && s <= 65535 ? '' : 'Between 1 and 1092 minutes.')) return;
        if (await radio(d.id, '+' + s)) toast((d.name || d.id) + ' switches off in ' + mins.value + ' min');
      } }, el('label', {}, 'Minutes ', mins), el('button', { type: 'submit' }, 'Start timer'))));
    if (d.type === 'rtc') {
      const clock = el('output', { class: 'clock' });
      out.push(section('Clock', el('div', { class: 'row' },
        el('button', { type: 'button', onclick: async () => { if (await radio(d.id, '/timeset')) toast('Clock set to this computer’s time'); } }, 'Set to now'),
        el('button', { type: 'button', onclick: async () => { const ev = await radio(d.id, '/time?'); if (ev) clock.textContent = ev.data || ev.cmd; } }, 'Read clock'),
        clock)));
    }
  } else if (kind === 'sensor') {
    view.chart = el('div', {}, el('p', { class: 'hint' }, 'Loading…'));
    out.push(section('History', view.chart));
  } else if (kind === 'button') {
    view.press = el('p', {});
    out.push(section('Last press', view.press));
  } else {
    out.push(section('Commands', el('div', { class: 'row' }, btn('Check status', '=?'), btn('Toggle', '!'))));
  }

  const room = el('input', { name: 'room', list: 'room-list', value: state.home.rooms[d.id] || '', autocomplete: 'off' });
  out.push(section('Room', el('form', { class: 'row', onsubmit: async (e) => {
    e.preventDefault();
    const name = room.value.trim();
    if (!fieldError(room, nameProblem(name))) return;
    const why = await saveRoom(d.id, name);
    if (fieldError(room, why)) toast(name ? 'Moved to ' + name : 'Room removed');
  } }, el('label', {}, 'Room ', room), el('datalist', { id: 'room-list' }, ...roomsInUse().map((r) => el('option', { value: r }))),
  el('button', { type: 'submit' }, 'Save room'))));
  out.push(section('Name and type', deviceForm(d)));
  out.push(deleteZone(d));
  return { parts: out, refs: view };
}

// Refreshes what follows the device: facts, state, marks, buttons, chart.
function refresh() {
  const d = deviceById(detailId);
  if (!view || !detailId) return;
  if (!d) { $('#detail').close(); return; }
  const t = heardAt(d);
  $('#detail-title').textContent = d.name || d.id;
  view.facts.replaceChildren(...fact('Type', TYPE_NAMES[d.type] || d.type), ...fact('Id', d.id),
    ...fact('Signal', d.rssi ? d.rssi.replace('%', '\u00a0%') : 'not heard yet'),
    ...fact('Last heard', t ? ago(t) + ' (' + new Date(t * 1000).toLocaleString([], { dateStyle: 'short', timeStyle: 'short' }) + ')' : 'not yet'));
  view.big.textContent = stateText(d);
  view.lost.hidden = !isLost(d.id);
  if (view.on) {
    const known = !!d.val, lit = isOn(d);
    for (const [b, mine] of [[view.on, lit], [view.off, !lit]]) {
      b.setAttribute('aria-pressed', String(known && mine));
      b.classList.toggle('selected', known && mine);
    }
  }
  if (view.range && !view.dragging) {
    const l = levelOf(d.val) || 0;
    view.range.value = l;
    view.range.style.setProperty('--lvl', l + '%');
    view.level.textContent = l + '\u00a0%';
  }
  const h = state.history[d.id];
  const key = h && h.length + ':' + (h.length ? h[h.length - 1].join() : '');
  if (view.chart && h && key !== view.chartKey) {
    view.chartKey = key;
    view.chart.replaceChildren(chart(h, d.name || d.id));
  }
  if (view.press) {
    const p = state.home.presses[d.id];
    view.press.textContent = p ? 'Button ' + p.button + ', ' + new Date(p.time * 1000).toLocaleString() + ' (' + ago(p.time) + ')' : 'No press heard yet.';
  }
}

function typeSelect(chosen) {
  const s = el('select', { name: 'type' }, ...Object.entries(TYPE_NAMES).map(([k, v]) => el('option', { value: k }, v + ' (' + k + ')')));
  if (chosen && !TYPE_NAMES[chosen]) s.append(el('option', { value: chosen }, chosen));
  if (chosen) s.value = chosen;
  return s;
}

// The name field shows how much of the limit is used and says at once what
// cannot be stored; nothing is cut or replaced behind the household's back.
function nameInput(value) {
  const input = el('input', { name: 'name', value, placeholder: 'Kitchen light', autocomplete: 'off' });
  const count = el('span', { class: 'count', 'aria-live': 'polite' });
  const check = () => {
    const bytes = new TextEncoder().encode(input.value.trim()).length;
    count.textContent = bytes + ' of ' + NAME_MAX_BYTES;
    count.classList.toggle('over', bytes > NAME_MAX_BYTES);
    fieldError(input, nameProblem(input.value.trim()));
  };
  input.addEventListener('input', check);
  check();
  return [input, el('span', { class: 'label-line' }, 'Name ', el('span', { class: 'hint' }, '(up to ' + NAME_MAX_BYTES + ' bytes) '), count)];
}

function deviceForm(d) {
  const f = el('form', { class: 'form', novalidate: true });
  if (!d) f.append(el('label', {}, 'Id (six hex digits) ', el('input', { name: 'id', maxlength: 7, placeholder: '0a1b2c', autocomplete: 'off', spellcheck: 'false' })));
  const [name, caption] = nameInput(d ? d.name : '');
  f.append(el('label', {}, caption, name), el('label', {}, 'Type ', typeSelect(d ? d.type : 'rel')));
  if (!d) f.append(el('label', {}, 'Room ', el('input', { name: 'room', list: 'room-list-new', autocomplete: 'off' })),
    el('datalist', { id: 'room-list-new' }, ...roomsInUse().map((r) => el('option', { value: r }))));
  f.append(el('div', { class: 'row' }, el('button', { type: 'submit', class: 'primary' }, d ? 'Save name and type' : 'Add device')));
  f.addEventListener('submit', async (e) => {
    e.preventDefault();
    const idInput = field(f, 'id');
    const id = d ? d.id : '@' + idInput.value.trim().toLowerCase().replace(/^@/, '');
    if (!d && !fieldError(idInput, /^@[0-9a-f]{6}$/.test(id) ? '' : 'The id is six hex digits, like 0a1b2c.')) return;
    const text = name.value.trim();
    if (!fieldError(name, nameProblem(text))) return;
    const roomInput = field(f, 'room');
    if (roomInput && !fieldError(roomInput, nameProblem(roomInput.value.trim()))) return;
    const why = await saveDevice(id, field(f, 'type').value, text);
    if (!fieldError(name, why)) return;
    if (roomInput && roomInput.value.trim()) await saveRoom(id, roomInput.value.trim());
    if (d) { toast('Saved'); $('#detail-title').textContent = text || d.id; } else { openDetail(id); toast('Device added'); }
  });
  return f;
}

// Delete, set apart from everything else, asks in place before it acts.
function deleteZone(d) {
  const name = d.name || d.id;
  const ask = el('button', { type: 'button', class: 'danger' }, 'Delete device…');
  const confirmBox = el('div', { class: 'confirm', hidden: true },
    el('p', {}, 'Delete ' + name + '? It leaves the device list and its room; the schedule keeps any entries for it.'),
    el('div', { class: 'row' },
      el('button', { type: 'button', class: 'danger solid', onclick: async () => {
        const why = await deleteDevice(d);
        if (why) { toast(why, true); return; }
        $('#detail').close();
        toast(name + ' deleted');
      } }, 'Delete ' + name),
      el('button', { type: 'button', onclick: () => { confirmBox.hidden = true; ask.hidden = false; ask.focus(); } }, 'Keep it')));
  ask.addEventListener('click', () => { ask.hidden = true; confirmBox.hidden = false; confirmBox.querySelector('button').focus(); });
  return el('section', { class: 'dsec danger-zone' }, el('h3', {}, 'Remove'),
    el('p', { class: 'hint' }, 'The device itself keeps working; it is only forgotten here.'), ask, confirmBox);
}

export function openAddDevice() {
  setDialog('Add a device',
    el('p', { class: 'hint' }, 'Find the id on the device’s label, or press its button and look in Events for the line that appears.'),
    deviceForm(null));
}

export function initPanel() {
  const dlg = $('#detail');
  $('#add-device').addEventListener('click', openAddDevice);
  $('#detail-close').addEventListener('click', () => dlg.close());
  dlg.addEventListener('close', () => { detailId = null; view = null; });
  dlg.addEventListener('click', (e) => { if (e.target === e.currentTarget) dlg.close(); });
  const follow = (id) => { if (detailId && (id === undefined || id === detailId)) refresh(); };
  on('device', follow);
  on('history', follow);
  on('devices', () => follow());
  on('home', () => follow());
}
