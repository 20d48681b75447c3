// What the page knows of the house: the device list with last states, the
// household state (rooms, presses, unreachable devices), sensor histories,
// the link to the gateway, and the words a device's state is shown in.
// Changes are announced on a small bus so the views that show them follow:
//   'devices'          the list was reloaded
//   'device', id       one device's state or reachability changed
//   'home'             rooms, room order, presses or the unreachable list changed
//   'history', id      a sensor's history changed
//   'link'             the gateway connection or the radio modem changed

export const TYPE_NAMES = { rel: 'Switch', rtc: 'Clock switch', dim: 'Dimmer', led: 'LED strip', tmp: 'Temperature', btn: 'Button' };
export const DAY_S = 86400;
export const NAME_MAX_BYTES = 31;   // the gateway keeps device and room names up to this many bytes
export const STALE_S = 30 * 60;     // a sensor not heard for this long shows its age

export const state = {
  devices: [],              // /&devices
  home: { rooms: {}, presses: {}, unreachable: [], sensors: [] },  // /&home
  roomOrder: [],            // room names in the household's order (value store)
  history: {},              // id -> [[t, v], ...]
  live: null,               // 'stream' | 'poll'
  online: true,             // the gateway answers
  modem: null,              // the radio modem: true, false, or null (not known)
  modems: [],               // each modem of /&health: {modem, up, via, ...}
};

const listeners = {};
export function on(topic, fn) { (listeners[topic] ||= []).push(fn); }
export function emit(topic, arg) { for (const fn of listeners[topic] || []) fn(arg); }

export const now = () => Date.now() / 1000;
export const deviceById = (id) => state.devices.find((d) => d.id === id);
export const nameOf = (id) => { const d = deviceById(id); return d && d.name ? d.name : id; };
export function kindOf(d) {
  const t = d.type || '';
  if (t === 'dim' || t === 'led') return 'level';
  if (t.startsWith('r')) return 'switch';
  if (t === 'tmp') return 'sensor';
  if (t === 'btn') return 'button';
  return 'other';
}
export const switchable = (d) => kindOf(d) === 'switch' || kindOf(d) === 'level';

export function levelOf(val) {
  const m = /^(-?\d+)%$/.exec(val || '');
  return m ? Math.max(0, Math.min(100, Number(m[1]))) : null;
}
export function isOn(d) {
  if (d.val === 'ON') return true;
  const l = levelOf(d.val);
  return l !== null && l > 0;
}
export function tempOf(val) {
  const m = /^(-?\d+(?:\.\d+)?)C$/.exec(val || '');
  return m ? Number(m[1]) : null;
}
export const degrees = (v) => v.toFixed(1) + '\u00a0°C';

// The level "On" brings a dimmer back to: the last one it had that was not 0.
export function lastLevel(id) { return Number(localStorage.getItem('orvel.level.' + id)) || 100; }
export function rememberLevel(id, level) { if (level > 0) localStorage.setItem('orvel.level.' + id, String(level)); }

// Reachability. A multi-channel device answers for all of its channels, so
// hearing any channel clears them all; a command that got no answer marks
// the channel that was commanded.
export const radioOf = (id) => id.slice(0, 6);   // '@' and the first five digits
export const isLost = (id) => state.home.unreachable.includes(id);
export function markHeard(id) {
  const mask = radioOf(id);
  const before = state.home.unreachable.length;
  state.home.unreachable = state.home.unreachable.filter((x) => radioOf(x) !== mask);
  if (state.home.unreachable.length !== before) for (const d of state.devices) if (radioOf(d.id) === mask) emit('device', d.id);
}
export function markLost(id) {
  if (isLost(id)) return;
  state.home.unreachable.push(id);
  emit('device', id);
}

export function ago(t) {
  if (!t) return '';
  const s = Math.max(0, Math.round(now() - Number(t)));
  if (s < 45) return 'just now';
  if (s < 3600) return Math.round(s / 60) + ' min ago';
  if (s < DAY_S) return Math.round(s / 3600) + ' h ago';
  const days = Math.round(s / DAY_S);
  return days < 7 ? days + (days === 1 ? ' day ago' : ' days ago')
    : new Date(Number(t) * 1000).toLocaleDateString(undefined, { day: 'numeric', month: 'short' });
}
export const heardAt = (d) => Number(d.time) || 0;
export const isStale = (d) => kindOf(d) === 'sensor' && heardAt(d) > 0 && now() - heardAt(d) > STALE_S;

export function stateText(d) {
  const kind = kindOf(d);
  if (kind === 'sensor') { const v = tempOf(d.val); return v === null ? (d.val === 'ERROR' ? 'Sensor error' : 'No reading') : degrees(v); }
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

// Rooms in the household's order: the stored order first, then the rest by name.
export function roomsInUse() {
  const names = [...new Set(Object.values(state.home.rooms))];
  const rank = (r) => { const i = state.roomOrder.indexOf(r); return i < 0 ? Infinity : i; };
  return names.sort((a, b) => rank(a) - rank(b) || a.localeCompare(b));
}

// Why a device or room name cannot be stored, or '' when it can.
export function nameProblem(text) {
  if (/[\u0000-\u001f\u007f]/.test(text)) return 'A name cannot hold a line break or a tab.';
  const bytes = new TextEncoder().encode(text).length;
  if (bytes > NAME_MAX_BYTES) {
    return 'Too long: the gateway keeps ' + NAME_MAX_BYTES + ' bytes, this is ' + bytes
      + (bytes > text.length ? ' (letters such as é or ü take two).' : '.');
  }
  return '';
}

// The gateway's error words as a sentence for the household; `who` names the device.
export function readable(data, who) {
  const text = String(data || '').trim();
  const known = {
    'NO REPLY': (who || 'The device') + ' did not answer. It may be out of range or without power.',
    'USB MODEM NOT CONNECTED': 'The radio modem is not connected, so nothing can be switched. Check its USB plug.',
    'USB REMOVED': 'The radio modem was unplugged while the command was being sent.',
    'BAD DATA': 'The gateway did not understand this command.',
    'TOO MANY CONNECTIONS': 'The gateway is busy with other commands. Try again in a moment.',
    'UNAUTHORIZED': 'Sign in first.',
  }[text.toUpperCase()];
  if (known) return known;
  if (/sockets full/i.test(text)) return 'Too many pages are following the gateway. Close another dashboard and try again.';
  const sentence = text ? text.charAt(0).toUpperCase() + text.slice(1).toLowerCase() : 'Something went wrong';
  return (who ? who + ': ' : '') + sentence + (/[.!?]$/.test(sentence) ? '' : '.');
}
