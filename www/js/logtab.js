// The Log tab: one day's log file (/&log=YYMMDD), how to turn logging on,
// and the gateway's and the radio modem's versions.
import { $, field } from './dom.js';
import { getText } from './api.js';

export async function showLog(ev) {
  if (ev) ev.preventDefault();
  const v = field($('#log-form'), 'day').value; // yyyy-mm-dd
  const name = v.slice(2, 4) + v.slice(5, 7) + v.slice(8, 10);
  const pre = $('#log');
  try { pre.textContent = await getText('/&log=' + name) || 'The log of ' + v + ' is empty.'; } catch (e) {
    pre.textContent = e.status === 404 ? 'There is no log for ' + v + '. Logging is off unless setup.ini turns it on (see above).'
      : 'The log could not be read (' + e.message + ').';
  }
}

// "/&version?" is the gateway's banner followed by the modem's product text.
export function versionText(raw) {
  const m = /^ORVEL V([\d.]+)\s*(.*)$/s.exec(raw.trim());
  if (!m) return raw.trim();
  return 'orvel ' + m[1] + ' · radio modem: ' + (m[2].trim() || 'none connected');
}

export function initLog() {
  const today = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  field($('#log-form'), 'day').value = today.getFullYear() + '-' + pad(today.getMonth() + 1) + '-' + pad(today.getDate());
  $('#log-form').addEventListener('submit', showLog);
  getText('/&version?').then((t) => { $('#version').textContent = versionText(t); }).catch(() => {});
}
