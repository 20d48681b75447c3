// Live updates and the link to the gateway. The event stream (/&events, or
// the /&listen long-poll of an older gateway) brings radio events, device
// states, reachability, automations' notices ("rule") and "config" changes
// made from any window, so every open dashboard follows them. /&health and the stream keep the header's
// status: the radio modem, MQTT, the live link, and "Connection lost" within
// about a second of the gateway going away.
import { $, sleep } from './dom.js';
import { getJson, parseJson, health, authState } from './api.js';
import { toast } from './notify.js';
import { state, emit, now, nameOf, deviceById, markHeard, markLost, tempOf, levelOf, rememberLevel } from './model.js';
import { loadDevices, loadHome, scheduleDevices } from './devices.js';
import { logEvent } from './events.js';

const HEALTH_EVERY_MS = 5000;
const RECONNECT_MS = 1000;
let showLogin = () => {};
let reloadSchedule = () => {};

function setChip(sel, text, ok) {
  const c = $(sel);
  c.textContent = text;
  c.classList.toggle('ok', ok === true);
  c.classList.toggle('bad', ok === false);
}

function setModem(ok) {
  if (state.modem === ok) return;
  state.modem = ok;
  showLink();
  emit('link');
}

// The chips and the banners say what is known: a lost gateway leaves the
// radio unknown rather than green.
function showLink() {
  if (!state.online) {
    setChip('#st-modem', 'Radio ?', null);
    setChip('#st-live', 'Offline', false);
  } else {
    // With several modems the chip counts them and names each in its title.
    const ms = state.modems || [];
    const up = ms.filter((m) => m.up).length;
    const label = state.modem === false ? 'No radio' : state.modem ? (ms.length > 1 ? `Radio ${up}/${ms.length}` : 'Radio') : 'Radio …';
    setChip('#st-modem', label, state.modem === null ? null : state.modem && up === ms.length);
    $('#st-modem').title = ms.length > 1
      ? ms.map((m) => `Modem ${m.modem}: ${m.up ? 'up' : 'down'} (${m.via})`).join('\n') : 'Radio modem';
  }
  $('#banner-lost').hidden = state.online;
  $('#banner-radio').hidden = !state.online || state.modem !== false;
}

function setOnline(ok) {
  if (state.online === ok) return;
  state.online = ok;
  showLink();
  emit('link');
}

// Called when a request got no answer: is the gateway gone?
export async function probe() {
  const h = await health(1500);
  if (!h) { setOnline(false); return; }
  setOnline(true);
  applyHealth(h);
}

function applyHealth(h) {
  if (h.http === 401) { showLogin(); return; }
  if (Array.isArray(h.modems)) state.modems = h.modems;
  if ('modem' in h) setModem(!!h.modem);
  const mq = $('#st-mqtt');
  mq.hidden = !h.mqtt || h.mqtt === 'off';
  if (!mq.hidden) setChip('#st-mqtt', h.mqtt === 'connected' ? 'MQTT' : 'MQTT down', h.mqtt === 'connected');
  if (h.auth) showAuthBanner(h.auth === 'off');
}

export async function checkHealth() {
  const h = await health();
  setOnline(!!h);
  if (h) applyHealth(h);
}

// Without a token anyone on the network can switch the house; say so plainly
// until the household dismisses it.
function showAuthBanner(open) {
  $('#banner-auth').hidden = !open || !!localStorage.getItem('orvel.auth.seen');
}

// One radio event, from the stream or the long-poll.
function onPacket(ev) {
  logEvent(ev);
  if (!ev.id || ev.cmd === 'ERROR') return;
  markHeard(ev.id);
  if (ev.cmd === 'SS PRESS') {
    const m = /(\d+)/.exec(ev.data || '');
    state.home.presses[ev.id] = { button: m ? Number(m[1]) : 0, time: Math.round(now()) };
    if (deviceById(ev.id)) { emit('device', ev.id); toast(nameOf(ev.id) + ': button ' + (m ? m[1] : '')); }
  }
  if (ev.cmd === 'TEMP') {
    const v = tempOf(ev.data);
    const h = state.history[ev.id];
    if (v !== null && h) {
      const t = Math.round(now());
      if (h.length && Math.floor(h[h.length - 1][0] / 60) === Math.floor(t / 60)) h[h.length - 1] = [t, v]; else h.push([t, v]);
      emit('history', ev.id);
    }
  }
}

// A device object as /&devices lists it; "available" (when present) carries
// its reachability.
function onDevice(d) {
  const i = state.devices.findIndex((x) => x.id === d.id);
  if (i < 0) { scheduleDevices(); return; }
  state.devices[i] = d;
  rememberLevel(d.id, levelOf(d.val));
  if (d.available === false) markLost(d.id); else markHeard(d.id);
  emit('device', d.id);
}

function onAvailability(a) {
  if (!a.id) return;
  if (a.available) markHeard(a.id); else markLost(a.id);
}

// Another window (or a program) changed the configuration: read that part again.
function onConfig(c) {
  if (c.what === 'devices') { loadDevices(); loadHome(); }
  if (c.what === 'rooms' || (c.what === 'value' && c.key === 'dash.rooms')) loadHome();
  if (c.what === 'schedule') reloadSchedule();
  emit('config', c.what);
}

// Everything at once, after a reconnect or when the window comes back.
function reloadAll() { loadDevices(); loadHome(); reloadSchedule(); checkHealth(); }

// The event stream; when the gateway has none (an older one), the long-poll.
export function startStream() {
  let opened = false;
  const es = new EventSource('/&events');
  const json = (fn) => (e) => { try { fn(parseJson(e.data)); } catch (err) { /* a broken event is skipped */ } };
  es.addEventListener('open', () => {
    // What happened before the stream opened is read again.
    if (opened || state.live) reloadAll(); else loadDevices();
    opened = true;
    state.live = 'stream';
    setOnline(true);
    setChip('#st-live', 'Live', true);
  });
  es.addEventListener('packet', json(onPacket));
  es.addEventListener('device', json(onDevice));
  es.addEventListener('availability', json(onAvailability));
  es.addEventListener('config', json(onConfig));
  es.addEventListener('rule', json((r) => emit('rule', r)));
  es.addEventListener('usb', json((u) => setModem(!!u.connected)));
  es.addEventListener('gap', reloadAll);
  es.addEventListener('error', async () => {
    setChip('#st-live', 'Reconnecting', false);
    probe();
    if (es.readyState !== EventSource.CLOSED) return;
    es.close();
    if (!opened) {
      const auth = await authState();
      if (auth === 'required') { showLogin(); return; }
      if (state.live !== 'stream' && state.online) { listen(); return; }
    }
    await sleep(RECONNECT_MS);
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

export function initLive(loginHandler, scheduleHandler) {
  showLogin = loginHandler;
  reloadSchedule = scheduleHandler;
  $('#banner-auth-ok').addEventListener('click', () => { localStorage.setItem('orvel.auth.seen', '1'); showAuthBanner(false); });
  setInterval(() => { if (!document.hidden) checkHealth(); }, HEALTH_EVERY_MS);
  document.addEventListener('visibilitychange', () => { if (!document.hidden && state.live) reloadAll(); });
  // An older gateway's /&health has no "auth": ask /&auth? instead.
  authState().then((a) => { if (a === 'off') showAuthBanner(true); });
}
