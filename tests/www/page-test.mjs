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
  console.log('page test: 1 passed, 0 failed');
} finally {
  await browser.close();
  await watcher.endAsync();
}
process.exit(0);
