// The Schedule tab: the weekly entries (/&cron?), and the form that adds a
// new entry under the next free number or changes exactly the one being edited.
import { $, $$, el, field } from './dom.js';
import { getText, getJson } from './api.js';
import { toast, fieldError } from './notify.js';
import { state, on, deviceById, nameOf, kindOf } from './model.js';

const DAY_LETTERS = 'smtwtfs';
const DAY_NAMES = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
let crons = [];  // /&cron?


let cronEditing = null;  // key of the entry being edited; null = a new entry

export function daysText(days) {
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

export async function loadCrons() {
  try { crons = await getJson('/&cron?'); } catch (e) { if (e.status !== 401) toast('Schedule: ' + e.message, true); return; }
  const list = $('#crons');
  $('#crons-empty').hidden = crons.length > 0;
  list.replaceChildren(...crons.map((c) => el('li', { class: 'entry' + (c.run ? '' : ' paused'), 'data-key': Number(c.key) },
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
  const used = new Set(crons.map((c) => Number(c.key)));
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
  for (const bad of $$('.field-error', f)) bad.remove();
  cronFormTitle();
}

// Checks the form and says what is wrong next to the field it concerns.
async function cronSubmit(ev) {
  ev.preventDefault();
  const f = ev.target;
  for (const bad of $$('.field-error', f)) bad.remove();
  for (const bad of $$('[aria-invalid]', f)) bad.removeAttribute('aria-invalid');
  const days = DAY_LETTERS.split('').map((ch, i) => (field(f, 'day' + i).checked ? ch.toUpperCase() : ch)).join('');
  let ok = fieldError($('.days', f), days === DAY_LETTERS ? 'Pick at least one day.' : '');
  const time = field(f, 'time').value;
  ok = fieldError(field(f, 'time'), /^\d\d:\d\d$/.test(time) ? '' : 'Pick a time.') && ok;
  const cmds = [];
  for (const row of $$('#cron-cmds .cmd-row')) {
    const id = $('select.dev', row).value;
    if (!id) continue;
    const act = $('select.act', row).value;
    const lvl = $('input.lvl', row);
    const level = Number(lvl.value);
    if (act === 'level') ok = fieldError(lvl, Number.isInteger(level) && level >= 1 && level <= 100 ? '' : 'A level is 1 to 100.') && ok;
    cmds.push(id + { on: '=100', off: '=0', toggle: '!', level: '=' + level }[act]);
  }
  const what = $('#cron-add-cmd');
  ok = fieldError(what, !cmds.length ? 'Add at least one device.' : cmds.length > 20 ? 'At most 20 devices per entry.' : '') && ok;
  if (!ok) return;
  let key = cronEditing;
  if (key === null) {
    // A new entry never replaces one: the number is chosen from a fresh list.
    try { crons = await getJson('/&cron?'); } catch (e) { toast('Schedule: ' + e.message, true); return; }
    key = freeKey();
    if (!fieldError($('#cron-save'), key ? '' : 'The schedule is full (99 entries): delete one first.')) return;
  }
  if (await cronSave(key, days, time, cmds, field(f, 'active').checked)) cronClear();
}

export function initSchedule() {
  const fs = $('#cron-form .days');
  DAY_NAMES.forEach((n, i) => fs.append(el('label', { class: 'day' }, el('input', { type: 'checkbox', name: 'day' + i }), el('span', {}, n))));
  $('#cron-form').addEventListener('submit', cronSubmit);
  $('#cron-add-cmd').addEventListener('click', () => $('#cron-cmds').append(commandRow()));
  $('#cron-new').addEventListener('click', cronClear);
  on('devices', refreshCommandSelects);
  cronClear();
}
