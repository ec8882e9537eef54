// The fleet page in a real browser (Debian's chromium, headless, driven by playwright-core),
// served by a real Mosquitto with a bridge and emulated boxes behind it. The C++ side
// (tests/bridge/BridgeTest.cpp) starts all that and runs this; at "STEP ..." lines it unplugs a
// box or kills the bridge, then answers with a line on standard input.
// Usage: node page-test.mjs PAGE_URL BROKER_URL SCREENSHOT.png
//        node page-test.mjs --cluster PAGE_URL
// With --cluster the page comes from a static server and its PAGE_URL names a RabbitMQ
// cluster's nodes in ?broker=: it shows node pi1 and its box ZC-A, and a command from it gets
// its result, with MQTT 3.1.1 (the nodes' only version).
import assert from 'node:assert/strict';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';
import mqtt from 'mqtt';

const input = createInterface({ input: process.stdin })[Symbol.asyncIterator]();
const launch = () =>
  chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
  });

// Logs in with the mouse, and waits until the page says it is connected.
async function connect(page, user, password) {
  await page.getByLabel('User name').fill(user);
  await page.getByLabel('Password').fill(password);
  await page.getByRole('button', { name: 'Connect' }).click();
  await page.getByRole('status').getByText('Connected').waitFor({ timeout: 30000 });
}

if (process.argv[2] === '--cluster') {
  const browser = await launch();
  try {
    const page = await browser.newPage({ viewport: { width: 900, height: 760 } });
    page.on('pageerror', (error) => console.log(`page error: ${error.message}`));
    await page.goto(process.argv[3]);
    await connect(page, 'fleet-page', 'page-secret');
    const node = page.locator('[data-node="pi1"]');
    await node.locator('.badge', { hasText: 'online' }).waitFor({ timeout: 30000 });
    const box = node.locator('[data-box="ZC-A"]');
    await box.locator('dd.present').waitFor({ timeout: 30000 });
    await box.getByLabel('Command for box ZC-A').fill('1 10 20');
    await box.getByRole('button', { name: 'Send' }).click();
    const mine = box.locator('.history li', { hasText: '"1 10 20": status 0, sent, 10 reports' });
    await mine.waitFor({ timeout: 30000 });
    assert.match(await mine.first().textContent(), /\(from this page\)$/);
    console.log('cluster page test: 1 passed, 0 failed');
  } finally {
    await browser.close();
  }
  process.exit(0);
}

const [pageUrl, brokerUrl, screenshot] = process.argv.slice(2);

// A fake fleet of 1,000 nodes with 4 boxes each, retained at the broker beside pi1 (offline by
// now, with a failure): one node offline, one with an absent box, one with a failure 5 minutes
// ago (and one 2 hours ago, which is no problem), one with a backlog, one on an old version.
// A new page shows it problems first, sums it up, folds the healthy nodes and filters it; the
// time until it is shown and a filter keystroke's are printed for the README.
async function fleetOfAThousand(browser, consoleMessages) {
  const health = await new Promise((resolve) => {
    watcher.on('message', (topic, payload) => topic === 'zendrocast/pi1/health' && resolve(JSON.parse(payload)));
    watcher.subscribe('zendrocast/pi1/health', { qos: 1 });
  });
  const version = health.node.version;
  const now = Date.now();
  const failure = (ago) => ({
    time: new Date(now - ago).toISOString(),
    box: 'B1',
    command: '1 1 1',
    message: 'WriteFile : Failed',
  });
  const sent = [];
  for (let n = 0; n < 1000; ++n) {
    const name = `fake-${String(n).padStart(4, '0')}`;
    const retained = (topic, payload) =>
      sent.push(watcher.publishAsync(`zendrocast/${name}/${topic}`, payload, { qos: 1, retain: true }));
    const boxes = [1, 2, 3, 4].map((k) => ({
      id: `B${k}`,
      name: `Door ${n}-${k}`,
      serial: `B${k}`,
      path: `/dev/hidraw${k}`,
      present: !(n === 5 && k === 2),
      presets: [],
    }));
    retained('status', n === 3 ? 'offline' : 'online');
    retained('boxes', JSON.stringify(boxes));
    for (const box of boxes) {
      retained(`${box.id}/presence`, box.present ? 'present' : 'absent');
    }
    retained(
      'health',
      JSON.stringify({
        node: {
          version: n === 11 ? '0.0.1' : version,
          system: 'linux',
          architecture: 'aarch64',
          started: new Date(now - 86400000).toISOString(),
        },
        broker: { address: 'broker-1:1883', mqtt: '5', qos: 2, connects: 1, last_disconnect: null },
        commands: {
          failed: n === 7 || n === 13 ? 1 : 0,
          last_failure: n === 7 ? failure(300000) : n === 13 ? failure(7200000) : null,
        },
        backlog: { queued: n === 9 ? 3 : 0, results_waiting: 0, journal_entries: 3, journal_bytes: 400 },
      }),
    );
  }
  await Promise.all(sent); // each acknowledged: the broker holds the whole fleet

  const page = await browser.newPage({ viewport: { width: 900, height: 760 } });
  page.on('pageerror', (error) => console.log(`page error: ${error.message}`));
  page.on('console', (message) => consoleMessages.push(`${message.type()}: ${message.text()}`));
  await page.goto(pageUrl);
  const started = Date.now();
  await connect(page, 'fleet-page', 'page-secret');
  await page
    .waitForFunction(
      () =>
        document.getElementById('summary-nodes').textContent === '999 online, 2 offline, 1001 in total' &&
        document.querySelector('[data-node="fake-0999"] .facts')?.textContent.startsWith('version'),
      null,
      { polling: 'raf', timeout: 60000 },
    )
    .catch(async (error) => {
      console.log(`the summary says: ${await page.locator('#summary').textContent()}`);
      throw error;
    });
  const shownAfter = Date.now() - started;
  const shown = () => page.$$eval('[data-node]:not([hidden])', (nodes) => nodes.map((node) => node.dataset.node));
  const first = ['fake-0003', 'pi1', 'fake-0005', 'fake-0007', 'fake-0009', 'fake-0011'];
  assert.deepEqual((await shown()).slice(0, 6), first);
  // pi1's failure came after its health of the connect, and it was killed within the interval.
  assert.equal(await page.locator('#summary-failures').textContent(), '1 node');
  assert.match(await page.locator('#summary-versions').textContent(), new RegExp(`^${version} ×1000, 0\\.0\\.1 ×1$`));
  assert.match(await page.locator('#summary-boxes').textContent(), /^4001 present, 2 absent$/);
  const expanded = (name) => page.locator(`[data-node="${name}"] .fold`).getAttribute('aria-expanded');
  assert.equal(await expanded('fake-0013'), 'false'); // healthy: folded, no boxes made
  assert.equal(await expanded('fake-0011'), 'true');
  assert.equal(await page.locator('[data-node="fake-0013"] .box').count(), 0);
  assert.match(await page.locator('[data-node="fake-0009"] .problems').textContent(), /backlog: 3 commands waiting/);
  await page.screenshot({ path: screenshot.replace(/\.png$/, '-fleet.png') });

  // A keystroke's answer: from the input event to the frame that shows its result.
  const keystroke = (value) =>
    page.evaluate(async (value) => {
      const filter = document.getElementById('filter');
      const start = performance.now();
      filter.value = value;
      filter.dispatchEvent(new Event('input'));
      await new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)));
      return performance.now() - start;
    }, value);
  const keystrokes = [];
  for (const value of ['d', 'do', 'door', 'door ', 'door 5', 'door 51', 'door 512', 'door 512-', 'door 512-2']) {
    keystrokes.push(await keystroke(value));
  }
  assert.deepEqual(await shown(), ['fake-0512']);
  const boxesShown = (name) =>
    page.$$eval(`[data-node="${name}"] .box`, (boxes) => boxes.map((box) => box.dataset.box));
  assert.deepEqual(await boxesShown('fake-0512'), ['B2']);
  await keystroke('zc-a'); // a box id, whatever its case
  assert.deepEqual(await shown(), ['pi1']);
  await keystroke('fake-004');
  assert.equal((await shown()).length, 10);
  await keystroke('fake-001'); // a node on an old version first, then nine healthy ones
  await page.screenshot({
    path: screenshot.replace(/\.png$/, '-fleet-filtered.png'),
    fullPage: true,
    clip: { x: 0, y: 0, width: 900, height: 1300 },
  });
  await keystroke('fake-00'); // the sick among a hundred, the healthy folded
  assert.equal(await page.locator('[data-node="fake-0001"] .fold').getAttribute('aria-expanded'), 'false');
  await keystroke('');
  assert.equal((await shown()).length, 1001);
  keystrokes.sort((a, b) => a - b);
  console.log(
    `1,000 nodes of 4 boxes: shown ${shownAfter} ms after Connect; a filter keystroke answered in ` +
      `${keystrokes[Math.floor(keystrokes.length / 2)].toFixed(0)} ms (median of ${keystrokes.length}), ` +
      `${keystrokes[keystrokes.length - 1].toFixed(0)} ms at most`,
  );
  assert.deepEqual(consoleMessages, []);
}

async function step(name) {
  console.log(`STEP ${name}`);
  await input.next();
}

// Whatever reaches a command topic, whoever sent it.
const commands = [];
const watcher = await mqtt.connectAsync(brokerUrl, {
  username: 'peer',
  password: 'peer-secret',
  protocolVersion: 5,
});
await watcher.subscribeAsync('zendrocast/+/+/command', { qos: 1 });
watcher.on('message', (topic, payload) => commands.push(`${topic} ${payload}`));

const browser = await launch();
try {
  const page = await browser.newPage({ viewport: { width: 900, height: 760 } });
  page.on('pageerror', (error) => console.log(`page error: ${error.message}`));
  // Every message on the console is one too many (a missing icon's 404 among them).
  const consoleMessages = [];
  page.on('console', (message) => consoleMessages.push(`${message.type()}: ${message.text()}`));
  await page.goto(pageUrl);

  // A wrong password is said so, from the keyboard alone.
  await page.getByLabel('User name').fill('fleet-page');
  await page.getByLabel('Password').fill('wrong');
  await page.keyboard.press('Enter');
  await page.getByText('Wrong user name or password.').waitFor({ timeout: 30000 });
  await connect(page, 'fleet-page', 'page-secret');

  // The node and its boxes, from the retained topics.
  const node = page.locator('[data-node="pi1"]');
  await node.locator('.badge', { hasText: 'online' }).waitFor({ timeout: 30000 });
  const first = node.locator('[data-box="ZC-A"]');
  const second = node.locator('[data-box="ZC-B"]');
  await first.waitFor({ timeout: 30000 });
  await second.waitFor({ timeout: 30000 });
  assert.equal(await first.locator('dd').nth(0).textContent(), 'ZC-A');
  assert.equal(await first.locator('dd').nth(2).textContent(), 'present');
  // The name the configuration gives, with the id beside it.
  assert.equal(await first.locator('h4').textContent(), 'Garage door');
  assert.equal(await first.locator('.box-id').textContent(), 'ZC-A');

  // A text the tool refuses never leaves the form.
  const command = first.getByLabel('Command for box ZC-A');
  await command.fill('1 256 20');
  await command.press('Enter');
  await first.getByRole('alert').getByText('is not a command the tool takes').waitFor();
  await page.waitForTimeout(500);
  assert.deepEqual(commands, []);

  // A command, and its result as it arrives.
  await command.fill('1 10 20');
  await first.getByRole('button', { name: 'Send' }).click();
  await first.locator('.history li', { hasText: 'status 0, sent, 10 reports' }).waitFor({ timeout: 30000 });
  assert.match(await first.locator('.history li').first().textContent(), /\(from this page\)$/);
  assert.deepEqual(commands, ['zendrocast/pi1/ZC-A/command 1 10 20']);
  await page.screenshot({ path: screenshot, fullPage: true });

  // Longer than the bridge takes: refused whole, never cut to another command (byte 2 = 0 from
  // a field 3 that overflows, or "1 10 2" from "1 10 20").
  for (const text of [`1 10 ${'0'.repeat(59)}256`, `${'0'.repeat(58)}1 10 20`]) {
    await command.fill(text);
    await command.press('Enter');
    await first.getByRole('alert').getByText(`This command is ${text.length} bytes long`).waitFor();
    assert.equal(await command.inputValue(), text);
  }
  await page.waitForTimeout(500);
  assert.deepEqual(commands, ['zendrocast/pi1/ZC-A/command 1 10 20']);

  // A preset: its text sent as Send sends a typed one, its result under its name.
  await command.fill('');
  assert.equal(await first.getByRole('alert').textContent(), '');
  await first.getByRole('button', { name: 'Open', exact: true }).click();
  await first.locator('.history li', { hasText: 'Open "0 7 7": status 0, sent, 10 reports' }).waitFor({
    timeout: 30000,
  });
  assert.match(await first.locator('.history li').first().textContent(), /\(from this page\)$/);
  assert.deepEqual(commands, ['zendrocast/pi1/ZC-A/command 1 10 20', 'zendrocast/pi1/ZC-A/command 0 7 7']);
  await page.screenshot({ path: screenshot.replace(/\.png$/, '-presets.png'), fullPage: true });

  // A box named by a Windows port id, with a long result, on a phone: everything wraps.
  const longId = 'PCIROOT(0)_PCI(1400)_USBROOT(0)_USB(2)_USBMI(0)';
  const third = node.locator(`[data-box="${longId}"]`);
  await third.waitFor({ timeout: 30000 });
  await watcher.publishAsync(`zendrocast/pi1/${longId}/command`, `1 10 ${'0'.repeat(56)}256`, {
    qos: 1,
  });
  await third.locator('.history li', { hasText: 'overflow' }).waitFor({ timeout: 30000 });
  const overflowing = () =>
    page.evaluate(() =>
      [document.documentElement, ...document.querySelectorAll('.box, .node')]
        .filter((element) => element.scrollWidth > element.clientWidth)
        .map((element) => element.dataset.box ?? element.dataset.node ?? element.tagName),
    );
  assert.deepEqual(await overflowing(), []);
  await page.setViewportSize({ width: 375, height: 760 });
  assert.deepEqual(await overflowing(), []);
  await page.screenshot({ path: screenshot.replace(/\.png$/, '-phone.png'), fullPage: true });
  await page.setViewportSize({ width: 900, height: 760 });

  // Live: an unplugged box, then a node that went away.
  await step('unplug ZC-B');
  await second.locator('dd.absent').waitFor({ timeout: 30000 });
  assert.equal(await second.getByRole('button', { name: 'Send' }).isDisabled(), true);
  await step('kill the bridge');
  const killed = Date.now();
  await node.locator('.badge', { hasText: 'offline' }).waitFor({ timeout: 30000 });
  console.log(`the node showed offline ${Date.now() - killed} ms after the bridge was killed`);
  await page.screenshot({ path: screenshot.replace(/\.png$/, '-offline.png'), fullPage: true });
  assert.deepEqual(consoleMessages, []);
  await fleetOfAThousand(browser, consoleMessages);
  console.log('page test: 1 passed, 0 failed');
} finally {
  await browser.close();
  await watcher.endAsync();
}
process.exit(0);
