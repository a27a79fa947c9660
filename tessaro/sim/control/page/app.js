// The live page of tessaro-sim: shows the machine through the control API
// and changes it there. Plain JavaScript, no libraries.
'use strict';

const $ = (id) => document.getElementById(id);
const TRACE_LINES = 100;

let machine = null;
// The PLC as the API gives it: `names` names every state bit by number.
let plc = { word: 0, state: [], selected: '', names: [] };

function say(text, bad) {
  $('status').textContent = text;
  $('status').className = bad ? 'error' : '';
}

// Calls the API; resolves to the answer's text, rejects with its error text.
async function call(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  const text = await res.text();
  if (!res.ok) {
    let error = null;
    try { error = JSON.parse(text).error; } catch (e) { /* not the API's JSON */ }
    throw new Error(error || res.status + ' ' + res.statusText);
  }
  return text;
}

async function change(method, path, body, done) {
  try {
    await call(method, path, body);
    say(done);
    await refresh();
  } catch (e) {
    say(e.message, true);
    throw e;
  }
}

function el(tag, props, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props || {});
  for (const c of children) e.append(c);
  return e;
}

// ---- PLC state ----
function renderPlc() {
  if (!changed('plc', plc) && $('plc').children.length) return;
  $('word').textContent = '0x' + plc.word.toString(16).padStart(8, '0');
  const box = $('plc');
  if (box.children.length !== plc.names.length)
    box.replaceChildren(...plc.names.map((name) => {
      const b = el('button', { textContent: name.replace(/^PLC_/, ''), title: name });
      b.dataset.state = name;
      b.onclick = () => {
        const on = b.classList.contains('on');
        change('PUT', '/api/plc', on ? { clear: [name] } : { set: [name] }, (on ? 'cleared ' : 'set ') + name);
      };
      return b;
    }));
  plc.names.forEach((name, bit) => box.children[bit].classList.toggle('on', (plc.word >>> bit & 1) === 1));
}

// ---- Nodes ----
// A VT_TEXT value, and any value holding a line end, is edited in a textarea:
// a one-line input drops line ends and would change the value unseen.
const hasLineEnd = (value) => /[\r\n]/.test(value === undefined ? '' : String(value));
const isMultiline = (n) => n.type === 'VT_TEXT' || hasLineEnd(n.value);

// How a value ends its lines. A textarea knows only LF, so a value whose line
// ends are all CRLF gets them back on writing; one that mixes kinds, or has a
// lone CR, cannot be edited there without changing line ends the user does
// not see, and is shown read-only.
function lineEnds(text) {
  const cr = (text.match(/\r/g) || []).length;
  if (cr === 0) return 'LF';
  const crlf = (text.match(/\r\n/g) || []).length;
  const lf = (text.match(/\n/g) || []).length;
  return cr === crlf && lf === crlf ? 'CRLF' : 'mixed';
}

// The value as the machine is to hold it: the box's text with the line ends
// of the value it was shown.
function valueOf(box) {
  if (box.tagName !== 'TEXTAREA' || lineEnds(box.dataset.shown) !== 'CRLF') return box.value;
  return box.value.replace(/\n/g, '\r\n');
}

const rowsFor = (text) => Math.min(8, Math.max(2, text.split('\n').length));

// Shows a value in its box, unless the user is editing it there.
function showValue(box, value) {
  const text = value === undefined ? '' : String(value);
  if (document.activeElement !== box) box.value = text;
  box.dataset.shown = text;
  if (box.tagName !== 'TEXTAREA') return;
  const mixed = lineEnds(text) === 'mixed';
  box.readOnly = box.dataset.writable !== 'yes' || mixed;
  box.classList.toggle('mixed', mixed);
  box.title = box.dataset.about + (mixed ? ' (mixed line ends: shown read-only so that they stay as they are)'
    : box.readOnly ? '' : ' (Ctrl+Enter writes, Escape undoes)');
  if (document.activeElement !== box) box.rows = rowsFor(box.value);
}

function write(box, full) {
  const value = valueOf(box);
  // Text is named quoted, so that its line ends show in the one-line status.
  const said = box.tagName === 'TEXTAREA' ? JSON.stringify(value) : value;
  change('PUT', '/api/nodes/' + encodeURIComponent(full), { value }, full + ' = ' + said)
    .then(() => box.classList.remove('bad'), () => box.classList.add('bad'));
}

function nodeRow(n, full) {
  const li = el('li');
  const row = el('div', { className: 'node' }, el('span', { textContent: n.name }));
  li.append(row);
  if (n.type === 'FOLDER' || n.type === 'JOBNODE' || n.type === 'VT_JOB') {
    row.append(el('span', { className: 'type', textContent: n.type === 'JOBNODE' ? n.nodetype : n.type }));
  } else {
    const multiline = isMultiline(n);
    const box = el(multiline ? 'textarea' : 'input', { className: 'value', spellcheck: false });
    box.dataset.node = full;
    box.dataset.writable = (n.priv || 'rw').indexOf('w') < 0 ? 'no' : 'yes';
    box.dataset.about = n.type + (n.min !== undefined ? ' ' + n.min + ' … ' + n.max : '');
    box.readOnly = box.dataset.writable !== 'yes';
    box.title = box.dataset.about;
    showValue(box, n.value);
    // Enter writes a one-line value; in a textarea Enter starts a new line,
    // and Ctrl+Enter (Cmd+Enter on a Mac) writes.
    box.onkeydown = (ev) => {
      if (ev.key === 'Escape') { box.value = box.dataset.shown; box.blur(); }
      if (ev.key !== 'Enter' || box.readOnly || (multiline && !ev.ctrlKey && !ev.metaKey)) return;
      ev.preventDefault();
      write(box, full);
    };
    if (multiline) box.oninput = () => { box.rows = rowsFor(box.value); };
    row.append(box, el('span', { className: 'type', textContent: n.type }),
      el('span', { className: 'unit', textContent: n.unit || '' }));
  }
  if (n.children && n.children.length) {
    const ul = el('ul');
    for (const c of n.children) ul.append(nodeRow(c, full + '.' + c.name));
    li.append(ul);
  }
  return li;
}

// The tree as drawn: values change in place, but whether a value needs a
// textarea is part of it.
function shape(nodes) {
  return JSON.stringify(nodes, (k, v) => (k === 'value' ? hasLineEnd(v) : v));
}

function renderTree() {
  const tree = $('tree');
  if (tree.dataset.shape !== shape(machine.nodes)) {
    tree.replaceChildren(...(machine.nodes || []).map((n) => nodeRow(n, n.name)));
    tree.dataset.shape = shape(machine.nodes);
  }
  // Values change in place; the one being edited is left alone.
  const walk = (nodes, prefix) => (nodes || []).forEach((n) => {
    const full = prefix + n.name;
    const box = tree.querySelector(`.value[data-node="${CSS.escape(full)}"]`);
    if (box) showValue(box, n.value);
    walk(n.children, full + '.');
  });
  walk(machine.nodes, '');
}

// ---- Jobs ----
function jobs(nodes, prefix, out) {
  for (const n of nodes || []) {
    if (n.type === 'VT_JOB') out.push([prefix + n.name, n]);
    jobs(n.children, prefix + n.name + '.', out);
  }
  return out;
}

function jobState(full) {
  if (plc.selected !== full) return '';
  const on = (name) => plc.state.includes(name);
  const bits = [];
  if (on('PLC_JOB_ACTIVE')) bits.push('active');
  else if (on('PLC_JOB_READY')) bits.push('ready');
  if (on('PLC_JOB_COMPLETED')) bits.push('completed');
  if (on('PLC_JOB_FAILED')) bits.push('failed');
  return 'selected' + (bits.length ? ', ' + bits.join(', ') : '');
}

function renderJobs() {
  const body = $('jobs').tBodies[0];
  const list = jobs(machine.nodes, '', []);
  if (body.dataset.names !== list.map((j) => j[0]).join(';')) {
    body.replaceChildren(...list.map(([full]) => {
      const outcome = el('select');
      for (const o of ['completed', 'failed', 'both', 'none']) outcome.append(el('option', { textContent: o }));
      outcome.dataset.job = full;
      outcome.onchange = () => change('PUT', '/api/jobs/' + encodeURIComponent(full), { outcome: outcome.value },
        full + ' ends ' + outcome.value).catch(() => {});
      const duration = el('input', { type: 'number', min: 0, step: 100 });
      duration.onchange = () => change('PUT', '/api/jobs/' + encodeURIComponent(full),
        { duration_ms: Number(duration.value) }, full + ' runs ' + duration.value + ' ms').catch(() => {});
      return el('tr', {}, el('td', { textContent: full }), el('td'), el('td', {}, outcome), el('td', {}, duration));
    }));
    body.dataset.names = list.map((j) => j[0]).join(';');
  }
  list.forEach(([full, n], i) => {
    const cells = body.rows[i].cells;
    cells[1].textContent = jobState(full);
    const [outcome, duration] = [cells[2].firstChild, cells[3].firstChild];
    if (document.activeElement !== outcome) outcome.value = n.outcome || 'completed';
    if (document.activeElement !== duration) duration.value = n.duration_ms === undefined ? 1000 : n.duration_ms;
  });
}

// ---- Devices ----
// Rebuilds a table only when what it shows has changed: a busy simulator
// then costs the browser no layout work.
function changed(id, data) {
  const text = JSON.stringify(data);
  if ($(id).dataset.shown === text) return false;
  $(id).dataset.shown = text;
  return true;
}

function renderDevices() {
  if (!changed('devices', machine.devices)) return;
  $('devices').tBodies[0].replaceChildren(...(machine.devices || []).map((d) =>
    el('tr', {}, el('td', { textContent: d.name }), el('td', { textContent: d.driver || '' }),
      el('td', { textContent: d.statestring || d.state }), el('td', { textContent: d.stat_str || '' }))));
}

// ---- Faults ----
function renderFaults(faults) {
  if (!changed('faults', faults)) return;
  $('faults').tBodies[0].replaceChildren(...faults.map((f) => {
    const what = f.result !== undefined ? 'result ' + f.result : f.action || '';
    const remove = el('button', { textContent: 'remove' });
    remove.onclick = () => change('DELETE', '/api/faults/' + f.index, undefined, 'fault ' + f.index + ' removed')
      .catch(() => {});
    const calls = (f.call ? 'from ' + f.call : 'all') + (f.times ? ', ' + f.times + '×' : '');
    return el('tr', {}, el('td', { textContent: f.index }), el('td', { textContent: f.op }),
      el('td', { textContent: f.node || '' }),
      el('td', { textContent: what + (f.delay_ms ? ' after ' + f.delay_ms + ' ms' : '') }),
      el('td', { textContent: calls + ' (seen ' + f.seen + ')' }),
      el('td', { textContent: f.left === null ? '∞' : f.left }), el('td', {}, remove));
  }));
}

$('fault-form').onsubmit = (ev) => {
  ev.preventDefault();
  const fault = { op: $('fault-op').value.trim() };
  if ($('fault-node').value.trim()) fault.node = $('fault-node').value.trim();
  if ($('fault-action').value) fault.action = $('fault-action').value;
  for (const [id, key] of [['fault-result', 'result'], ['fault-delay', 'delay_ms'], ['fault-call', 'call'],
    ['fault-times', 'times']])
    if ($(id).value.trim() !== '') fault[key] = Number($(id).value);
  change('POST', '/api/faults', fault, 'fault added on ' + fault.op).catch(() => {});
};

$('reset').onclick = () => change('POST', '/api/reset', {}, 'machine reset').catch(() => {});

// ---- Trace, live ----
function traceLine(text) {
  const { seq, ...line } = JSON.parse(text);  // the number is the item's own
  const li = el('li', { textContent: JSON.stringify(line), value: seq });
  li.className = line.fault ? 'fault' : line.event ? 'event' : /^http /.test(line.conn) ? 'api' : '';
  return li;
}

// ---- The machine ----
function show(state) {
  machine = state.machine;
  plc = state.plc;
  $('name').textContent = machine.name || '';
  renderPlc();
  renderTree();
  renderJobs();
  renderDevices();
  renderFaults(state.faults);
}

// After a change made here: at once, not at the event stream's next look.
async function refresh() {
  const [m, p, f] = await Promise.all(['/api/machine', '/api/plc', '/api/faults']
    .map((path) => call('GET', path).then((text) => JSON.parse(text))));
  show({ machine: m, plc: p, faults: f });
}

// One event stream brings both: the machine whenever it has changed, and
// the newest trace lines twice a second.
let lastLine = 0;  // the number of the newest trace line shown
function follow() {
  const list = $('trace');
  const source = new EventSource('/api/events?machine=1&max=' + TRACE_LINES + '&after=' + lastLine);
  source.onopen = () => say('connected');
  source.onerror = () => {
    say('no answer from the simulator; trying again', true);
    // A refused stream (too many open) is given up by the browser, not here.
    if (source.readyState === EventSource.CLOSED) setTimeout(follow, 5000);
  };
  source.addEventListener('machine', (ev) => show(JSON.parse(ev.data)));
  // One event carries every line since the last, one per line of data.
  source.onmessage = (ev) => {
    if (ev.lastEventId) lastLine = Number(ev.lastEventId);
    const lines = ev.data.split('\n').slice(-TRACE_LINES).map((text) => traceLine(text));
    const keep = [...list.children].slice(Math.max(0, list.children.length + lines.length - TRACE_LINES));
    list.replaceChildren(...keep, ...lines);
    if (!list.matches(':hover')) list.scrollTop = list.scrollHeight;  // held still while read
  };
}

refresh().catch((e) => say(e.message, true));  // drawn at once, with or without the stream
follow();
