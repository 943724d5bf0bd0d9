// test_sink_page.js -- the sink's live map page in headless Chromium, driven over its DevTools
// pipe: points placed and coloured, the panel, a point fading out, no request off the machine.
// Usage: node test_sink_page.js SINK_BINARY   (status 0: passed, 1: failed, 77: skipped)
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const https = require('https');
const os = require('os');
const path = require('path');

const CHROMIUM = '/usr/bin/chromium';
const KEY = 'k-never-shown-7';
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'halvex-page-'));
let sink, browser, failed = 0, skipped = '';

function check(ok, what) {
  if (!ok) failed++;
  console.log((ok ? 'ok:   ' : 'FAIL: ') + what);
}

// Poll cond every 50 ms until it holds or ms pass; its last value.
async function waitFor(cond, ms) {
  for (const end = Date.now() + ms; ;) {
    const v = await cond();
    if (v || Date.now() > end) return v;
    await new Promise((r) => setTimeout(r, 50));
  }
}

function exited(child, ms) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) return resolve(child.exitCode);
    const t = setTimeout(() => resolve(null), ms);
    child.on('exit', (code) => { clearTimeout(t); resolve(code); });
  });
}

// DevTools: NUL-terminated JSON both ways; answers by id, and every URL the page requested.
let nextId = 0, session = '', buffered = '';
const answers = new Map(), urls = [];
function cdpRead(text) {
  buffered += text;
  for (let i; (i = buffered.indexOf('\0')) >= 0; buffered = buffered.slice(i + 1)) {
    const m = JSON.parse(buffered.slice(0, i));
    if (m.method === 'Network.requestWillBeSent') urls.push(m.params.request.url);
    if (answers.has(m.id)) answers.get(m.id)(m.result || null);
  }
}
function cdp(method, params = {}, ms = 20000) {
  if (browser.exitCode !== null || browser.signalCode !== null) return Promise.resolve(null);
  const msg = { id: ++nextId, method, params };
  if (session && !/^(Target|Browser)\./.test(method)) msg.sessionId = session;
  browser.stdio[3].write(JSON.stringify(msg) + '\0');
  return new Promise((resolve) => {
    const t = setTimeout(() => resolve(null), ms);
    answers.set(msg.id, (r) => { clearTimeout(t); resolve(r); });
  });
}

// What a person sees, in one line: the colour ("rrggbb" or "none") of the land canvas in the
// Sahara and of the points' canvas at and r pixels right of each place; the panel; the key.
function pageNow(key) {
  const m = window.halvexSinkMap, t = (id) => document.getElementById(id).textContent;
  function px(pane, lat, lng, dx) {
    const cv = m.getPane(pane).querySelector('canvas');
    if (!cv) return 'none';
    const p = m.latLngToContainerPoint([lat, lng]), cr = cv.getBoundingClientRect();
    const mr = m.getContainer().getBoundingClientRect(), k = cv.width / cr.width;
    const d = cv.getContext('2d').getImageData(Math.floor((p.x + dx + mr.left - cr.left) * k),
      Math.floor((p.y + mr.top - cr.top) * k), 1, 1).data;
    return d[3] ? [0, 1, 2].map((i) => (d[i] | 256).toString(16).slice(1)).join('') : 'none';
  }
  const o = 'overlayPane', ny = [40.7128, -74.006], syd = [-33.8688, 151.2093];
  return m && ['land', px('land', 23, 13, 0), '| new york', px(o, ...ny, 0), px(o, ...ny, 10),
    '| sydney', px(o, ...syd, 0), px(o, ...syd, 5), '| london', px(o, 51.5072, -0.1276, 0),
    '| panel', t('map-id'), t('batches'), t('points'), t('zips').includes('02134'),
    document.documentElement.outerHTML.includes(key) ? 'key shown' : ''].join(' ');
}

function post(port, points) {
  const body = JSON.stringify({ mapId: 'pagemap1', key: KEY, points });
  return new Promise((resolve) => {
    const req = https.request({ host: '127.0.0.1', port, method: 'POST', rejectUnauthorized: false,
      headers: { 'Content-Type': 'application/json' } }, (res) => {
      let text = '';
      res.on('data', (d) => { text += d; }).on('end', () => resolve(text));
    });
    req.on('error', (e) => resolve(String(e)));
    req.end(body);
  });
}

async function main() {
  sink = spawn(process.argv[2], ['--port', '0', '--web-port', '0', '--tls-dir', dir + '/tls'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  sink.stdout.on('data', (d) => { out += d; });
  const lines = /https:\/\/127\.0\.0\.1:(\d+)\n.*live map on (\S+\/) /;
  const start = await waitFor(() => lines.exec(out), 10000);
  if (!start) return check(false, 'the sink prints both addresses: ' + out);
  if (!fs.existsSync(CHROMIUM))
    return (skipped = CHROMIUM + ' is not installed (scripts/setup installs it)');
  const log = fs.openSync(dir + '/chromium.log', 'w');
  // Headless as root, nothing fetched on its own, and no name resolved but the sink's.
  browser = spawn(CHROMIUM, ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
    '--no-first-run', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--remote-debugging-pipe', '--window-size=1200,800',
    '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1',
    '--user-data-dir=' + dir + '/profile', 'about:blank'],
  { stdio: ['ignore', log, log, 'pipe', 'pipe'] });
  browser.stdio[3].on('error', () => {});  // a browser that died leaves commands unanswered:
  browser.on('exit', () => answers.forEach((answer) => answer(null)));
  browser.stdio[4].setEncoding('utf8').on('data', cdpRead);
  const target = await cdp('Target.createTarget', { url: 'about:blank' }, 60000);
  if (!target)
    return (skipped = 'Chromium did not start:\n' + fs.readFileSync(dir + '/chromium.log'));
  const attached = await cdp('Target.attachToTarget', { targetId: target.targetId, flatten: true });
  session = attached.sessionId;
  const url = start[2];
  check(await cdp('Network.enable') && await cdp('Page.navigate', { url }), 'page opened: ' + url);

  let now;
  const look = async () => (await cdp('Runtime.evaluate', { returnByValue: true,
    expression: `(${pageNow})(${JSON.stringify(KEY)})` }) || { result: {} }).result.value;
  const shows = (want) => waitFor(async () => (now = await look()) === want, 30000);
  check(await shows('land efeadb | new york none none | sydney none none | london none ' +
    '| panel none yet 0 0 false '), 'land drawn, no points yet: ' + now);
  check(await post(start[1], [
    { lat: 40.712799, lng: -74.005997, r: 10, c: '#ff0000', c2: '#0000ff' },
    { zipcode: '02134', c: '#ff8800' },
    { lat: 51.507198, lng: -0.1276, c: '#ff00ff', delay: 200, visible_time: 2000 }]) === 'true' &&
    await post(start[1], [{ lat: -33.86882, lng: 151.20929, c: '#00ff00' }]) === 'true',
    'the sink answers both batches "true"');
  // Fill c, outline c2 (or c at 60 %) r pixels out; the zip code listed; the key nowhere.
  const withLondon = (colour) => 'land efeadb | new york ff0000 0000ff | sydney 00ff00 009900 ' +
    `| london ${colour} | panel pagemap1 2 4 true `;
  check(await shows(withLondon('ff00ff')), 'points placed and coloured, panel filled: ' + now);
  check(await shows(withLondon('none')), 'the point with a visible time goes: ' + now);
  const off = urls.filter((u) => !u.startsWith(url) && !u.startsWith('data:'));
  check(urls.length > 0 && off.length === 0, 'every request goes to the sink: ' + off.join(' '));
}

async function cleanup() {
  if (browser) {
    await cdp('Browser.close', {}, 5000);
    if ((await exited(browser, 10000)) === null) browser.kill('SIGKILL');
  }
  if (sink) {
    sink.kill('SIGINT');
    check((await exited(sink, 10000)) === 0, 'SIGINT ends the sink with status 0');
  }
  fs.rmSync(dir, { recursive: true, force: true });
}

main()
  .catch((e) => check(false, e.stack))
  .finally(cleanup)
  .then(() => {
    if (skipped && !failed) console.log('skipped: ' + skipped);
    process.exit(failed ? 1 : skipped ? 77 : 0);
  });
