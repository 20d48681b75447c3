// The Events tab: every radio event as it arrives, newest first.
import { $, el } from './dom.js';
import { nameOf } from './model.js';

const EVENTS_MAX = 200;

function describe(ev) {
  const who = ev.id ? nameOf(ev.id) + ' (' + ev.id + ')' : 'gateway';
  return who + ' · ' + ev.cmd + (ev.data ? ' ' + ev.data : '') + (ev.rssi ? ' · ' + ev.rssi : '');
}

export function logEvent(ev) {
  const li = el('li', { class: ev.cmd === 'ERROR' ? 'error' : '' },
    el('time', {}, new Date().toLocaleTimeString()), ' ', describe(ev));
  const list = $('#events');
  list.prepend(li);
  while (list.children.length > EVENTS_MAX) list.lastChild.remove();
}

export function initEvents() {
  $('#events-clear').addEventListener('click', () => $('#events').replaceChildren());
}
