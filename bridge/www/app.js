// The fleet page: every node under the topic prefix and its boxes, from the bridges' retained
// topics and their answers to its request for them, live; a command field per box that takes
// only what the tool reads as a command; the results as they arrive, whoever sent the command.
// It talks MQTT 5 over WebSockets (3.1.1 where a broker speaks only that) to the broker that
// served it, or to those ?broker= names in turn, as the user who logged in.
import mqtt from 'mqtt';
import { Buffer } from 'buffer';
import { CommandPattern, CommandLimit } from './pattern.js';

const parameters = new URLSearchParams(location.search);
const prefix = parameters.get('prefix') || 'zendrocast';
// The page's own response topics live here: outside the bridges' prefixes, as they require.
const replies = parameters.get('replies') || 'replies';
const HistoryLength = 5;

const nodes = new Map(); // name -> { status, element, boxes: Map(id -> box) }
const sent = new Map(); // correlation data (hex) -> { box, preset } it was sent to
// Without MQTT 5 there is no correlation data: a result is this page's when its box and command
// are those of a command it sent and has not yet had a result for.
const sentPlain = []; // { box, text, preset }
let client = null;
let version5 = true;
let responseTopic = '';

const $ = (id) => document.getElementById(id);

function element(tag, properties = {}, ...children) {
  const made = Object.assign(document.createElement(tag), properties);
  made.append(...children);
  return made;
}

function showConnection(text, state) {
  $('connection').textContent = text;
  $('connection').className = state;
}

function randomHex(bytes) {
  return Array.from(crypto.getRandomValues(new Uint8Array(bytes)), (b) =>
    b.toString(16).padStart(2, '0'),
  ).join('');
}

function nodeOf(name) {
  if (!nodes.has(name)) {
    const badge = element('span', { className: 'badge' });
    const list = element('div', { className: 'boxes' });
    const section = element(
      'section',
      { className: 'node' },
      element('div', { className: 'node-head' }, element('h3', { textContent: name }), badge),
      list,
    );
    section.dataset.node = name;
    section.setAttribute('aria-label', `Node ${name}`);
    nodes.set(name, { name, status: 'unknown', element: section, badge, list, boxes: new Map() });
    const sorted = [...nodes.keys()].sort();
    $('nodes').insertBefore(section, nodes.get(sorted[sorted.indexOf(name) + 1])?.element ?? null);
    $('empty').hidden = true;
  }
  return nodes.get(name);
}

function boxOf(node, id) {
  if (!node.boxes.has(id)) {
    const box = { id, name: null, serial: null, path: '', present: false, presets: [], history: [] };
    const labelId = `command-${randomHex(6)}`;
    box.fields = {
      serial: element('dd'),
      path: element('dd'),
      presence: element('dd'),
    };
    // No maxLength: a browser would cut a longer text without a word, and publish another
    // command than the one typed. send() refuses it instead.
    box.input = element('input', {
      id: labelId,
      pattern: CommandPattern,
      required: true,
      autocomplete: 'off',
      spellcheck: false,
      placeholder: '1 10 20',
    });
    box.input.setAttribute('aria-describedby', `${labelId}-hint ${labelId}-error`);
    // What the field said of a text is gone with the text.
    box.input.addEventListener('input', () => {
      box.error.textContent = '';
      box.input.removeAttribute('aria-invalid');
    });
    box.button = element('button', { type: 'submit', textContent: 'Send' });
    // A button per preset the bridge's configuration names for the box.
    box.presetList = element('span', { className: 'presets' });
    box.heading = element('h4', { textContent: `Box ${id}` });
    box.idNote = element('span', { className: 'box-id', textContent: id, hidden: true });
    box.error = element('p', { className: 'error', id: `${labelId}-error`, role: 'alert' });
    box.answer = element('p', { className: 'answer' });
    box.answer.setAttribute('aria-live', 'polite');
    box.list = element('ol', { className: 'history' });
    box.list.setAttribute('aria-label', `Last results of box ${id}`);
    const form = element(
      'form',
      {},
      element('label', { htmlFor: labelId, className: 'visually-hidden', textContent: `Command for box ${id}` }),
      box.input,
      box.button,
      box.presetList,
    );
    form.noValidate = true; // the page says why itself, and says it to screen readers
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      send(node, box);
    });
    box.element = element(
      'article',
      { className: 'box' },
      element('div', { className: 'box-head' }, box.heading, box.idNote),
      element(
        'dl',
        {},
        element('dt', { textContent: 'Serial' }),
        box.fields.serial,
        element('dt', { textContent: 'Path' }),
        box.fields.path,
        element('dt', { textContent: 'Presence' }),
        box.fields.presence,
      ),
      element('p', {
        className: 'hint',
        id: `${labelId}-hint`,
        textContent: 'Box, byte 1 and byte 2, each 0 to 255, e.g. 1 10 20',
      }),
      form,
      box.error,
      box.answer,
      box.list,
    );
    box.element.dataset.box = id;
    node.boxes.set(id, box);
    const sorted = [...node.boxes.keys()].sort();
    node.list.insertBefore(box.element, node.boxes.get(sorted[sorted.indexOf(id) + 1])?.element ?? null);
  }
  return node.boxes.get(id);
}

// A run that a crash of the bridge cut short has no count: the box may have had some reports.
function reportsText(result) {
  return result.reports_written === null ? 'reports unknown' : `${result.reports_written} reports`;
}

// The preset buttons, made anew only when the presets changed (a button in the hand stays).
function renderPresets(node, box) {
  const shown = JSON.stringify(box.presets);
  if (box.presetList.dataset.shown === shown) {
    return;
  }
  box.presetList.dataset.shown = shown;
  box.presetList.replaceChildren(
    ...box.presets.map((preset) => {
      const button = element('button', { type: 'button', textContent: preset.name, title: preset.command });
      button.addEventListener('click', () => publish(node, box, preset.command, preset.name));
      return button;
    }),
  );
}

function render(node) {
  node.badge.textContent = node.status;
  node.badge.className = `badge ${node.status}`;
  for (const box of node.boxes.values()) {
    // The name people know the box by, with its id beside it.
    box.heading.textContent = box.name ?? `Box ${box.id}`;
    box.idNote.hidden = box.name === null;
    renderPresets(node, box);
    for (const button of box.presetList.children) {
      button.disabled = !box.present || node.status !== 'online';
    }
    box.fields.serial.textContent = box.serial ?? 'none';
    box.fields.path.textContent = box.path;
    box.fields.presence.textContent = box.present ? 'present' : 'absent';
    box.fields.presence.className = box.present ? 'present' : 'absent';
    // A command to a box that cannot take it would only come back refused.
    box.button.disabled = !box.present || node.status !== 'online';
    box.list.replaceChildren(
      ...box.history.map((result) => {
        const good = result.status === 0;
        return element('li', {
          className: good ? 'ok' : 'failed',
          textContent:
            `${result.time} ${result.preset ? `${result.preset} ` : ''}"${result.command}": ` +
            `status ${result.status}, ${result.message}, ` +
            `${reportsText(result)}, ${result.duration_ms} ms` +
            (result.mine ? ' (from this page)' : ''),
        });
      }),
    );
  }
}

// Why the text cannot be sent as it is, or '': the page publishes exactly what was typed, or
// nothing.
function refusal(input) {
  const text = input.value;
  const bytes = new TextEncoder().encode(text).length;
  if (text === '') {
    return 'Type a command: box, byte 1 and byte 2.';
  }
  if (bytes > CommandLimit) {
    return `This command is ${bytes} bytes long: the bridge takes at most ${CommandLimit}.`;
  }
  if (!input.checkValidity()) {
    return `"${text}" is not a command the tool takes: three whole numbers from 0 to 255.`;
  }
  return '';
}

function send(node, box) {
  const text = box.input.value;
  const why = refusal(box.input);
  if (why !== '') {
    box.error.textContent = why;
    box.input.setAttribute('aria-invalid', 'true');
    box.input.focus();
    return;
  }
  box.error.textContent = '';
  box.input.removeAttribute('aria-invalid');
  publish(node, box, text, null);
}

// A command to the box, with a response topic and correlation data where MQTT 5 has them; preset:
// the name of the preset it is, or null.
function publish(node, box, text, preset) {
  const options = { qos: 1 };
  if (version5) {
    const correlation = randomHex(8);
    sent.set(correlation, { box, preset });
    options.properties = { responseTopic, correlationData: Buffer.from(correlation, 'hex') };
  } else {
    sentPlain.push({ box, text, preset });
  }
  client.publish(
    `${prefix}/${node.name}/${box.id}/command`,
    text,
    options,
    (error) => {
      box.answer.textContent = error ? `Not sent: ${error.message}` : `Sent "${text}", waiting for the result…`;
    },
  );
}

function onResult(node, box, payload, correlation) {
  let result;
  try {
    result = JSON.parse(payload);
  } catch {
    return;
  }
  if (typeof result !== 'object' || result === null || typeof result.status !== 'number') {
    return;
  }
  result.time = new Date().toLocaleTimeString();
  const plain = sentPlain.findIndex((entry) => entry.box === box && entry.text === result.command);
  const mine = correlation === '' ? sentPlain[plain] : sent.get(correlation);
  result.mine = mine !== undefined;
  result.preset = mine?.preset ?? null;
  if (result.mine) {
    sent.delete(correlation);
    if (correlation === '') {
      sentPlain.splice(plain, 1);
    }
    box.answer.textContent =
      `${result.preset ? `${result.preset} ` : ''}"${result.command}": status ${result.status}, ` +
      `${result.message}, ${reportsText(result)}`;
  }
  box.history.unshift(result);
  box.history.length = Math.min(box.history.length, HistoryLength);
}

function onMessage(topic, payload, packet) {
  if (topic === responseTopic) {
    return; // the same result comes on the box's topic too, for everyone
  }
  if (!topic.startsWith(`${prefix}/`)) {
    return;
  }
  const levels = topic.slice(prefix.length + 1).split('/');
  const text = payload.toString();
  const node = nodeOf(levels[0]);
  if (levels.length === 2 && levels[1] === 'status') {
    node.status = text === 'online' ? 'online' : 'offline';
  } else if (levels.length === 2 && levels[1] === 'boxes') {
    let list = [];
    try {
      list = JSON.parse(text);
    } catch {
      return;
    }
    for (const entry of Array.isArray(list) ? list : []) {
      if (entry && typeof entry.id === 'string') {
        const box = boxOf(node, entry.id);
        box.serial = typeof entry.serial === 'string' ? entry.serial : null;
        box.name = typeof entry.name === 'string' ? entry.name : null;
        box.presets = (Array.isArray(entry.presets) ? entry.presets : []).filter(
          (preset) => typeof preset?.name === 'string' && typeof preset?.command === 'string',
        );
        box.path = typeof entry.path === 'string' ? entry.path : '';
        box.present = entry.present === true;
      }
    }
  } else if (levels.length === 3 && levels[2] === 'presence') {
    boxOf(node, levels[1]).present = text === 'present';
  } else if (levels.length === 3 && levels[2] === 'result') {
    const correlation = packet.properties?.correlationData?.toString('hex') ?? '';
    onResult(node, boxOf(node, levels[1]), text, correlation);
  }
  render(node);
}

// The brokers' WebSocket addresses, tried in turn: ?broker=ws://HOST:15675/ws,... (a cluster's
// nodes), or the server that served the page.
function brokerUrls() {
  const listed = (parameters.get('broker') ?? '')
    .split(',')
    .map((url) => url.trim())
    .filter((url) => url !== '');
  if (listed.length > 0) {
    return listed;
  }
  const url = new URL('/mqtt', location.href);
  url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return [url.href];
}

const brokers = brokerUrls();
const versions = new Map(); // broker -> the MQTT version it took
let login = null;
let stopped = false;

function connect(user, password) {
  login = { user, password };
  stopped = false;
  open(0);
}

// One connection to the broker at index; when it ends, the same broker again if it was up,
// otherwise the next. MQTT 5 where a broker takes it: one that speaks 3.1.1 only (RabbitMQ)
// closes an MQTT 5 connect without a word, and gets 3.1.1 from then on.
function open(index, protocolVersion = versions.get(brokers[index]) ?? 5) {
  const url = brokers[index];
  const clientId = `zendrocast-page-${randomHex(6)}`;
  let connected = false;
  showConnection('Connecting…', client === null ? '' : 'trouble');
  const attempt = mqtt.connect(url, {
    protocolVersion,
    clientId,
    username: login.user,
    password: login.password,
    clean: true,
    reconnectPeriod: 0,
    connectTimeout: 5000,
  });
  client = attempt;
  attempt.on('connect', () => {
    connected = true;
    versions.set(url, protocolVersion);
    version5 = protocolVersion === 5;
    responseTopic = version5 ? `${replies}/${clientId}` : '';
    showConnection('Connected', 'connected');
    $('login').hidden = true;
    $('fleet').hidden = false;
    const topics = [`${prefix}/+/status`, `${prefix}/+/boxes`, `${prefix}/+/+/presence`, `${prefix}/+/+/result`];
    attempt.subscribe(version5 ? [...topics, responseTopic] : topics, { qos: 1 }, () => {
      // Every bridge publishes its state again: a broker that keeps a retained message on one
      // node of a cluster, or gives none to a wildcard subscription, gives the page nothing else.
      attempt.publish(`${prefix}/request`, 'state', { qos: 1 });
    });
  });
  attempt.on('error', (error) => {
    // 4 and 5 (3.1.1), 134 and 135 (MQTT 5): the broker does not take these credentials.
    if ([4, 5, 134, 135].includes(error.code)) {
      stopped = true;
      attempt.end(true);
      sessionStorage.removeItem('zendrocast-login');
      showConnection('Not connected', 'trouble');
      $('login-error').textContent = 'Wrong user name or password.';
      $('login').hidden = false;
      $('fleet').hidden = true;
      $('password').focus();
    }
  });
  attempt.on('close', () => {
    if (stopped || client !== attempt) {
      return;
    }
    if (!connected && protocolVersion === 5 && !versions.has(url)) {
      open(index, 4);
      return;
    }
    showConnection('Broker gone: trying again…', 'trouble');
    setTimeout(() => open(connected ? index : (index + 1) % brokers.length), 2000);
  });
  attempt.on('message', onMessage);
}

$('login').addEventListener('submit', (event) => {
  event.preventDefault();
  $('login-error').textContent = '';
  const login = { user: $('user').value, password: $('password').value };
  // For this tab only, so that a reload does not ask again; gone when the tab closes.
  sessionStorage.setItem('zendrocast-login', JSON.stringify(login));
  connect(login.user, login.password);
});

$('logout').addEventListener('click', () => {
  sessionStorage.removeItem('zendrocast-login');
  stopped = true;
  client?.end(true);
  location.reload();
});

const saved = sessionStorage.getItem('zendrocast-login');
if (saved) {
  const login = JSON.parse(saved);
  connect(login.user, login.password);
}
