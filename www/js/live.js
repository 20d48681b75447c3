// Live updates: the gateway's event stream (/&events), or the /&listen
// long-poll of an older gateway, and the header's status chips (radio,
// MQTT, live) kept by the stream and by /&health.
import { $, sleep } from './dom.js';
import { getJson, getText, parseJson, authState } from './api.js';
import { toast } from './notify.js';
import { state, emit, now, nameOf, deviceById, markHeard, tempOf, levelOf, rememberLevel } from './model.js';
import { loadDevices, loadHome, scheduleDevices } from './devices.js';
import { logEvent } from './events.js';

let showLogin = () => {};

function setChip(sel, text, ok) {
  const c = $(sel);
  c.textContent = text;
  c.classList.toggle('ok', ok === true);
  c.classList.toggle('bad', ok === false);
}
function setModem(ok) { setChip('#st-modem', ok ? 'Radio' : 'No radio', ok); }

// One radio event, from the stream or the long-poll.
function onPacket(ev) {
  logEvent(ev);
  if (!ev.id) return;
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

// A device object exactly as /&devices lists it.
function onDevice(d) {
  const i = state.devices.findIndex((x) => x.id === d.id);
  if (i < 0) { scheduleDevices(); return; }
  state.devices[i] = d;
  rememberLevel(d.id, levelOf(d.val));
  markHeard(d.id);
  emit('device', d.id);
}

// The event stream; when the gateway has none (an older one), the long-poll.
export function startStream() {
  let opened = false;
  const es = new EventSource('/&events');
  const json = (fn) => (e) => { try { fn(parseJson(e.data)); } catch (err) { /* a broken event is skipped */ } };
  es.addEventListener('open', () => {
    // What happened before the stream opened is read again.
    loadDevices();
    if (opened) loadHome();
    opened = true;
    state.live = 'stream';
    setChip('#st-live', 'Live', true);
  });
  es.addEventListener('packet', json(onPacket));
  es.addEventListener('device', json(onDevice));
  es.addEventListener('usb', json((u) => setModem(!!u.connected)));
  es.addEventListener('gap', () => { loadDevices(); loadHome(); });
  es.addEventListener('error', async () => {
    if (es.readyState !== EventSource.CLOSED) { setChip('#st-live', 'Reconnecting', false); return; }
    es.close();
    if (!opened) {
      const auth = await authState();
      if (auth === 'required') { showLogin(); return; }
      if (state.live !== 'stream') { listen(); return; }
    }
    setChip('#st-live', 'Offline', false);
    await sleep(5000);
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

export async function checkHealth() {
  let res;
  try { res = await fetch('/&health', { cache: 'no-store' }); } catch (e) { setChip('#st-modem', 'Gateway offline', false); return; }
  if (res.status === 401) { showLogin(); return; }
  if (res.status === 200 || res.status === 503) {
    try {
      const h = parseJson(await res.text());
      setModem(!!h.modem);
      const mq = $('#st-mqtt');
      mq.hidden = !h.mqtt || h.mqtt === 'off';
      if (!mq.hidden) setChip('#st-mqtt', h.mqtt === 'connected' ? 'MQTT' : 'MQTT down', h.mqtt === 'connected');
      return;
    } catch (e) { /* fall through to the old check */ }
  }
  try {
    const t = (await getText('/&usb?')).trim();
    setModem(t === 'USB:OK');
  } catch (e) { if (e.status !== 401) setChip('#st-modem', 'Gateway offline', false); }
}

export function initLive(loginHandler) { showLogin = loginHandler; }
