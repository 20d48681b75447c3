// DOM helpers: element and SVG builders, queries, and the device icons.

export const $ = (sel, root = document) => root.querySelector(sel);
export const $$ = (sel, root = document) => [...root.querySelectorAll(sel)];
export const field = (form, name) => form.elements.namedItem(name);
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// el('button', { class: 'x', onclick: fn, disabled: true }, 'text', child):
// `on...` functions become listeners, true an empty attribute, false/null none.
export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') node.className = v;
    else if (k.startsWith('on') && typeof v === 'function') node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== undefined && v !== null) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined && c !== false) node.append(c);
  return node;
}

const SVG_NS = 'http://www.w3.org/2000/svg';
export function svg(tag, attrs = {}, ...children) {
  const node = document.createElementNS(SVG_NS, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  for (const c of children) node.append(c);
  return node;
}

// Line icons, 24x24, drawn with the current colour.
const ICONS = {
  dim: 'M9 18h6M10 21h4M12 3a6 6 0 0 0-3.5 10.9c.6.5 1 1.2 1 2.1h5c0-.9.4-1.6 1-2.1A6 6 0 0 0 12 3z',
  led: 'M3 9h18v6H3zM7 9v6M11 9v6M15 9v6M19 9v6',
  rel: 'M12 3v8M7.5 6.3a7 7 0 1 0 9 0',
  rtc: 'M12 7v5l3 2M12 3a9 9 0 1 0 0 18 9 9 0 0 0 0-18z',
  tmp: 'M10 4a2 2 0 0 1 4 0v10.3a4 4 0 1 1-4 0zM12 10v6',
  btn: 'M5 5h14v14H5zM12 9v6M9 12h6',
};
export function icon(type) {
  return svg('svg', { viewBox: '0 0 24 24', class: 'ico', 'aria-hidden': 'true', focusable: 'false' },
    svg('path', { d: ICONS[type] || ICONS.btn }));
}
