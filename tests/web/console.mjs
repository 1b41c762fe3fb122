// The web console in Debian's chromium. Run by tst_webconsole, which owns the
// site: "STEP <name>" on standard output asks it for something on the
// panel's side, "OK" on standard input says it is done. Screenshots of each
// stage at desktop and phone widths go to $SHOTS.
import { createInterface } from 'node:readline';
import { strict as assert } from 'node:assert';
import { chromium } from 'playwright-core';

const BASE = process.env.BASE_URL;
const SHOTS = process.env.SHOTS || '.';
const lines = createInterface({ input: process.stdin })[Symbol.asyncIterator]();

async function step(name) {
  console.log('STEP ' + name);
  const { value, done } = await lines.next();
  assert.ok(!done && value.trim() === 'OK', 'the site did not do ' + name);
}

async function shoot(pages, name) {
  for (const [width, page] of pages) await page.screenshot({ path: `${SHOTS}/${name}-${width}.png`, fullPage: true });
}

async function logIn(page, user, password) {
  await page.goto(BASE + '/');
  await page.fill('#login-user', user);
  await page.fill('#login-password', password);
  await page.click('#login-form button[type=submit]');
}

const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
const dialogs = [];
async function open(width, height) {
  const context = await browser.newContext({ viewport: { width, height }, locale: 'zh-CN' });
  const page = await context.newPage();
  page.on('dialog', async (d) => {
    dialogs.push(d.type() + ': ' + d.message());
    if (d.type() === 'confirm') await d.accept(); else await d.dismiss();
  });
  page.on('pageerror', (e) => { throw new Error('page error: ' + e.message); });
  return page;
}

try {
  const desk = await open(1920, 1080);
  const phone = await open(390, 844);
  const both = [[1920, desk], [390, phone]];

  // A wrong password is refused; the right one shows the overview.
  await logIn(desk, 'duty', 'wrong');
  await desk.waitForSelector('#login-error:not(:empty)');
  assert.ok(await desk.isVisible('#login'));
  await phone.goto(BASE + '/');
  await shoot(both, 'login');
  await logIn(desk, 'duty', 'secret1');
  await logIn(phone, 'duty', 'secret1');
  for (const page of [desk, phone]) {
    await page.waitForSelector('.tile[data-id="1"] .name');
    assert.equal(await page.textContent('.tile[data-id="1"] .name'), '一号主机');
    await page.waitForSelector('#stream-state:not(.down):has-text("实时")');
  }

  // An alarm from the panel: in the stream and the standing conditions
  // within 2 s, no reload.
  await step('alarm');
  await Promise.all([desk, phone].map(async (page) => {
    await page.waitForSelector('#events li.cls-1', { timeout: 2000 });
    await page.waitForSelector('#standing .group.cls-1', { timeout: 2000 });
    await page.waitForSelector('#banner:not(.hidden)', { timeout: 2000 });
  }));
  assert.match(await desk.textContent('#standing .group.cls-1'), /报警/);
  await shoot(both, 'overview-alarm');

  // A hostile note is text: no element made from it, nothing run.
  await step('note');
  const note = '<img src=x onerror=alert(1)>';
  await desk.waitForSelector('#events li .note:text-is("' + note + '")');
  assert.equal(await desk.locator('#events img, #standing img').count(), 0);
  assert.deepEqual(dialogs.filter((d) => d.startsWith('alert')), []);

  // Silence from the page reaches the panel; the confirmation names the controller.
  await desk.click('.tile[data-id="1"] .cmd-silence');
  await desk.waitForSelector('#notice:has-text("已发送")');
  assert.ok(dialogs.some((d) => d.startsWith('confirm') && d.includes('一号主机') && d.includes('消音')), dialogs.join('\n'));
  await step('silence-reached');

  // The history finds the alarm by its text (the recorder writes in its own time).
  await desk.click('#nav-history');
  await desk.fill('#history-text', '报警');
  await desk.waitForFunction(async () => {
    document.querySelector('#history-form button[type=submit]').click();
    await new Promise((r) => setTimeout(r, 300));
    return [...document.querySelectorAll('#history-rows td.content')].some((td) => td.textContent.includes('报警'));
  }, null, { timeout: 10000, polling: 500 });
  await phone.click('#nav-history');
  await phone.fill('#history-text', '报警');
  await phone.click('#history-form button[type=submit]');
  await phone.waitForSelector('#history-rows td.content');
  await shoot(both, 'history');

  // The panel goes silent: its tile turns to lost.
  await desk.click('#nav-overview');
  await phone.click('#nav-overview');
  await step('panel-silent');
  for (const page of [desk, phone]) await page.waitForSelector('.tile[data-id="1"].comm-lost', { timeout: 30000 });
  await shoot(both, 'overview-lost');

  // Without control the buttons are gone and the server refuses the command.
  await step('control-off');
  await desk.reload();
  await desk.waitForSelector('.tile[data-id="1"] .name');
  assert.equal(await desk.locator('.cmd-silence').count(), 0);
  assert.ok(await desk.isHidden('#device-command'));
  const refused = await desk.evaluate(async () => {
    const s = await (await fetch('/api/session')).json();
    const r = await fetch('/api/command', { method: 'POST', headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': s.csrf },
      body: JSON.stringify({ panel: 1, command: 'silence' }) });
    const noToken = await fetch('/api/command', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}' });
    return [r.status, noToken.status];
  });
  assert.deepEqual(refused, [403, 403]);
  // No session, no data.
  const stranger = await open(1280, 800);
  await stranger.goto(BASE + '/');
  assert.equal(await stranger.evaluate(async () => (await fetch('/api/status')).status), 401);
  await stranger.waitForSelector('#login:not(.hidden)');
  console.log('DONE');
} catch (e) {
  console.error(e && e.stack ? e.stack : String(e));
  process.exitCode = 1;
} finally {
  await browser.close();
  process.exit(process.exitCode || 0);
}
