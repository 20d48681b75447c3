// A sensor's history as an SVG line chart over the span that has data (at
// most the last 24 hours), with the reading under the pointer or finger.
import { el, svg } from './dom.js';
import { now, DAY_S, degrees } from './model.js';

const MIN_SPAN_S = 120;       // a fresh sensor still gets a readable axis
const GAP_S = 600;            // a gap longer than this breaks the line
const TICKS_S = [60, 300, 900, 1800, 3600, 3 * 3600, 6 * 3600];

const clock = (t) => new Date(t * 1000).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });

// The readings of the last day, and the time span to draw: from the first of
// them (or MIN_SPAN_S before now) to now.
export function recentSpan(points) {
  const end = now();
  const recent = points.filter(([t]) => t >= end - DAY_S);
  const start = Math.min(recent.length ? recent[0][0] : end, end - MIN_SPAN_S);
  return { recent, start, end };
}

export function chart(points, name) {
  const W = 640, H = 240, L = 44, R = 14, T = 12, B = 28;
  const { recent, start, end } = recentSpan(points);
  if (!recent.length) return el('p', { class: 'hint' }, 'No readings in the last 24 hours yet.');
  if (recent.length === 1) return el('p', {}, 'One reading so far: ' + degrees(recent[0][1]) + ' at ' + clock(recent[0][0]) + '. The chart starts with the next one.');
  const vs = recent.map(([, v]) => v);
  let lo = Math.floor(Math.min(...vs)), hi = Math.ceil(Math.max(...vs));
  if (hi - lo < 2) { lo -= 1; hi += 1; }
  const span = end - start;
  const x = (t) => L + (t - start) / span * (W - L - R);
  const y = (v) => T + (hi - v) / (hi - lo) * (H - T - B);
  const hours = span / 3600;
  const g = svg('svg', { viewBox: `0 0 ${W} ${H}`, class: 'chart', role: 'img',
    'aria-label': `${name}: temperature over the last ${hours >= 1.5 ? Math.round(hours) + ' hours' : Math.round(span / 60) + ' minutes'}, `
      + `lowest ${degrees(Math.min(...vs))}, highest ${degrees(Math.max(...vs))}, now ${degrees(vs[vs.length - 1])}` });
  const vstep = Math.max(1, Math.ceil((hi - lo) / 5));
  for (let v = Math.ceil(lo / vstep) * vstep; v <= hi; v += vstep) {
    g.append(svg('line', { x1: L, x2: W - R, y1: y(v), y2: y(v), class: 'grid' }));
    const label = svg('text', { x: L - 6, y: y(v) + 4, 'text-anchor': 'end' }); label.textContent = v + '°';
    g.append(label);
  }
  // About four time marks, on round local times.
  const tstep = TICKS_S.find((s) => span / s <= 5) || TICKS_S[TICKS_S.length - 1];
  const offset = new Date(start * 1000).getTimezoneOffset() * 60;
  for (let t = Math.ceil((start - offset) / tstep) * tstep + offset; t < end; t += tstep) {
    if (x(t) < L + 20 || x(t) > W - R - 20) continue;
    g.append(svg('line', { x1: x(t), x2: x(t), y1: T, y2: H - B, class: 'grid' }));
    const label = svg('text', { x: x(t), y: H - 8, 'text-anchor': 'middle' }); label.textContent = clock(t);
    g.append(label);
  }
  let d = '', prev = null;
  for (const [t, v] of recent) {
    d += (prev === null || t - prev > GAP_S ? 'M' : 'L') + x(t).toFixed(1) + ' ' + y(v).toFixed(1);
    prev = t;
  }
  g.append(svg('path', { d, class: 'line' }));
  const [lt, lv] = recent[recent.length - 1];
  const dot = svg('circle', { cx: x(lt), cy: y(lv), r: 4.5, class: 'dot' });
  const guide = svg('line', { y1: T, y2: H - B, class: 'guide', visibility: 'hidden' });
  g.append(guide, dot);

  // The reading nearest to the pointer, shown under the chart.
  const readout = el('output', { class: 'readout' }, 'Now ' + degrees(lv) + ' · ' + clock(lt));
  const show = (e) => {
    const box = g.getBoundingClientRect();
    const t = start + ((e.clientX - box.left) / box.width * W - L) / (W - L - R) * span;
    let best = recent[0];
    for (const p of recent) if (Math.abs(p[0] - t) < Math.abs(best[0] - t)) best = p;
    dot.setAttribute('cx', x(best[0])); dot.setAttribute('cy', y(best[1]));
    guide.setAttribute('x1', x(best[0])); guide.setAttribute('x2', x(best[0])); guide.setAttribute('visibility', 'visible');
    readout.textContent = clock(best[0]) + ' · ' + degrees(best[1]);
  };
  g.addEventListener('pointermove', show);
  g.addEventListener('pointerdown', show);
  g.addEventListener('pointerleave', () => {
    dot.setAttribute('cx', x(lt)); dot.setAttribute('cy', y(lv)); guide.setAttribute('visibility', 'hidden');
    readout.textContent = 'Now ' + degrees(lv) + ' · ' + clock(lt);
  });
  return el('div', { class: 'chart-box' }, g, readout);
}
