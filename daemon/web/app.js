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

function setConnection(text, lost) {
  const status = document.getElementById('connection');
  status.textContent = text;
  status.classList.toggle('lost', !!lost);
}

function timeText(iso) {
  if (!iso) return 'never';
  const date = new Date(iso);
  return date.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
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
  panel.append(element('p', { class: 'banner', role: 'alert', hidden: '' }));
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
                                       'aria-checked': 'false', 'data-relay': String(relay),
                                       id: `switch-${id}-${relay}`,
                                       'aria-describedby': `error-${id}-${relay}` });
    button.append(element('span', { class: 'name' }),
                  element('span', { class: 'state', 'aria-hidden': 'true' }));
    button.addEventListener('click', () => toggleRelay(id, relay));
    item.append(button, element('p', { class: 'error', id: `error-${id}-${relay}`,
                                       role: 'status' }));
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

function render(id) {
  const board = entry(id);
  const data = board.data;
  const panel = board.panel;
  panel.querySelector('h2').textContent = data.name === data.id ? data.name
                                                               : `${data.name} (${data.id})`;
  const readAt = panel.querySelector('.read-at');
  readAt.textContent = timeText(data.read_at);
  if (data.read_at) readAt.setAttribute('datetime', data.read_at);
  const banner = panel.querySelector('.banner');
  banner.hidden = data.online;
  banner.textContent = data.online ? '' : 'Offline: this board does not answer' +
      (data.offline_reason ? ` (${data.offline_reason})` : '') +
      '. The switches show its last reported state.';
  panel.classList.toggle('offline', !data.online);
  for (let relay = 1; relay <= 16; relay++) {
    const button = panel.querySelector(`[data-relay="${relay}"]`);
    const known = Array.isArray(data.relays);
    const on = known && data.relays[relay - 1];
    const wanted = board.pending.get(relay);
    button.querySelector('.name').textContent = data.names[relay - 1];
    let state = known ? (on ? 'on' : 'off') : 'unknown';
    if (wanted !== undefined) state += `, switching ${wanted ? 'on' : 'off'}…`;
    button.querySelector('.state').textContent = state;
    button.className = 'switch ' + (known ? (on ? 'on' : 'off') : 'unknown') +
                       (wanted !== undefined ? ' pending' : '');
    button.setAttribute('aria-checked', on ? 'true' : 'false');
    if (wanted !== undefined) button.setAttribute('aria-busy', 'true');
    else button.removeAttribute('aria-busy');
    panel.querySelector(`#error-${CSS.escape(id)}-${relay}`).textContent =
        board.errors.get(relay) || '';
  }
}

function update(data) {
  entry(data.id).data = data;
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
  board.pending.set(relay, wanted);
  board.errors.delete(relay);
  render(id);
  const result = await request('PUT', `/api/v1/boards/${encodeURIComponent(id)}/relays/${relay}`,
                               { on: wanted });
  board.pending.delete(relay);
  if (result.ok) board.data = result.data;
  else board.errors.set(relay, result.error);
  render(id);
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
    boards.get(data.id).data.read_at = data.read_at;
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
  setConnection('Connection to the service lost; trying again… (the switches may be out of date)',
                true);
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

follow();
