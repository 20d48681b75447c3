// Loading the device list and the household state, and sending commands to
// devices: /&devices, /&home, /&history/<id>, /@<id><form>.
import { getJson } from './api.js';
import { toast } from './notify.js';
import { state, emit, kindOf, switchable, isLost, markHeard, nameOf, radioOf, levelOf, lastLevel, rememberLevel } from './model.js';

// Sends one radio command; resolves to the device's event, or null after
// showing what went wrong (unless `quiet`).
export async function radio(id, form, quiet = false) {
  let ev;
  try { ev = await getJson('/' + id + form); } catch (e) {
    if (e.status !== 401 && !quiet) toast('The gateway did not answer (' + e.message + ')', true);
    return null;
  }
  if (ev.cmd === 'ERROR') {
    if (ev.data === 'NO REPLY' && ev.id) {
      if (!isLost(ev.id)) state.home.unreachable.push(ev.id);
      for (const d of state.devices) if (radioOf(d.id) === radioOf(ev.id)) emit('device', d.id);
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

export function switchTo(d, on) {
  const form = !on ? '=0' : kindOf(d) === 'level' ? '=' + lastLevel(d.id) : '=100';
  return radio(d.id, form);
}

export function setLevel(d, level) {
  rememberLevel(d.id, level);
  return radio(d.id, '=' + level);
}

let devicesTimer = null;
export function scheduleDevices(ms = 250) {
  clearTimeout(devicesTimer);
  devicesTimer = setTimeout(loadDevices, ms);
}

export async function loadDevices() {
  try { state.devices = await getJson('/&devices'); } catch (e) {
    if (e.status !== 401) toast('Device list: ' + e.message, true);
    return;
  }
  for (const d of state.devices) rememberLevel(d.id, levelOf(d.val));
  emit('devices');
}

// After a gateway restart nothing is known of the switches and dimmers until
// they report: ask each unknown one for its status, two at a time.
export async function askUnknown() {
  const queue = state.devices.filter((d) => !d.val && switchable(d) && !isLost(d.id));
  const seen = new Set();
  const worker = async () => {
    for (let d; (d = queue.shift());) {
      const mask = radioOf(d.id);  // one status answers for every channel
      if (seen.has(mask)) continue;
      seen.add(mask);
      await radio(d.id, '=?', true);
    }
  };
  await Promise.all([worker(), worker()]);
}

export async function loadHome() {
  try {
    const h = await getJson('/&home');
    state.home = { rooms: h.rooms || {}, presses: h.presses || {}, unreachable: h.unreachable || [], sensors: h.sensors || [] };
  } catch (e) { return; } // an older gateway: no rooms, no history
  emit('home');
}

export async function loadHistory(id) {
  try { state.history[id] = await getJson('/&history/' + id); } catch (e) { return; }
  emit('history', id);
}

export const loadAllHistory = () => { for (const d of state.devices) if (kindOf(d) === 'sensor') loadHistory(d.id); };
