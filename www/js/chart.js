// A sensor's history as an SVG line chart.
import { el, svg } from './dom.js';
import { now, DAY_S, degrees } from './model.js';

// A 24-hour line chart of one sensor's history, with hour marks and degree
// lines; a gap of more than 10 minutes breaks the line.
export function chart(points, name) {
  const W = 640, H = 240, L = 44, R = 12, T = 12, B = 28;
  const end = now(), start = end - DAY_S;
  const recent = points.filter(([t]) => t >= start);
  if (!recent.length) return el('p', { class: 'hint' }, 'No readings in the last 24 hours yet.');
  const vs = recent.map(([, v]) => v);
  let lo = Math.floor(Math.min(...vs)), hi = Math.ceil(Math.max(...vs));
  if (hi - lo < 2) { lo -= 1; hi += 1; }
  const x = (t) => L + (t - start) / DAY_S * (W - L - R);
  const y = (v) => T + (hi - v) / (hi - lo) * (H - T - B);
  const g = svg('svg', { viewBox: `0 0 ${W} ${H}`, class: 'chart', role: 'img',
    'aria-label': `${name}: temperature over the last 24 hours, lowest ${degrees(Math.min(...vs))}, highest ${degrees(Math.max(...vs))}, now ${degrees(vs[vs.length - 1])}` });
  const step = Math.max(1, Math.ceil((hi - lo) / 5));
  for (let v = Math.ceil(lo / step) * step; v <= hi; v += step) {
    g.append(svg('line', { x1: L, x2: W - R, y1: y(v), y2: y(v), class: 'grid' }));
    const label = svg('text', { x: L - 6, y: y(v) + 4, 'text-anchor': 'end' }); label.textContent = v + '°';
    g.append(label);
  }
  const first = new Date(start * 1000); first.setMinutes(0, 0, 0);
  for (let t = first.getTime() / 1000 + 3600; t < end; t += 3600) {
    const hour = new Date(t * 1000).getHours();
    if (hour % 6) continue;
    g.append(svg('line', { x1: x(t), x2: x(t), y1: T, y2: H - B, class: 'grid' }));
    const label = svg('text', { x: x(t), y: H - 8, 'text-anchor': 'middle' }); label.textContent = String(hour).padStart(2, '0') + ':00';
    g.append(label);
  }
  let d = '', prev = null;
  for (const [t, v] of recent) {
    d += (prev === null || t - prev > 600 ? 'M' : 'L') + x(t).toFixed(1) + ' ' + y(v).toFixed(1);
    prev = t;
  }
  g.append(svg('path', { d, class: 'line' }));
  const [lt, lv] = recent[recent.length - 1];
  g.append(svg('circle', { cx: x(lt), cy: y(lv), r: 4, class: 'dot' }));
  return g;
}
