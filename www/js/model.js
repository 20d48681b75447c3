// What the page knows of the house: the device list with last states, the
// household state (rooms, presses, unreachable devices), sensor histories,
// and the words a device's state is shown in. Changes are announced on a
// small bus so the views that show them can follow:
//   'devices'          the list was reloaded
//   'device', id       one device's state or reachability changed
//   'home'             rooms, presses or the unreachable list changed
//   'history', id      a sensor's history changed

export const TYPE_NAMES = { rel: 'Switch', rtc: 'Clock switch', dim: 'Dimmer', led: 'LED strip', tmp: 'Temperature', btn: 'Button' };
export const DAY_S = 86400;

export const state = {
  devices: [],              // /&devices
  home: { rooms: {}, presses: {}, unreachable: [], sensors: [] },  // /&home
  history: {},              // id -> [[t, v], ...]
  live: null,               // 'stream' | 'poll'
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

// The first five hex digits name the radio device; the last one its channel.
export const radioOf = (id) => id.slice(0, 6);
export const isLost = (id) => state.home.unreachable.includes(id);

// Heard: the device answered, so every channel of it is reachable again.
export function markHeard(id) {
  const mask = radioOf(id);
  const before = state.home.unreachable.length;
  state.home.unreachable = state.home.unreachable.filter((x) => radioOf(x) !== mask);
  if (state.home.unreachable.length !== before) for (const d of state.devices) if (radioOf(d.id) === mask) emit('device', d.id);
}

export function ago(t) {
  if (!t) return '';
  const s = Math.max(0, Math.round(now() - Number(t)));
  if (s < 45) return 'just now';
  if (s < 3600) return Math.round(s / 60) + ' min ago';
  if (s < DAY_S) return Math.round(s / 3600) + ' h ago';
  return new Date(Number(t) * 1000).toLocaleDateString(undefined, { day: 'numeric', month: 'short' });
}

export function stateText(d) {
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

export function roomsInUse() {
  const names = new Set(Object.values(state.home.rooms));
  return [...names].sort((a, b) => a.localeCompare(b));
}
