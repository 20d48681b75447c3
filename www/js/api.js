// The gateway's HTTP routes, same origin only. Every request carries the
// sign-in cookie; a 401 answer calls the handler set with onUnauthorized.

let unauthorized = () => {};
export function onUnauthorized(fn) { unauthorized = fn; }

// The gateway writes some JSON without escaping; a stray control character
// (such as the line end in "ERROR: Sockets Full\n") is blanked before a second try.
export function parseJson(text) {
  try { return JSON.parse(text); } catch (e) {
    return JSON.parse(text.replace(/[\u0000-\u001f]/g, ' '));
  }
}

// The body of a 2xx answer; otherwise throws an Error with `status`.
export async function getText(path, opts = {}) {
  const res = await fetch(path, { cache: 'no-store', credentials: 'same-origin', ...opts });
  const text = await res.text();
  if (res.status === 401) unauthorized();
  if (!res.ok) { const err = new Error('HTTP ' + res.status); err.status = res.status; throw err; }
  return text;
}
export async function getJson(path) { return parseJson(await getText(path)); }

// 'off' (no token), 'ok' (signed in) or 'required'; 'off' when unknown.
export async function authState() {
  try {
    const res = await fetch('/&auth?', { cache: 'no-store' });
    if (!res.ok) return 'off';
    return parseJson(await res.text()).auth || 'off';
  } catch (e) { return 'off'; }
}

// The status of a sign-in attempt: 200 signed in, 401 wrong token, 0 no answer.
export async function signIn(token) {
  try {
    const res = await fetch('/&login', { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: 'token=' + encodeURIComponent(token), credentials: 'same-origin' });
    return res.status;
  } catch (e) { return 0; }
}

export async function signOut() {
  try { await fetch('/&logout', { cache: 'no-store' }); } catch (e) { /* signed out or gone either way */ }
}
