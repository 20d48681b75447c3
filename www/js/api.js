// The gateway's HTTP routes, same origin only. Every request carries the
// sign-in cookie; a 401 answer calls the handler set with onUnauthorized, and
// a request that gets no answer at all calls the one set with onUnreachable.

let unauthorized = () => {};
let unreachable = () => {};
export function onUnauthorized(fn) { unauthorized = fn; }
export function onUnreachable(fn) { unreachable = fn; }

// The gateway writes some JSON without escaping; a stray control character
// (such as the line end in "ERROR: Sockets Full\n") is blanked before a second try.
export function parseJson(text) {
  try { return JSON.parse(text); } catch (e) {
    return JSON.parse(text.replace(/[\u0000-\u001f]/g, ' '));
  }
}

// The gateway takes its session cookie only with a sign that the request
// comes from its own pages: this header, which no page elsewhere can send
// without asking first.
const OWN = { 'X-Requested-With': 'orvel' };

// The body of a 2xx answer; otherwise throws an Error with `status` (0: no
// answer) and the answer's `body`.
export async function getText(path, opts = {}) {
  let res;
  const headers = { ...OWN, ...(opts.headers || {}) };
  try { res = await fetch(path, { cache: 'no-store', credentials: 'same-origin', ...opts, headers }); } catch (e) {
    unreachable();
    const err = new Error('no answer'); err.status = 0; throw err;
  }
  const text = await res.text();
  if (res.status === 401) unauthorized();
  if (!res.ok) { const err = new Error('HTTP ' + res.status); err.status = res.status; err.body = text; throw err; }
  return text;
}
export async function getJson(path) { return parseJson(await getText(path)); }

// 'off' (no token), 'ok' (signed in) or 'required'; null when unknown.
export async function authState() {
  try {
    const res = await fetch('/&auth?', { cache: 'no-store', headers: OWN });
    if (!res.ok) return null;
    return parseJson(await res.text()).auth || null;
  } catch (e) { return null; }
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
  try { await fetch('/&logout', { cache: 'no-store', headers: OWN }); } catch (e) { /* signed out or gone either way */ }
}

// /&health as an object with `http` (200 or 503), or null when the gateway
// does not answer or has no such route (an older one).
export async function health(timeoutMs = 3000) {
  const ctl = new AbortController();
  const timer = setTimeout(() => ctl.abort(), timeoutMs);
  try {
    const res = await fetch('/&health', { cache: 'no-store', signal: ctl.signal });
    if (res.status === 401) { unauthorized(); return { http: 401 }; }
    if (res.status !== 200 && res.status !== 503) return { http: res.status };
    return { ...parseJson(await res.text()), http: res.status };
  } catch (e) { return null; } finally { clearTimeout(timer); }
}
