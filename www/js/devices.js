// The device list and the household state from the gateway, and every change
// to them: commands to devices (/@<id><form>), /&devices, /&home,
// /&history/<id>, device edits (/&device/...), rooms (/&room/...) and the
// room order, which the value store keeps for every phone (/&get, /&set).
import { getJson, getText } from './api.js';
import { toast } from './notify.js';
import { state, emit, kindOf, switchable, isLost, markHeard, markLost, nameOf, radioOf, levelOf, lastLevel, rememberLevel, readable } from './model.js';

const ROOM_ORDER_KEY = 'dash.rooms';

// Why no command can reach a device right now, or ''.
export function blockedReason() {
  if (!state.online) return 'The connection to the gateway is lost. The page reconnects by itself.';
  if (state.modem === false) return readable('USB MODEM NOT CONNECTED');
  return '';
}

// Sends one radio command to `id`; resolves to the device's event, or null
// after showing what went wrong (unless `quiet`). The answer is matched to
// the channel commanded: a multi-channel device may answer under another
// channel's id, and a "NO REPLY" marks the channel that was commanded.
export async function radio(id, form, quiet = false) {
  const blocked = blockedReason();
  if (blocked) { if (!quiet) toast(blocked, true); return null; }
  let ev;
  try { ev = await getJson('/' + id + form); } catch (e) {
    if (e.status !== 401 && !quiet) toast(e.status ? 'The gateway refused the command (' + e.message + ').' : blockedReason() || 'The gateway did not answer.', true);
    return null;
  }
  if (ev.cmd === 'ERROR') {
    if (ev.data === 'NO REPLY') markLost(id);
    if (/USB/.test(ev.data || '')) { state.modem = false; emit('link'); }
    if (!quiet) toast(readable(ev.data, nameOf(id)), true);
    return null;
  }
  markHeard(id);
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
    if (e.status > 0 && e.status !== 401) toast('The device list could not be read (' + e.message + ').', true);
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
    const [h, order] = await Promise.all([getJson('/&home'), getJson('/&get/' + ROOM_ORDER_KEY).catch(() => [])]);
    state.home = { rooms: h.rooms || {}, presses: h.presses || {}, unreachable: h.unreachable || [], sensors: h.sensors || [] };
    state.roomOrder = Array.isArray(order) ? order.filter((r) => typeof r === 'string') : [];
  } catch (e) { return; } // an older gateway: no rooms, no history
  emit('home');
}

export async function loadHistory(id) {
  try { state.history[id] = await getJson('/&history/' + id); } catch (e) { return; }
  emit('history', id);
}

export const loadAllHistory = () => { for (const d of state.devices) if (kindOf(d) === 'sensor') loadHistory(d.id); };

// Adds or changes a device; '' when stored, else the reason to show by the form.
export async function saveDevice(id, type, name) {
  let reply;
  try { reply = (await getText('/&device/' + id + '/' + type + '/' + encodeURIComponent(name))).trim(); } catch (e) {
    return 'Not saved: ' + (e.status ? e.message : 'the gateway did not answer') + '.';
  }
  if (reply === 'ERROR') return 'The gateway refused this device. Check that the name has at most 31 bytes and the list is not full.';
  await loadDevices();
  return '';
}

// Moves a device into `room` ('' for none); '' when stored, else the reason.
export async function saveRoom(id, room, reload = true) {
  let reply;
  try { reply = (await getText('/&room/' + id + '/' + encodeURIComponent(room))).trim(); } catch (e) {
    return 'Room not saved: ' + (e.status ? e.message : 'the gateway did not answer') + '.';
  }
  if (reply !== 'ROOM SAVED') return 'The gateway refused this room name.';
  if (room) state.home.rooms[id] = room; else delete state.home.rooms[id];
  if (reload) { emit('home'); loadHome(); }
  return '';
}

export async function saveRoomOrder(names) {
  try { await getText('/&set/' + ROOM_ORDER_KEY + '/' + encodeURIComponent(JSON.stringify(names))); } catch (e) { return false; }
  state.roomOrder = names;
  return true;
}

// Deletes a device and its room entry; '' when done, else the reason.
export async function deleteDevice(d) {
  let reply;
  try { reply = (await getText('/&device/' + d.id + '-')).trim(); } catch (e) {
    return 'Not deleted: ' + (e.status ? e.message : 'the gateway did not answer') + '.';
  }
  if (reply === 'ERROR') return 'The gateway could not delete this device.';
  if (state.home.rooms[d.id]) await saveRoom(d.id, '', false);
  await Promise.all([loadDevices(), loadHome()]);
  return '';
}
