// The relay boards of usb16relayd: shows what each board last reported, follows the service's
// event stream and switches through its API. Nothing here comes from another host.
'use strict';

const tokenKey = 'usb16relay-token';
const boards = new Map(); // id -> { data, panel, pending: Map(relay -> wanted), errors: Map }
let streamAbort = null;
let retryDelay = 1000;

function token() {
  return sessionStorage.getItem(tokenKey) || '';
}

function headers(extra) {
  const result = Object.assign({}, extra || {});
  if (token()) result.Authorization = 'Bearer ' + token();
  return result;
}

function askToken(message) {
  const form = document.getElementById('token-form');
  form.hidden = false;
  document.getElementById('token-error').textContent = message || '';
  document.getElementById('token').focus();
}

let lostSince = null; // when the event stream went, while it is gone

function setConnection(text, lost) {
  const status = document.getElementById('connection');
  status.textContent = text;
  status.classList.toggle('lost', !!lost);
}

function announce(text) {
  document.getElementById('announce').textContent = text;
}

function timeText(iso) {
  if (!iso) return 'never';
  const date = new Date(iso);
  return date.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
}

function shortTime(iso) {
  return new Date(iso).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
}

// Who switched a relay last, in a few words: the service's "KIND: WHO".
function byWhom(source) {
  if (!source) return '';
  const at = source.indexOf(': ');
  const kind = at < 0 ? source : source.slice(0, at);
  const who = at < 0 ? '' : source.slice(at + 2);
  const words = { mqtt: 'MQTT', http: who, socket: who, restore: 'restore',
                  'on-connect': 'on connecting', 'pulse-end': 'end of pulse',
                  interlock: 'interlock', board: 'the board itself' };
  return words[kind] || source;
}

function element(tag, attributes, text) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

function makePanel(id) {
  const panel = element('section', { class: 'board', 'aria-labelledby': 'title-' + id,
                                     'data-board': id });
  panel.append(element('h2', { id: 'title-' + id }));
  const meta = element('p', { class: 'meta' });
  meta.append('Last read: ', element('time', { class: 'read-at' }, 'never'));
  panel.append(meta);
  const banner = element('div', { class: 'banner', role: 'alert', hidden: '' });
  const details = element('details');
  details.append(element('summary', {}, 'Details'), element('pre', { class: 'reason' }));
  banner.append(element('p', { class: 'headline' }), details);
  panel.append(banner);
  panel.append(element('p', { class: 'interlocks', hidden: '' }));
  const actions = element('div', { class: 'actions' });
  const allOn = element('button', { type: 'button', class: 'all-on' }, 'All On');
  const allOff = element('button', { type: 'button', class: 'all-off' }, 'All Off');
  allOn.addEventListener('click', () => setMask(id, 'FFFF'));
  allOff.addEventListener('click', () => setMask(id, '0000'));
  actions.append(allOn, allOff, element('p', { class: 'board-error', role: 'alert' }));
  panel.append(actions);
  const list = element('ul', { class: 'relays' });
  for (let relay = 1; relay <= 16; relay++) {
    const item = element('li', { class: 'relay' });
    const button = element('button', { type: 'button', role: 'switch', class: 'switch unknown',
                                       'aria-checked': 'mixed', 'data-relay': String(relay),
                                       id: `switch-${id}-${relay}`,
                                       'aria-describedby': `error-${id}-${relay}` });
    button.append(element('span', { class: 'name' }), element('span', { class: 'state' }),
                  element('span', { class: 'since' }), element('span', { class: 'partners' }));
    button.addEventListener('click', () => toggleRelay(id, relay));
    const pulse = element('button', { type: 'button', class: 'pulse' }, 'Pulse…');
    pulse.addEventListener('click', () => askPulse(id, relay));
    item.append(button, pulse, element('p', { class: 'error', id: `error-${id}-${relay}` }));
    list.append(item);
  }
  panel.append(list);
  document.getElementById('boards').append(panel);
  return panel;
}

function entry(id) {
  if (!boards.has(id))
    boards.set(id, { data: null, panel: makePanel(id), pending: new Map(), errors: new Map() });
  return boards.get(id);
}

// A relay as the page and the service's messages name it: "1 · Pump", or "Relay 6" for one
// without a name of its own.
function labelOf(data, relay) {
  const name = data.names[relay - 1];
  return name === `Relay ${relay}` ? name : `${relay} · ${name}`;
}

function partnersOf(data, relay) {
  const partners = new Set();
  for (const group of data.interlocks || []) {
    if (group.includes(relay)) group.filter((r) => r !== relay).forEach((r) => partners.add(r));
  }
  return [...partners].map((r) => labelOf(data, r));
}

function render(id) {
  const board = entry(id);
  const data = board.data;
  const panel = board.panel;
  const reachable = lostSince === null;
  const usable = data.online && reachable;
  panel.querySelector('h2').textContent = data.name === data.id ? data.name
                                                               : `${data.name} (${data.id})`;
  const readAt = panel.querySelector('.read-at');
  readAt.textContent = timeText(data.read_at);
  if (data.read_at) readAt.setAttribute('datetime', data.read_at);
  const banner = panel.querySelector('.banner');
  banner.hidden = data.online;
  if (!data.online) {
    banner.querySelector('.headline').textContent = data.read_at
        ? `Not answering since ${timeText(data.read_at)} — check its power and cable. ` +
          'The switches show what it last reported.'
        : 'Not answering, never read — check its power and cable.';
    banner.querySelector('.reason').textContent = data.offline_reason || 'no details';
  }
  panel.classList.toggle('offline', !data.online);
  const groups = (data.interlocks || []).map((group) => group.map((r) => labelOf(data, r)));
  const interlocks = panel.querySelector('.interlocks');
  interlocks.hidden = groups.length === 0;
  interlocks.textContent = 'Never on together: ' + groups.map((g) => g.join(' + ')).join('; ');
  for (const button of panel.querySelectorAll('.actions button')) button.disabled = !usable;
  const known = Array.isArray(data.relays);
  for (let relay = 1; relay <= 16; relay++) {
    const button = panel.querySelector(`[data-relay="${relay}"]`);
    const on = known && data.relays[relay - 1];
    const wanted = board.pending.get(relay);
    button.querySelector('.name').textContent = labelOf(data, relay);
    let state = known ? (on ? 'On' : 'Off') : 'Unknown';
    if (wanted !== undefined) state += `, switching ${wanted ? 'on' : 'off'}…`;
    button.querySelector('.state').textContent = state;
    const changed = data.changed_at && data.changed_at[relay - 1];
    const by = byWhom(data.changed_by && data.changed_by[relay - 1]);
    button.querySelector('.since').textContent =
      changed ? `since ${shortTime(changed)}${by ? `, by ${by}` : ''}` : '';
    button.className = 'switch ' + (known ? (on ? 'on' : 'off') : 'unknown') +
                       (wanted !== undefined ? ' pending' : '');
    button.setAttribute('aria-checked', known ? (on ? 'true' : 'false') : 'mixed');
    button.disabled = !usable;
    if (wanted !== undefined) button.setAttribute('aria-busy', 'true');
    else button.removeAttribute('aria-busy');
    const item = button.parentElement;
    item.querySelector('.pulse').disabled = !usable;
    item.querySelector('.pulse').setAttribute('aria-label', `Pulse ${labelOf(data, relay)}…`);
    const partners = partnersOf(data, relay);
    item.querySelector('.partners').textContent =
        partners.length ? `never with ${partners.join(', ')}` : '';
    panel.querySelector(`#error-${CSS.escape(id)}-${relay}`).textContent =
        board.errors.get(relay) || '';
  }
}

function renderAll() {
  for (const id of boards.keys()) if (boards.get(id).data) render(id);
}

// Every state carries the service's sequence number: one older than what is shown (a switch's
// answer that took its time, an event overtaken by another) is never shown over it.
function update(data) {
  const board = entry(data.id);
  if (board.data && typeof data.seq === 'number' && data.seq < board.data.seq) return;
  board.data = data;
  render(data.id);
}

async function request(method, path, body) {
  const init = { method, headers: headers(body ? { 'Content-Type': 'application/json' } : {}) };
  if (body) init.body = JSON.stringify(body);
  let response;
  try {
    response = await fetch(path, init);
  } catch (error) {
    return { ok: false, error: 'the service cannot be reached; nothing is known to have switched' };
  }
  let json = null;
  try { json = await response.json(); } catch (error) { json = null; }
  if (response.status === 401) askToken(json && json.error);
  if (response.ok) return { ok: true, data: json };
  return { ok: false, error: (json && json.error) || `the service answered ${response.status}` };
}

async function toggleRelay(id, relay) {
  const board = entry(id);
  if (!board.data || board.pending.has(relay)) return;
  const known = Array.isArray(board.data.relays);
  const wanted = known ? !board.data.relays[relay - 1] : true;
  const name = labelOf(board.data, relay);
  board.pending.set(relay, wanted);
  board.errors.delete(relay);
  render(id);
  announce(`${name}: switching ${wanted ? 'on' : 'off'}…`);
  const result = await request('PUT', `/api/v1/boards/${encodeURIComponent(id)}/relays/${relay}`,
                               { on: wanted });
  board.pending.delete(relay);
  if (!result.ok) board.errors.set(relay, result.error);
  if (result.ok) update(result.data);
  else render(id);
  const now = board.data.relays ? (board.data.relays[relay - 1] ? 'on' : 'off') : 'unknown';
  announce(result.ok ? `${name} is ${now}` : `${name}: ${result.error}`);
}

let pulseTarget = null;

function askPulse(id, relay) {
  const board = entry(id);
  if (!board.data) return;
  pulseTarget = { id, relay };
  document.getElementById('pulse-what').textContent =
      `${labelOf(board.data, relay)} is switched on, then off again after:`;
  document.getElementById('pulse-dialog').showModal();
}

async function pulseRelay(id, relay, ms) {
  const board = entry(id);
  const name = labelOf(board.data, relay);
  board.errors.delete(relay);
  announce(`${name}: pulse of ${ms} ms…`);
  const result = await request('POST',
                               `/api/v1/boards/${encodeURIComponent(id)}/relays/${relay}/pulse`,
                               { ms });
  if (result.ok) update(result.data);
  else board.errors.set(relay, result.error);
  render(id);
  announce(result.ok ? `${name}: pulse started, ${ms} ms` : `${name}: ${result.error}`);
}

async function setMask(id, mask) {
  const board = entry(id);
  const message = board.panel.querySelector('.board-error');
  message.textContent = '';
  const result = await request('PUT', `/api/v1/boards/${encodeURIComponent(id)}`, { mask });
  if (result.ok) update(result.data);
  else message.textContent = result.error;
}

function handleEvent(name, data) {
  if (name === 'board') {
    update(data);
  } else if (name === 'read' && boards.has(data.id) && boards.get(data.id).data) {
    const board = boards.get(data.id);
    if (typeof data.seq === 'number' && data.seq < board.data.seq) return;
    board.data.read_at = data.read_at;
    board.data.seq = data.seq;
    render(data.id);
  } else if (name === 'error' && boards.has(data.id)) {
    boards.get(data.id).panel.querySelector('.board-error').textContent = data.error;
  }
}

function parseEvents(text) {
  let name = 'message';
  const lines = [];
  for (const line of text.split('\n')) {
    if (line.startsWith('event:')) name = line.slice(6).trim();
    else if (line.startsWith('data:')) lines.push(line.slice(5).trim());
  }
  if (lines.length) handleEvent(name, JSON.parse(lines.join('\n')));
}

// EventSource cannot send the token, so the stream is read through fetch.
async function follow() {
  if (streamAbort) streamAbort.abort();
  streamAbort = new AbortController();
  try {
    const response = await fetch('/api/v1/events', { headers: headers(),
                                                     signal: streamAbort.signal,
                                                     cache: 'no-store' });
    if (response.status === 401) {
      let json = null;
      try { json = await response.json(); } catch (error) { json = null; }
      setConnection('The service needs its token.', true);
      askToken(json && json.error);
      return;
    }
    if (!response.ok || !response.body) throw new Error(`status ${response.status}`);
    setConnection('Live: following the service.', false);
    retryDelay = 1000;
    // Back: what failed while away is no longer the news.
    lostSince = null;
    for (const board of boards.values()) {
      board.errors.clear();
      board.panel.querySelector('.board-error').textContent = '';
    }
    renderAll();
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, { stream: true });
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        parseEvents(buffer.slice(0, end));
        buffer = buffer.slice(end + 2);
      }
    }
  } catch (error) {
    if (error.name === 'AbortError') return;
  }
  if (lostSince === null) lostSince = new Date().toISOString();
  setConnection(`Service unreachable since ${timeText(lostSince)}; trying again… The switches ` +
                'show what was known then.', true);
  renderAll();
  setTimeout(follow, retryDelay);
  retryDelay = Math.min(retryDelay * 2, 5000);
}

document.getElementById('token-form').addEventListener('submit', (event) => {
  event.preventDefault();
  sessionStorage.setItem(tokenKey, document.getElementById('token').value.trim());
  document.getElementById('token-form').hidden = true;
  setConnection('Connecting to the service…', false);
  follow();
});

document.getElementById('pulse-form').addEventListener('submit', () => {
  const ms = Number(document.getElementById('pulse-ms').value);
  if (pulseTarget && Number.isInteger(ms) && ms >= 1)
    pulseRelay(pulseTarget.id, pulseTarget.relay, ms);
});
document.getElementById('pulse-cancel').addEventListener('click', () => {
  document.getElementById('pulse-dialog').close();
});

follow();
