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

// A node's model; its section is made at once, its boxes' elements only once it is unfolded, so
// that a fleet of a thousand folded nodes costs a line each.
function nodeOf(name) {
  if (!nodes.has(name)) {
    const node = {
      name,
      status: 'unknown',
      health: null,
      failureAt: 0, // the last failure's time (ms) from its health or a result seen here
      boxes: new Map(),
      folded: null, // null: as the fleet's size says; true or false: as the user set it
      problems: [],
    };
    node.badge = element('span', { className: 'badge' });
    node.facts = element('span', { className: 'facts' });
    node.problemLine = element('p', { className: 'problems' });
    node.foldLine = element('p', { className: 'fold-line' });
    node.list = element('div', { className: 'boxes' });
    node.fold = element('button', { type: 'button', className: 'fold' });
    node.fold.addEventListener('click', () => {
      node.folded = !isFolded(node);
      changed(node);
    });
    node.element = element(
      'section',
      { className: 'node' },
      element(
        'div',
        { className: 'node-head' },
        node.fold,
        element('h3', { textContent: name }),
        node.badge,
        node.facts,
      ),
      node.problemLine,
      node.foldLine,
      node.list,
    );
    node.element.dataset.node = name;
    node.element.setAttribute('aria-label', `Node ${name}`);
    nodes.set(name, node);
  }
  return nodes.get(name);
}

function boxOf(node, id) {
  if (!node.boxes.has(id)) {
    node.boxes.set(id, {
      id,
      name: null,
      serial: null,
      path: '',
      present: false,
      presets: [],
      history: [],
      element: null, // made by buildBox
    });
  }
  return node.boxes.get(id);
}

// The box's elements, made when its node is first shown unfolded.
function buildBox(node, box) {
  const id = box.id;
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

function renderBox(node, box) {
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

// The fleet's view: problems first, a summary above, a filter, and healthy nodes folded when
// there are many. Messages only mark what they changed; one pass shows it (at most every
// BurstMs), so that a thousand nodes' retained state arriving at once is shown a few times.
const HourMs = 3600 * 1000;
const FoldAbove = 20; // healthy nodes shown: beyond this many they start folded
const dirty = new Set();
let scheduled = false;
let everything = false; // every node is shown anew (the filter, the fold rule, the clock)
let filterText = '';
let autoFold = false;
let order = [];

// Messages are shown at most every BurstMs: a fleet's state arriving at once is laid out a few
// times, not once a frame. What the user does (the filter, a fold) is shown at the next frame.
const BurstMs = 150;
let lastFlush = 0;

function changed(node) {
  if (node === null) {
    everything = true;
  } else {
    dirty.add(node);
  }
  if (!scheduled) {
    scheduled = true;
    const wait = lastFlush + BurstMs - performance.now();
    if (node === null || wait <= 0) {
      requestAnimationFrame(flush);
    } else {
      setTimeout(() => requestAnimationFrame(flush), wait);
    }
  }
}

const stringOf = (value) => (typeof value === 'string' ? value : '');
const byText = (a, b) => (a < b ? -1 : a > b ? 1 : 0);
const failedLately = (node, now) => now - node.failureAt < HourMs;
const versionOf = (node) => stringOf(node.health?.node?.version);

// Versions by their numbers: 1.10.0 is newer than 1.9.2.
function compareVersions(a, b) {
  const numbers = (version) => version.split(/[.+~-]/).map((part) => parseInt(part, 10) || 0);
  const [x, y] = [numbers(a), numbers(b)];
  for (let i = 0; i < Math.max(x.length, y.length); ++i) {
    if ((x[i] ?? 0) !== (y[i] ?? 0)) {
      return (x[i] ?? 0) - (y[i] ?? 0);
    }
  }
  return 0;
}

// What is wrong with the node, worst first: each with its rank, which orders the fleet.
function problemsOf(node, newest, now) {
  const problems = [];
  if (node.status !== 'online') {
    problems.push({ rank: 0, text: node.status === 'offline' ? 'offline' : 'no status' });
  }
  const absent = [...node.boxes.values()].filter((box) => !box.present).length;
  if (absent > 0) {
    problems.push({ rank: 1, text: `${absent} ${absent === 1 ? 'box' : 'boxes'} absent` });
  }
  if (failedLately(node, now)) {
    problems.push({ rank: 2, text: 'failures in the last hour' });
  }
  const backlog = node.health?.backlog ?? {};
  const waiting = Number(backlog.queued) || 0;
  const unsent = Number(backlog.results_waiting) || 0;
  if (waiting > 0 || unsent > 0) {
    problems.push({ rank: 3, text: `backlog: ${waiting} commands waiting, ${unsent} results unsent` });
  }
  const version = versionOf(node);
  if (version !== '' && compareVersions(version, newest) < 0) {
    problems.push({ rank: 4, text: `version ${version}, older than ${newest}` });
  }
  return problems;
}

const rankOf = (node) => (node.problems.length > 0 ? node.problems[0].rank : 5);

// The boxes the filter lets through, in order of their ids; null: the node is not shown.
function shownBoxes(node) {
  const boxes = [...node.boxes.values()].sort((a, b) => byText(a.id, b.id));
  if (filterText === '' || node.name.toLowerCase().includes(filterText)) {
    return boxes;
  }
  const matching = boxes.filter(
    (box) => box.id.toLowerCase().includes(filterText) || (box.name ?? '').toLowerCase().includes(filterText),
  );
  return matching.length > 0 ? matching : null;
}

const isFolded = (node) => node.folded ?? (node.problems.length === 0 && autoFold);

function duration(ms) {
  const minutes = Math.floor(ms / 60000);
  const [days, hours] = [Math.floor(minutes / 1440), Math.floor(minutes / 60) % 24];
  return days > 0 ? `${days} d ${hours} h` : hours > 0 ? `${hours} h ${minutes % 60} min` : `${minutes} min`;
}

// The node's header: version, uptime, broker and last failure, from its health.
function factsText(node, now) {
  const health = node.health;
  if (health === null) {
    return '';
  }
  const facts = [];
  if (versionOf(node) !== '') {
    facts.push(`version ${versionOf(node)}`);
  }
  const started = Date.parse(stringOf(health.node?.started));
  if (node.status === 'online' && Number.isFinite(started)) {
    facts.push(`up ${duration(Math.max(0, now - started))}`);
  }
  if (stringOf(health.broker?.address) !== '') {
    facts.push(`broker ${health.broker.address}`);
  }
  const failure = health.commands?.last_failure;
  if (failure && typeof failure === 'object') {
    const at = Date.parse(stringOf(failure.time));
    facts.push(
      `last failure ${Number.isFinite(at) ? new Date(at).toLocaleString() : ''} box ${stringOf(failure.box)}: ` +
        stringOf(failure.message),
    );
  }
  return facts.join(' · ');
}

function renderNode(node, now) {
  node.element.hidden = node.shown === null;
  if (node.shown === null) {
    return;
  }
  node.badge.textContent = node.status;
  node.badge.className = `badge ${node.status}`;
  node.facts.textContent = factsText(node, now);
  node.problemLine.textContent = node.problems.map((problem) => problem.text).join(' · ');
  node.problemLine.hidden = node.problems.length === 0;
  node.element.classList.toggle('sick', node.problems.length > 0);
  const folded = isFolded(node);
  node.fold.textContent = folded ? '▸' : '▾';
  node.fold.setAttribute('aria-expanded', String(!folded));
  node.fold.setAttribute('aria-label', `Boxes of node ${node.name}`);
  const absent = node.shown.filter((box) => !box.present).length;
  node.foldLine.textContent = `${node.shown.length} ${node.shown.length === 1 ? 'box' : 'boxes'}, ${absent} absent`;
  node.foldLine.hidden = !folded;
  node.list.hidden = folded;
  if (folded) {
    return;
  }
  for (const box of node.shown) {
    if (box.element === null) {
      buildBox(node, box);
    }
    renderBox(node, box);
  }
  const placed = node.list.children;
  if (placed.length !== node.shown.length || node.shown.some((box, i) => placed[i] !== box.element)) {
    node.list.replaceChildren(...node.shown.map((box) => box.element));
  }
}

// versions: those in use with their counts, newest first.
function renderSummary(all, versions, now) {
  const online = all.filter((node) => node.status === 'online').length;
  let present = 0;
  let absent = 0;
  for (const node of all) {
    for (const box of node.boxes.values()) {
      present += box.present ? 1 : 0;
      absent += box.present ? 0 : 1;
    }
  }
  const failing = all.filter((node) => failedLately(node, now)).length;
  const versionText = versions.map(([version, count]) => `${version} ×${count}`).join(', ');
  $('summary-nodes').textContent = `${online} online, ${all.length - online} offline, ${all.length} in total`;
  $('summary-boxes').textContent = `${present} present, ${absent} absent`;
  $('summary-failures').textContent = `${failing} ${failing === 1 ? 'node' : 'nodes'}`;
  $('summary-versions').textContent = versionText || 'not known yet';
}

function flush() {
  scheduled = false;
  lastFlush = performance.now();
  const now = Date.now();
  const all = [...nodes.values()];
  const counted = new Map();
  for (const version of all.map(versionOf).filter((version) => version !== '')) {
    counted.set(version, (counted.get(version) ?? 0) + 1);
  }
  const versions = [...counted].sort((a, b) => compareVersions(b[0], a[0]));
  const newest = versions.length > 0 ? versions[0][0] : '';
  let healthy = 0;
  for (const node of all) {
    const problems = problemsOf(node, newest, now);
    const key = problems.map((problem) => problem.text).join('|');
    if (key !== node.problemKey) {
      node.problems = problems;
      node.problemKey = key;
      dirty.add(node);
    }
    node.shown = shownBoxes(node);
    healthy += node.shown !== null && problems.length === 0 ? 1 : 0;
  }
  if (autoFold !== healthy > FoldAbove) {
    autoFold = healthy > FoldAbove;
    everything = true;
  }
  for (const node of everything ? all : dirty) {
    renderNode(node, now);
  }
  dirty.clear();
  everything = false;
  const sorted = all.sort((a, b) => rankOf(a) - rankOf(b) || byText(a.name, b.name));
  if (sorted.length !== order.length || sorted.some((node, i) => node !== order[i])) {
    $('nodes').replaceChildren(...sorted.map((node) => node.element));
    order = sorted;
  }
  $('empty').hidden = all.length > 0;
  $('summary').hidden = all.length === 0;
  renderSummary(sorted, versions, now);
}

$('filter').addEventListener('input', () => {
  filterText = $('filter').value.trim().toLowerCase();
  changed(null);
});
// Uptimes and the last hour move on without a message.
setInterval(() => changed(null), 60000);

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
  if (result.status !== 0) {
    node.failureAt = Date.now();
  }
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
  } else if (levels.length === 2 && levels[1] === 'health') {
    let health = null;
    try {
      health = JSON.parse(text);
    } catch {
      return;
    }
    if (typeof health !== 'object' || health === null || Array.isArray(health)) {
      return;
    }
    node.health = health;
    const failure = Date.parse(stringOf(health.commands?.last_failure?.time));
    node.failureAt = Math.max(node.failureAt, Number.isFinite(failure) ? failure : 0);
  } else if (levels.length === 3 && levels[2] === 'result') {
    const correlation = packet.properties?.correlationData?.toString('hex') ?? '';
    onResult(node, boxOf(node, levels[1]), text, correlation);
  }
  changed(node);
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
    // The node's state at QoS 0: it is retained, and asked for again at every connect; a
    // thousand nodes' state comes without an acknowledgement each. The boxes list says each
    // box's presence too. Results at QoS 1: each is news once.
    const state = [`${prefix}/+/status`, `${prefix}/+/boxes`, `${prefix}/+/health`];
    const news = version5 ? [`${prefix}/+/+/result`, responseTopic] : [`${prefix}/+/+/result`];
    const subscriptions = Object.fromEntries([
      ...state.map((topic) => [topic, { qos: 0 }]),
      ...news.map((topic) => [topic, { qos: 1 }]),
    ]);
    attempt.subscribe(subscriptions, () => {
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
