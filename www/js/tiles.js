// The Devices tab: one tile per device, grouped by room in the household's
// order. A tap switches a switch or dimmer; dragging sideways across a
// dimmer's tile (or its level bar) sets its level; a sensor shows a small
// curve and its age when it has been silent; ⋯ opens the device panel. A
// tile that cannot act says why.
import { $, el, svg, icon } from './dom.js';
import { toast } from './notify.js';
import { state, on, deviceById, kindOf, switchable, isOn, isLost, isStale, levelOf, tempOf, stateText, ago, heardAt, roomsInUse } from './model.js';
import { switchTo, setLevel, blockedReason } from './devices.js';
import { recentSpan } from './chart.js';
import { openDetail } from './panel.js';
import { openRooms, roomsOffered } from './rooms.js';

const DRAG_START_PX = 10;  // a sideways move beyond this is a drag, not a tap
let layout = '';           // what the tile grid was last built from
const tileOf = (id) => $('#rooms .tile[data-id="' + id + '"]');

export function renderHome() {
  const box = $('#rooms');
  $('#home-empty').hidden = state.devices.length > 0;
  $('#rooms-offer').hidden = !roomsOffered();
  const rooms = roomsInUse();
  const shape = JSON.stringify([rooms, state.devices.map((d) => [d.id, d.name, d.type, state.home.rooms[d.id] || ''])]);
  if (shape !== layout) {
    layout = shape;
    const groups = rooms.map((r) => [r, state.devices.filter((d) => state.home.rooms[d.id] === r)]);
    const loose = state.devices.filter((d) => !state.home.rooms[d.id]);
    if (loose.length) groups.push([rooms.length ? 'Other devices' : 'All devices', loose]);
    box.replaceChildren(...groups.filter(([, list]) => list.length).map(([room, list], i) => {
      const hid = 'room-h-' + i;
      return el('section', { class: 'room', 'aria-labelledby': hid, style: '--n:' + list.length },
        el('h2', { id: hid }, room),
        el('div', { class: 'tiles' }, ...list.map(buildTile)));
    }));
  }
  for (const d of state.devices) updateTile(d);
}

// A tile is a grid: icon, name, state, and a note when there is one. The
// tap target is a button spread under all of it (the visible parts let the
// pointer through), named by them; a dimmer's level bar lies over the state
// row, a sensor's curve beside its icon, and ⋯ in the corner.
function buildTile(d) {
  const kind = kindOf(d);
  const name = d.name || d.id;
  const key = d.id.slice(1);
  const main = el('button', { type: 'button', class: 'tile-main', 'aria-labelledby': 'tn-' + key + ' ts-' + key + ' tx-' + key });
  const more = el('button', { type: 'button', class: 'tile-more', 'aria-label': name + ': details' },
    svg('svg', { viewBox: '0 0 24 24', 'aria-hidden': 'true', focusable: 'false' },
      svg('circle', { cx: 6, cy: 12, r: 1.6 }), svg('circle', { cx: 12, cy: 12, r: 1.6 }), svg('circle', { cx: 18, cy: 12, r: 1.6 })));
  more.addEventListener('click', () => openDetail(d.id));
  const tile = el('article', { class: 'tile kind-' + kind + ' type-' + d.type, 'data-id': d.id }, main, icon(d.type),
    el('span', { class: 'name', id: 'tn-' + key }, name), el('span', { class: 'state', id: 'ts-' + key }),
    el('span', { class: 'note', id: 'tx-' + key }), more);
  if (switchable(d)) {
    main.addEventListener('click', async (e) => {
      if (tile.dataset.dragged) { delete tile.dataset.dragged; e.preventDefault(); return; }
      const cur = deviceById(d.id);
      if (!cur) return;
      const blocked = blockedReason();
      if (blocked) { toast(blocked, true); return; }
      tile.classList.add('busy');
      await switchTo(cur, !isOn(cur));
      tile.classList.remove('busy');
    });
  } else {
    main.addEventListener('click', () => openDetail(d.id));
  }
  if (kind === 'level') {
    const range = el('input', { type: 'range', min: 0, max: 100, step: 1, class: 'tile-level', 'aria-label': name + ' level' });
    range.addEventListener('input', () => showLevel(tile, Number(range.value), true));
    range.addEventListener('change', () => sendLevel(tile, d.id, Number(range.value)));
    tile.append(range);
    dragToDim(tile, main);
  }
  if (kind === 'sensor') tile.append(el('div', { class: 'spark', 'aria-hidden': 'true' }));
  return tile;
}

// The level as the tile shows it while it is being set.
function showLevel(tile, level, dragging) {
  if (dragging) tile.dataset.dragging = '1';
  $('.state', tile).textContent = level === 0 ? 'Off' : level + '\u00a0%';
  tile.style.setProperty('--lvl', level + '%');
  const range = $('.tile-level', tile);
  if (range) range.value = level;
}

async function sendLevel(tile, id, level) {
  const d = deviceById(id);
  if (d && !blockedReason()) await setLevel(d, level); else if (d) toast(blockedReason(), true);
  delete tile.dataset.dragging;
  if (d) updateTile(deviceById(id) || d);
}

// Sideways drag across the tile sets the level from the pointer's place: the
// tile's left edge is 0 %, its right edge 100 %. A tap stays a tap, and an
// upward or downward move scrolls the page (touch-action: pan-y).
function dragToDim(tile, main) {
  let start = null, dragging = false;
  const levelAt = (x) => {
    const r = tile.getBoundingClientRect();
    return Math.round(Math.max(0, Math.min(1, (x - r.left - 12) / (r.width - 24))) * 100);
  };
  main.addEventListener('pointerdown', (e) => { if (e.button === 0) { start = { x: e.clientX, y: e.clientY, id: e.pointerId }; dragging = false; } });
  main.addEventListener('pointermove', (e) => {
    if (!start || e.pointerId !== start.id) return;
    const dx = e.clientX - start.x, dy = e.clientY - start.y;
    if (!dragging && Math.abs(dx) > DRAG_START_PX && Math.abs(dx) > Math.abs(dy)) {
      dragging = true;
      main.setPointerCapture(e.pointerId);
    }
    if (dragging) showLevel(tile, levelAt(e.clientX), true);
  });
  const end = (e, cancelled) => {
    if (!start || e.pointerId !== start.id) return;
    start = null;
    if (!dragging) return;
    dragging = false;
    tile.dataset.dragged = '1';  // the click that follows is not a tap
    setTimeout(() => delete tile.dataset.dragged, 0);
    if (cancelled) { delete tile.dataset.dragging; updateTile(deviceById(tile.dataset.id)); return; }
    sendLevel(tile, tile.dataset.id, levelAt(e.clientX));
  };
  main.addEventListener('pointerup', (e) => end(e, false));
  main.addEventListener('pointercancel', (e) => end(e, true));
}

export function updateTile(d) {
  const tile = d && tileOf(d.id);
  if (!tile) return;
  const kind = kindOf(d);
  const on = switchable(d) && isOn(d);
  const lost = isLost(d.id);
  const blocked = switchable(d) ? blockedReason() : '';
  tile.classList.toggle('on', on);
  tile.classList.toggle('lost', lost);
  tile.classList.toggle('blocked', !!blocked);
  const main = $('.tile-main', tile);
  if (switchable(d)) main.setAttribute('aria-pressed', on ? 'true' : 'false');
  $('.name', tile).textContent = d.name || d.id;
  if (blocked) main.setAttribute('aria-disabled', 'true'); else main.removeAttribute('aria-disabled');
  if (!tile.dataset.dragging) {
    $('.state', tile).textContent = stateText(d);
    const l = levelOf(d.val);
    tile.style.setProperty('--lvl', (l === null ? 0 : l) + '%');
    const range = $('.tile-level', tile);
    if (range) range.value = l === null ? 0 : l;
  }
  tile.classList.toggle('unknown', kind === 'sensor' ? tempOf(d.val) === null : !d.val);
  // One short note: why it cannot act, that it did not answer, or its age.
  const note = $('.note', tile);
  const stale = isStale(d);
  note.textContent = blocked ? (state.online ? 'No radio' : 'Offline') : lost ? 'No reply' : stale ? 'Heard ' + ago(heardAt(d)) : '';
  note.className = 'note' + (blocked || lost ? ' badge' : stale ? ' age' : '');
  note.hidden = !note.textContent;
  const spark = $('.spark', tile);
  if (spark) spark.replaceChildren(sparkline(state.history[d.id] || []));
}

function sparkline(points) {
  const { recent, start, end } = recentSpan(points);
  if (recent.length < 2) return svg('svg', { viewBox: '0 0 100 24' });
  const vs = recent.map(([, v]) => v);
  const lo = Math.min(...vs), hi = Math.max(...vs), range = hi - lo || 1;
  const step = Math.max(1, Math.floor(recent.length / 120));
  const pts = recent.filter((_, i) => i % step === 0 || i === recent.length - 1)
    .map(([t, v]) => ((t - start) / (end - start) * 100).toFixed(1) + ',' + (22 - (v - lo) / range * 20).toFixed(1));
  return svg('svg', { viewBox: '0 0 100 24', preserveAspectRatio: 'none' }, svg('polyline', { points: pts.join(' ') }));
}

export function initTiles() {
  on('devices', renderHome);
  on('home', renderHome);
  on('link', () => state.devices.forEach(updateTile));
  on('device', (id) => updateTile(deviceById(id)));
  on('history', (id) => updateTile(deviceById(id)));
  $('#rooms-sort').addEventListener('click', () => openRooms(true));
  $('#rooms-later').addEventListener('click', () => { localStorage.setItem('orvel.rooms.later', '1'); renderHome(); });
  $('#arrange-rooms').addEventListener('click', () => openRooms(false));
  setInterval(() => { if (!document.hidden) state.devices.forEach(updateTile); }, 30000);
}
