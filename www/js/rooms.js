// Arranging rooms in one dialog: which room each device is in, the rooms'
// names (renaming one moves all of its devices) and their order. On the
// first run, when no device has a room, the page offers it with guesses
// taken from the device names.
import { $, el } from './dom.js';
import { toast, fieldError } from './notify.js';
import { state, roomsInUse, nameProblem } from './model.js';
import { saveRoom, saveRoomOrder, loadHome } from './devices.js';
import { setDialog } from './panel.js';

// Room words a device name often starts with or holds, and the room they mean.
const ROOM_WORDS = [
  ['living room', 'Living room'], ['lounge', 'Living room'], ['kitchen', 'Kitchen'], ['bedroom', 'Bedroom'],
  ['bathroom', 'Bathroom'], ['hallway', 'Hall'], ['hall', 'Hall'], ['entrance', 'Hall'], ['front door', 'Hall'],
  ['garage', 'Garage'], ['garden', 'Garden'], ['outdoor', 'Outside'], ['office', 'Office'], ['study', 'Office'],
  ['dining', 'Dining room'], ['cellar', 'Cellar'], ['basement', 'Cellar'], ['attic', 'Attic'], ['porch', 'Outside'],
  ['terrace', 'Outside'], ['nursery', 'Nursery'], ['laundry', 'Laundry'],
];
function guessRoom(name) {
  const lower = (name || '').toLowerCase();
  const hit = ROOM_WORDS.find(([word]) => new RegExp('\\b' + word + '\\b').test(lower));
  return hit ? hit[1] : '';
}

export const roomsOffered = () => state.devices.length >= 2 && !Object.keys(state.home.rooms).length
  && !localStorage.getItem('orvel.rooms.later');

export function openRooms(guess) {
  const rooms = roomsInUse().map((name) => ({ name, was: name }));
  const assign = new Map();
  for (const d of state.devices) {
    let name = state.home.rooms[d.id] || (guess ? guessRoom(d.name) : '');
    let room = rooms.find((r) => r.name === name);
    if (name && !room) rooms.push(room = { name, was: '' });
    assign.set(d.id, room || null);
  }

  const list = el('ol', { class: 'room-order' });
  const selects = [];
  const refresh = () => {
    list.replaceChildren(...rooms.map((r, i) => {
      const input = el('input', { value: r.name, 'aria-label': 'Name of room ' + (i + 1), autocomplete: 'off', oninput: () => { r.name = input.value; syncSelects(); } });
      const move = (by) => {
        rooms.splice(i, 1);
        rooms.splice(i + by, 0, r);
        refresh();
        const buttons = [...list.children[i + by].querySelectorAll('button:not([disabled])')];
        (buttons.find((b) => b.textContent === (by < 0 ? '↑' : '↓')) || buttons[0]).focus();
      };
      return el('li', { class: 'row' }, input,
        el('button', { type: 'button', class: 'icon-btn', 'aria-label': 'Move ' + (r.name || 'room') + ' up', disabled: i === 0, onclick: () => move(-1) }, '↑'),
        el('button', { type: 'button', class: 'icon-btn', 'aria-label': 'Move ' + (r.name || 'room') + ' down', disabled: i === rooms.length - 1, onclick: () => move(1) }, '↓'));
    }));
    syncSelects();
  };
  const syncSelects = () => {
    for (const [sel, id] of selects) {
      sel.replaceChildren(el('option', { value: '' }, 'No room'), ...rooms.map((r, i) => el('option', { value: String(i) }, r.name || 'Room ' + (i + 1))));
      const r = assign.get(id);
      sel.value = r ? String(rooms.indexOf(r)) : '';
    }
  };
  const newName = el('input', { 'aria-label': 'New room', placeholder: 'e.g. Bathroom', autocomplete: 'off' });
  const addRoom = () => {
    const name = newName.value.trim();
    const why = !name ? 'Type the new room’s name first.' : nameProblem(name) || (rooms.some((r) => r.name === name) ? 'There is a room of that name already.' : '');
    if (!fieldError(newName, why)) return;
    rooms.push({ name, was: '' });
    newName.value = '';
    refresh();
  };
  const devices = el('div', { class: 'assign' }, ...state.devices.map((d) => {
    const sel = el('select', { onchange: () => assign.set(d.id, sel.value === '' ? null : rooms[Number(sel.value)]) });
    selects.push([sel, d.id]);
    return el('label', { class: 'assign-row' }, el('span', {}, d.name || d.id), sel);
  }));
  refresh();

  const save = async (e) => {
    e.preventDefault();
    let ok = true;
    for (const [i, r] of rooms.entries()) {
      r.name = r.name.trim();
      const input = list.children[i].querySelector('input');
      const why = !r.name ? 'A room needs a name.' : nameProblem(r.name)
        || (rooms.findIndex((o) => o.name === r.name) !== i ? 'Two rooms have this name.' : '');
      ok = fieldError(input, why) && ok;
    }
    if (!ok) return;
    const changes = state.devices.filter((d) => ((assign.get(d.id) || {}).name || '') !== (state.home.rooms[d.id] || ''));
    for (const d of changes) {
      const why = await saveRoom(d.id, (assign.get(d.id) || {}).name || '', false);
      if (why) { toast(why, true); return; }
    }
    await saveRoomOrder(rooms.map((r) => r.name));
    localStorage.setItem('orvel.rooms.later', '1');
    await loadHome();
    $('#detail').close();
    toast('Rooms saved');
  };
  setDialog('Rooms', el('form', { class: 'form', onsubmit: save },
    el('p', { class: 'hint' }, guess ? 'Put each device in a room; guesses from the names are filled in. Every phone sees the same rooms.'
      : 'Rename rooms, change their order, or move devices. A room without devices disappears.'),
    el('section', { class: 'dsec' }, el('h3', {}, 'Rooms, in the order the page shows them'), list,
      el('div', { class: 'row' }, newName, el('button', { type: 'button', onclick: addRoom }, 'Add room'))),
    el('section', { class: 'dsec' }, el('h3', {}, 'Devices'), devices),
    el('div', { class: 'row' }, el('button', { type: 'submit', class: 'primary' }, 'Save rooms'))));
}
