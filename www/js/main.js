// orvel dashboard: tiles grouped by room, a panel per device, the weekly
// schedule, automations, live events, the day logs and a sign-in screen. It
// talks only to the gateway's own routes on the same origin; each module is
// one part of it.
import { $, $$, field } from './dom.js';
import { onUnauthorized, onUnreachable, authState, signIn, signOut } from './api.js';
import { state, on } from './model.js';
import { loadDevices, loadHome, loadAllHistory, askUnknown } from './devices.js';
import { initTiles } from './tiles.js';
import { initPanel } from './panel.js';
import { initSchedule, loadCrons } from './schedule.js';
import { initEvents } from './events.js';
import { initLog, showLog } from './logtab.js';
import { initLive, startStream, checkHealth, probe } from './live.js';
import { toast } from './notify.js';

let started = false;

function showTab(name) {
  for (const b of $$('nav.tabs button')) {
    if (b.dataset.tab === name) b.setAttribute('aria-current', 'page'); else b.removeAttribute('aria-current');
  }
  for (const s of $$('main > section')) s.hidden = s.id !== 'tab-' + name;
  if (name === 'schedule') loadCrons();
  if (name === 'log') showLog();
  // The Automations tab's module is loaded when the tab is first opened.
  if (name === 'rules') import('./automations.js').then((m) => m.showRules(), () => toast('The Automations tab could not be loaded.', true));
}

// An automation's notice, or the gateway pausing one that ran too often.
function ruleNotice(r) {
  if (/^paused: /.test(r.text)) toast('Automation “' + r.id + '” was paused: it ran more than 10 times in 10 seconds.', true);
  else toast(r.text);
}

function showLogin() {
  const box = $('#login');
  if (!box.hidden) return;
  if ($('#detail').open) $('#detail').close();
  box.hidden = false;
  for (const n of [$('.topbar'), $('main')]) n.inert = true;
  field($('#login-form'), 'token').focus();
}

async function login(ev) {
  ev.preventDefault();
  const f = ev.target;
  const err = $('#login-error');
  err.textContent = '';
  const status = await signIn(field(f, 'token').value);
  if (status !== 200) {
    err.textContent = status === 0 ? 'The gateway did not answer.' : status === 401 ? 'That token is not right.' : 'Sign-in failed (HTTP ' + status + ').';
    return;
  }
  f.reset();
  $('#login').hidden = true;
  $('#logout').hidden = false;
  for (const n of [$('.topbar'), $('main')]) n.inert = false;
  if (!started) start(); else { loadDevices(); loadHome(); checkHealth(); if (!state.live) startStream(); }
}

function start() {
  started = true;
  loadDevices().then(async () => {
    await loadHome();
    loadAllHistory();
    loadCrons();
    askUnknown();
  });
  checkHealth();
  setInterval(() => { if (!document.hidden) loadHome(); }, 60000);
  setInterval(() => { if (!document.hidden) loadAllHistory(); }, 600000);
  startStream();
}

async function boot() {
  onUnauthorized(showLogin);
  onUnreachable(probe);
  initLive(showLogin, loadCrons);
  initTiles();
  initPanel();
  initSchedule();
  initEvents();
  initLog();
  on('rule', ruleNotice);
  for (const b of $$('nav.tabs button')) b.addEventListener('click', () => showTab(b.dataset.tab));
  $('#login-form').addEventListener('submit', login);
  $('#logout').addEventListener('click', async () => { await signOut(); location.reload(); });
  const auth = await authState();
  if (auth === 'required') { showLogin(); return; }
  $('#logout').hidden = auth !== 'ok';
  start();
}

boot();
