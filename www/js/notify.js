// Short messages at the bottom of the page.
import { $, el } from './dom.js';

export function toast(text, isError = false) {
  const t = el('div', { class: 'toast' + (isError ? ' error' : '') }, text);
  $('#toasts').append(t);
  setTimeout(() => t.remove(), isError ? 6000 : 3000);
}
