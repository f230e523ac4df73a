// The center's page: everything it shows comes from the HTTP API of the same
// origin. File names and URLs are the clients' bytes, so they only ever become
// text nodes or checked attributes, never markup.
'use strict';

(function () {
  const POLL_MS = 3000;
  const PAGE_SIZE = 50;
  const HEX_HASH = /^(?:[0-9a-fA-F]{32}|[0-9a-fA-F]{40})$/;
  const FID = /^[0-9a-f]{40}$/;
  const LINK_SCHEMES = ['http:', 'https:', 'ftp:'];

  const view = document.getElementById('view');
  const form = document.getElementById('search');
  const input = document.getElementById('q');
  const stats = document.getElementById('stats');

  // Every route change bumps it; an answer for an older route is dropped, so
  // a slow reply never paints over what the address now says.
  let generation = 0;
  let recentTimer = 0;

  function el(tag, props, children) {
    const node = document.createElement(tag);
    if (props) {
      for (const key of Object.keys(props)) {
        if (key === 'class') node.className = props[key];
        else if (key.startsWith('data-') || key.startsWith('aria-') || key === 'role') node.setAttribute(key, props[key]);
        else node[key] = props[key];
      }
    }
    for (const child of children || []) {
      if (child === null || child === undefined) continue;
      node.appendChild(typeof child === 'string' || typeof child === 'number' ? document.createTextNode(String(child)) : child);
    }
    return node;
  }

  function show(...nodes) {
    view.replaceChildren(...nodes);
  }

  async function fetchOk(url) {
    const reply = await fetch(url, { cache: 'no-store', headers: { Accept: 'application/json' } });
    if (reply.ok) return reply;
    let reason = 'HTTP ' + reply.status;
    try {
      const body = await reply.json();
      if (body && typeof body.error === 'string') reason = body.error;
    } catch (e) { /* the status says enough */ }
    const err = new Error(reason);
    err.status = reply.status;
    throw err;
  }

  async function getJson(url) {
    return (await fetchOk(url)).json();
  }

  function bytesText(n) {
    const units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'];
    let value = Number(n);
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit++;
    }
    const exact = Number(n).toLocaleString('en-US') + ' bytes';
    return unit === 0 ? exact : value.toFixed(value < 10 ? 2 : 1) + ' ' + units[unit] + ' (' + exact + ')';
  }

  function timeNode(utc) {
    return el('time', { dateTime: utc || '' }, [utc ? utc.replace('T', ' ').replace('Z', ' UTC') : '']);
  }

  function failure(err) {
    return el('p', { class: 'error', role: 'alert' }, [err.message || String(err)]);
  }

  // A mirror is a link only when it is one a browser would fetch; anything
  // else a client sent (javascript:, data:, garbage) stays plain text.
  function mirrorNode(url) {
    let parsed = null;
    try { parsed = new URL(url); } catch (e) { parsed = null; }
    if (parsed && LINK_SCHEMES.includes(parsed.protocol)) {
      return el('a', { href: parsed.href, rel: 'noopener noreferrer nofollow', class: 'url' }, [url]);
    }
    return el('span', { class: 'url' }, [url]);
  }

  function resourceLink(item) {
    const name = item.file === '' ? '(no name)' : item.file;
    return el('a', { href: '#/resource/' + item.fid, class: 'name' }, [name]);
  }

  function listTable(items, caption) {
    const body = el('tbody', null, items.map((item) => el('tr', { 'data-fid': item.fid }, [
      el('td', null, [resourceLink(item)]),
      el('td', { class: 'num' }, [bytesText(item.size)]),
      el('td', null, [timeNode(item.first_seen)]),
      el('td', { class: 'num' }, [item.count]),
    ])));
    return el('table', { class: 'list' }, [
      el('caption', null, [caption]),
      el('thead', null, [el('tr', null, [
        el('th', { scope: 'col' }, ['Name']),
        el('th', { scope: 'col' }, ['Size']),
        el('th', { scope: 'col' }, ['First seen']),
        el('th', { scope: 'col' }, ['Reports']),
      ])]),
      body,
    ]);
  }

  // A list with a "More" button while the API hands out a next cursor.
  function pagedList(title, urlFor, emptyText) {
    const mine = generation;
    const section = el('section', { 'aria-label': title }, [el('h2', null, [title])]);
    const more = el('button', { type: 'button', class: 'more', hidden: true }, ['More']);
    const tableBox = el('div', { class: 'scroll' });
    section.append(tableBox, more);
    let items = [];
    let after = '';
    async function load() {
      more.disabled = true;
      try {
        const page = await getJson(urlFor(after));
        if (mine !== generation) return;
        items = items.concat(page.resources);
        after = page.next || '';
        tableBox.replaceChildren(items.length === 0 ? el('p', { class: 'empty' }, [emptyText])
          : listTable(items, items.length + (after ? '+' : '') + ' found'));
        more.hidden = !after;
      } catch (err) {
        if (mine === generation) tableBox.replaceChildren(failure(err));
      } finally {
        more.disabled = false;
      }
    }
    more.addEventListener('click', load);
    load();
    return section;
  }

  function showHome() {
    input.value = '';
    document.title = 'Resource center';
    const mine = generation;
    const box = el('div', { class: 'scroll', 'aria-live': 'polite' }, [el('p', { class: 'empty' }, ['Loading…'])]);
    show(el('section', { 'aria-label': 'Recent resources' }, [el('h2', null, ['Recent resources']), box]));
    async function refresh() {
      try {
        const page = await getJson('/v1/resources?limit=' + PAGE_SIZE);
        if (mine !== generation) return;
        box.replaceChildren(page.resources.length === 0 ? el('p', { class: 'empty' }, ['Nothing reported yet.'])
          : listTable(page.resources, 'The ' + page.resources.length + ' first seen last'));
      } catch (err) {
        if (mine === generation) box.replaceChildren(failure(err));
      }
      if (mine === generation) recentTimer = setTimeout(refresh, POLL_MS);
    }
    refresh();
  }

  async function showSearch(text) {
    input.value = text;
    document.title = 'Search: ' + text;
    const mine = generation;
    if (HEX_HASH.test(text)) {
      show(el('p', { class: 'empty' }, ['Looking up ' + text + '…']));
      try {
        const page = await getJson('/v1/hash/' + text.toLowerCase());
        if (mine !== generation) return;
        if (page.resources.length === 1) {
          location.replace('#/resource/' + page.resources[0].fid);
          return;
        }
        show(el('section', { 'aria-label': 'Hash look-up' }, [
          el('h2', null, ['Resources with the hash ' + text.toLowerCase()]),
          page.resources.length === 0 ? el('p', { class: 'empty' }, ['No resource has this FID, SID, SHA-1 or MD4.'])
            : el('div', { class: 'scroll' }, [listTable(page.resources, page.resources.length + ' found')]),
        ]));
      } catch (err) {
        if (mine === generation) show(failure(err));
      }
      return;
    }
    if ([...text].length < 3) {
      show(el('p', { class: 'error', role: 'alert' }, ['A name search needs at least 3 characters.']));
      return;
    }
    show(pagedList('Names containing “' + text + '”', (after) => '/v1/search?q=' + encodeURIComponent(text) +
      '&limit=' + PAGE_SIZE + (after ? '&after=' + encodeURIComponent(after) : ''),
      'No reported file name contains this text.'));
  }

  // The piece table's layout: a 35-byte little-endian header (piece count at
  // 9, piece size in KiB at 13, last piece's bytes at 15), then 16 bytes of
  // MD5 per piece and the file's SHA-1.
  function parseTable(buffer) {
    const bytes = new Uint8Array(buffer);
    if (bytes.length < 55 || bytes[0] !== 0x54 || bytes[1] !== 0x50 || bytes[2] !== 0x54) return null;
    const data = new DataView(buffer);
    const count = data.getUint32(9, true);
    if (bytes.length !== 55 + 16 * count) return null;
    return { count, pieceSize: data.getUint16(13, true) * 1024, lastSize: data.getUint32(15, true), bytes };
  }

  function hex(bytes, from, length) {
    let out = '';
    for (let i = from; i < from + length; i++) out += bytes[i].toString(16).padStart(2, '0');
    return out;
  }

  function pieceStrip(table) {
    const canvas = el('canvas', { class: 'strip', tabIndex: 0, role: 'slider',
      'aria-label': 'Piece table, ' + table.count + ' pieces; arrow keys choose a piece',
      'aria-valuemin': '0', 'aria-valuemax': String(Math.max(0, table.count - 1)) });
    const readout = el('p', { class: 'piece', 'aria-live': 'polite' });
    let chosen = 0;
    function colour(i) {
      const at = 35 + 16 * i;
      return 'hsl(' + Math.round(table.bytes[at] * 360 / 256) + ' 60% ' + (35 + Math.round(table.bytes[at + 1] * 30 / 256)) + '%)';
    }
    function draw() {
      const ratio = window.devicePixelRatio || 1;
      const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
      const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
      canvas.width = width;
      canvas.height = height;
      const g = canvas.getContext('2d');
      g.clearRect(0, 0, width, height);
      if (table.count === 0) return;
      const step = width / table.count;
      for (let i = 0; i < table.count; i++) {
        g.fillStyle = colour(i);
        g.fillRect(Math.floor(i * step), 0, Math.max(1, Math.ceil(step - (step > 3 ? 1 : 0))), height);
      }
      g.fillStyle = '#000';
      g.fillRect(Math.floor(chosen * step), 0, Math.max(2, Math.ceil(step)), Math.round(height / 4));
    }
    function choose(i) {
      if (table.count === 0) {
        readout.textContent = 'The file is empty: no pieces.';
        return;
      }
      chosen = Math.min(table.count - 1, Math.max(0, i));
      const offset = chosen * table.pieceSize;
      const length = chosen === table.count - 1 ? table.lastSize : table.pieceSize;
      canvas.setAttribute('aria-valuenow', String(chosen));
      readout.textContent = 'Piece ' + (chosen + 1) + ' of ' + table.count + ': bytes ' + offset.toLocaleString('en-US') +
        ' to ' + (offset + length - 1).toLocaleString('en-US') + ', MD5 ' + hex(table.bytes, 35 + 16 * chosen, 16);
      draw();
    }
    canvas.addEventListener('keydown', (e) => {
      const jump = Math.max(1, Math.round(table.count / 20));
      const moves = { ArrowLeft: -1, ArrowRight: 1, ArrowDown: 1, ArrowUp: -1, PageUp: -jump, PageDown: jump };
      if (e.key in moves) choose(chosen + moves[e.key]);
      else if (e.key === 'Home') choose(0);
      else if (e.key === 'End') choose(table.count - 1);
      else return;
      e.preventDefault();
    });
    canvas.addEventListener('click', (e) => {
      const box = canvas.getBoundingClientRect();
      choose(Math.floor((e.clientX - box.left) / box.width * table.count));
    });
    window.addEventListener('resize', draw);
    requestAnimationFrame(() => choose(0));
    return [canvas, readout];
  }

  function field(list, name, value) {
    list.append(el('dt', null, [name]), el('dd', null, [value]));
  }

  async function showResource(fid) {
    const mine = generation;
    document.title = 'Resource ' + fid;
    show(el('p', { class: 'empty' }, ['Loading ' + fid + '…']));
    let record;
    try {
      record = await getJson('/v1/resources/' + fid);
    } catch (err) {
      if (mine === generation) show(err.status === 404 ? el('p', { class: 'error', role: 'alert' }, ['No resource has the FID ' + fid + '.']) : failure(err));
      return;
    }
    if (mine !== generation) return;
    const first = record.locations.length > 0 ? record.locations[0].file : '';
    document.title = (first || fid) + ' · Resource center';

    const ids = el('dl', { class: 'fields' });
    field(ids, 'FID', el('code', null, [record.fid]));
    field(ids, 'SID', el('code', null, [record.sid]));
    field(ids, 'SHA-1', el('code', null, [record.sha1]));
    field(ids, 'MD4', el('code', null, [record.md4]));
    field(ids, 'Size', bytesText(record.size));
    field(ids, 'Piece size', bytesText(record.piece_size));
    field(ids, 'Pieces', el('span', { class: 'pieces' }, [String(record.pieces)]));
    field(ids, 'First seen', timeNode(record.first_seen));
    field(ids, 'Last seen', timeNode(record.last_seen));
    field(ids, 'Reports', String(record.count));

    // What the center's last check of the mirror found, and when.
    const healthNode = (health) => {
      const state = health ? health.state : 'unchecked';
      const words = { ok: 'ok', wrong_content: 'wrong content', missing: 'file missing', unreachable: 'unreachable',
        not_allowed: 'not checked (private network)', unchecked: 'not checked yet' }[state] || state;
      const parts = [el('span', { class: 'state' }, [words])];
      if (health && health.checked_at) parts.push(' · last check ', timeNode(health.checked_at));
      return el('span', { class: 'health state-' + state.replace(/[^a-z_]/g, '') }, parts);
    };
    const mirrorItem = (loc) => el('li', null, [
      mirrorNode(loc.url),
      el('span', { class: 'file' }, [loc.file]),
      timeNode(loc.first_seen),
      healthNode(loc.health),
    ]);
    const mirrors = el('ol', { class: 'mirrors' }, record.locations.map(mirrorItem));
    const mirrorsTitle = el('h3', null, []);
    let shownMirrors = record.locations.length;
    const moreMirrors = el('button', { type: 'button', class: 'more', hidden: !record.next }, ['More mirrors']);
    let mirrorsAfter = record.next;
    const titleMirrors = () => { mirrorsTitle.textContent = 'Mirrors (' + shownMirrors + (mirrorsAfter ? '+' : '') + ')'; };
    titleMirrors();
    // A record's locations come a page at a time; the next page goes on from
    // the cursor the last one gave.
    moreMirrors.addEventListener('click', async () => {
      moreMirrors.disabled = true;
      try {
        const page = await getJson('/v1/resources/' + fid + '?after=' + encodeURIComponent(mirrorsAfter));
        if (mine !== generation) return;
        mirrors.append(...page.locations.map(mirrorItem));
        shownMirrors += page.locations.length;
        mirrorsAfter = page.next;
        moreMirrors.hidden = !mirrorsAfter;
        titleMirrors();
      } catch (err) {
        if (mine === generation) moreMirrors.replaceWith(failure(err));
      } finally {
        moreMirrors.disabled = false;
      }
    });

    const tableBox = el('div', { class: 'table' }, [el('p', { class: 'empty' }, ['Reading the piece table…'])]);
    const tptUrl = '/v1/resources/' + fid + '/tpt';
    show(el('article', { 'aria-label': 'Resource' }, [
      el('h2', { class: 'name' }, [first === '' ? '(no name)' : first]),
      ids,
      el('p', { class: 'doors' }, [
        el('a', { href: '/v1/resources/' + fid + '/download', class: 'get' }, ['Download']),
        ' from a mirror found good · ',
        el('a', { href: '/v1/resources/' + fid + '/metalink', class: 'metalink' }, ['Metalink']),
        ' for a download manager',
      ]),
      mirrorsTitle,
      mirrors,
      moreMirrors,
      el('h3', null, ['Pieces']),
      tableBox,
      el('p', null, [el('a', { href: tptUrl, download: fid + '.tpt', class: 'download' }, ['Download the piece table'])]),
    ]));
    view.focus();
    try {
      const table = parseTable(await (await fetchOk(tptUrl)).arrayBuffer());
      if (mine !== generation) return;
      tableBox.replaceChildren(...(table === null ? [failure(new Error('the stored piece table cannot be read'))] : pieceStrip(table)));
    } catch (err) {
      if (mine === generation) tableBox.replaceChildren(failure(err));
    }
  }

  function route() {
    generation++;
    clearTimeout(recentTimer);
    const hash = location.hash.replace(/^#\/?/, '');
    const slash = hash.indexOf('/');
    const kind = slash < 0 ? hash : hash.slice(0, slash);
    let rest = slash < 0 ? '' : hash.slice(slash + 1);
    try { rest = decodeURIComponent(rest); } catch (e) { /* keep it as typed */ }
    if (kind === 'resource' && FID.test(rest.toLowerCase())) showResource(rest.toLowerCase());
    else if (kind === 'search' && rest !== '') showSearch(rest);
    else showHome();
  }

  async function pollStats() {
    try {
      const counts = await getJson('/v1/stats');
      const shown = [['resources', 'Resources'], ['locations', 'Mirrors'], ['reports', 'Reports'],
        ['accepted', 'Accepted since start'], ['rejected', 'Rejected since start']];
      stats.replaceChildren(...shown.map(([key, label]) => el('div', null, [el('dt', null, [label]),
        el('dd', { 'data-key': key }, [String(counts[key])])])));
    } catch (err) {
      stats.replaceChildren(el('dt', null, ['Counts']), el('dd', { class: 'error' }, [err.message]));
    }
    setTimeout(pollStats, POLL_MS);
  }

  form.addEventListener('submit', (e) => {
    e.preventDefault();
    const text = input.value.trim();
    location.hash = text === '' ? '#/' : '#/search/' + encodeURIComponent(text);
  });
  document.addEventListener('keydown', (e) => {
    const typing = e.target instanceof HTMLInputElement || e.target instanceof HTMLTextAreaElement;
    if (e.key === '/' && !typing) {
      e.preventDefault();
      input.focus();
      input.select();
    } else if (e.key === 'Escape') {
      location.hash = '#/';
      if (typing) input.blur();
    }
  });
  window.addEventListener('hashchange', route);
  route();
  pollStats();
})();
