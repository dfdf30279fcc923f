// A real Chromium for the tests of relay-mqtt's web page, driven by playwright-core and told
// what to do by the test on stdin, a JSON object a line: {"id":1,"cmd":"open",...}. Each
// command is answered on stdout when it is done: {"id":1,"ok":true,"result":...} or
// {"id":1,"ok":false,"error":"..."}. It talks to 127.0.0.1 only.
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const require = createRequire(import.meta.url);
const axePath = require.resolve('axe-core/axe.min.js');
const waitLimit = 10000; // ms: what the test waits for shows by then, or the command fails

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const contexts = new Map();
const pages = new Map();

async function context(name = 'main', options = {}) {
  if (!contexts.has(name)) contexts.set(name, await browser.newContext(options));
  return contexts.get(name);
}

function page(name) {
  const found = pages.get(name);
  if (!found) throw new Error(`no page ${name}`);
  return found;
}

// A control as a screen reader finds it: by its role and name, within a card's region.
function control(c) {
  let scope = page(c.page);
  if (c.region) scope = scope.getByRole('region', { name: c.region, exact: true });
  return scope.getByRole(c.role, { name: c.name, exact: true });
}

// A page of another origin that tries to switch relay 1 of card 1 and to open the live socket.
function crossSitePage(target) {
  return `<!DOCTYPE html><meta charset="utf-8"><title>elsewhere</title>
<iframe name="sink"></iframe>
<form id="form" method="POST" target="sink" enctype="text/plain"
  action="${target}/api/cards/1/relays/1"><input name='{"state":"ON","x":"' value='"}'></form>
<script>
window.attempt = () => new Promise((resolve) => {
  const result = { socketMessages: 0 };
  let pending = 3;
  const done = () => { if (--pending === 0) resolve(result); };
  const sink = document.querySelector('iframe');
  sink.addEventListener('load', () => { result.form = 'answered'; done(); }, { once: true });
  document.getElementById('form').submit();
  fetch('${target}/api/cards/1/relays/1', { method: 'POST', mode: 'no-cors',
    headers: { 'Content-Type': 'text/plain' }, body: '{"state":"ON"}' }).finally(done);
  const socket = new WebSocket('${target.replace('http', 'ws')}/api/live');
  socket.onmessage = () => { result.socketMessages += 1; socket.close(); };
  socket.onclose = (event) => { result.socketClosed = event.code; done(); };
});
</script>`;
}

const commands = {
  async open(c) {
    const ctx = await context(c.context, { bypassCSP: Boolean(c.bypassCSP) });
    const p = await ctx.newPage({});
    await p.setViewportSize({ width: c.width ?? 1280, height: c.height ?? 800 });
    await p.emulateMedia({ colorScheme: c.scheme ?? 'light' });
    p.on('pageerror', (error) => process.stderr.write(`page error: ${error.message}\n`));
    pages.set(c.page, p);
    await p.goto(c.url);
  },
  async waitFor(c) {
    const found = control(c);
    await found.waitFor({ timeout: waitLimit });
    if (c.checked !== undefined) {
      const wanted = c.checked ? 'true' : 'false';
      await page(c.page).waitForFunction(
        ([element, value]) => element.getAttribute('aria-checked') === value,
        [await found.elementHandle(), wanted], { timeout: waitLimit });
    }
  },
  async visible(c) {
    return control(c).isVisible();
  },
  // Whether a Hold button shows itself held down.
  async pressed(c) {
    return control(c).evaluate((element) => element.classList.contains('pressed'));
  },
  async click(c) {
    await control(c).click({ timeout: waitLimit });
  },
  // The mouse down on the control, kept down until `up`.
  async down(c) {
    const box = await control(c).boundingBox({ timeout: waitLimit });
    const p = page(c.page);
    await p.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await p.mouse.down();
  },
  async up(c) {
    await page(c.page).mouse.up();
  },
  // A click whose release is timed: the monotonic clock's nanoseconds (CLOCK_MONOTONIC, as the
  // test's steady clock) just before the button is let go and the click happens.
  async clickTimed(c) {
    await commands.down(c);
    const at = process.hrtime.bigint();
    await commands.up(c);
    return at.toString();
  },
  async close(c) {
    await page(c.page).close();
    pages.delete(c.page);
  },
  async login(c) {
    const p = page(c.page);
    await p.getByLabel('Password', { exact: true }).fill(c.password, { timeout: waitLimit });
    await p.getByRole('button', { name: 'Log in', exact: true }).click();
  },
  async alert(c) {
    const alert = page(c.page).getByRole('alert');
    await alert.waitFor({ timeout: waitLimit });
    return alert.textContent();
  },
  async axe(c) {
    const p = page(c.page);
    await p.addScriptTag({ path: axePath });
    const results = await p.evaluate(() => window.axe.run(document, {
      runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'] },
    }));
    return results.violations.map((v) => `${v.id}: ${v.help} (${v.nodes.length})`);
  },
  async screenshot(c) {
    await page(c.page).screenshot({ path: c.path });
  },
  // Serves a page of its own on another port and lets it try what other sites must not do.
  async crossSite(c) {
    const server = createServer((request, response) => {
      response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      response.end(crossSitePage(c.target));
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    try {
      const ctx = await context(c.context);
      const p = await ctx.newPage();
      await p.goto(`http://127.0.0.1:${server.address().port}/`);
      // The status the server gave the form and the fetch, which the other site cannot read.
      const status = (type) => p.waitForResponse((response) =>
        response.url().startsWith(`${c.target}/api/`)
          && response.request().resourceType() === type, { timeout: waitLimit })
        .then((response) => response.status(), () => 0);
      const formStatus = status('document');
      const fetchStatus = status('fetch');
      const result = await p.evaluate(() => window.attempt());
      result.formStatus = await formStatus;
      result.fetchStatus = await fetchStatus;
      await p.close();
      return result;
    } finally {
      server.close();
    }
  },
};

const lines = createInterface({ input: process.stdin });
for await (const line of lines) {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    continue;
  }
  try {
    const result = await commands[message.cmd](message);
    process.stdout.write(`${JSON.stringify({ id: message.id, ok: true, result: result ?? null })}\n`);
  } catch (error) {
    process.stdout.write(`${JSON.stringify({ id: message.id, ok: false, error: String(error) })}\n`);
  }
}
await browser.close();
