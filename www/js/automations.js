// The Automations tab: each rule of the gateway as a sentence with its switch,
// last and next run and "Run now"; a form that builds a rule from pickers
// over the device list (a household never sees a rule's JSON) and shows each
// refusal of the gateway ("<path>: <reason>") next to the field it concerns;
// and the trace of the last evaluations, which says why a rule did or did not
// run. Loaded when the tab is first opened; follows "config" and "rule"
// events from then on.
import { $, $$, el, field } from './dom.js';
import { getText, getJson, parseJson } from './api.js';
import { toast, fieldError } from './notify.js';
import { state, on, nameOf, kindOf, ago } from './model.js';
import { daysText } from './schedule.js';

const DAY_NAMES = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
const DAY_SET = 'SMTWTFS';
const TRACE_SHOWN = 40;
const SWITCHES = ['switch', 'level', 'other'];
const ALL = ['switch', 'level', 'other', 'sensor', 'button'];
const MODES = { restart: 'Start again from the beginning', single: 'Ignore the new trigger', queued: 'Run again afterwards' };
const RESULTS = {
  fired: 'Ran', restarted: 'Ran again from the beginning', queued: 'Will run again after the current run',
  'ignored: still running': 'Ignored: still running', 'dropped: queue full': 'Dropped: five runs were already waiting',
  'conditions not met': 'Did not run: a condition did not hold', paused: 'Did not run: paused',
  'paused by the loop guard': 'Paused: it ran more than 10 times in 10 seconds',
};
const COND_NAMES = { time: 'Time', days: 'Day', state: 'State', temperature: 'Temperature', sun: 'Sun', hub: 'Hub' };

let rules = [];      // GET /&rules
let editing = null;  // id of the rule in the form; null for a new one
let view = null;     // the tab's parts, built on first use
let reloadTimer = 0;

const pad = (n) => String(n).padStart(2, '0');
const opt = (value, label) => el('option', { value }, label);
const titleOf = (id) => { const r = rules.find((x) => x.id === id); return (r && r.name) || id; };
const sentence = (t) => t.charAt(0).toUpperCase() + t.slice(1) + (/[.!?]$/.test(t) ? '' : '.');

// ---- the pieces a form row is made of ----------------------------------------

function select(label, path, options, value) {
  const s = el('select', { 'aria-label': label, 'data-field': path || null }, ...options.map(([v, text]) => opt(v, text)));
  if (value !== undefined && value !== null) s.value = String(value);
  return s;
}

function number(label, path, value, attrs = {}) {
  return el('input', { type: 'number', class: 'num', 'aria-label': label, 'data-field': path, value: value ?? '', ...attrs });
}
const numOrNone = (input) => (input.value === '' ? undefined : Number(input.value));

// A device picker over the devices of `kinds`, in that order; an id not in the
// list stays as it is.
function devicePick(label, path, kinds, value) {
  const rank = (d) => kinds.indexOf(kindOf(d));
  const list = state.devices.filter((d) => rank(d) >= 0).sort((a, b) => rank(a) - rank(b));
  const s = select(label, path, list.map((d) => [d.id, d.name || d.id]));
  if (value && !list.some((d) => d.id === value)) s.append(opt(value, nameOf(value)));
  if (value) s.value = value;
  return s;
}

// A time of day: "07:30", "sunset-00:30", or none at all when `optional`.
function clockPick(label, path, value, optional) {
  const m = /^(sunrise|sunset)(?:([+-])(\d\d):(\d\d))?$/.exec(value || '');
  const base = select(label, path, [...(optional ? [['', 'any time']] : []), ['at', 'the time'], ['sunrise', 'sunrise'], ['sunset', 'sunset']],
    m ? m[1] : value || !optional ? 'at' : '');
  const time = el('input', { type: 'time', 'aria-label': label + ': time', value: m || !value ? '07:00' : value });
  const mins = number(label + ': minutes from the sun', path, m && m[3] ? Number(m[3]) * 60 + Number(m[4]) : 0, { min: 0, max: 720 });
  const side = select(label + ': before or after', path, [['-', 'min before'], ['+', 'min after']], m && m[2] === '+' ? '+' : '-');
  const sync = () => { time.hidden = base.value !== 'at'; mins.hidden = side.hidden = !/^sun/.test(base.value); };
  base.addEventListener('change', sync);
  sync();
  const box = el('span', { class: 'clockpick' }, base, time, mins, side);
  box.read = () => {
    if (!base.value) return undefined;
    if (base.value === 'at') return time.value;
    const n = Math.round(Number(mins.value) || 0);
    return n ? base.value + side.value + pad(Math.floor(n / 60)) + ':' + pad(n % 60) : base.value;
  };
  return box;
}

function daysPick(path, value) {
  const box = el('fieldset', { class: 'days', 'data-field': path }, el('legend', {}, 'On these days'));
  DAY_NAMES.forEach((n, i) => box.append(el('label', { class: 'day' },
    el('input', { type: 'checkbox', checked: !value || value[i] === DAY_SET[i] }), el('span', {}, n))));
  box.read = () => $$('input', box).map((c, i) => (c.checked ? DAY_SET[i] : '-')).join('');
  return box;
}

// A state: on, off, or a level between two bounds (either may stay empty).
function levelPick(label, path, value) {
  const range = value && typeof value === 'object';
  const kind = select(label, path, [['on', 'on'], ['off', 'off'], ['range', 'a level between']], range ? 'range' : value || 'on');
  const above = number(label + ': above (%)', path + '.above', range ? value.above : '', { min: 0, max: 100 });
  const below = number(label + ': below (%)', path + '.below', range ? value.below : '', { min: 0, max: 100 });
  const sync = () => { above.hidden = below.hidden = kind.value !== 'range'; };
  kind.addEventListener('change', sync);
  sync();
  return { parts: [kind, above, below], read: () => (kind.value === 'range' ? { above: numOrNone(above), below: numOrNone(below) } : kind.value) };
}

// ---- what a rule can hold: each kind's label, its fields, and its reading ------

const TRIGGERS = {
  button: ['a button is pressed', (v) => {
    const dev = devicePick('Button', 'button', ['button', ...SWITCHES], v.button);
    const n = number('Button number (empty: any)', 'number', v.number, { min: 0, max: 255, placeholder: 'any' });
    return { parts: [dev, 'number', n], read: () => ({ button: dev.value, number: numOrNone(n) }) };
  }],
  state: ['a device switches', (v) => {
    const s = v.state || {};
    const dev = devicePick('Device', 'state.device', SWITCHES, s.device);
    const to = levelPick('Switches to', 'state.to', s.to);
    return { parts: [dev, 'to', ...to.parts], read: () => ({ state: { device: dev.value, to: to.read() } }) };
  }],
  temperature: ['a temperature crosses a limit', (v) => {
    const t = v.temperature || {};
    const dev = devicePick('Sensor', 'temperature.device', ['sensor'], t.device);
    const dir = select('Direction', 'temperature', [['below', 'drops below'], ['above', 'rises above']], 'above' in t ? 'above' : 'below');
    const deg = number('Limit (°C)', 'temperature.above temperature.below', t.above ?? t.below ?? 19, { step: 0.5 });
    const hys = number('Margin before it fires again (°C)', 'temperature.hysteresis', t.hysteresis ?? 0.5, { min: 0, max: 20, step: 0.1 });
    return { parts: [dev, dir, deg, '°C, again after', hys, '°C back'],
      read: () => ({ temperature: { device: dev.value, [dir.value]: numOrNone(deg), hysteresis: numOrNone(hys) } }) };
  }],
  time: ['at a time of day', (v) => {
    const t = v.time || {};
    const at = clockPick('At', 'time.at', t.at, false);
    const days = daysPick('time.days', t.days);
    return { parts: [at, days], read: () => ({ time: { at: at.read(), days: days.read() } }) };
  }],
  start: ['the gateway starts', () => ({ parts: [], read: () => ({ start: true }) })],
  unreachable: ['a device does not answer', (v) => {
    const dev = devicePick('Device', 'unreachable', ALL, v.unreachable);
    return { parts: [dev], read: () => ({ unreachable: dev.value }) };
  }],
  hub: ['the hub goes away or comes back', (v) => {
    const s = select('Hub', 'hub', [['offline', 'goes away'], ['online', 'comes back']], v.hub);
    return { parts: [s], read: () => ({ hub: s.value }) };
  }],
};

const CONDITIONS = {
  time: ['the time is between', (v) => {
    const t = v.time || {};
    const after = clockPick('From', 'time.after', t.after, true);
    const before = clockPick('Until', 'time.before', t.before, true);
    return { parts: [after, 'and', before], read: () => ({ time: { after: after.read(), before: before.read() } }) };
  }],
  days: ['it is one of the days', (v) => {
    const days = daysPick('days', v.days);
    return { parts: [days], read: () => ({ days: days.read() }) };
  }],
  state: ['a device is', (v) => {
    const s = v.state || {};
    const dev = devicePick('Device', 'state.device', SWITCHES, s.device);
    const is = levelPick('Is', 'state.is', s.is);
    return { parts: [dev, ...is.parts], read: () => ({ state: { device: dev.value, is: is.read() } }) };
  }],
  temperature: ['a temperature is', (v) => {
    const t = v.temperature || {};
    const dev = devicePick('Sensor', 'temperature.device', ['sensor'], t.device);
    const above = number('Above (°C)', 'temperature.above', t.above, { step: 0.5, placeholder: 'no limit' });
    const below = number('Below (°C)', 'temperature.below', t.below, { step: 0.5, placeholder: 'no limit' });
    return { parts: [dev, 'above', above, 'below', below],
      read: () => ({ temperature: { device: dev.value, above: numOrNone(above), below: numOrNone(below) } }) };
  }],
  sun: ['the sun is', (v) => {
    const s = select('Sun', 'sun', [['down', 'down'], ['up', 'up']], v.sun);
    return { parts: [s], read: () => ({ sun: s.value }) };
  }],
  hub: ['the hub is', (v) => {
    const s = select('Hub', 'hub', [['offline', 'away'], ['online', 'there']], v.hub);
    return { parts: [s], read: () => ({ hub: s.value }) };
  }],
};

// "@1a2b30=80" as device and what to do; a form the picker has no words for stays a command text.
function parseSend(cmd) {
  const m = /^(@[0-9a-f]{6})(?:=(\d{1,3})|(!)|\+(\d+))$/.exec(cmd || '');
  if (!m) return cmd ? { action: 'other', text: cmd } : { action: 'on' };
  if (m[3]) return { id: m[1], action: 'toggle' };
  if (m[4]) return Number(m[4]) % 60 ? { action: 'other', text: cmd } : { id: m[1], action: 'timer', amount: Number(m[4]) / 60 };
  const l = Number(m[2]);
  return { id: m[1], action: l === 0 ? 'off' : l === 100 ? 'on' : 'level', amount: l };
}

const ACTIONS = {
  send: ['switch a device', (v) => {
    const c = parseSend(v.send);
    const dev = devicePick('Device', '', SWITCHES, c.id);
    const act = select('What to do', '', [['on', 'on'], ['off', 'off'], ['toggle', 'toggle'], ['level', 'to a level'],
      ['timer', 'off after'], ['other', 'radio command']], c.action);
    const amount = number('Amount', 'send', c.action === 'level' || c.action === 'timer' ? c.amount : 50, { min: 1 });
    const unit = el('span', {});
    const text = el('input', { type: 'text', 'aria-label': 'Radio command', 'data-field': 'send', value: c.text || '', maxlength: 127 });
    const sync = () => {
      amount.hidden = unit.hidden = !['level', 'timer'].includes(act.value);
      unit.textContent = act.value === 'timer' ? 'min' : '%';
      text.hidden = act.value !== 'other';
      dev.hidden = act.value === 'other';
    };
    act.addEventListener('change', sync);
    sync();
    const forms = { on: '=100', off: '=0', toggle: '!', level: () => '=' + amount.value, timer: () => '+' + Number(amount.value) * 60 };
    return { parts: [dev, act, amount, unit, text], read: () => {
      const f = forms[act.value];
      return { send: act.value === 'other' ? text.value.trim() : dev.value + (typeof f === 'function' ? f() : f) };
    } };
  }],
  delay: ['wait', (v) => {
    const s = Number(v.delay) || 60;
    const mins = number('Minutes', 'delay', Math.floor(s / 60), { min: 0, max: 1440 });
    const secs = number('Seconds', 'delay', s % 60, { min: 0, max: 59 });
    return { parts: [mins, 'min', secs, 's'], read: () => ({ delay: (Number(mins.value) || 0) * 60 + (Number(secs.value) || 0) }) };
  }],
  event: ['send a notice', (v) => {
    const t = el('input', { type: 'text', 'aria-label': 'Notice text', 'data-field': 'event', value: v.event || '', maxlength: 127 });
    return { parts: [t], read: () => ({ event: t.value }) };
  }],
};

// One entry of a list: its kind, its fields, and buttons to move and remove it.
function itemRow(table, what, value) {
  const kinds = Object.keys(table);
  const first = kinds.find((k) => value && k in value) || kinds[0];
  const pick = select(what, '', kinds.map((k) => [k, table[k][0]]), first);
  pick.classList.add('kind');
  pick.removeAttribute('data-field');
  const body = el('span', { class: 'fields' });
  const row = el('li', { class: 'item' });
  const fill = (v) => { const m = table[pick.value][1](v || {}); body.replaceChildren(...m.parts); row.read = m.read; };
  pick.addEventListener('change', () => fill(null));
  const move = (dir) => { const to = dir < 0 ? row.previousElementSibling : row.nextElementSibling; if (to) to[dir < 0 ? 'before' : 'after'](row); };
  row.append(pick, body, el('span', { class: 'item-acts' },
    el('button', { type: 'button', class: 'icon-btn', 'aria-label': 'Move up: ' + what, onclick: () => move(-1) }, '↑'),
    el('button', { type: 'button', class: 'icon-btn', 'aria-label': 'Remove: ' + what, onclick: () => row.remove() }, '×')));
  fill(value);
  return row;
}

// ---- sentences -----------------------------------------------------------------

function levelText(l) {
  if (typeof l !== 'object') return l;
  if (l.above !== undefined && l.below !== undefined) return 'between ' + l.above + ' and ' + l.below + '\u00a0%';
  return l.above !== undefined ? 'above ' + l.above + '\u00a0%' : 'below ' + l.below + '\u00a0%';
}
function clockText(c) {
  const m = /^(sunrise|sunset)(?:([+-])(\d\d):(\d\d))?$/.exec(c || '');
  if (!m) return c;
  const n = m[3] ? Number(m[3]) * 60 + Number(m[4]) : 0;
  return n ? (n % 60 ? n + ' min ' : n / 60 + ' h ') + (m[2] === '-' ? 'before ' : 'after ') + m[1] : m[1];
}
// "on weekdays", "on Sat, Sun"; nothing for every day.
function onDays(d) {
  if (!d || !/[a-z-]/.test(d)) return '';
  const t = daysText(d);
  return ' on ' + (/^(Weekdays|Weekends)$/.test(t) ? t.toLowerCase() : t);
}
const degreesText = (v) => v + '\u00a0°C';

function triggerText(t) {
  if ('button' in t) return nameOf(t.button) + (t.number !== undefined ? ' (button ' + t.number + ')' : '') + ' is pressed';
  if ('state' in t) return nameOf(t.state.device) + (typeof t.state.to === 'object' ? ' goes to a level ' : ' turns ') + levelText(t.state.to);
  if ('temperature' in t) {
    const x = t.temperature;
    return nameOf(x.device) + ('above' in x ? ' rises above ' + degreesText(x.above) : ' drops below ' + degreesText(x.below));
  }
  if ('time' in t) return 'at ' + clockText(t.time.at) + onDays(t.time.days);
  if ('start' in t) return 'the gateway starts';
  if ('unreachable' in t) return nameOf(t.unreachable) + ' does not answer';
  return t.hub === 'offline' ? 'the hub goes away' : 'the hub comes back';
}

function conditionText(c) {
  if ('time' in c) {
    const { after, before } = c.time;
    return after && before ? 'between ' + clockText(after) + ' and ' + clockText(before) : after ? 'after ' + clockText(after) : 'before ' + clockText(before);
  }
  if ('days' in c) return onDays(c.days).slice(1) || 'on any day';
  if ('state' in c) return nameOf(c.state.device) + ' is ' + levelText(c.state.is);
  if ('temperature' in c) {
    const x = c.temperature;
    return nameOf(x.device) + ' is' + (x.above !== undefined ? ' above ' + degreesText(x.above) : '') + (x.above !== undefined && x.below !== undefined ? ' and' : '')
      + (x.below !== undefined ? ' below ' + degreesText(x.below) : '');
  }
  if ('sun' in c) return 'the sun is ' + c.sun;
  return c.hub === 'offline' ? 'the hub is away' : 'the hub is there';
}

function actionText(a) {
  if ('delay' in a) return 'wait ' + (a.delay >= 60 ? Math.floor(a.delay / 60) + ' min' + (a.delay % 60 ? ' ' + a.delay % 60 + ' s' : '') : a.delay + ' s');
  if ('event' in a) return 'send the notice “' + a.event + '”';
  const c = parseSend(a.send);
  if (c.action === 'other') return 'send ' + c.text;
  const what = { on: 'on', off: 'off', toggle: 'toggle', level: 'to ' + c.amount + '\u00a0%', timer: 'off after ' + c.amount + ' min' }[c.action];
  return (c.action === 'toggle' ? 'toggle ' + nameOf(c.id) : 'switch ' + nameOf(c.id) + ' ' + what);
}

function ruleSentence(r) {
  return sentence('When ' + r.when.map(triggerText).join(' or ')
    + (r.if.length ? ', if ' + r.if.map(conditionText).join(' and ') : '') + ': ' + r.then.map(actionText).join(', then '));
}

// ---- the list and the trace -------------------------------------------------------

const dateText = (t) => new Date(t * 1000).toLocaleString(undefined, { weekday: 'short', hour: '2-digit', minute: '2-digit' });

function ruleItem(r) {
  const remove = el('button', { type: 'button', class: 'ghost danger', 'aria-label': 'Delete ' + (r.name || r.id), onclick: () => removeRule(r) }, 'Delete');
  if (r.error) {
    return el('li', { class: 'entry rule' }, el('div', {}, el('strong', {}, r.id),
      el('p', { class: 'field-error' }, 'This automation cannot run (' + r.error + '). Correct it in the gateway’s rules file, or delete it.')),
    el('div', { class: 'acts' }, remove));
  }
  const name = r.name || r.id;
  const enable = el('input', { type: 'checkbox', checked: r.enabled, onchange: (ev) => saveRule({ ...strip(r), enabled: ev.target.checked }, true) });
  const facts = [r.last_fired ? 'Last ran ' + ago(r.last_fired) : 'Has not run yet', r.next ? 'next ' + dateText(r.next) : ''].filter(Boolean).join(' · ');
  return el('li', { class: 'entry rule' + (r.enabled && !r.paused ? '' : ' paused'), 'data-id': r.id },
    el('div', { class: 'when' }, el('strong', {}, name),
      !r.enabled ? el('span', { class: 'chip' }, 'Off') : null, r.paused ? el('span', { class: 'chip bad' }, 'Paused') : null),
    el('div', { class: 'what' }, ruleSentence(r), el('br'), el('small', {}, facts),
      r.paused ? el('p', { class: 'warn' }, 'It ran more than 10 times in 10 seconds, so the gateway paused it. Save it again to resume.') : null),
    el('div', { class: 'acts' },
      el('label', { class: 'check' }, enable, el('span', {}, 'On'), el('span', { class: 'vh' }, ': ' + name)),
      el('button', { type: 'button', class: 'ghost', 'aria-label': 'Run now: ' + name, onclick: () => runRule(r) }, 'Run now'),
      el('button', { type: 'button', class: 'ghost', 'aria-label': 'Edit ' + name, onclick: () => openForm(r) }, 'Edit'),
      remove));
}

function traceWords(text) {
  return text.replace(/^button (@\w{6}) (\d+)$/, (x, id, n) => nameOf(id) + ': button ' + n)
    .replace(/^(state|temperature|unreachable) (@\w{6})(?: (.*))?$/, (x, kind, id, v) => nameOf(id) + (kind === 'unreachable' ? ' did not answer' : ': ' + (v || '')))
    .replace(/^time (.*)$/, (x, c) => 'at ' + clockText(c)).replace(/^hub offline$/, 'the hub went away').replace(/^hub online$/, 'the hub came back')
    .replace(/^start$/, 'the gateway started');
}

function traceItem(e) {
  const ran = ['fired', 'restarted', 'queued'].includes(e.result);
  const actions = e.actions.map((a) => ('send' in a ? actionText({ send: a.send }) : 'notice “' + a.event + '”') + (a.result === 'sent' || a.result === 'published' ? '' : ' (' + a.result + ')'));
  return el('li', { class: ran ? 'ran' : 'not' },
    el('div', {}, el('time', {}, new Date(e.at * 1000).toLocaleTimeString()), ' ', el('strong', {}, titleOf(e.rule)), ' · ', traceWords(e.trigger)),
    el('div', { class: 'result' }, RESULTS[e.result] || e.result),
    e.conditions.length ? el('ul', { class: 'conds' }, ...e.conditions.map((c) => el('li', { class: c.ok ? 'ok' : 'no' },
      el('span', { 'aria-hidden': 'true' }, c.ok ? '✓ ' : '✗ '), (COND_NAMES[c.if] || c.if) + ': ' + c.saw + (c.ok ? ' (holds)' : ' (does not hold)')))) : null,
    actions.length ? el('div', { class: 'hint' }, 'Done: ' + actions.join(' · ')) : null);
}

async function load() {
  if (!view) return;
  let trace;
  try {
    [rules, trace] = await Promise.all([getJson('/&rules'), getJson('/&rules/trace')]);
  } catch (e) { if (e.status !== 401) toast('Automations: ' + e.message, true); return; }
  view.list.replaceChildren(...rules.map(ruleItem));
  view.empty.hidden = rules.length > 0;
  view.trace.replaceChildren(...trace.slice(-TRACE_SHOWN).reverse().map(traceItem));
  view.traceEmpty.hidden = trace.length > 0;
}

// Reloads shortly after an event while the tab is open, once for a burst.
function reloadSoon() {
  if (reloadTimer || $('#tab-rules').hidden || document.hidden) return;
  reloadTimer = setTimeout(() => { reloadTimer = 0; load(); }, 300);
}

// ---- saving --------------------------------------------------------------------

const strip = ({ last_fired, next, paused, ...r }) => r;

// POSTs to a rule route: the gateway's answer object, {ok:false,error} for a refusal.
async function post(path, body) {
  try { return parseJson(await getText(path, { method: 'POST', body })); } catch (e) {
    try { return parseJson(e.body); } catch (x) { return { ok: false, error: e.status ? 'HTTP ' + e.status : 'the gateway did not answer' }; }
  }
}

// A readable reason for a refusal "<path>: <reason>".
function reasonText(reason) {
  if (/device id|^missing$/.test(reason)) return 'Pick a device or fill this in.';
  if (/LAT and LON/.test(reason)) return 'Sunrise and sunset need the gateway’s place: add LAT= and LON= to its setup.ini and restart it.';
  return sentence(reason);
}

// The element an error path concerns: a row's field, the row, or the form's own field.
function errorTarget(f, path) {
  const m = /^(when|if|then)\[(\d+)\](?:\.(.*))?$/.exec(path);
  if (!m) return $('[data-field~="' + path.split(/[.[]/)[0] + '"]', f) || $('button[type=submit]', f);
  const row = $$('.items', f).find((l) => l.dataset.list === m[1]).children[Number(m[2])];
  const rest = m[3] || '';
  let best = $('select.kind', row), len = -1;
  for (const x of $$('[data-field]', row)) {
    if (x.hidden) continue;
    for (const name of x.dataset.field.split(' ')) {
      if ((rest === name || rest.startsWith(name + '.')) && name.length > len) { best = x; len = name.length; }
    }
  }
  return best;
}

async function saveRule(r, quiet) {
  const reply = await post('/&rule/' + encodeURIComponent(r.id), JSON.stringify(r));
  if (!reply.ok) {
    if (quiet) toast(titleOf(r.id) + ': ' + reply.error, true);
    load();
    return reply;
  }
  if (!quiet) toast('Saved ' + (r.name || r.id));
  await load();
  return reply;
}

async function runRule(r) {
  try { await getText('/&rule/' + encodeURIComponent(r.id) + '/run'); toast('Running ' + (r.name || r.id)); } catch (e) { toast('Run now: ' + e.message, true); }
  load();
}

async function removeRule(r) {
  if (!confirm('Delete the automation “' + (r.name || r.id) + '”?')) return;
  const reply = await post('/&rule/' + encodeURIComponent(r.id), '');
  toast(reply.ok ? 'Deleted ' + (r.name || r.id) : reply.error, !reply.ok);
  if (editing === r.id) closeForm();
  load();
}

function newId(name) {
  const base = name.toLowerCase().normalize('NFD').replace(/[\u0300-\u036f]/g, '').replace(/[^a-z0-9]+/g, '-').replace(/^-+|-+$/g, '').slice(0, 28) || 'rule';
  let id = base;
  for (let n = 2; rules.some((r) => r.id === id); n++) id = base + '-' + n;
  return id;
}

async function submit(ev) {
  ev.preventDefault();
  const f = view.form;
  for (const bad of $$('.field-error', f)) bad.remove();
  for (const bad of $$('[aria-invalid]', f)) bad.removeAttribute('aria-invalid');
  const name = field(f, 'name').value.trim();
  if (!fieldError(field(f, 'name'), name ? '' : 'Give the automation a name.')) return;
  const list = (which) => $$('.items[data-list="' + which + '"] > li', f).map((row) => row.read());
  const r = { id: editing || newId(name), name, enabled: field(f, 'enabled').checked, when: list('when'), if: list('if'), then: list('then'), mode: field(f, 'mode').value };
  const reply = await saveRule(JSON.parse(JSON.stringify(r)));  // undefined members left out
  if (reply.ok) { closeForm(); return; }
  const at = reply.error.indexOf(': ');
  const target = at > 0 ? errorTarget(f, reply.error.slice(0, at)) : $('button[type=submit]', f);
  fieldError(target, reasonText(at > 0 ? reply.error.slice(at + 2) : reply.error));
  target.focus();
}

// ---- the form ------------------------------------------------------------------

function listBlock(which, legend, table, what, adds) {
  const items = el('ul', { class: 'items', 'data-list': which });
  return { items, box: el('fieldset', {}, el('legend', {}, legend), items, el('div', { class: 'row' },
    ...adds.map(([label, kind]) => el('button', { type: 'button', class: 'ghost', 'data-field': which, onclick: () => {
      const row = itemRow(table, what, kind ? { [kind]: undefined } : null);
      items.append(row);
      $('select', row).focus();
    } }, label)))) };
}

function buildForm() {
  const when = listBlock('when', 'When any of these happens', TRIGGERS, 'Trigger', [['+ Trigger']]);
  const cond = listBlock('if', 'Only if all of these hold (none: always)', CONDITIONS, 'Condition', [['+ Condition']]);
  const then = listBlock('then', 'Do this, in order', ACTIONS, 'Step', [['+ Action'], ['+ Wait', 'delay']]);
  const form = el('form', { class: 'panel form', novalidate: true, hidden: true, 'aria-labelledby': 'rule-form-title' },
    el('h2', { id: 'rule-form-title' }, 'New automation'),
    el('label', {}, 'Name', el('input', { name: 'name', maxlength: 80, 'data-field': 'name id', autocomplete: 'off' })),
    when.box, cond.box, then.box,
    el('label', {}, 'When it is triggered again while it waits', select(null, 'mode', Object.entries(MODES), 'restart')),
    el('label', { class: 'check' }, el('input', { type: 'checkbox', name: 'enabled', 'data-field': 'enabled', checked: true }), 'On'),
    el('div', { class: 'row' }, el('button', { type: 'submit', class: 'primary' }, 'Save automation'),
      el('button', { type: 'button', class: 'ghost', onclick: closeForm }, 'Cancel')));
  $('select[data-field=mode]', form).name = 'mode';
  form.addEventListener('submit', submit);
  return form;
}

function openForm(r) {
  const f = view.form;
  editing = r ? r.id : null;
  $('#rule-form-title').textContent = r ? 'Edit “' + (r.name || r.id) + '”' : 'New automation';
  field(f, 'name').value = r ? r.name || r.id : '';
  field(f, 'enabled').checked = r ? r.enabled : true;
  field(f, 'mode').value = r ? r.mode : 'restart';
  const fill = (which, table, what, items, first) => $('.items[data-list="' + which + '"]', f)
    .replaceChildren(...(items.length ? items : first).map((v) => itemRow(table, what, v)));
  fill('when', TRIGGERS, 'Trigger', r ? r.when : [], [null]);
  fill('if', CONDITIONS, 'Condition', r ? r.if : [], []);
  fill('then', ACTIONS, 'Step', r ? r.then : [], [null]);
  for (const bad of $$('.field-error', f)) bad.remove();
  view.add.hidden = true;
  f.hidden = false;
  f.scrollIntoView({ behavior: 'smooth', block: 'start' });
  field(f, 'name').focus();
}

function closeForm() {
  editing = null;
  view.form.hidden = true;
  view.add.hidden = false;
}

function build() {
  view = {
    list: el('ul', { class: 'entries' }),
    empty: el('p', { class: 'hint' }, 'No automations yet. An automation makes the gateway act by itself: a button that lights the hall at night, a heater that follows a thermometer. It runs on the gateway, even when no phone, hub or server is there.'),
    add: el('button', { type: 'button', class: 'primary', onclick: () => openForm(null) }, '+ New automation'),
    form: buildForm(),
    trace: el('ol', { class: 'trace' }),
    traceEmpty: el('p', { class: 'hint' }, 'Nothing has happened yet.'),
  };
  $('#tab-rules').append(view.list, view.empty, el('p', { class: 'row' }, view.add), view.form,
    el('h2', {}, 'Recent activity'), el('p', { class: 'hint' }, 'Each time something could start an automation: whether it ran and why, newest first.'),
    view.traceEmpty, view.trace);
  // A rule may have run on any press, state or reading; time rules on the clock.
  on('config', (what) => { if (what === 'rules') reloadSoon(); });
  for (const topic of ['rule', 'device', 'history']) on(topic, reloadSoon);
  setInterval(reloadSoon, 30000);
}

export function showRules() {
  if (!view) build();
  load();
}
