// The Log tab: one day's log file (/&log=YYMMDD) and the gateway's version.
import { $, field } from './dom.js';
import { getText } from './api.js';

export async function showLog(ev) {
  if (ev) ev.preventDefault();
  const v = field($('#log-form'), 'day').value; // yyyy-mm-dd
  const name = v.slice(2, 4) + v.slice(5, 7) + v.slice(8, 10);
  const pre = $('#log');
  try { pre.textContent = await getText('/&log=' + name) || '(empty)'; } catch (e) {
    pre.textContent = e.status === 404 ? 'No log for ' + v + '. Daily logs are written when setup.ini has DEBUG=1 or LOGS=1.' : 'Log: ' + e.message;
  }
}

export function initLog() {
  const today = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  field($('#log-form'), 'day').value = today.getFullYear() + '-' + pad(today.getMonth() + 1) + '-' + pad(today.getDate());
  $('#log-form').addEventListener('submit', showLog);
  getText('/&version?').then((t) => { $('#version').textContent = t.trim(); }).catch(() => {});
}
