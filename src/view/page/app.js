'use strict';
// The page of qvx view. Names and entry bytes come from strangers: they
// reach the DOM only through textContent and element properties, never as
// markup.

const ROW_HEIGHT = 24;  // px; the same in app.css
const OVERSCAN = 8;  // rows drawn beyond the visible ones, so a scroll shows no gap
const TEXT_LIMIT = 4 << 20;  // bytes of a text entry shown
const HEX_PAGE = 4096;
const GRID_BATCH = 120;  // thumbnails added each time the end comes into view
const POLL_MS = 2000;

const $ = (id) => document.getElementById(id);
const tokenMeta = document.querySelector('meta[name=qvx-token]');
const token = tokenMeta ? tokenMeta.content : '';

const state = {
  archive: null,  // the last answer of /api/archive
  entries: [],
  shown: [],  // indices into entries, filtered and sorted
  filterNumbers: null,  // Set of numbers, or null for all
  sortKey: 'number',
  sortUp: true,
  selected: new Set(),  // entry numbers
  current: 0,  // the entry the detail pane shows, 0 for none
  anchor: 0,  // where a shift-click range starts
  view: 'table',
  writing: false,
  hexOffset: 0,
  detailToken: 0,  // answers for an entry no longer shown are dropped
};

function setText(element, text) { element.textContent = text; }

function showMessage(text, failed) {
  const box = $('messages');
  box.hidden = !text;
  box.classList.toggle('failed', Boolean(failed));
  setText(box, text);
}

function showNotice(text) {
  $('notice').hidden = !text;
  setText($('notice'), text);
}

// --- loading ----------------------------------------------------------------

async function fetchArchive() {
  const response = await fetch('/api/archive', { cache: 'no-store' });
  if (!response.ok) throw new Error('the archive: ' + response.status + ' ' + await response.text());
  return response.json();
}

async function loadArchive() {
  const archive = await fetchArchive();
  state.archive = archive;
  state.entries = archive.entries;
  const count = state.entries.length;
  // Numbers past the end went with deleted entries.
  for (const number of state.selected) if (number > count) state.selected.delete(number);
  if (state.current > count) state.current = 0;
  setText($('title'), archive.path);
  document.title = 'qvx view: ' + archive.path;
  const readOnly = Boolean(archive.read_only);
  document.body.classList.toggle('read-only', readOnly);
  $('read-only-mark').hidden = !readOnly;
  for (const control of document.querySelectorAll('.write input, .write button')) {
    control.disabled = readOnly;
  }
  if ($('filter').value) await applyFilter(); else state.filterNumbers = null;
  refreshList();
  showDetail(state.current, true);
}

// --- filter, sort, table ----------------------------------------------------

let filterSerial = 0;
let filterTimer = 0;

// The server selects as the command line does, so the box follows the same
// pattern rules.
async function applyFilter() {
  const pattern = $('filter').value;
  const serial = ++filterSerial;
  if (!pattern) {
    state.filterNumbers = null;
    $('filter').classList.remove('failed');
    return;
  }
  const response = await fetch('/api/select?pattern=' + encodeURIComponent(pattern));
  if (serial !== filterSerial) return;
  if (!response.ok) {
    $('filter').classList.add('failed');
    showMessage('Filter: ' + await response.text(), true);
    return;
  }
  $('filter').classList.remove('failed');
  state.filterNumbers = new Set((await response.json()).numbers);
}

const collator = new Intl.Collator(undefined, { numeric: true });

function sortValue(entry, key) {
  return key === 'type' ? (entry.type || '') : entry[key];
}

function computeShown() {
  const { entries, filterNumbers, sortKey, sortUp } = state;
  const shown = [];
  for (let i = 0; i < entries.length; ++i) {
    if (!filterNumbers || filterNumbers.has(entries[i].number)) shown.push(i);
  }
  if (sortKey !== 'number' || !sortUp) {
    const textual = sortKey === 'name' || sortKey === 'type';
    const direction = sortUp ? 1 : -1;
    shown.sort((a, b) => {
      const x = sortValue(entries[a], sortKey);
      const y = sortValue(entries[b], sortKey);
      const order = textual ? collator.compare(x, y) : x - y;
      return (order || entries[a].number - entries[b].number) * direction;
    });
  }
  state.shown = shown;
}

function refreshList() {
  computeShown();
  for (const cell of $('table-head').children) {
    cell.classList.toggle('sorted', cell.dataset.key === state.sortKey);
    cell.classList.toggle('down', cell.dataset.key === state.sortKey && !state.sortUp);
  }
  $('table-space').style.height = (state.shown.length * ROW_HEIGHT) + 'px';
  drawnFirst = -1;
  drawRows();
  if (state.view === 'grid') resetGrid();
  updateSummary();
}

function updateSummary() {
  const total = state.entries.length;
  let text = total + (total === 1 ? ' entry' : ' entries');
  if (state.shown.length !== total) text += ', ' + state.shown.length + ' shown';
  if (state.selected.size) text += ', ' + state.selected.size + ' selected';
  setText($('summary'), text);
  $('delete').disabled = state.archive.read_only || state.selected.size === 0;
}

const rowPool = [];
let drawnFirst = -1;

function makeRow() {
  const row = document.createElement('div');
  row.className = 'row';
  row.setAttribute('role', 'row');
  for (const key of ['number', 'name', 'size', 'offset', 'tag', 'spare', 'type']) {
    const cell = document.createElement('span');
    if (key !== 'name' && key !== 'type') cell.className = 'num';
    row.append(cell);
  }
  $('table-body').append(row);
  return row;
}

// Only the rows in sight exist; they are reused as the table scrolls.
function drawRows() {
  const body = $('table-body');
  const first = Math.max(0, Math.floor(body.scrollTop / ROW_HEIGHT) - OVERSCAN);
  const visible = Math.ceil(body.clientHeight / ROW_HEIGHT) + 2 * OVERSCAN;
  const last = Math.min(state.shown.length, first + visible);
  while (rowPool.length < last - first) rowPool.push(makeRow());
  for (let k = 0; k < rowPool.length; ++k) {
    const row = rowPool[k];
    const position = first + k;
    if (position >= last) { row.hidden = true; continue; }
    const entry = state.entries[state.shown[position]];
    row.hidden = false;
    row.style.top = (position * ROW_HEIGHT) + 'px';
    row.dataset.number = entry.number;
    row.classList.toggle('selected', state.selected.has(entry.number));
    row.classList.toggle('current', entry.number === state.current);
    const cells = row.children;
    setText(cells[0], String(entry.number));
    setText(cells[1], entry.name);
    cells[1].title = entry.name;
    setText(cells[2], String(entry.size));
    setText(cells[3], String(entry.offset));
    setText(cells[4], String(entry.tag));
    setText(cells[5], String(entry.spare));
    setText(cells[6], entry.type || '');
  }
  drawnFirst = first;
}

let drawPending = false;
function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => { drawPending = false; drawRows(); });
}

function entryByNumber(number) {
  return number >= 1 && number <= state.entries.length ? state.entries[number - 1] : null;
}

function select(number, event) {
  const { selected } = state;
  if (event && event.shiftKey && state.anchor) {
    const from = state.shown.findIndex((i) => state.entries[i].number === state.anchor);
    const to = state.shown.findIndex((i) => state.entries[i].number === number);
    if (!(event.ctrlKey || event.metaKey)) selected.clear();
    if (from >= 0 && to >= 0) {
      for (let p = Math.min(from, to); p <= Math.max(from, to); ++p) {
        selected.add(state.entries[state.shown[p]].number);
      }
    } else {
      selected.add(number);
    }
  } else if (event && (event.ctrlKey || event.metaKey)) {
    if (selected.has(number)) selected.delete(number); else selected.add(number);
    state.anchor = number;
  } else {
    selected.clear();
    selected.add(number);
    state.anchor = number;
  }
  showDetail(number);
  drawRows();
  updateSummary();
}

function moveCurrent(step) {
  const position = state.shown.findIndex((i) => state.entries[i].number === state.current);
  const next = Math.min(state.shown.length - 1, Math.max(0, position + step));
  if (next < 0 || next === position) return;
  select(state.entries[state.shown[next]].number, null);
  const body = $('table-body');
  const top = next * ROW_HEIGHT;
  if (top < body.scrollTop) body.scrollTop = top;
  else if (top + ROW_HEIGHT > body.scrollTop + body.clientHeight) {
    body.scrollTop = top + ROW_HEIGHT - body.clientHeight;
  }
}

// --- thumbnails ---------------------------------------------------------------

let gridShown = 0;
let gridObserver = null;

function pictures() {
  return state.shown.filter((i) => (state.entries[i].type || '').startsWith('image/'));
}

function resetGrid() {
  const grid = $('grid-view');
  grid.replaceChildren();
  gridShown = 0;
  if (gridObserver) gridObserver.disconnect();
  const list = pictures();
  if (list.length === 0) {
    const empty = document.createElement('p');
    setText(empty, 'No pictures among the entries shown.');
    grid.append(empty);
    return;
  }
  const end = document.createElement('div');
  end.className = 'grid-end';
  grid.append(end);
  // Tiles are made a batch at a time as the end comes into view; each
  // picture loads only when its tile nears the screen.
  gridObserver = new IntersectionObserver((seen) => {
    if (seen.some((item) => item.isIntersecting)) addTiles(list, end);
  }, { root: grid, rootMargin: '400px' });
  addTiles(list, end);
  gridObserver.observe(end);
}

function addTiles(list, end) {
  const stop = Math.min(list.length, gridShown + GRID_BATCH);
  for (; gridShown < stop; ++gridShown) {
    const entry = state.entries[list[gridShown]];
    const tile = document.createElement('figure');
    tile.className = 'tile';
    tile.dataset.number = entry.number;
    tile.classList.toggle('current', entry.number === state.current);
    const picture = document.createElement('img');
    picture.loading = 'lazy';
    picture.decoding = 'async';
    picture.alt = entry.name;
    picture.src = '/api/entries/' + entry.number;
    const caption = document.createElement('figcaption');
    setText(caption, entry.name);
    tile.append(picture, caption);
    end.before(tile);
  }
  if (gridShown >= list.length) end.hidden = true;
}

function setView(view) {
  state.view = view;
  $('table-view').hidden = view !== 'table';
  $('grid-view').hidden = view !== 'grid';
  $('show-table').setAttribute('aria-pressed', String(view === 'table'));
  $('show-grid').setAttribute('aria-pressed', String(view === 'grid'));
  if (view === 'grid') resetGrid(); else drawRows();
}

// --- the detail pane --------------------------------------------------------

function kindOf(entry) {
  const type = entry.type || '';
  if (type.startsWith('image/')) return 'image';
  if (type.startsWith('audio/')) return 'audio';
  if (type === 'text/plain') return 'text';
  return 'binary';
}

function decoderFor(charset) {
  // The archive's charset names (CP1252, CP932...) are labels the Encoding
  // standard knows under another spelling or not at all.
  const labels = [];
  if (charset) {
    labels.push(charset);
    const codePage = /^cp(\d+)$/i.exec(charset);
    if (codePage) labels.push('windows-' + codePage[1]);
    if (/^cp932$/i.test(charset)) labels.push('shift_jis');
  }
  for (const label of labels) {
    try { return new TextDecoder(label); } catch { /* not a label it knows */ }
  }
  return new TextDecoder('utf-8');
}

function showDetail(number, keepMode) {
  const entry = entryByNumber(number);
  const serial = ++state.detailToken;
  state.current = entry ? number : 0;
  $('nothing-selected').hidden = Boolean(entry);
  $('detail').hidden = !entry;
  const content = $('content');
  content.replaceChildren();
  if (!entry) return;
  setText($('detail-name'), entry.name);
  setText($('detail-facts'), '#' + entry.number + ' · ' + entry.size + ' bytes at offset ' +
          entry.offset + ' · ' + (entry.type || 'type unknown'));
  const link = $('download');
  link.href = '/api/entries/' + entry.number;
  link.download = entry.name;
  $('edit-name').value = entry.name;
  $('edit-tag').value = entry.tag;
  $('edit-spare').value = entry.spare;

  const kind = kindOf(entry);
  if (!keepMode) {
    state.hexOffset = 0;
    setMode(kind === 'binary' ? 'hex' : 'content');
  }
  if (kind === 'image') {
    const picture = document.createElement('img');
    const size = document.createElement('p');
    size.className = 'picture-size';
    picture.addEventListener('load', () => {
      setText(size, picture.naturalWidth + ' × ' + picture.naturalHeight + ' pixels');
    });
    picture.addEventListener('error', () => setText(size, 'The browser cannot show this picture.'));
    picture.alt = entry.name;
    picture.src = '/api/entries/' + entry.number;
    content.append(size, picture);
  } else if (kind === 'audio') {
    const sound = document.createElement('audio');
    sound.controls = true;
    sound.preload = 'metadata';
    sound.src = '/api/entries/' + entry.number;
    content.append(sound);
  } else if (kind === 'text') {
    const text = document.createElement('pre');
    text.className = 'text';
    content.append(text);
    loadText(entry, text, serial);
  } else {
    const note = document.createElement('p');
    setText(note, 'No preview for this type; see the hex view, or download it.');
    content.append(note);
  }
  if ($('mode-hex').getAttribute('aria-pressed') === 'true') loadHex();
}

async function readRange(number, first, last) {
  const response = await fetch('/api/entries/' + number,
                               { headers: { Range: 'bytes=' + first + '-' + last } });
  if (response.status === 416) return new Uint8Array(0);
  if (!response.ok) throw new Error(response.status + ' ' + response.statusText);
  return new Uint8Array(await response.arrayBuffer());
}

async function loadText(entry, box, serial) {
  try {
    const bytes = entry.size === 0 ? new Uint8Array(0)
                                   : await readRange(entry.number, 0, TEXT_LIMIT - 1);
    if (serial !== state.detailToken) return;
    let text = decoderFor(state.archive.charset).decode(bytes);
    if (entry.size > TEXT_LIMIT) text += '\n… (the first ' + TEXT_LIMIT + ' of ' + entry.size + ' bytes)';
    setText(box, text);
  } catch (error) {
    if (serial === state.detailToken) setText(box, 'Cannot read the entry: ' + error.message);
  }
}

function setMode(mode) {
  $('content').hidden = mode !== 'content';
  $('hex').hidden = mode !== 'hex';
  $('mode-content').setAttribute('aria-pressed', String(mode === 'content'));
  $('mode-hex').setAttribute('aria-pressed', String(mode === 'hex'));
  if (mode === 'hex' && state.current) loadHex();
}

function hexDigits(value, width) { return value.toString(16).padStart(width, '0'); }

// One page of the entry, fetched alone, so a huge entry costs no more than
// a small one.
async function loadHex() {
  const entry = entryByNumber(state.current);
  if (!entry) return;
  const serial = state.detailToken;
  const lastPage = entry.size === 0 ? 0 : Math.floor((entry.size - 1) / HEX_PAGE) * HEX_PAGE;
  state.hexOffset = Math.max(0, Math.min(state.hexOffset, lastPage));
  const offset = state.hexOffset;
  $('hex-prev').disabled = offset === 0;
  $('hex-next').disabled = offset >= lastPage;
  $('hex-offset').value = '0x' + offset.toString(16);
  const width = Math.max(8, entry.size.toString(16).length);
  setText($('hex-where'), entry.size === 0 ? 'empty'
    : 'bytes ' + offset + '–' + (Math.min(entry.size, offset + HEX_PAGE) - 1) + ' of ' + entry.size);
  let bytes;
  try {
    bytes = entry.size === 0 ? new Uint8Array(0)
                             : await readRange(entry.number, offset, offset + HEX_PAGE - 1);
  } catch (error) {
    if (serial === state.detailToken) setText($('hex-dump'), 'Cannot read the entry: ' + error.message);
    return;
  }
  if (serial !== state.detailToken || offset !== state.hexOffset) return;
  const lines = [];
  for (let at = 0; at < bytes.length; at += 16) {
    let hex = '';
    let shown = '';
    for (let k = 0; k < 16; ++k) {
      if (at + k < bytes.length) {
        const b = bytes[at + k];
        hex += hexDigits(b, 2) + (k === 7 ? '  ' : ' ');
        shown += b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.';
      } else {
        hex += k === 7 ? '    ' : '   ';
      }
    }
    lines.push(hexDigits(offset + at, width) + '  ' + hex + ' ' + shown);
  }
  setText($('hex-dump'), lines.join('\n'));
}

function jumpHex() {
  const text = $('hex-offset').value.trim();
  const value = /^0x[0-9a-f]+$/i.test(text) ? parseInt(text.slice(2), 16)
              : /^\d+$/.test(text) ? parseInt(text, 10) : NaN;
  if (Number.isNaN(value)) { $('hex-offset').classList.add('failed'); return; }
  $('hex-offset').classList.remove('failed');
  state.hexOffset = Math.floor(value / HEX_PAGE) * HEX_PAGE;
  loadHex();
}

// --- changes ----------------------------------------------------------------

async function send(method, url, body, contentType) {
  const headers = {
    'X-QVX-Token': token,
    'X-QVX-Generation': String(state.archive.generation),
  };
  if (contentType) headers['Content-Type'] = contentType;
  const response = await fetch(url, { method, headers, body });
  const text = (await response.text()).trim();
  return { ok: response.ok, status: response.status, text };
}

// Runs the steps of one change in turn, each on a freshly loaded table, and
// stops at the first refusal; the server's words are shown either way.
async function change(steps) {
  if (state.writing) return;
  state.writing = true;
  document.body.classList.add('busy');
  const said = [];
  let failed = false;
  try {
    for (const step of steps) {
      const answer = await step();
      if (!answer) continue;
      if (answer.text) said.push(answer.text);
      if (!answer.ok) {
        failed = true;
        if (!answer.text) said.push('refused: ' + answer.status);
        break;
      }
      await loadArchive();
    }
  } catch (error) {
    failed = true;
    said.push(error.message);
  } finally {
    try { await loadArchive(); } catch (error) { said.push(error.message); failed = true; }
    state.writing = false;
    document.body.classList.remove('busy');
  }
  showMessage(said.join('\n') || 'Done.', failed);
}

function replaceCurrent(file) {
  const entry = entryByNumber(state.current);
  if (!entry || !file) return;
  change([() => send('PUT', '/api/entries/' + entry.number, file, 'application/octet-stream')]);
}

function addFiles(files) {
  change(Array.from(files, (file) => () =>
    send('POST', '/api/entries?name=' + encodeURIComponent(file.name), file,
         'application/octet-stream')));
}

// From the highest number down, so the numbers still to go stay where they
// were; an entry whose name is not the one selected stops the rest.
function deleteSelected() {
  const doomed = Array.from(state.selected, (number) => ({ number, name: entryByNumber(number).name }))
    .sort((a, b) => b.number - a.number);
  if (doomed.length === 0) return;
  state.selected.clear();
  change(doomed.map(({ number, name }) => () => {
    const entry = entryByNumber(number);
    if (!entry || entry.name !== name) {
      return { ok: false, status: 0, text: 'Stopped: entry ' + number + ' is no longer "' + name + '".' };
    }
    return send('DELETE', '/api/entries/' + number);
  }));
}

function editCurrent() {
  const entry = entryByNumber(state.current);
  if (!entry) return;
  const fields = {};
  const name = $('edit-name').value;
  const tag = Number($('edit-tag').value);
  const spare = Number($('edit-spare').value);
  if (name !== entry.name) fields.name = name;
  if ($('edit-tag').value !== '' && tag !== entry.tag) fields.tag = tag;
  if ($('edit-spare').value !== '' && spare !== entry.spare) fields.spare = spare;
  if (Object.keys(fields).length === 0) { showMessage('Nothing to change.', false); return; }
  change([() => send('PATCH', '/api/entries/' + entry.number, JSON.stringify(fields),
                     'application/json')]);
}

// --- changes made elsewhere -------------------------------------------------

async function poll() {
  if (state.writing || !state.archive) return;
  let status;
  try {
    const response = await fetch('/api/status', { cache: 'no-store' });
    if (!response.ok) return;
    status = await response.json();
  } catch {
    return;  // the server has stopped; the table stays as it was
  }
  if (state.writing || status.generation === state.archive.generation) return;
  await loadArchive();
  showNotice('The archive was changed on disk; reloaded.');
}

// --- wiring -----------------------------------------------------------------

function wire() {
  const body = $('table-body');
  body.addEventListener('scroll', scheduleDraw, { passive: true });
  new ResizeObserver(scheduleDraw).observe(body);
  body.addEventListener('click', (event) => {
    const row = event.target.closest('.row');
    if (row && row.dataset.number) select(Number(row.dataset.number), event);
  });
  body.addEventListener('keydown', (event) => {
    const steps = { ArrowDown: 1, ArrowUp: -1, PageDown: 20, PageUp: -20 };
    if (event.key in steps) { event.preventDefault(); moveCurrent(steps[event.key]); }
  });
  // Shift-click would select the page's text as well.
  body.addEventListener('mousedown', (event) => { if (event.shiftKey) event.preventDefault(); });
  $('table-head').addEventListener('click', (event) => {
    const key = event.target.dataset && event.target.dataset.key;
    if (!key) return;
    state.sortUp = state.sortKey === key ? !state.sortUp : true;
    state.sortKey = key;
    refreshList();
  });
  $('filter').addEventListener('input', () => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(async () => { await applyFilter(); refreshList(); }, 150);
  });
  $('grid-view').addEventListener('click', (event) => {
    const tile = event.target.closest('.tile');
    if (!tile) return;
    for (const other of $('grid-view').querySelectorAll('.tile.current')) other.classList.remove('current');
    tile.classList.add('current');
    select(Number(tile.dataset.number), event);
  });
  $('show-table').addEventListener('click', () => setView('table'));
  $('show-grid').addEventListener('click', () => setView('grid'));
  $('mode-content').addEventListener('click', () => setMode('content'));
  $('mode-hex').addEventListener('click', () => setMode('hex'));
  $('hex-prev').addEventListener('click', () => { state.hexOffset -= HEX_PAGE; loadHex(); });
  $('hex-next').addEventListener('click', () => { state.hexOffset += HEX_PAGE; loadHex(); });
  $('hex-jump').addEventListener('click', jumpHex);
  $('hex-offset').addEventListener('keydown', (event) => { if (event.key === 'Enter') jumpHex(); });
  $('add-files').addEventListener('change', (event) => {
    addFiles(event.target.files);
    event.target.value = '';
  });
  $('replace-file').addEventListener('change', (event) => {
    replaceCurrent(event.target.files[0]);
    event.target.value = '';
  });
  $('delete').addEventListener('click', deleteSelected);
  $('edit').addEventListener('submit', (event) => { event.preventDefault(); editCurrent(); });
  const pane = $('detail-pane');
  pane.addEventListener('dragover', (event) => {
    if (state.archive && !state.archive.read_only && state.current) {
      event.preventDefault();
      pane.classList.add('dropping');
    }
  });
  pane.addEventListener('dragleave', () => pane.classList.remove('dropping'));
  pane.addEventListener('drop', (event) => {
    event.preventDefault();
    pane.classList.remove('dropping');
    if (state.archive.read_only) return;
    replaceCurrent(event.dataTransfer.files[0]);
  });
  // A file dropped beside the pane must not make the browser leave the page.
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => event.preventDefault());
}

wire();
loadArchive().then(() => {
  setInterval(poll, POLL_MS);
}, (error) => showMessage(error.message, true));
