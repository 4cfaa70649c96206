// The page of qvx view, driven in Chromium against archives made here.
// Usage: node view.test.mjs QVX [SCREENSHOT_DIR]   (or QVX=... in the environment)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { createInterface } from 'node:readline';
import { deflateSync } from 'node:zlib';
import { chromium } from 'playwright-core';

const given = process.argv[2] || process.env.QVX;
if (!given) throw new Error('usage: node view.test.mjs QVX [SCREENSHOT_DIR]');
// qvx runs in the scratch folder: a path given relative to here must still find it.
const qvx = given.includes('/') ? resolve(given) : given;
const shots = process.argv[3] || process.env.QVX_SCREENSHOTS || '';
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT = { timeout: 10_000 };

const scratch = mkdtempSync(join(tmpdir(), 'qvx-browser-'));
const run = (...args) => execFileSync(qvx, args, { cwd: scratch });
const listing = (archive) => JSON.parse(run('list', '--json', archive).toString());

// --- test data, made from bytes here ----------------------------------------

function crc32(bytes) {
  let crc = ~0;
  for (const b of bytes) {
    crc ^= b;
    for (let k = 0; k < 8; ++k) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  }
  return ~crc >>> 0;
}

function png(width, height) {
  const chunk = (type, data) => {
    const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
    const framed = Buffer.alloc(body.length + 8);
    framed.writeUInt32BE(data.length, 0);
    body.copy(framed, 4);
    framed.writeUInt32BE(crc32(body), body.length + 4);
    return framed;
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header[8] = 8;  // bits per sample
  header[9] = 2;  // RGB
  const rows = [];
  for (let y = 0; y < height; ++y) {
    rows.push(0);  // no filter
    for (let x = 0; x < width; ++x) rows.push(200 * (x & 1), 80 * y, 255 - 60 * x);
  }
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', header),
                        chunk('IDAT', deflateSync(Buffer.from(rows))), chunk('IEND', Buffer.alloc(0))]);
}

// Half a second of 8-bit mono sound at 8000 samples a second.
function wav() {
  const samples = 4000;
  const file = Buffer.alloc(44 + samples);
  file.write('RIFF', 0, 'latin1');
  file.writeUInt32LE(36 + samples, 4);
  file.write('WAVEfmt ', 8, 'latin1');
  file.writeUInt32LE(16, 16);
  file.writeUInt16LE(1, 20);
  file.writeUInt16LE(1, 22);
  file.writeUInt32LE(8000, 24);
  file.writeUInt32LE(8000, 28);
  file.writeUInt16LE(1, 32);
  file.writeUInt16LE(8, 34);
  file.write('data', 36, 'latin1');
  file.writeUInt32LE(samples, 40);
  for (let i = 0; i < samples; ++i) file[44 + i] = 128 + Math.round(60 * Math.sin(i / 4));
  return file;
}

const blobByte = (i) => (i * 7 + (i >> 12)) & 0xff;
const blob = Buffer.from(Array.from({ length: 10_000 }, (_, i) => blobByte(i)));
const hexLine = (offset) => offset.toString(16).padStart(8, '0') + '  ' +
  Array.from({ length: 8 }, (_, k) => blobByte(offset + k).toString(16).padStart(2, '0')).join(' ');

// qvx refuses names no Windows file could have; the hostile one is written
// over a stand-in of the same length.
const HOSTILE = '<svg onload=f>';
const STAND_IN = 'Hsvg_onload_fX';
const htmlEntry = '<!DOCTYPE html><script>document.title="owned";fetch("/api/marker");' +
                  'parent.postMessage("owned","*")</script><p>hi</p>\n';

function makeMainArchive() {
  const files = {
    'pic.png': png(3, 2), 'notes.txt': 'First line\nsecond line\n', 'page.html': htmlEntry,
    'blob.bin': blob, 'beep.wav': wav(), [STAND_IN]: 'x',
  };
  for (const [name, bytes] of Object.entries(files)) writeFileSync(join(scratch, name), bytes);
  run('create', '-f', 'main.qvx', ...Object.keys(files));
  const path = join(scratch, 'main.qvx');
  const archive = readFileSync(path);
  const at = archive.lastIndexOf(STAND_IN);
  archive.write(HOSTILE, at, 'latin1');
  writeFileSync(path, archive);
  return path;
}

function makeBigArchive() {
  const dir = join(scratch, 'many');
  mkdirSync(dir);
  for (let i = 1; i <= 65535; ++i) writeFileSync(join(dir, 'e' + String(i).padStart(5, '0')), '');
  run('create', '-f', 'big.qvx', dir);
  return join(scratch, 'big.qvx');
}

// --- the server and the browser ---------------------------------------------

const servers = [];

async function serve(archive, ...options) {
  const child = spawn(qvx, ['view', '--no-browser', ...options, archive],
                      { stdio: ['ignore', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const line = await new Promise((resolve, reject) => {
    const lines = createInterface({ input: child.stdout });
    lines.once('line', resolve);
    child.once('exit', () => reject(new Error('qvx view exited before printing its address')));
  });
  assert.match(line, /^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+$/);
  const server = { child, exited, url: line };
  servers.push(server);
  return server;
}

async function stop(server) {
  servers.splice(servers.indexOf(server), 1);
  server.child.kill('SIGTERM');
  assert.deepEqual(await server.exited, { code: 0, signal: null });
}

let browser;
let context;
const requests = [];
const dialogs = [];
const pageErrors = [];

async function openPage(url) {
  const page = await context.newPage();
  page.setDefaultTimeout(WAIT.timeout);
  page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
  page.on('pageerror', (error) => pageErrors.push(error.message));
  await page.goto(url);
  return page;
}

const row = (page, name) => page.locator('#table-body .row:not([hidden])', { hasText: name });
const rowCount = (page) => page.locator('#table-body .row:not([hidden])').count();
const sizeShown = (page, name, size) =>
  row(page, name).locator('span:nth-child(3)', { hasText: new RegExp('^' + size + '$') }).waitFor();
const until = (page, fn, arg) => page.waitForFunction(fn, arg, WAIT);
// A change is over when the page has shown what the server said.
const settled = (page) => until(page, () => !document.body.classList.contains('busy') &&
                                            !document.getElementById('messages').hidden);
const shot = (page, name) => shots ? page.screenshot({ path: join(shots, name + '.png') }) : null;
const entryOf = (archive, name) => listing(archive).find((e) => e.name === name);

before(async () => {
  if (shots) mkdirSync(shots, { recursive: true });
  browser = await chromium.launch({ executablePath: chromiumPath, headless: true, args: ['--no-sandbox'] });
  context = await browser.newContext({ viewport: { width: 1280, height: 800 }, acceptDownloads: true });
  // Reading `f` is what the hostile name's handler would do.
  await context.addInitScript(() => {
    Object.defineProperty(window, 'f', { get() { window.qvxHostileRan = true; return 0; } });
  });
  context.on('request', (request) => requests.push(request.url()));
});

after(async () => {
  for (const server of [...servers]) await stop(server);
  if (browser) await browser.close();
  rmSync(scratch, { recursive: true, force: true });
});

// --- the cases --------------------------------------------------------------

test('the table, the previews and the filter', async () => {
  const archive = makeMainArchive();
  const server = await serve(archive);
  const page = await openPage(server.url);
  await row(page, 'blob.bin').waitFor();
  assert.equal(await rowCount(page), 6);
  await shot(page, 'table');

  await row(page, 'pic.png').click();
  await page.locator('#content img').waitFor();
  await until(page, () => document.querySelector('#content img').naturalWidth === 3);
  assert.equal(await page.locator('.picture-size').textContent(), '3 × 2 pixels');
  await shot(page, 'image');

  await row(page, 'notes.txt').click();
  await until(page, () => document.querySelector('pre.text')?.textContent === 'First line\nsecond line\n');
  await shot(page, 'text');

  await row(page, 'beep.wav').click();
  await until(page, () => Math.abs(document.querySelector('#content audio')?.duration - 0.5) < 0.01);

  // Each page of the hex view is its own range of the entry.
  await row(page, 'blob.bin').click();
  await until(page, (line) => document.getElementById('hex-dump').textContent.startsWith(line), hexLine(0));
  await shot(page, 'hex');
  await page.click('#hex-next');
  await until(page, (line) => document.getElementById('hex-dump').textContent.startsWith(line), hexLine(4096));
  await page.fill('#hex-offset', '0x2345');
  await page.press('#hex-offset', 'Enter');
  await until(page, (line) => document.getElementById('hex-dump').textContent.startsWith(line), hexLine(8192));
  assert.equal((await page.textContent('#hex-dump')).trim().split('\n').length, Math.ceil((10_000 - 8192) / 16));
  assert.ok(await page.isDisabled('#hex-next'));

  await page.fill('#filter', '*.[pw]??');
  await until(page, () => document.querySelectorAll('#table-body .row:not([hidden])').length === 2);
  assert.deepEqual((await page.locator('#table-body .row:not([hidden]) span:nth-child(2)').allTextContents()).sort(),
                   ['beep.wav', 'pic.png']);
  // A name with no wildcard in it names one entry, not a part of one.
  await page.fill('#filter', 'pic');
  await until(page, () => document.querySelectorAll('#table-body .row:not([hidden])').length === 0);
  await page.fill('#filter', '');
  await until(page, () => document.querySelectorAll('#table-body .row:not([hidden])').length === 6);

  await page.click('#table-head [data-key=size]');
  await page.click('#table-head [data-key=size]');
  assert.equal(await page.locator('#table-body .row:not([hidden]) span:nth-child(2)').first().textContent(), 'blob.bin');

  await page.click('#show-grid');
  await until(page, () => [...document.querySelectorAll('#grid-view img')].every((i) => i.naturalWidth === 3));
  assert.equal(await page.locator('#grid-view .tile').count(), 1);
  await shot(page, 'thumbnails');
  await page.close();
  await stop(server);
});

test('names and entries from the archive run nothing in the page', async () => {
  const archive = join(scratch, 'main.qvx');
  const server = await serve(archive);
  const page = await openPage(server.url);
  await row(page, HOSTILE).click();
  assert.equal(await row(page, HOSTILE).locator('span:nth-child(2)').textContent(), HOSTILE);
  assert.equal(await page.textContent('#detail-name'), HOSTILE);
  assert.equal(await page.getAttribute('#download', 'download'), HOSTILE);

  await row(page, 'page.html').click();
  await until(page, () => document.querySelector('pre.text')?.textContent.includes('<script>'));
  const [download] = await Promise.all([page.waitForEvent('download', WAIT), page.click('#download')]);
  assert.equal(readFileSync(await download.path(), 'latin1'), htmlEntry);
  // Opened on its own, the entry is a download, never a page of this origin.
  const number = entryOf(archive, 'page.html').number;
  const [direct] = await Promise.all([
    page.waitForEvent('download', WAIT),
    page.evaluate((n) => { location.href = '/api/entries/' + n; }, number),
  ]);
  await direct.path();
  // The marker is fetched by nothing: a request for the page itself,
  // which comes after everything above, proves the log is complete.
  await page.evaluate(() => fetch('/api/archive'));
  assert.equal(requests.filter((url) => url.includes('/api/marker')).length, 0);
  assert.equal(await page.evaluate(() => document.querySelector('svg')), null);
  assert.equal(await page.evaluate(() => window.qvxHostileRan ?? false), false);
  assert.match(await page.title(), /^qvx view/);
  assert.deepEqual(dialogs, []);
  assert.deepEqual(pageErrors, []);
  await page.close();
  await stop(server);
});

test('changes made in the page reach the archive, and changes elsewhere reach the page', async () => {
  const archive = join(scratch, 'main.qvx');
  const server = await serve(archive);
  const page = await openPage(server.url);

  const replacement = Buffer.from('Replaced through the page.\n'.repeat(3));
  await row(page, 'notes.txt').click();
  await page.setInputFiles('#replace-file', { name: 'any.txt', mimeType: 'text/plain', buffer: replacement });
  await sizeShown(page, 'notes.txt', replacement.length);
  await settled(page);
  assert.equal(await page.locator('#messages.failed').count(), 0, await page.textContent('#messages'));
  assert.equal(entryOf(archive, 'notes.txt').size, replacement.length);
  assert.deepEqual(run('cat', archive, 'notes.txt'), replacement);

  await page.setInputFiles('#add-files', [
    { name: 'one.txt', mimeType: 'text/plain', buffer: Buffer.from('1') },
    { name: 'two.txt', mimeType: 'text/plain', buffer: Buffer.from('22') },
  ]);
  await row(page, 'two.txt').waitFor();
  await settled(page);
  assert.deepEqual(listing(archive).slice(-2).map((e) => [e.name, e.size]), [['one.txt', 1], ['two.txt', 2]]);

  await row(page, 'pic.png').click();
  await row(page, 'one.txt').click({ modifiers: ['Control'] });
  await page.click('#delete');
  await until(page, () => !document.body.classList.contains('busy') &&
                          document.querySelectorAll('#table-body .row:not([hidden])').length === 6);
  assert.deepEqual(listing(archive).map((e) => e.name),
                   ['notes.txt', 'page.html', 'blob.bin', 'beep.wav', HOSTILE, 'two.txt']);

  await row(page, 'two.txt').click();
  await page.fill('#edit-name', 'renamed.txt');
  await page.fill('#edit-tag', '7');
  await page.click('#edit-apply');
  await row(page, 'renamed.txt').waitFor();
  await settled(page);
  const renamed = entryOf(archive, 'renamed.txt');
  assert.deepEqual([renamed.size, renamed.tag], [2, 7]);

  // Another program changes the archive while the page is open.
  writeFileSync(join(scratch, 'blob.bin'), 'short');
  run('update', archive, join(scratch, 'blob.bin'));
  await page.locator('#notice', { hasText: 'changed on disk' }).waitFor();
  await sizeShown(page, 'blob.bin', 5);
  await page.close();
  await stop(server);

  const readOnly = await serve(archive, '--read-only');
  const view = await openPage(readOnly.url);
  await row(view, 'blob.bin').click();
  assert.equal(await view.locator('#detail').isVisible(), true);
  for (const control of ['#add-files', '#delete', '#replace-file', '#edit-apply']) {
    assert.equal(await view.locator(control).isVisible(), false, control);
  }
  await view.close();
  await stop(readOnly);
});

test('a table of 65535 entries shows its first rows within 2 seconds', async () => {
  const archive = makeBigArchive();
  const server = await serve(archive);
  const page = await openPage(server.url);  // sets the cookie; the timed load is the next
  const start = performance.now();
  await page.goto(server.url.replace(/\?.*/, ''));
  await row(page, 'e00001').waitFor();
  const elapsed = performance.now() - start;
  console.log(`time to the first rows of 65535 entries: ${Math.round(elapsed)} ms`);
  assert.ok(elapsed < 2000, `${Math.round(elapsed)} ms`);
  assert.ok(await page.locator('#table-body .row').count() < 200, 'only the rows in sight are made');

  await page.locator('#table-body').evaluate((body) => { body.scrollTop = body.scrollHeight; });
  await row(page, 'e65535').waitFor();
  await page.click('#table-head [data-key=name]');
  await page.click('#table-head [data-key=name]');
  await page.locator('#table-body').evaluate((body) => { body.scrollTop = 0; });
  await row(page, 'e65535').waitFor();
  await page.close();
  await stop(server);
});
