// The web console's overview in Debian's headless chromium: bytes transferred
// (the page, its script and style, the session and status answers, headers
// included) and first contentful paint, median of several fresh loads.
//
//   build/bench_web                   runs this at its end against its own server
//   BASE_URL=http://127.0.0.1:8080 WEB_USER=duty WEB_PASSWORD=secret node bench/web-paint.mjs [loads]
//
// playwright-core comes from tests/web/node_modules (scripts/deps.sh); each
// load is a new browser context, so nothing comes from a cache, logged in
// through the API before the page is opened, as a returning operator is.
import { createRequire } from 'node:module';

const require = createRequire(new URL('../tests/web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const BASE = process.env.BASE_URL;
const USER = process.env.WEB_USER;
const PASSWORD = process.env.WEB_PASSWORD;
const LOADS = Math.min(Math.max(parseInt(process.argv[2] || '5', 10) || 5, 1), 50);
const TARGET_KB = 150;
if (!BASE || !USER || !PASSWORD) {
  console.error('web-paint: set BASE_URL, WEB_USER and WEB_PASSWORD');
  process.exit(2);
}

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];

const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
const loads = [];
try {
  for (let i = 0; i < LOADS; ++i) {
    const context = await browser.newContext({ viewport: { width: 1920, height: 1080 }, locale: 'zh-CN' });
    const login = await context.request.post(BASE + '/api/login', { data: { user: USER, password: PASSWORD } });
    if (login.status() !== 200) throw new Error('login refused: ' + login.status() + ' ' + (await login.text()));
    const page = await context.newPage();
    await page.goto(BASE + '/#overview');
    // The overview with its data: the event list filled from the status answer.
    await page.waitForFunction(() => {
      if (document.querySelector('#overview:not(.hidden)') && document.getElementById('events').childElementCount > 0) {
        window.benchReady = performance.now();
        return true;
      }
      return false;
    }, null, { polling: 'raf', timeout: 30000 });
    const m = await page.evaluate(() => {
      const nav = performance.getEntriesByType('navigation')[0];
      // The event stream never completes, so it has no entry: its bytes are not the overview's.
      const res = performance.getEntriesByType('resource');
      const fcp = performance.getEntriesByName('first-contentful-paint')[0];
      return {
        transfer: nav.transferSize + res.reduce((s, r) => s + r.transferSize, 0),
        decoded: nav.decodedBodySize + res.reduce((s, r) => s + r.decodedBodySize, 0),
        requests: 1 + res.length,
        fcp: fcp ? fcp.startTime : NaN,
        ready: window.benchReady,
        names: res.map((r) => new URL(r.name).pathname + ' ' + r.transferSize).join(', '),
      };
    });
    loads.push(m);
    console.log(`paint load ${i + 1}: ${(m.transfer / 1024).toFixed(1)} kB over ${m.requests} requests ` +
                `(${(m.decoded / 1024).toFixed(1)} kB decoded), first contentful paint ${m.fcp.toFixed(0)} ms, ` +
                `overview with data ${m.ready.toFixed(0)} ms`);
    if (i === 0) console.log('  resources (bytes transferred): ' + m.names);
    await context.close();
  }
} finally {
  await browser.close();
}
const kB = median(loads.map((m) => m.transfer)) / 1024;
console.log(`overview (median of ${LOADS} fresh loads): transfer ${kB.toFixed(1)} kB, ` +
            `${(kB / TARGET_KB).toFixed(2)} of the ${TARGET_KB} kB target; first contentful paint ` +
            `${median(loads.map((m) => m.fcp)).toFixed(0)} ms; overview with data ` +
            `${median(loads.map((m) => m.ready)).toFixed(0)} ms`);
console.log(`target (transfer < ${TARGET_KB} kB): ${kB < TARGET_KB ? 'met' : 'NOT met'}`);
process.exit(kB < TARGET_KB ? 0 : 1);
