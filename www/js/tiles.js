// The Devices tab: one tile per device, grouped by room. A tile switches its
// device on a tap, a dimmer has a level slider, a sensor a small curve, and
// ⋯ opens the device panel.
import { $, el, svg, icon } from './dom.js';
import { state, on, now, DAY_S, TYPE_NAMES, deviceById, kindOf, switchable, isOn, isLost, levelOf, tempOf, stateText, ago, roomsInUse } from './model.js';
import { switchTo, setLevel } from './devices.js';
import { openDetail } from './panel.js';

let layout = '';  // what the tile grid was last built from
const tileOf = (id) => $('#rooms .tile[data-id="' + id + '"]');

export function renderHome() {
  const box = $('#rooms');
  $('#home-empty').hidden = state.devices.length > 0;
  const shape = JSON.stringify(state.devices.map((d) => [d.id, d.name, d.type, state.home.rooms[d.id] || '']));
  if (shape !== layout) {
    layout = shape;
    const rooms = roomsInUse();
    const groups = rooms.map((r) => [r, state.devices.filter((d) => state.home.rooms[d.id] === r)]);
    const loose = state.devices.filter((d) => !state.home.rooms[d.id]);
    if (loose.length) groups.push([rooms.length ? 'Other devices' : 'All devices', loose]);
    box.replaceChildren(...groups.filter(([, list]) => list.length).map(([room, list], i) => {
      const hid = 'room-h-' + i;
      return el('section', { class: 'room', 'aria-labelledby': hid },
        el('h2', { id: hid }, room),
        el('div', { class: 'tiles' }, ...list.map(buildTile)));
    }));
  }
  for (const d of state.devices) updateTile(d);
}

function buildTile(d) {
  const kind = kindOf(d);
  const name = d.name || d.id;
  const main = el('button', { type: 'button', class: 'tile-main' },
    icon(d.type), el('span', { class: 'name' }, name), el('span', { class: 'state' }));
  const more = el('button', { type: 'button', class: 'tile-more', 'aria-label': name + ': details' },
    svg('svg', { viewBox: '0 0 24 24', 'aria-hidden': 'true', focusable: 'false' },
      svg('circle', { cx: 6, cy: 12, r: 1.6 }), svg('circle', { cx: 12, cy: 12, r: 1.6 }), svg('circle', { cx: 18, cy: 12, r: 1.6 })));
  more.addEventListener('click', () => openDetail(d.id));
  const tile = el('article', { class: 'tile kind-' + kind + ' type-' + d.type, 'data-id': d.id }, main, more);
  if (switchable(d)) {
    main.addEventListener('click', async () => {
      const cur = deviceById(d.id);
      if (!cur) return;
      tile.classList.add('busy');
      await switchTo(cur, !isOn(cur));
      tile.classList.remove('busy');
    });
  } else {
    main.addEventListener('click', () => openDetail(d.id));
  }
  if (kind === 'level') {
    const range = el('input', { type: 'range', min: 0, max: 100, step: 1, class: 'tile-level', 'aria-label': name + ' level' });
    range.addEventListener('input', () => { tile.dataset.dragging = '1'; $('.state', tile).textContent = range.value + '\u00a0%'; });
    range.addEventListener('change', async () => {
      await setLevel(d, Number(range.value));
      delete tile.dataset.dragging;
    });
    tile.append(range);
  }
  if (kind === 'sensor') tile.append(el('div', { class: 'spark', 'aria-hidden': 'true' }));
  return tile;
}

export function updateTile(d) {
  const tile = tileOf(d.id);
  if (!tile) return;
  const kind = kindOf(d);
  const on = switchable(d) && isOn(d);
  const lost = isLost(d.id);
  tile.classList.toggle('on', on);
  tile.classList.toggle('lost', lost);
  const main = $('.tile-main', tile);
  if (switchable(d)) main.setAttribute('aria-pressed', on ? 'true' : 'false');
  if (!tile.dataset.dragging) $('.state', tile).textContent = stateText(d);
  tile.classList.toggle('unknown', kind === 'sensor' ? tempOf(d.val) === null : !d.val);
  let badge = $('.badge', tile);
  if (lost && !badge) main.append(el('span', { class: 'badge' }, 'No reply'));
  if (!lost && badge) badge.remove();
  const range = $('.tile-level', tile);
  if (range && !tile.dataset.dragging) { const l = levelOf(d.val); range.value = l === null ? 0 : l; }
  const spark = $('.spark', tile);
  if (spark) spark.replaceChildren(sparkline(state.history[d.id] || []));
  tile.title = [TYPE_NAMES[d.type] || d.type, d.id, d.time ? 'heard ' + ago(d.time) : 'not heard yet'].join(' · ');
}

function sparkline(points) {
  const recent = points.filter(([t]) => t > now() - DAY_S);
  if (recent.length < 2) return svg('svg', { viewBox: '0 0 100 24' });
  const vs = recent.map(([, v]) => v);
  const lo = Math.min(...vs), hi = Math.max(...vs), span = hi - lo || 1;
  const t0 = now() - DAY_S;
  const step = Math.max(1, Math.floor(recent.length / 120));
  const pts = recent.filter((_, i) => i % step === 0 || i === recent.length - 1)
    .map(([t, v]) => ((t - t0) / DAY_S * 100).toFixed(1) + ',' + (22 - (v - lo) / span * 20).toFixed(1));
  return svg('svg', { viewBox: '0 0 100 24', preserveAspectRatio: 'none' }, svg('polyline', { points: pts.join(' ') }));
}

export function initTiles() {
  on('devices', renderHome);
  on('home', renderHome);
  on('device', (id) => { const d = deviceById(id); if (d) updateTile(d); });
  on('history', (id) => { const d = deviceById(id); if (d) updateTile(d); });
  setInterval(() => { if (!document.hidden) state.devices.forEach(updateTile); }, 30000);
}
