// The relay cards' page: the cards as relay-mqtt last sent them, kept live over a WebSocket;
// commands go to the JSON API, holds over the WebSocket, renewed while the button is down.
'use strict';

const renewEvery = 100; // ms; relay-mqtt lets go 300 ms after the last renewal
const reconnectFirst = 500;
const reconnectLongest = 5000;
// The socket's close code when relay-mqtt no longer lets the page stay (its session ended):
// the reason says why.
const policyViolated = 1008;

const state = {
  socket: null,
  connected: false,
  port: 'up',
  broker: 'none',
  reconnectIn: reconnectFirst,
  cards: new Map(), // address -> {name, relays: Map(relay -> {name, on, switchButton, stateText})}
  holds: new Map(), // "A/R" -> {card, relay, timer, button}
};

const $ = (id) => document.getElementById(id);

function element(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'class') node.className = value;
    else if (key.startsWith('aria-') || key === 'role' || key === 'for') node.setAttribute(key, value);
    else node[key] = value;
  }
  for (const child of children) node.append(child);
  return node;
}

function showMessage(text) {
  const message = $('message');
  message.textContent = text;
  message.hidden = !text;
}

function showStatus() {
  const parts = [];
  if (!state.connected) parts.push('Connection to relay-mqtt lost: reconnecting…');
  if (state.port !== 'up') parts.push('Serial port lost: commands are refused until it is back');
  if (state.broker === 'offline') parts.push('MQTT broker offline');
  if (state.broker === 'online') parts.push('MQTT broker online');
  if (state.connected && state.port === 'up') parts.unshift('Connected');
  $('status').textContent = parts.join(' · ');
}

// A command: over the live socket while it is open (the quicker way), else as a POST.
async function command(path, body) {
  showMessage('');
  if (state.socket && state.socket.readyState === WebSocket.OPEN) {
    send({ type: 'command', path: path.replace('/api/cards/', ''), body });
    return true;
  }
  let response;
  try {
    response = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
      credentials: 'same-origin',
    });
  } catch {
    showMessage('relay-mqtt cannot be reached.');
    return false;
  }
  if (response.status === 401) {
    showLogin();
    return false;
  }
  if (!response.ok) {
    const answer = await response.json().catch(() => ({}));
    showMessage(answer.error ? `Refused: ${answer.error}` : `Refused (${response.status}).`);
    return false;
  }
  return true;
}

function cardPath(card) {
  return `/api/cards/${card}`;
}

function setRelay(card, relay, on) {
  const entry = state.cards.get(card)?.relays.get(relay);
  if (!entry) return;
  entry.on = on;
  entry.switchButton.setAttribute('aria-checked', on ? 'true' : 'false');
  entry.stateText.textContent = on ? 'ON' : 'OFF';
}

// Holds: the button down starts it, every renewEvery ms it is renewed, up or away ends it.
function startHold(card, relay, button) {
  const key = `${card}/${relay}`;
  if (state.holds.has(key) || !state.connected) return;
  send({ type: 'hold', card, relay });
  const timer = setInterval(() => send({ type: 'renew', card, relay }), renewEvery);
  state.holds.set(key, { card, relay, timer, button });
  button.classList.add('pressed');
}

// The page's side of a hold ends; relay-mqtt is told unless it ended the hold itself.
function dropHold(card, relay) {
  const key = `${card}/${relay}`;
  const hold = state.holds.get(key);
  if (!hold) return false;
  clearInterval(hold.timer);
  hold.button.classList.remove('pressed');
  state.holds.delete(key);
  return true;
}

function endHold(card, relay) {
  if (dropHold(card, relay)) send({ type: 'release', card, relay });
}

function endAllHolds() {
  for (const hold of [...state.holds.values()]) endHold(hold.card, hold.relay);
}

function send(message) {
  if (state.socket && state.socket.readyState === WebSocket.OPEN)
    state.socket.send(JSON.stringify(message));
}

function holdButton(card, relay, name) {
  const button = element('button', { type: 'button', class: 'hold' }, 'Hold',
    element('span', { class: 'visually-hidden' }, ` ${name}`));
  const down = (event) => {
    if (event.button !== undefined && event.button !== 0) return;
    event.preventDefault();
    if (event.pointerId !== undefined) button.setPointerCapture(event.pointerId);
    startHold(card, relay, button);
  };
  const up = () => endHold(card, relay);
  button.addEventListener('pointerdown', down);
  button.addEventListener('pointerup', up);
  button.addEventListener('pointercancel', up);
  button.addEventListener('lostpointercapture', up);
  button.addEventListener('contextmenu', (event) => event.preventDefault());
  button.addEventListener('keydown', (event) => {
    if ((event.key === ' ' || event.key === 'Enter') && !event.repeat) {
      event.preventDefault();
      startHold(card, relay, button);
    }
  });
  button.addEventListener('keyup', (event) => {
    if (event.key === ' ' || event.key === 'Enter') up();
  });
  button.addEventListener('blur', up);
  return button;
}

function relayRow(card, relay, entry) {
  const id = `pulse-${card}-${relay}`;
  const stateText = element('span', { class: 'state' }, entry.on ? 'ON' : 'OFF');
  const switchButton = element('button', {
    type: 'button', class: 'switch', role: 'switch', 'aria-checked': entry.on ? 'true' : 'false',
  }, element('span', { class: 'name' }, entry.name), stateText);
  // A click asks for the opposite of what the page shows: never a toggle of what the card has.
  switchButton.addEventListener('click', () =>
    command(`${cardPath(card)}/relays/${relay}`, { state: entry.on ? 'OFF' : 'ON' }));
  // The state is the switch's value; the text inside only repeats it for the eye.
  stateText.setAttribute('aria-hidden', 'true');
  const length = element('input', {
    id, type: 'number', min: '1', max: '3600000', step: '1', value: '500', inputMode: 'numeric',
  });
  const pulse = element('button', { type: 'button' }, 'Pulse',
    element('span', { class: 'visually-hidden' }, ` ${entry.name}`));
  pulse.addEventListener('click', () => {
    const ms = Number(length.value);
    if (!Number.isInteger(ms) || ms < 1 || ms > 3600000) {
      showMessage('A pulse lasts 1 to 3600000 milliseconds.');
      length.focus();
      return;
    }
    command(`${cardPath(card)}/relays/${relay}`, { hold_ms: ms });
  });
  entry.switchButton = switchButton;
  entry.stateText = stateText;
  return element('li', { class: 'relay' }, switchButton, holdButton(card, relay, entry.name),
    element('span', { class: 'pulse' },
      element('label', { for: id, class: 'visually-hidden' }, `Pulse length of ${entry.name} in milliseconds`),
      length, element('span', { 'aria-hidden': 'true' }, 'ms'), pulse));
}

function cardSection(card) {
  const info = state.cards.get(card);
  const headingId = `card-${card}`;
  const action = (label, path, body) => {
    const button = element('button', { type: 'button' }, label);
    button.addEventListener('click', () => command(`${cardPath(card)}/${path}`, body));
    return button;
  };
  const stop = action('Emergency stop', 'stop', {});
  stop.classList.add('stop');
  const relays = element('ul', { class: 'relays' });
  for (const [relay, entry] of info.relays) relays.append(relayRow(card, relay, entry));
  return element('section', { class: 'card', 'aria-labelledby': headingId },
    element('h2', { id: headingId }, info.name),
    element('p', { class: 'assumed' }, `Address ${card}. States as last sent: the card cannot report them.`),
    element('div', { class: 'card-actions' },
      action('All on', 'all', { state: 'ON' }), action('All off', 'all', { state: 'OFF' }),
      action('Show address', 'show', {}), stop),
    relays);
}

function render(message) {
  endAllHolds();
  state.cards.clear();
  for (const card of message.cards) {
    const relays = new Map();
    for (const relay of card.relays)
      relays.set(relay.relay, { name: relay.name, on: relay.state === 'ON' });
    state.cards.set(card.card, { name: card.name, relays });
  }
  const container = $('cards');
  container.replaceChildren(...[...state.cards.keys()].map(cardSection));
  $('stop-every').hidden = state.cards.size === 0;
  $('logout').hidden = !message.login;
  state.port = message.port;
  state.broker = message.broker;
  showStatus();
}

function received(event) {
  let message;
  try {
    message = JSON.parse(event.data);
  } catch {
    return;
  }
  if (message.type === 'cards') {
    render(message);
  } else if (message.type === 'relays') {
    for (const change of message.changes) setRelay(change.card, change.relay, change.state === 'ON');
  } else if (message.type === 'status') {
    state.port = message.port;
    state.broker = message.broker;
    showStatus();
  } else if (message.type === 'refused') {
    showMessage(`Refused: ${message.error}`);
  } else if (message.type === 'holdEnded') {
    // Still held down, perhaps, but relay-mqtt no longer drives the relay: the button lets go.
    if (dropHold(message.card, message.relay)) {
      const name = state.cards.get(message.card)?.relays.get(message.relay)?.name ?? `Relay ${message.relay}`;
      showMessage(`Hold of ${name} ended: ${message.reason}.`);
    }
  }
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const socket = new WebSocket(`${scheme}//${location.host}/api/live`);
  state.socket = socket;
  socket.addEventListener('open', () => {
    state.connected = true;
    state.reconnectIn = reconnectFirst;
    showStatus();
  });
  socket.addEventListener('message', received);
  socket.addEventListener('close', async (event) => {
    if (state.socket !== socket) return;
    state.connected = false;
    state.socket = null;
    endAllHolds();
    if (event.code === policyViolated) {
      const why = event.reason || 'log in again';
      showLogin(`${why.charAt(0).toUpperCase()}${why.slice(1)}.`);
      return;
    }
    showStatus();
    setTimeout(reconnect, state.reconnectIn);
    state.reconnectIn = Math.min(state.reconnectIn * 2, reconnectLongest);
  });
}

// Before opening the socket again, find out whether a login is needed (the socket cannot say).
async function reconnect() {
  try {
    const response = await fetch('/api/cards', { credentials: 'same-origin' });
    if (response.status === 401) {
      showLogin();
      return;
    }
  } catch {
    setTimeout(reconnect, state.reconnectIn);
    state.reconnectIn = Math.min(state.reconnectIn * 2, reconnectLongest);
    return;
  }
  connect();
}

function showLogin(why = '') {
  if (state.socket) {
    const socket = state.socket;
    state.socket = null;
    socket.close();
  }
  state.connected = false;
  endAllHolds();
  $('cards').replaceChildren();
  $('stop-every').hidden = true;
  $('logout').hidden = true;
  $('login').hidden = false;
  showMessage(why);
  $('status').textContent = 'Log in to switch the relays.';
  $('password').focus();
}

async function login(event) {
  event.preventDefault();
  const password = $('password');
  let response;
  try {
    response = await fetch('/api/login', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ password: password.value }),
      credentials: 'same-origin',
    });
  } catch {
    showMessage('relay-mqtt cannot be reached.');
    return;
  }
  if (!response.ok) {
    const answer = await response.json().catch(() => ({}));
    showMessage(answer.error ? `Login refused: ${answer.error}` : 'Login refused.');
    password.select();
    return;
  }
  password.value = '';
  showMessage('');
  $('login').hidden = true;
  connect();
}

async function logout() {
  try {
    await fetch('/api/logout', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: '{}',
      credentials: 'same-origin',
    });
  } catch {
    // Not reached: the session stays until it expires, but this page forgets it all the same.
  }
  showLogin('Logged out.');
}

function stopEveryCard() {
  for (const card of state.cards.keys()) command(`${cardPath(card)}/stop`, {});
}

document.addEventListener('DOMContentLoaded', () => {
  $('login').addEventListener('submit', login);
  $('stop-every').addEventListener('click', stopEveryCard);
  $('logout').addEventListener('click', logout);
  // A page put away lets go of what it holds.
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden') endAllHolds();
  });
  window.addEventListener('pagehide', endAllHolds);
  reconnect();
});
