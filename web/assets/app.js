// The web console's page: one module, no framework. Every text that comes
// from the server (panel names, device codes, notes) is set as textContent,
// never as markup.

const CLASS_NAMES = { 1: '火警', 2: '监控报警', 3: '监管', 4: '启动', 5: '动作', 6: '反馈', 7: '故障', 8: '屏蔽',
  11: '复位', 15: '开机', 16: '消音', 17: '通讯' };
const GROUPS = [[1, '火警'], [2, '监控报警'], [7, '故障'], [8, '屏蔽']];
const COMM = { ok: ['正常', 'ok'], lost: ['中断', 'lost'], unknown: ['未知', ''] };
const ACTIONS = { silence: '消音', reset: '复位', start: '启动', stop: '停止', disable: '屏蔽', enable: '取消屏蔽' };
const MAX_EVENTS = 200;

const $ = (id) => document.getElementById(id);
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

let session = null;     // { user, csrf, control, title }
let status = null;      // the last snapshot
let source = null;      // the EventSource
let lastSeq = 0;
let refreshTimer = 0;
let pollTimer = 0;
let historyCursor = '';
let soundOn = false;
let audio = null;
let beepTimer = 0;
let fireAcked = false;

async function api(path, body) {
  const init = { credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers['Content-Type'] = 'application/json';
    if (session) init.headers['X-CSRF-Token'] = session.csrf;
    init.body = JSON.stringify(body);
  }
  const r = await fetch(path, init);
  let data = {};
  try { data = await r.json(); } catch (e) { /* not JSON */ }
  if (r.status === 401 && path !== '/api/login') {
    showLogin();
    throw new Error('not logged in');
  }
  return { status: r.status, data };
}

function show(id) {
  for (const s of ['login', 'overview', 'history']) $(s).classList.toggle('hidden', s !== id);
  $('top').classList.toggle('hidden', id === 'login');
  $('nav-overview').classList.toggle('active', id === 'overview');
  $('nav-history').classList.toggle('active', id === 'history');
}

function showLogin() {
  session = null;
  if (source) { source.close(); source = null; }
  clearInterval(pollTimer);
  setBanner(false);
  show('login');
  $('login-user').focus();
}

async function start() {
  $('login-form').addEventListener('submit', onLogin);
  $('logout').addEventListener('click', onLogout);
  $('sound').addEventListener('click', toggleSound);
  $('banner-ack').addEventListener('click', () => { fireAcked = true; setBanner(false); });
  $('device-form').addEventListener('submit', onDeviceCommand);
  $('history-form').addEventListener('submit', (ev) => { ev.preventDefault(); loadHistory(false); });
  $('history-more').addEventListener('click', () => loadHistory(true));
  window.addEventListener('hashchange', route);
  const today = new Date(Date.now() - new Date().getTimezoneOffset() * 60000).toISOString().slice(0, 10);
  $('history-from').value = today;
  $('history-to').value = today;
  try {
    const r = await api('/api/session');
    if (r.status === 200) enter(r.data);
  } catch (e) { /* shows the login */ }
}

async function onLogin(ev) {
  ev.preventDefault();
  $('login-error').textContent = '';
  const r = await api('/api/login', { user: $('login-user').value, password: $('login-password').value });
  if (r.status !== 200) {
    $('login-error').textContent = r.data.error || ('登录失败 (' + r.status + ')');
    return;
  }
  $('login-password').value = '';
  enter(r.data);
}

async function onLogout() {
  try { await api('/api/logout', {}); } catch (e) { /* gone already */ }
  showLogin();
}

function enter(s) {
  session = s;
  $('user').textContent = s.user;
  $('title').textContent = s.title || '消防报警网关';
  document.title = (s.title || '消防报警网关') + ' - 网页控制台';
  $('device-command').classList.toggle('hidden', !s.control);
  route();
  loadStatus().then(openStream);
  clearInterval(pollTimer);
  pollTimer = setInterval(loadStatus, 10000);
}

function route() {
  if (!session) return;
  show(location.hash === '#history' ? 'history' : 'overview');
}

async function loadStatus() {
  if (!session) return;
  const r = await api('/api/status');
  if (r.status !== 200) return;
  status = r.data;
  if (!source) lastSeq = status.seq;
  $('nav-history').classList.toggle('hidden', !status.history);
  renderControllers();
  renderStanding();
  renderLinks();
  if (!$('events').childElementCount || !source) renderEvents(status.events);
  const fires = status.counts['1'] || 0;
  if (fires === 0) fireAcked = false;
  setBanner(fires > 0 && !fireAcked, firstFireText());
}

function scheduleRefresh() {
  if (refreshTimer) return;
  refreshTimer = setTimeout(() => { refreshTimer = 0; loadStatus(); }, 400);
}

function openStream() {
  if (source || !session) return;
  source = new EventSource('/api/stream?since=' + encodeURIComponent(lastSeq));
  source.onopen = () => setStreamState(true);
  source.onmessage = (m) => {
    const e = JSON.parse(m.data);
    lastSeq = e.seq;
    addEvent(e, true);
    if (e.cls === 1 && e.property === 1) {
      fireAcked = false;
      setBanner(true, eventText(e));
    }
    scheduleRefresh();
  };
  // The server's ring no longer reaches back to what we saw: start afresh.
  source.addEventListener('reload', () => { $('events').textContent = ''; lastSeq = 0; loadStatus(); });
  source.addEventListener('busy', () => notice('实时连接已满,稍后重试'));
  source.onerror = () => {
    setStreamState(false);
    if (source && source.readyState === EventSource.CLOSED) {
      source = null;
      // Refused (logged out, full, server restarting): look again in a while.
      setTimeout(() => { if (session) api('/api/session').then(() => loadStatus()).then(openStream).catch(() => {}); }, 3000);
    }
  };
}

function setStreamState(up) {
  const s = $('stream-state');
  s.textContent = up ? '● 实时' : '○ 连接中断,正在重连…';
  s.classList.toggle('down', !up);
}

function notice(text) {
  const n = $('notice');
  n.textContent = text;
  n.classList.toggle('hidden', !text);
}

function controllerName(id) {
  const c = status && status.controllers.find((x) => x.id === id);
  return c ? c.name : '控制器 ' + id;
}

function eventText(e) {
  return controllerName(e.panel) + ' ' + (e.code || '') + ' ' + (e.name || '');
}

function renderControllers() {
  const box = $('controllers');
  box.textContent = '';
  const select = $('device-panel');
  const historySelect = $('history-panel');
  const chosen = select.value;
  select.textContent = '';
  while (historySelect.options.length > 1) historySelect.remove(1);
  if (!status.controllers.length) box.append(el('p', 'empty', '没有控制器'));
  for (const c of status.controllers) {
    const [commText, commCls] = COMM[c.comm] || COMM.unknown;
    const tile = el('div', 'tile comm-' + c.comm);
    tile.dataset.id = c.id;
    tile.append(el('div', 'name', c.name));
    tile.append(el('div', 'meta', '编号 ' + c.id + ' · ' + (c.typeName || ('类型 ' + c.type))));
    const state = el('div', 'state');
    state.append(el('span', 'badge run ' + (c.running ? 'ok' : ''), c.running ? '运行' : '停止'));
    state.append(el('span', 'badge comm ' + commCls, '通讯' + commText));
    tile.append(state);
    tile.append(el('div', 'meta since', '自 ' + (c.since || '-')));
    if (session.control) {
      const actions = el('div', 'actions');
      for (const word of ['silence', 'reset']) {
        const b = el('button', 'cmd-' + word, ACTIONS[word]);
        b.type = 'button';
        b.addEventListener('click', () => sendCommand(c, word, ''));
        actions.append(b);
      }
      tile.append(actions);
    }
    box.append(tile);
    const o = el('option', '', c.id + ' ' + c.name);
    o.value = c.id;
    select.append(o);
    historySelect.append(o.cloneNode(true));
  }
  if (chosen) select.value = chosen;
}

function renderStanding() {
  const box = $('standing');
  box.textContent = '';
  let total = 0;
  for (const n of Object.values(status.counts)) total += n;
  $('standing-total').textContent = total ? '共 ' + total + ' 项' : '';
  const grouped = new Map(GROUPS.map(([cls]) => [cls, []]));
  grouped.set(0, []);
  for (const e of status.standing) (grouped.get(e.cls) || grouped.get(0)).push(e);
  let shown = 0;
  for (const [cls, title] of [...GROUPS, [0, '其他']]) {
    const list = grouped.get(cls);
    const count = cls ? (status.counts[String(cls)] || 0) : list.length;
    if (!count) continue;
    shown++;
    const g = el('div', 'group cls-' + cls);
    const h = el('h3', '', title);
    h.append(el('span', 'n', count));
    g.append(h);
    const ul = el('ul');
    for (const e of list) {
      const li = el('li', '', e.time + '  ' + controllerName(e.panel) + '  ' + (e.code || '') + '  ' + (e.name || ''));
      if (e.note) li.append(el('div', 'note', e.note));
      ul.append(li);
    }
    g.append(ul);
    box.append(g);
  }
  if (!shown) box.append(el('p', 'empty', '无火警、故障或屏蔽'));
}

function renderLinks() {
  const ul = $('links');
  ul.textContent = '';
  if (!status.links.length) ul.append(el('li', '', '未配置外部链路'));
  for (const l of status.links) {
    const word = l.state === 1 ? '正常' : l.state === 0 ? '中断' : '未知';
    const li = el('li', l.state === 1 ? 'up' : l.state === 0 ? 'down' : '', l.name + ':' + word + (l.detail ? ' (' + l.detail + ')' : ''));
    ul.append(li);
  }
}

function renderEvents(events) {
  $('events').textContent = '';
  for (const e of [...events].reverse()) addEvent(e, false);
}

function addEvent(e, fresh) {
  const list = $('events');
  const li = el('li', 'cls-' + e.cls + (fresh ? ' new' : ''));
  li.dataset.seq = e.seq;
  li.append(el('span', 'time', e.time));
  const what = el('span', 'what', (e.name || CLASS_NAMES[e.cls] || ('事件 ' + e.number)));
  li.append(what);
  li.append(el('span', 'where', controllerName(e.panel)));
  li.append(el('span', 'device', e.code ? '设备 ' + e.code + (e.endCode ? '-' + e.endCode : '') : ''));
  if (e.note) li.append(el('span', 'note', e.note));
  list.prepend(li);
  while (list.childElementCount > MAX_EVENTS) list.lastElementChild.remove();
}

function firstFireText() {
  const fire = status.standing.find((e) => e.cls === 1);
  return fire ? eventText(fire) : '';
}

function setBanner(on, text) {
  $('banner').classList.toggle('hidden', !on);
  if (text !== undefined) $('banner-text').textContent = text;
  clearInterval(beepTimer);
  beepTimer = 0;
  if (on && soundOn) {
    beep();
    beepTimer = setInterval(beep, 1200);
  }
}

function toggleSound() {
  soundOn = !soundOn;
  $('sound').textContent = soundOn ? '声音:开' : '声音:关';
  $('sound').setAttribute('aria-pressed', String(soundOn));
  if (soundOn && !audio) audio = new AudioContext(); // created on the click, as browsers require
  setBanner(!$('banner').classList.contains('hidden'));
}

function beep() {
  if (!audio) return;
  const t = audio.currentTime;
  for (const [at, freq] of [[0, 960], [0.35, 760]]) {
    const o = audio.createOscillator();
    const g = audio.createGain();
    o.frequency.value = freq;
    g.gain.setValueAtTime(0.2, t + at);
    g.gain.setValueAtTime(0, t + at + 0.3);
    o.connect(g).connect(audio.destination);
    o.start(t + at);
    o.stop(t + at + 0.32);
  }
}

async function sendCommand(c, word, device) {
  const what = '确认对控制器「' + c.name + '」(编号 ' + c.id + ')' + (device ? '的设备 ' + device : '') + ' 执行「' + ACTIONS[word] + '」?';
  if (!window.confirm(what)) return;
  const r = await api('/api/command', { panel: c.id, command: word, device });
  if (r.status === 200 && r.data.ok) notice('已发送:' + ACTIONS[word] + ' → ' + c.name + (device ? ' 设备 ' + device : ''));
  else notice('命令未发送:' + (r.data.error || r.status));
}

function onDeviceCommand(ev) {
  ev.preventDefault();
  const id = Number($('device-panel').value);
  const c = status.controllers.find((x) => x.id === id);
  if (!c) return;
  sendCommand(c, $('device-action').value, $('device-code').value.trim());
}

async function loadHistory(more) {
  if (!more) historyCursor = '';
  const q = new URLSearchParams({
    from: $('history-from').value, to: $('history-to').value,
    panel: $('history-panel').value, class: $('history-class').value, text: $('history-text').value,
    pageSize: '50',
  });
  if (historyCursor) q.set('cursor', historyCursor);
  const r = await api('/api/history?' + q.toString());
  const rows = $('history-rows');
  if (!more) rows.textContent = '';
  $('history-error').textContent = r.status === 200 && !r.data.error ? '' : (r.data.error || ('查询失败 (' + r.status + ')'));
  if (r.status !== 200 || r.data.error) return;
  for (const row of r.data.rows) {
    const tr = el('tr');
    tr.append(el('td', '', row.time));
    tr.append(el('td', 'cls-' + row.cls, row.action || CLASS_NAMES[row.cls] || ''));
    tr.append(el('td', '', controllerName(row.panel)));
    tr.append(el('td', '', row.code));
    tr.append(el('td', 'content', row.content));
    rows.append(tr);
  }
  if (!r.data.rows.length && !more) {
    const tr = el('tr');
    tr.append(el('td', 'empty', '没有符合条件的记录'));
    rows.append(tr);
  }
  historyCursor = r.data.next || '';
  $('history-more').classList.toggle('hidden', !historyCursor);
}

start();
