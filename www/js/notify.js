// Messages to the household: short toasts, and errors next to the field
// they concern. A toast shown while a dialog is open goes into that dialog,
// so it sits above the dialog's backdrop instead of dimmed beneath it.
import { $, el } from './dom.js';

export function toast(text, isError = false) {
  const dlg = $('dialog[open]');
  let box = dlg ? $('.toasts', dlg) : $('#toasts');
  if (!box) { box = el('div', { class: 'toasts', role: 'status', 'aria-live': 'polite' }); dlg.append(box); }
  const t = el('div', { class: 'toast' + (isError ? ' error' : '') }, text);
  box.append(t);
  setTimeout(() => t.remove(), isError ? 6000 : 3000);
}

let errorSeq = 0;
// Shows `text` under `input` (or clears it with ''), tied to it for screen readers.
export function fieldError(input, text) {
  if (!input.id) input.id = 'f' + ++errorSeq;
  const id = input.id + '-err';
  let p = document.getElementById(id);
  if (!text) {
    if (p) p.remove();
    input.removeAttribute('aria-invalid');
    return true;
  }
  if (!p) {
    p = el('p', { class: 'field-error', id, role: 'alert' });
    const item = input.closest('li.item');  // an entry of a list: the message goes inside it
    if (item) item.append(p); else (input.closest('label, .cmd-row, fieldset') || input).after(p);
  }
  p.textContent = text;
  if (input.matches('input, select, textarea')) input.setAttribute('aria-invalid', 'true');
  input.setAttribute('aria-describedby', id);
  return false;
}
