// Draws Ferrowen's UI model (the "ferrowen-ui" snapshot pushed over the WebSocket) as a phone or
// a tablet, and sends back the same JSON events the probe sends. The model decides everything:
// the page keeps nothing but scroll positions and a row's pending delete confirmation.
'use strict';

const token = new URLSearchParams(location.search).get('t') || '';
const screenEl = document.getElementById('screen');
let socket = null;
let state = null;
let device = { idiom: 'phone' };
let webKey = '';
let seq = 0;
let confirmDelete = '';
const pendingScripts = new Map(); // web view id -> scripts waiting for its page
// The application's scripts that asked for no answer (its functions, listeners, scroll
// positions), per web view, for the load its page shows: a frame the redraw had to make anew
// (a new document of the same load) is given them again, as the page keeps them on the device.
// Its questions (scripts that wait for an answer) are kept the same way until answered: one
// posted to a document just being replaced is lost with it, so a new document of the same load
// is asked again (the model takes only the first answer to each).
const givenScripts = new Map(); // web view id -> { revision, scripts, questions: call -> script }
let scrollTimer = null;
let scrollWaiting = null; // the table whose scroll waits for scrollTimer
// The person's scrolls sent to the model and not yet answered: seq -> the view's id.
const scrollsSent = new Map();
// The text of each text view as the model holds it: the model sends what changed in it (a text
// view may hold a whole file), apart from the rest of what the page draws.
const viewTexts = new Map(); // text view id -> text

// --- Connection ---

function connect() {
  socket = new WebSocket(`ws://${location.host}/ws?t=${encodeURIComponent(token)}`);
  socket.onopen = () => {
    document.getElementById('offline').hidden = true;
    pending.clear();
  };
  socket.onmessage = (e) => receive(JSON.parse(e.data));
  socket.onclose = () => {
    document.getElementById('offline').hidden = false;
    setTimeout(connect, 1000);
  };
}

const pending = new Set(); // events sent and not answered yet
const quiet = new Set(); // events whose refusal a person need not be told (touches, scrolls)
function send(message, silent) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return;
  message.seq = ++seq;
  if (silent) quiet.add(message.seq);
  if (message.event) pending.add(message.seq);
  socket.send(JSON.stringify(message));
  return message.seq;
}

function receive(m) {
  if (m.type === 'hello') {
    device = m.device;
    webKey = m.webKey;
    document.body.dataset.idiom = device.idiom;
  } else if (m.type === 'state') {
    state = m;
    // A tablet being turned to the window's orientation is drawn once it has turned.
    if (!turnWithWindow()) render();
  } else if (m.type === 'result') {
    if (m.seq === turning) {
      turning = 0;
      if (!m.ok && state) render(); // it stays as it stands
    }
    document.body.dataset.lastResult = m.ok ? 'ok' : m.error;
    if (!m.ok && !quiet.has(m.seq)) toast(m.error);
    quiet.delete(m.seq);
    pending.delete(m.seq);
    scrollsSent.delete(m.seq);
    // A refused edit leaves the model as it was, so no new state follows: the page shows the
    // model's text again now. (An accepted one is followed by the state that holds it.)
    if (!m.ok && !pending.size && state) render();
  } else if (m.type === 'text') {
    const id = String(m.id);
    const before = viewTexts.get(id) ?? '';
    const el = screenEl.querySelector(`textarea[data-tid="${id}"]`);
    // The model's answer to the page's own edit is the text the page already holds: that one
    // string is kept, and a whole file is neither built again nor compared.
    const echo = el && el.echoes && el.echoes[0];
    if (echo && !m.gone && !m.full && echo.at === m.at && echo.remove === m.remove && echo.insert === m.insert &&
        echo.before === before) {
      el.echoes.shift();
      viewTexts.set(id, echo.after);
    } else {
      if (el) el.echoes = [];
      if (m.gone) viewTexts.delete(id);
      else viewTexts.set(id, m.full ? m.insert : before.slice(0, m.at) + m.insert + before.slice(m.at + m.remove));
    }
    if (el && !m.gone && !composing && !pending.size) {
      showText(el, viewTexts.get(id));
      // The caret goes where the program's edit left it, before anything else is typed.
      if (m.selected && el === document.activeElement) {
        el.dataset.sel = m.selected.join(',');
        showSelection(el, false);
      }
    }
  } else if (m.type === 'script') {
    deliverScript(String(m.id), m.script, m.call);
  } else if (m.type === 'media') {
    showMedia(m);
  }
}

function toast(text) {
  const t = document.getElementById('toast');
  t.textContent = text;
  t.hidden = false;
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => { t.hidden = true; }, 2500);
}

// --- Building elements (text always as text, never as markup) ---

function h(tag, attrs, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k === 'style') Object.assign(el.style, v);
    else if (k === 'ev') el.dataset.ev = JSON.stringify(v);
    else el.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children.flat()) {
    if (c === null || c === undefined || c === false) continue;
    el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return el;
}

const px = (n) => `${Math.round(n)}px`;
const rgba = (c) => c ? `rgba(${c[0] * 255},${c[1] * 255},${c[2] * 255},${c[3]})` : null;
// A picture the application drew again under the same name has a new version.
const imageUrl = (name) => `/img/${encodeURIComponent(name)}?t=${encodeURIComponent(token)}` +
  (state && state.images && state.images[name] ? `&v=${state.images[name]}` : '');
// Pixels per point of the drawings of views that draw themselves: enough for the page's scale on
// this display, so they stay sharp.
let pageScale = 1;
const drawScale = () => Math.min(4, Math.max(1, Math.ceil((window.devicePixelRatio || 1) * pageScale)));
const drawingUrl = (v) => `/draw/${v.id}/${v.drawn}-${Math.round(v.frame[2])}x${Math.round(v.frame[3])}` +
  `?s=${drawScale()}&t=${encodeURIComponent(token)}`;
const picture = (name, cls) => name ? h('img', { class: cls || 'icon', src: imageUrl(name), alt: '' }) : null;

const systemGlyphs = { Refresh: '\u21bb', Pause: '\u275a\u275a', Play: '\u25b6', Compose: '\u270e', Bookmarks: '\u2630', Stop: '\u2715' };

// --- Screens ---

function controller(c) {
  if (!c) return null;
  const box = h('div', { class: `ctl ctl-${c.type}`, 'data-id': c.id });
  if (c.type === 'navigation') {
    const bar = c.navigationBar;
    if (!bar.hidden) box.append(navigationBar(c, bar));
    box.append(h('div', { class: 'body' }, controller(c.top)));
  } else if (c.type === 'tabBarController') {
    box.append(h('div', { class: 'body' }, controller(c.selected)), tabBar(c));
  } else if (c.type === 'split') {
    // Each pane where the split put it (its width and left edge), over the split's height: with
    // the master hidden the detail pane takes the room the split gave it (the whole width). A pane
    // moved up from where the split keeps its panes (the browser's full screen) takes its own top
    // and height, its bars then lying outside the screen, and the pane it covers whole is not
    // shown.
    const top = c.masterFrame ? c.masterFrame[1] : 0;
    const pane = (cls, frame, child, hidden) => h('div', {
      class: cls, hidden, style: frame ? { left: px(frame[0]), width: px(frame[2]),
        ...(frame[1] !== top ? { top: px(frame[1] - top), height: px(frame[3]), bottom: 'auto' } : {}) } : null,
    }, controller(child));
    const [m, d] = [c.masterFrame, c.detailFrame];
    const covered = m && d && d[1] < top && d[0] <= m[0] && d[0] + d[2] >= m[0] + m[2] && d[1] + d[3] >= m[1] + m[3];
    if (!c.masterHidden) box.append(pane('master', m, c.master, covered || null));
    box.append(pane('detail', c.detailFrame, c.detail));
  } else if (c.view) {
    box.append(view(c.view, 'fill'));
  }
  return box;
}

function navigationBar(c, bar) {
  let left = null;
  if (bar.left) left = barItem(bar.left);
  else if (bar.back) left = h('button', { class: 'back', ev: { event: 'back', id: c.id } }, bar.back.title);
  const title = bar.titleView ? view(bar.titleView, 'bar') : h('div', { class: 'title' }, bar.title);
  return h('div', { class: 'navbar' }, h('div', { class: 'side left' }, left),
    h('div', { class: 'center' }, title), h('div', { class: 'side right' }, bar.right ? barItem(bar.right) : null));
}

function barItem(item) {
  if (item.customView) return view(item.customView, 'bar');
  if (item.system === 'FlexibleSpace') return h('span', { class: 'flex' });
  if (item.system === 'FixedSpace') return h('span', { style: { width: px(item.width) } });
  const name = item.title || item.system;
  const glyph = !item.title && systemGlyphs[item.system];
  const content = item.image && !item.title ? picture(item.image) : (glyph || name);
  // A plain item that shows a picture (or a system glyph) is that picture alone in a toolbar;
  // words keep their bezel.
  const bare = item.style === 'plain' && !item.title && (item.image || glyph);
  return h('button', {
    class: `item ${item.style}${bare ? ' bare' : ''}`, 'data-id': item.id, 'aria-label': item.label || name,
    disabled: !item.enabled, ev: item.enabled && { event: 'tap', id: item.id },
  }, content);
}

function tabBar(c) {
  return h('div', { class: 'tabbar', 'data-id': c.tabBar.id }, c.tabBar.items.map((item, i) =>
    h('button', {
      class: `tab${i === c.selectedIndex ? ' selected' : ''}`, 'data-id': item.id, disabled: !item.enabled,
      ev: { event: 'tapTab', id: c.id, index: i }, 'aria-label': item.title,
    }, picture(item.image, 'tabicon') || h('span', { class: 'tabicon blank' }),
    h('span', { class: 'tabtitle', style: { fontSize: '10px' }, 'data-min-font': 8 }, item.title),
    item.badge !== null ? h('span', { class: 'badge' }, item.badge) : null)));
}

// --- Views ---

// `place`: 'fill' (a screen's root view), 'flow' (in the flow of its container), 'bar' (in the
// flow of a bar, with the size of its frame), else by the view's frame.
function view(v, place) {
  if (!v) return null;
  if (v.controller) return h('div', { class: 'fill' }, controller(v.controller));
  if (v.hidden) return null;
  const [x, y, w, hgt] = v.frame || [0, 0, 0, 0];
  const el = build(v);
  el.dataset.id = v.id;
  el.classList.add('v', `v-${v.type}`);
  // Text inputs and sliders carry their label on the control inside.
  if (v.label && !['textField', 'textView', 'searchBar', 'slider'].includes(v.type)) el.setAttribute('aria-label', v.label);
  const fills = place === 'fill' || (!w && !hgt && ['table', 'web', 'textView', 'scroll'].includes(v.type));
  if (fills) el.classList.add('fill');
  else if (place === 'bar') {
    el.classList.add('flow', 'inbar');
    if (w) el.style.width = px(w);
    if (hgt) el.style.height = px(Math.min(hgt, 44));
  } else if (place !== 'flow' && (w || hgt)) {
    Object.assign(el.style, { left: px(x), top: px(y), width: px(w), height: px(hgt) });
    // A scrolling view made as big as the whole window ends where its screen's area ends, as the
    // phone's resizing of the screen's view makes it, so its last rows can be scrolled to.
    if (['table', 'scroll', 'textView', 'web'].includes(v.type))
      Object.assign(el.style, { maxHeight: `calc(100% - ${px(y)})`, maxWidth: `calc(100% - ${px(x)})` });
    // A text view keeps the height it was last fitted to while its frame and its keyboard stay
    // as they were (see fitTextViews), so a redraw lays nothing out again.
    if (v.type === 'textView') {
      el.dataset.frame = v.frame.join(',');
      const fit = textFits.get(String(v.id));
      if (fit && fit.key === textFitKey(v)) el.style.height = px(fit.height);
    }
  }
  else el.classList.add('flow');
  if (v.alpha !== undefined && v.alpha < 1) el.style.opacity = v.alpha;
  // An alpha the program changed inside an animation fades to it over the animation's time.
  if (v.alphaDuration > 0) el.style.transition = `opacity ${v.alphaDuration}s ease-in-out`;
  if (v.background && v.type !== 'cell') el.style.background = rgba(v.background);
  // What a view that draws itself draws, under its subviews; its text stays its label.
  if (v.drawn !== undefined && w > 0 && hgt > 0) {
    el.prepend(h('img', { class: 'drawn', src: drawingUrl(v), alt: '', draggable: 'false' }));
    el.setAttribute('role', 'img');
    if (v.label) el.setAttribute('aria-label', v.label);
  }
  const holder = el.querySelector(':scope > .subviews') || el;
  for (const s of v.subviews || []) holder.append(view(s) || '');
  return el;
}

// A named face: Courier (the log, fixed-width text) as the browser's fixed-width face, others by
// name before the page's own.
// The key a touch keyboard shows for Return, and the keyboard it brings, as the model asks.
const returnKeys = { 1: 'go', 2: 'search', 3: 'go', 4: 'next', 5: 'go', 6: 'search', 7: 'send', 8: 'done' };
const inputModes = { 2: 'decimal', 3: 'url', 4: 'numeric', 7: 'email' };
const autocapitalizes = { 0: 'none', 1: 'words', 2: 'sentences', 3: 'characters' };
const autocorrects = { 1: 'off', 2: 'on' };
const fontFamily = (name) => /courier|mono/i.test(name) ? 'monospace' : `"${name.replace(/["\\]/g, '')}", sans-serif`;

function font(el, f) {
  if (!f) return;
  el.style.fontSize = px(f.size);
  if (f.bold) el.style.fontWeight = 'bold';
  if (f.italic) el.style.fontStyle = 'italic';
  if (f.name) el.style.fontFamily = fontFamily(f.name);
}

function build(v) {
  switch (v.type) {
    case 'label': {
      const el = h('div', { style: { color: rgba(v.textColor), textAlign: v.alignment } }, v.text);
      font(el, v.font);
      if (v.shadowColor && v.shadowColor[3] > 0 && v.shadowOffset) {
        const [ox, oy] = v.shadowOffset, r = v.shadowRadius || 0, colour = rgba(v.shadowColor);
        const copy = (x, y, blur) => `${px(ox + x)} ${px(oy + y)} ${px(blur)} ${colour}`;
        // A spread shadow is a ring of sharp copies round each letter under a blurred one: the
        // browser's single blurred copy is far fainter than the device's layer shadow and sets no
        // letter apart from what lies under it.
        const d = Math.max(1, Math.round(r / 2));
        el.style.textShadow = r > 0
          ? [[-d, -d], [0, -d], [d, -d], [-d, 0], [d, 0], [-d, d], [0, d], [d, d]].map(([x, y]) => copy(x, y, 0)).concat(copy(0, 0, r)).join(',')
          : copy(0, 0, 0);
      }
      if (v.lines !== 1) el.classList.add('multi');
      // A one-line label that may shrink its text to fit (down to its minimum size).
      else if (v.font && v.minimumFontSize && v.minimumFontSize < v.font.size) el.dataset.minFont = v.minimumFontSize;
      return el;
    }
    case 'image': return h('div', {}, picture(v.image, 'fit'));
    case 'button': {
      const kinds = { detailDisclosure: '\u203a', infoLight: 'i', infoDark: 'i', contactAdd: '+' };
      const el = h('button', {
        class: `btn ${v.buttonType}`, disabled: !v.enabled, 'aria-label': v.label || v.title || null,
        ev: v.enabled && { event: 'tap', id: v.id },
        style: { color: rgba(v.titleColor), backgroundImage: v.backgroundImage ? `url("${imageUrl(v.backgroundImage)}")` : null },
      }, picture(v.image), v.title || kinds[v.buttonType] || '');
      return el;
    }
    case 'switch':
      return h('div', {
        role: 'switch', 'aria-checked': String(v.on), class: v.on ? 'on' : 'off', 'aria-disabled': String(!v.enabled),
        ev: v.enabled && { event: 'setSwitch', id: v.id, on: !v.on },
      }, h('span', { class: 'knob' }));
    case 'slider':
      return h('div', {}, h('input', {
        type: 'range', min: v.minimum, max: v.maximum, step: 'any', 'data-value': v.value,
        'data-slide': v.id, disabled: !v.enabled, 'aria-label': v.label || 'slider',
      }));
    case 'segmented':
      return h('div', { role: 'tablist' }, v.segments.map((s, i) => h('button', {
        class: i === v.selectedIndex ? 'seg selected' : 'seg', disabled: !s.enabled || !v.enabled,
        ev: { event: 'selectSegment', id: v.id, index: i }, role: 'tab', 'aria-selected': String(i === v.selectedIndex),
      }, picture(s.image), s.title)));
    case 'progress':
      return h('div', { role: 'progressbar', 'aria-valuenow': Math.round(v.progress * 100), class: v.style },
        h('div', { class: 'done', style: { width: `${v.progress * 100}%` } }));
    case 'activity':
      return h('div', { class: `${v.style}${v.animating ? ' spinning' : ''}`, role: 'progressbar' });
    case 'textField': {
      const input = h('input', {
        type: 'text', placeholder: v.placeholder, 'data-value': v.text, 'data-tid': v.id, 'data-kind': 'field',
        // (A value of its own: the checks below take an empty attribute for none.)
        'data-secure': v.secure ? '1' : null, 'data-next': v.returnKeyType === 4 || null,
        enterkeyhint: returnKeys[v.returnKeyType] || null, inputmode: inputModes[v.keyboardType] || null,
        disabled: !v.enabled, ev: { event: 'tap', id: v.id }, autocomplete: 'off', spellcheck: 'false',
        // What a phone's keyboard does to the typed text, as the model asks (a secure field's
        // letters are never changed).
        autocapitalize: v.secure ? 'none' : autocapitalizes[v.autocapitalization] || null,
        autocorrect: v.secure ? 'off' : autocorrects[v.autocorrection] || null,
        'aria-label': v.label || v.placeholder,
      });
      font(input, v.font);
      // The views the field shows at its ends (an activity indicator, a Reload or Stop button),
      // each at the size the model gave it, inside the field's border. Their places are always
      // there, so the input keeps its place (and the focus) when one comes or goes.
      const side = (s, cls) => h('span', { class: cls }, view(s, 'bar'));
      return h('div', { class: `border${v.border}` }, side(v.leftView, 'leftview'), input,
        // Out of the tab order: Tab goes from field to field.
        v.clearButton ? h('button', { class: 'clear', tabindex: '-1', 'aria-label': 'Clear text', ev: { event: 'clear', id: v.id } }, '\u00d7') : null,
        side(v.rightView, 'rightview'), h('div', { class: 'subviews' }));
    }
    case 'textView': {
      const area = h('textarea', {
        'data-tid': v.id, 'data-kind': 'textView', readonly: !v.editable,
        ev: v.editable && { event: 'tap', id: v.id }, spellcheck: 'false', 'aria-label': v.label || 'text',
        'data-sel': v.selectedRange ? v.selectedRange.join(',') : null,
        // What the program set: the count of selections it set, and the range it asked to be
        // scrolled into view with the count of times it asked.
        'data-selset': v.selectionsSet, 'data-scroll': v.scrollTo ? v.scrollTo.join(',') : null,
      });
      font(area, v.font);
      return h('div', {}, area, h('div', { class: 'selmarks', 'aria-hidden': 'true' }), h('div', { class: 'subviews' }));
    }
    case 'searchBar':
      return h('div', {}, h('input', {
        type: 'search', placeholder: v.placeholder || 'Search', 'data-value': v.text, 'data-tid': v.id,
        'data-kind': 'search', ev: { event: 'tap', id: v.id }, autocomplete: 'off', 'aria-label': v.label || v.placeholder || 'Search',
      }), v.showsCancel ? h('button', { class: 'cancel', ev: { event: 'searchCancel', id: v.id } }, 'Cancel') : null);
    case 'table': return table(v);
    case 'toolbar': return h('div', {}, (v.items || []).map(barItem));
    case 'web': return webFrame(v);
    case 'scroll':
      // A view that zooms carries its scale and bounds; the offset is the model's, taken when it
      // changes (a zoom about a point moves it).
      return h('div', {
        class: v.indicators === false ? 'noindicators' : null, 'data-offset': v.contentOffset.join(','), 'data-zoom': v.zoomable ? v.zoomScale : null,
        'data-zoom-min': v.zoomable ? v.minimumZoomScale : null, 'data-zoom-max': v.zoomable ? v.maximumZoomScale : null,
      }, h('div', { class: 'subviews', style: { width: px(v.contentSize[0]), height: px(v.contentSize[1]) } }));
    default: return h('div', {});
  }
}

function table(t) {
  const grouped = t.style === 'grouped';
  // The content is at least tall enough for the offset the model set (a search bar tucked under
  // the navigation bar stays tucked even when the rows are few), as the phone allows.
  const inner = h('div', { class: 'tcontent', style: {
    height: px(t.contentSize[1]), minHeight: `calc(100% + ${px(Math.max(0, t.contentOffset[1]))})` } });
  const el = h('div', { class: grouped ? 'grouped' : 'plain', 'data-offset': t.contentOffset[1] }, inner);
  if (t.tableHeaderView) inner.append(view(t.tableHeaderView, 'flow') || '');
  const bySection = new Map();
  for (const r of t.rows) {
    if (!bySection.has(r.section)) bySection.set(r.section, []);
    bySection.get(r.section).push(r);
  }
  for (const [s, rows] of bySection) {
    const info = t.sections[s] || {};
    const count = info.rows;
    for (const r of rows) inner.append(cell(t, r, grouped, count));
    const top = rows[0].cell.frame[1];
    if (rows[0].row === 0 && info.header && !info.headerView)
      inner.append(h('div', { class: 'sheader', style: { top: px(top) } }, info.header || ''));
    const last = rows[rows.length - 1];
    if (last.row === count - 1 && info.footer && !info.footerView)
      inner.append(h('div', { class: 'sfooter', style: { top: px(last.cell.frame[1] + last.cell.frame[3]) } }, info.footer));
    if (!info.header) el.classList.add('noheaders');
  }
  // A section's own header and footer views stand where the model put them, their subviews (a
  // title, a Help button) by their frames within.
  t.sections.forEach((info, s) => {
    for (const [v, frame] of [[info.headerView, info.headerFrame], [info.footerView, info.footerFrame]]) {
      if (!v || !frame || v.hidden) continue;
      const drawn = view({ ...v, frame: [0, 0, frame[2], frame[3]] });
      inner.append(h('div', { class: 'sview', 'data-section': s, style: { top: px(frame[1]), height: px(frame[3]) } }, drawn));
    }
  });
  return el;
}

// A row's text or detail text as the model sets it: its font, colour (a selected row's own colour
// stands over it), alignment and lines. A label of more lines keeps its line breaks and wraps.
function cellText(cls, text, look, selected) {
  const el = h('span', { class: cls }, text);
  if (!look) return el;
  const f = look.font;
  Object.assign(el.style, {
    fontSize: px(f.size), fontWeight: f.bold ? 'bold' : 'normal', fontStyle: f.italic ? 'italic' : 'normal',
    textAlign: look.alignment, color: selected ? null : rgba(look.textColor),
  });
  if (f.name) el.style.fontFamily = fontFamily(f.name);
  if (look.lines !== 1) {
    el.classList.add('lines');
    if (look.lines > 1) el.style.webkitLineClamp = String(look.lines);
  }
  return el;
}

function cell(t, r, grouped, count) {
  const c = r.cell;
  const key = `${t.id}:${r.section}:${r.row}`;
  const [, y, , height] = c.frame;
  const selected = c.selected && c.selectionStyle !== 'none';
  const confirming = confirmDelete === key;
  const el = h('div', {
    class: `cell ${c.style}${selected ? ` selected ${c.selectionStyle}` : ''}${r.row === 0 ? ' first' : ''}${r.row === count - 1 ? ' last' : ''}${confirming ? ' confirming' : ''}`,
    'data-id': c.id, 'data-row': `${r.section},${r.row}`, 'data-table': t.id, role: 'button',
    'aria-label': c.label || c.text, ev: { event: 'tapRow', id: t.id, section: r.section, row: r.row },
    style: { top: px(y), height: px(height) },
  });
  if (c.background) el.style.background = rgba(c.background);
  if (c.editing && c.editingStyle === 'delete')
    el.append(h('button', { class: 'delctl', 'aria-label': `Delete ${c.label || c.text}`, 'data-confirm': key }, '\u2212'));
  if (c.editing && c.editingStyle === 'insert') el.append(h('span', { class: 'insctl' }, '+'));
  el.append(picture(c.image, 'cellimage') || '');
  const text = cellText('text', c.text, c.textLook, selected);
  const detail = c.detail ? cellText('detail', c.detail, c.detailLook, selected) : null;
  if (c.style === 'subtitle') el.append(h('span', { class: 'texts' }, text, detail));
  else el.append(text, detail || '');
  // The content view holds the cell's own subviews; an empty one draws nothing.
  const custom = (c.subviews || []).filter((s) => s.type !== 'view' || s.background || (s.subviews || []).length)
    .map((s) => view(s)).filter(Boolean);
  if (custom.length) el.append(h('div', { class: 'contentview' }, custom));
  if (c.accessoryView) {
    // Where the model put the accessory: its right edge, measured from the row's (a grouped
    // row's background stands 10 points in from the model's row, and the row keeps 10 of padding).
    const [ax, , aw] = c.accessoryView.frame;
    const right = c.frame[2] - ax - aw - (grouped ? 10 : 0) - 10;
    el.append(h('span', { class: 'accessory', style: { marginRight: px(right) } }, view(c.accessoryView, 'bar')));
  }
  else if (c.accessory === 'disclosure') el.append(h('span', { class: 'accessory chevron' }, '\u203a'));
  else if (c.accessory === 'checkmark') el.append(h('span', { class: 'accessory check' }, '\u2713'));
  else if (c.accessory === 'detailButton')
    el.append(h('button', { class: 'accessory detailbtn', 'aria-label': `Details of ${c.text}`,
      ev: { event: 'tapAccessory', id: t.id, section: r.section, row: r.row } }, '\u203a'));
  if (c.reorder) el.append(h('span', { class: 'reorder', draggable: 'true', 'aria-label': `Move ${c.label || c.text}` }, '\u2261'));
  if (confirming)
    el.append(h('button', { class: 'delete', ev: { event: 'deleteRow', id: t.id, section: r.section, row: r.row } }, 'Delete'));
  return el;
}

function webFrame(v) {
  const rev = state.web[String(v.id)] ? state.web[String(v.id)].revision : 0;
  if (!rev) return h('div', {});
  return h('div', {}, h('iframe', {
    src: `/web/${v.id}/${rev}?k=${encodeURIComponent(webKey)}`, sandbox: 'allow-scripts allow-forms',
    'data-web': v.id, 'data-revision': rev, title: v.url || 'page',
  }));
}

// --- Layers above the screens ---

function modal(m) {
  const sheet = device.idiom === 'pad' && m.style !== 'fullScreen';
  const box = h('div', { class: `modal ${sheet ? m.style : 'full'}` }, controller(m.controller));
  return sheet ? h('div', { class: 'dim' }, box) : box;
}

function popover(p) {
  // The size the model gave the content, plus the popover's frame.
  const [w, hgt] = (p.shownSize || p.contentSize).map((n) => n + 16);
  // With pass-through views the area around the popover is a backdrop with holes over them
  // (cut when placed): a click there reaches the view beneath, a click elsewhere dismisses.
  const through = (p.passthrough || []).join(',');
  return h('div', {
    class: through ? 'dim clear through' : 'dim clear', ev: { event: 'dismissPopover', id: p.id },
    'data-passthrough': through || null,
  }, through ? h('div', { class: 'dim backdrop', ev: { event: 'dismissPopover', id: p.id } }) : null,
    h('div', {
      class: 'popover', 'data-anchor': p.anchor.element, 'data-id': p.id,
      'data-rect': p.anchor.kind === 'rect' ? p.anchor.rect.join(',') : null,
      style: { width: px(w), height: px(hgt) },
    }, controller(p.controller)));
}

function sheet(s) {
  // On a tablet a sheet stands by what it was shown from, as a popover does, and a tap beside any
  // sheet is its Cancel, as on the device. (On the phone it fills the bottom, its buttons in view.)
  const anchored = device.idiom === 'pad' && s.anchor.kind !== 'view' && s.anchor.kind !== 'tabBar';
  const beside = device.idiom === 'pad' && s.cancelIndex >= 0 && { event: 'answer', id: s.id, button: s.cancelIndex };
  return h('div', { class: 'dim', ev: beside }, h('div', {
    class: 'actionsheet', 'data-id': s.id, role: 'dialog', 'aria-label': s.title || 'Actions',
    'data-anchor': anchored ? s.anchor.element : null, 'data-rect': anchored && s.anchor.kind === 'rect' ? s.anchor.rect.join(',') : null,
  },
    s.title ? h('div', { class: 'sheettitle' }, s.title) : null,
    s.buttons.map((b, i) => h('button', {
      class: i === s.destructiveIndex ? 'destructive' : i === s.cancelIndex ? 'cancel' : '',
      ev: { event: 'answer', id: s.id, button: i },
    }, b))));
}

// A message whose keys' fingerprints ("aa:bb:cc:...") are set apart in fixed-width type, each
// breaking only after one of its colons: two fingerprints then break after the same byte and
// can be compared part by part. The text itself stays as it is.
function withFingerprints(text) {
  return String(text).split(/((?:[0-9a-f]{2}:){3,}[0-9a-f]{2})/i).filter(Boolean).map((part) =>
    (/^(?:[0-9a-f]{2}:){3,}[0-9a-f]{2}$/i.test(part)
      ? h('span', { class: 'fingerprint' }, part.split(/(?<=:)/).flatMap((p, i) => (i ? [h('wbr', {}), p] : [p])))
      : part));
}

function alert(a) {
  return h('div', { class: 'dim' }, h('div', { class: 'alert', 'data-id': a.id, role: 'alertdialog', 'aria-label': a.title },
    h('div', { class: 'alerttitle' }, a.title), a.message ? h('div', { class: 'message' }, withFingerprints(a.message)) : null,
    h('div', { class: a.buttons.length === 2 ? 'buttons pair' : 'buttons' }, a.buttons.map((b, i) => h('button', {
      class: i === a.cancelIndex ? 'cancel' : '', ev: { event: 'answer', id: a.id, button: i },
    }, b)))));
}

function statusBar() {
  const s = state.status;
  if (s.hidden) return null;
  const now = new Date();
  const time = `${now.getHours()}:${String(now.getMinutes()).padStart(2, '0')}`;
  return h('div', { class: `statusbar style${s.style}` },
    h('span', {}, 'Ferrowen', s.activity ? h('span', { class: 'netact spinning', 'aria-label': 'Network activity' }) : null),
    h('span', { class: 'time' }, time), h('span', {}, '100% \u25ae'));
}

// --- Drawing ---

function render() {
  const snap = state.snapshot;
  const [w, hgt] = snap.window.size;
  const landscape = snap.window.orientation === 3 || snap.window.orientation === 4;
  const width = landscape ? hgt : w;
  const height = landscape ? w : hgt;
  fitDevice(width, height);
  const layers = h('div', { class: 'layers' }, h('div', { class: 'root' }, controller(snap.root)));
  for (const m of snap.modals) layers.append(modal(m));
  for (const p of snap.popovers) layers.append(popover(p));
  for (const s of snap.sheets) layers.append(sheet(s));
  for (const a of snap.alerts) layers.append(alert(a));
  const next = h('div', { id: 'screen', class: `screen ${device.idiom}`, style: { width: px(width), height: px(height) } },
    statusBar(), layers);
  // The computer's keyboard is the keyboard: nothing stands in for it on the screen. A text
  // input's accessory view (a row of keys the screen adds) shows at the bottom of the screen while
  // the input has the focus, under any sheet or alert.
  if (snap.keyboard.visible && snap.keyboard.accessory) {
    // Drawn where it was last placed: a redraw that moves nothing lays nothing out again.
    const bar = h('div', { class: 'accessorybar', style: accessoryPlace }, view(snap.keyboard.accessory, 'bar'));
    layers.insertBefore(bar, layers.children[1 + snap.modals.length + snap.popovers.length] || null);
  }
  layers.style.top = state.status.hidden ? '0' : '20px';
  morph(screenEl, next);
  placeAccessory();
  runTransitions(snap);
  afterRender(snap);
}

// A transition of the window's layer (the fade of a turn into or out of landscape): what is drawn
// now comes in by it, once. Those made before the page first drew are history.
let transitionsSeen = -1;
function runTransitions(snap) {
  const all = Object.values(snap.transitions || {});
  const newest = Math.max(0, ...all.map((t) => t.serial));
  if (transitionsSeen < 0) transitionsSeen = newest;
  for (const t of all) {
    if (t.serial <= transitionsSeen || t.type !== 'fade') continue;
    const easing = t.timing === 'linear' ? 'linear' : 'ease-in-out';
    screenEl.querySelector('.layers')?.animate([{ opacity: 0 }, { opacity: 1 }], { duration: t.duration * 1000, easing });
  }
  transitionsSeen = Math.max(transitionsSeen, newest);
}

// With no keyboard drawn, the row of keys stands where the device's keyboard would begin: above
// the bars at the foot of the screen (the tab bar and a toolbar standing on it), never over them.
// On the tablet it belongs to the pane whose input has the focus (the editor's): it spans that
// pane alone and stands above that pane's bars, never over the other pane's list.
let accessoryPlace = null; // where the row of keys stands, as last placed
function placeAccessory() {
  const bar = screenEl.querySelector('.accessorybar');
  if (!bar) return;
  const area = bar.parentElement.getBoundingClientRect();
  const k = pageScale || 1;
  const focus = state.snapshot.keyboard.focus;
  const field = focus !== null && focus !== undefined ? screenEl.querySelector(`[data-tid="${focus}"]`) : null;
  const pane = field && field.closest('.ctl-split > .master, .ctl-split > .detail');
  const span = pane ? pane.getBoundingClientRect() : area;
  const bars = [...bar.parentElement.querySelectorAll('.tabbar, .v-toolbar')]
    .filter((b) => !bar.contains(b) && b.getClientRects().length)
    .map((b) => b.getBoundingClientRect())
    .filter((r) => r.height > 0 && r.width > 0 && r.right > span.left + 1 && r.left < span.right - 1);
  let edge = area.bottom;
  for (let moved = true; moved;) {
    moved = false;
    for (const r of bars)
      if (r.bottom >= edge - 4 && r.top < edge - 1) {
        edge = r.top;
        moved = true;
      }
  }
  accessoryPlace = {
    bottom: px((area.bottom - edge) / k),
    left: px(Math.max(0, span.left - area.left) / k),
    right: px(Math.max(0, area.right - span.right) / k),
  };
  for (const [side, value] of Object.entries(accessoryPlace))
    if (bar.style[side] !== value) bar.style[side] = value;
}

// How big the device is drawn: "fit" (all of it inside the window, as long as its text can be
// read) or "actual" (one CSS pixel per point: it follows the browser's zoom). Until the person
// chooses, the whole device is in the window (its tab bar too); Actual Size draws it bigger. A
// window too small for the whole device at a readable size scrolls to the rest. The browser draws
// text and shapes at the final scale, and drawn views are fetched for it, so it stays sharp.
// The smallest text the screens draw is 10 points (a tab's title, a row's date): drawn no smaller
// than 9 pixels, it can be read.
const readableScale = 9 / 10;
let sizeChoice = '';
try { sizeChoice = localStorage.getItem('ferrowen-size') || ''; } catch { /* no storage: not kept */ }
let sizeShown = 'fit';

function fitDevice(width, height) {
  const device = document.getElementById('device');
  const controls = document.getElementById('controls');
  const top = controls ? controls.offsetHeight : 0;
  const border = 14; // the device's frame
  const margin = 8;
  // The frame is drawn at the device's scale too, so it is scaled with the screen.
  const fit = Math.max(readableScale, Math.min((window.innerWidth - 2 * margin) / (width + 2 * border),
    (window.innerHeight - top - 2 * margin) / (height + 2 * border)));
  sizeShown = sizeChoice || 'fit';
  const scale = sizeShown === 'actual' ? 1 : fit;
  pageScale = scale;
  const outerWidth = (width + 2 * border) * scale;
  const outerHeight = (height + 2 * border) * scale;
  // Centred in the room below the controls; a device bigger than the window starts at the
  // window's edge and the page scrolls to the rest.
  const x = Math.max(margin, (window.innerWidth - outerWidth) / 2);
  const y = top + Math.max(margin, (window.innerHeight - top - outerHeight) / 2);
  Object.assign(device.style, { left: `${x}px`, top: `${y}px`, transform: `scale(${scale})` });
  const scrolls = x + outerWidth + margin > window.innerWidth || y + outerHeight + margin > window.innerHeight;
  document.documentElement.classList.toggle('scrolls', scrolls);
  document.body.style.minWidth = scrolls ? `${x + outerWidth + margin}px` : '';
  document.body.style.minHeight = scrolls ? `${y + outerHeight + margin}px` : '';
  document.body.dataset.scale = String(scale);
  const button = document.getElementById('size');
  if (button) button.textContent = sizeShown === 'actual' ? 'Fit Window' : 'Actual Size';
}

document.getElementById('size').addEventListener('click', () => {
  sizeChoice = sizeShown === 'actual' ? 'fit' : 'actual';
  try { localStorage.setItem('ferrowen-size', sizeChoice); } catch { /* not kept */ }
  if (state) render();
});
window.addEventListener('resize', () => { if (state && !turnWithWindow()) render(); });

// The tablet stands the way the window does (a laptop's wide window turns it on its side, where it
// is drawn larger), until the person turns it with Rotate. The phone stays upright: most of its
// screens do not turn. True while the device is being turned (the model has not answered yet).
let turnedByHand = false;
let turnedFor = 0; // the orientation last asked for the window's sake
let turning = 0; // the event that asked, until it is answered
function turnWithWindow() {
  if (turnedByHand || !state || device.idiom !== 'pad') return false;
  const wanted = window.innerWidth > window.innerHeight ? 3 : 1;
  const onItsSide = (o) => o === 3 || o === 4;
  // Turned when the device and the screen both lie as the window does.
  if (onItsSide(state.status.orientation) === (wanted === 3) &&
    onItsSide(state.snapshot.window.orientation) === (wanted === 3)) {
    turning = 0;
    return false;
  }
  if (wanted !== turnedFor) {
    turnedFor = wanted;
    turning = send({ event: 'rotate', orientation: wanted }, true) || 0;
  }
  return turning !== 0;
}

// Updates the page in place, so focus, carets, scroll positions and frames survive a redraw.
function morph(a, b) {
  if (a.nodeType !== b.nodeType || a.nodeName !== b.nodeName ||
      (a.nodeType === 1 && (a.dataset.id || '') !== (b.dataset.id || ''))) {
    a.replaceWith(b);
    return;
  }
  if (a.nodeType === 3) {
    if (a.nodeValue !== b.nodeValue) a.nodeValue = b.nodeValue;
    return;
  }
  for (const { name } of [...a.attributes]) if (!b.hasAttribute(name)) a.removeAttribute(name);
  for (const { name, value } of [...b.attributes]) {
    // Styles go through the CSS object model: the page's policy refuses inline style attributes.
    if (name === 'style') { if (a.style.cssText !== b.style.cssText) a.style.cssText = b.style.cssText; }
    else if (a.getAttribute(name) !== value) a.setAttribute(name, value);
  }
  const ac = [...a.childNodes];
  const bc = [...b.childNodes];
  bc.forEach((child, i) => (i < ac.length ? morph(ac[i], child) : a.append(child)));
  for (let i = bc.length; i < ac.length; i++) ac[i].remove();
}

function afterRender(snap) {
  fitTextViews(snap);
  for (const el of screenEl.querySelectorAll('[data-tid]')) {
    // An input method composing in the field owns its text until it is done, and a field being
    // typed into, or typed into and just left (Tab), shows the person's edits until the model
    // answered them all: a field the focus comes back to shows what the model will hold.
    if ((composing || pending.size) && (el === document.activeElement || carets.has(el.dataset.tid))) continue;
    const model = modelText(el);
    if (model === undefined || !showText(el, model)) continue;
    // After an edit the caret goes where the edit ended, as the model placed the text there.
    const at = carets.get(el.dataset.tid);
    if (at !== undefined && el === document.activeElement && !el.dataset.sel)
      el.setSelectionRange(Math.min(at, el.value.length), Math.min(at, el.value.length));
  }
  for (const el of screenEl.querySelectorAll('[data-slide]')) {
    if (el !== sliding && el.value !== el.dataset.value) el.value = el.dataset.value;
  }
  // The focus follows the model once it has heard everything the page sent: a state drawn
  // before a tap was answered must not take the focus from the input just tapped, nor from one
  // the mouse is pressing (it has the focus from the press; its tap goes with the click).
  if (pending.size || pressing) return placeScrollsAndPopovers();
  carets.clear();
  const focus = snap.keyboard.focus;
  const field = focus !== null ? screenEl.querySelector(`[data-tid="${focus}"]`) : null;
  const arriving = field && document.activeElement !== field;
  if (arriving) field.focus();
  if (field && field.dataset.sel) {
    showSelection(field, arriving);
  } else if (arriving && field.type !== 'range') {
    // A field that takes the focus from the model starts with the caret at the end; after that
    // the person's own selection (a click, Ctrl+A, Shift+arrows) stays as it is.
    field.setSelectionRange(field.value.length, field.value.length);
  }
  if (!field && document.activeElement && document.activeElement.dataset && document.activeElement.dataset.tid)
    document.activeElement.blur();
  for (const el of screenEl.querySelectorAll('textarea[data-kind="textView"]')) {
    showProgramMoves(el, el === field && arriving);
    markSelection(el);
  }
  placeScrollsAndPopovers();
}

// One-line labels that may shrink take the largest size (down to their minimum) at which the
// text fits their width, as the phone's labels that adjust their font size do.
function fitLabels() {
  for (const el of screenEl.querySelectorAll('[data-min-font]')) {
    const wanted = parseFloat(el.dataset.wantFont || el.style.fontSize);
    el.dataset.wantFont = String(wanted);
    const least = Number(el.dataset.minFont);
    let size = wanted;
    el.style.fontSize = px(size);
    while (size > least && el.scrollWidth > el.clientWidth + 0.5) {
      size = Math.max(least, size - 1);
      el.style.fontSize = `${size}px`;
    }
  }
}

// Whether the person's scrolling of a view is still on its way to the model: a position waiting
// to be sent, or sent and not answered yet. The model answers each scroll in turn, so a state
// drawn meanwhile holds its offset for an earlier position: moving the view there would undo
// what the person scrolled since, and move another row under the pointer just as it clicks.
// The model's offset is taken once the view's scrolls are answered.
function scrollOnItsWay(el) {
  if (el === scrollWaiting || el.scrollTimer) return true;
  for (const id of scrollsSent.values()) if (id === el.dataset.id) return true;
  return false;
}

function placeScrollsAndPopovers() {
  fitLabels();
  for (const t of screenEl.querySelectorAll('.v-table')) {
    const offset = Number(t.dataset.offset);
    // Kept on the element: a table drawn afresh (after a rotation, say) starts at the top and
    // takes the model's offset again, or it would show rows the model did not make.
    if (t.modelOffset === offset || (t.modelOffset !== undefined && scrollOnItsWay(t))) continue;
    t.scrollTop = offset;
    t.modelOffset = offset;
  }
  for (const el of screenEl.querySelectorAll('.v-scroll[data-offset]')) {
    if (el.modelOffset === el.dataset.offset || (el.modelOffset !== undefined && scrollOnItsWay(el))) continue;
    el.modelOffset = el.dataset.offset;
    const [x, y] = el.dataset.offset.split(',').map(Number);
    el.scrollLeft = x;
    el.scrollTop = y;
  }
  for (const p of screenEl.querySelectorAll('.popover, .actionsheet[data-anchor]')) placeBeside(p);
  for (const d of screenEl.querySelectorAll('.dim[data-passthrough]')) cutPassthrough(d);
}

// The backdrop of a popover with pass-through views covers the layer less those views, as they
// are drawn on the layers beneath: the layer is cut on a grid along the views' edges and every
// cell outside them stays (overlapping views leave one hole, not a patch where they cross).
function cutPassthrough(dim) {
  const backdrop = dim.querySelector(':scope > .backdrop');
  if (!backdrop) return;
  const box = dim.getBoundingClientRect();
  const W = dim.offsetWidth;
  const H = dim.offsetHeight;
  const scale = box.width / (W || 1) || 1;
  const clamp = (v, high) => Math.max(0, Math.min(v, high));
  const holes = [];
  for (const id of dim.dataset.passthrough.split(',')) {
    for (const el of screenEl.querySelectorAll(`[data-id="${id}"]`)) {
      if (dim.contains(el)) continue;
      const r = el.getBoundingClientRect();
      if (!r.width || !r.height) continue;
      holes.push([clamp((r.left - box.left) / scale, W), clamp((r.top - box.top) / scale, H),
        clamp((r.right - box.left) / scale, W), clamp((r.bottom - box.top) / scale, H)]);
      break;
    }
  }
  if (!holes.length) return void (backdrop.style.clipPath = '');
  const xs = [...new Set([0, W, ...holes.flatMap((r) => [r[0], r[2]])])].sort((a, b) => a - b);
  const ys = [...new Set([0, H, ...holes.flatMap((r) => [r[1], r[3]])])].sort((a, b) => a - b);
  let path = '';
  for (let i = 0; i + 1 < xs.length; i++) {
    for (let j = 0; j + 1 < ys.length; j++) {
      const [x0, x1, y0, y1] = [xs[i], xs[i + 1], ys[j], ys[j + 1]];
      const cx = (x0 + x1) / 2;
      const cy = (y0 + y1) / 2;
      if (holes.some(([l, t, r, b]) => cx > l && cx < r && cy > t && cy < b)) continue;
      path += `M${x0} ${y0}H${x1}V${y1}H${x0}Z`;
    }
  }
  // Nothing left around the popover: the views fill the layer.
  backdrop.style.clipPath = path ? `path('${path}')` : 'inset(50%)';
}

// A popover (or a tablet's sheet) stands by what it was shown from, below it or else above it,
// and always wholly on the screen: an anchor scrolled away or at the edge moves it no further
// than the edge. Points are the screen's own (the device is drawn scaled).
function placeBeside(p) {
  const layer = p.offsetParent;
  if (!layer) return;
  const box = layer.getBoundingClientRect();
  const scale = box.width / (layer.offsetWidth || 1) || 1;
  const W = layer.offsetWidth;
  const H = layer.offsetHeight;
  // Taller than the screen: it keeps to the screen and scrolls inside.
  p.style.maxHeight = px(H - 8);
  const w = p.offsetWidth;
  const hgt = p.offsetHeight;
  const anchor = p.dataset.anchor && screenEl.querySelector(`[data-id="${p.dataset.anchor}"]`);
  let r = null;
  if (anchor) {
    const a = anchor.getBoundingClientRect();
    r = { left: (a.left - box.left) / scale, top: (a.top - box.top) / scale };
    r.right = r.left + a.width / scale;
    r.bottom = r.top + a.height / scale;
    if (p.dataset.rect) {
      // A rectangle in the anchor's own points: a scrolled view's (a table's) are its content's.
      const [x, y, rw, rh] = p.dataset.rect.split(',').map(Number);
      r.left += x - anchor.scrollLeft;
      r.top += y - anchor.scrollTop;
      r.right = r.left + rw;
      r.bottom = r.top + rh;
    }
  }
  const clamp = (v, low, high) => Math.max(low, Math.min(v, high));
  let left = (W - w) / 2;
  let top = (H - hgt) / 2;
  if (r) {
    left = r.left;
    // Below what it was shown from, or above it when there is no room below (a toolbar's
    // button, a row at the bottom), else as near to it as the screen allows.
    top = r.bottom + 8;
    if (top + hgt > H - 4 && r.top - hgt - 8 >= 4) top = r.top - hgt - 8;
  }
  left = clamp(left, 4, Math.max(4, W - w - 4));
  top = clamp(top, 4, Math.max(4, H - hgt - 4));
  Object.assign(p.style, { position: 'absolute', left: px(left), top: px(top), margin: '0' });
}

// --- What a person does ---

document.addEventListener('click', (e) => {
  const confirm = e.target.closest('[data-confirm]');
  if (confirm) {
    confirmDelete = confirmDelete === confirm.dataset.confirm ? '' : confirm.dataset.confirm;
    e.stopPropagation();
    render();
    return;
  }
  const el = e.target.closest('[data-ev]');
  if (!el) return touch(e, 1);
  if (!screenEl.contains(el)) return;
  // A tap inside a popover is not a tap on the dimmed area around it.
  if (el.classList.contains('dim') && e.target !== el) return;
  const ev = JSON.parse(el.dataset.ev);
  if (ev.event === 'deleteRow') confirmDelete = '';
  if (!el.dataset.tid) e.preventDefault();
  pressing = null;
  // A tab that does not change (a disabled one, or one the application holds while it asks a
  // question) shows nothing more than that, as on the device.
  send(ev, ev.event === 'tapTab');
});

// The input the mouse went down on, until its click (or the mouse let go elsewhere).
let pressing = null;
document.addEventListener('mousedown', (e) => {
  pressing = e.button === 0 && e.target.closest ? e.target.closest('[data-tid]') : null;
}, true);
document.addEventListener('mouseup', () => setTimeout(() => { pressing = null; }, 0), true);

// The view that is no control under the mouse (a view in a popover is one: the dimmed area
// around the popover is no control of it).
function plainView(target) {
  const v = target && target.closest && target.closest('.v[data-id]');
  if (!v || !screenEl.contains(v)) return null;
  // A control under the mouse, or one the view lies in (a row), takes the mouse itself.
  const control = target.closest('[data-ev]:not(.dim), input, textarea, select, [draggable=true]');
  return control ? null : v;
}

// Touches on a view that is no control go to the view (and up its superviews), for the views
// that handle taps themselves.
function touch(e, taps) {
  const v = plainView(e.target);
  if (v) send({ event: 'touch', id: Number(v.dataset.id), taps }, true);
}
document.addEventListener('dblclick', (e) => touch(e, 2));

// The mouse pressed, moved and let go on such a view is a finger that goes down, moves and comes
// up, in the view's own points (the device is drawn scaled): the view it went down on follows
// it wherever it goes, as a crop rectangle's corner follows a finger. Moves go once a frame.
let finger = null; // { id, view, moved: [x, y] | null }
function fingerAt(e) {
  const r = finger.view.getBoundingClientRect();
  return [(e.clientX - r.left) / pageScale, (e.clientY - r.top) / pageScale];
}
function fingerSend(phase, [x, y]) {
  send({ event: 'touch', id: finger.id, phase, x, y }, true);
}
document.addEventListener('mousedown', (e) => {
  if (e.button !== 0 || finger) return;
  const v = plainView(e.target);
  if (!v) return;
  finger = { id: Number(v.dataset.id), view: v, moved: null };
  fingerSend('began', fingerAt(e));
});
document.addEventListener('mousemove', (e) => {
  if (!finger) return;
  if (!(e.buttons & 1)) return fingerUp(e, 'ended');
  if (!finger.moved) requestAnimationFrame(() => {
    if (finger && finger.moved) fingerSend('moved', finger.moved);
    if (finger) finger.moved = null;
  });
  finger.moved = fingerAt(e);
});
function fingerUp(e, phase) {
  if (!finger) return;
  const at = e && e.clientX !== undefined ? fingerAt(e) : finger.moved || [0, 0];
  if (finger.moved) fingerSend('moved', finger.moved);
  fingerSend(phase, at);
  finger = null;
}
document.addEventListener('mouseup', (e) => { if (e.button === 0) fingerUp(e, 'ended'); });
window.addEventListener('blur', () => fingerUp(null, 'cancelled'));

// The page out of the person's sight (another tab or window in front, the window minimised, the
// page closed) is the application no longer in front: the program keeps what was typed then.
// Focus moving into a page the application shows (a frame of this page) is no leaving.
function pageAway() { send({ renderer: 'pageAway' }); }
document.addEventListener('visibilitychange', () => { if (document.visibilityState === 'hidden') pageAway(); });
window.addEventListener('blur', () => setTimeout(() => { if (!document.hasFocus()) pageAway(); }, 0));
window.addEventListener('pagehide', pageAway);
// A drag on a view is the finger's, not the browser's (which would drag its picture away).
document.addEventListener('dragstart', (e) => { if (finger) e.preventDefault(); }, true);

// A slider's thumb dragged sends its value as it moves (once a frame), as the phone's slider
// does, and where it was let go; the thumb stays under the mouse meanwhile.
let sliding = null;
document.addEventListener('pointerdown', (e) => {
  if (e.target.dataset && e.target.dataset.slide) sliding = e.target;
}, true);
document.addEventListener('pointerup', () => { sliding = null; }, true);
document.addEventListener('input', (e) => {
  const el = e.target;
  if (!el.dataset || !el.dataset.slide || el.slideFrame) return;
  el.slideFrame = requestAnimationFrame(() => {
    el.slideFrame = 0;
    send({ event: 'slide', id: Number(el.dataset.slide), value: Number(el.value) }, true);
  });
});
document.addEventListener('change', (e) => {
  const id = e.target.dataset && e.target.dataset.slide;
  if (id) send({ event: 'slide', id: Number(id), value: Number(e.target.value) });
});

// Every edit of a text input goes to the model as the range it replaces and the text that
// replaces it: typing at the caret, typing over a selection, deleting, pasting, dropping, and the
// text an input method composed. The input then shows what the model holds.
//
// Ranges go to and come from the model in UTF-16 units of the text as the model holds it. An
// input shows some of its line ends otherwise, and counts them so: a text view (a textarea) shows
// CR LF as one line feed, and a one-line field shows none. Each input keeps the model's form of
// the text it shows (`el.shown`), by which its positions and the model's are told apart.
const carets = new Map(); // input id -> where the caret goes once the model answered
let composing = null; // { id, start, end } while an input method composes

// The model's text of an input: a text view's comes apart from the snapshot.
function modelText(el) {
  return el.dataset.kind === 'textView' ? viewTexts.get(el.dataset.tid) : el.dataset.value;
}

// The text as the input shows it.
function shownForm(el, text) {
  if (el.dataset.secure) return '\u2022'.repeat(text.length);
  if (el.tagName === 'TEXTAREA') return text.indexOf('\r') < 0 ? text : text.replace(/\r\n?/g, '\n');
  return /[\r\n]/.test(text) ? text.replace(/[\r\n]/g, '') : text;
}

// Where the input drops a unit of the model's text (ascending): the CR of each CR LF in a text
// view, every CR and LF in a field. Kept with the text it was found in.
function drops(el, text) {
  if (el.dropsOf === text) return el.drops;
  const out = [];
  if (el.tagName === 'TEXTAREA') {
    for (let i = text.indexOf('\r\n'); i >= 0; i = text.indexOf('\r\n', i + 2)) out.push(i);
  } else if (!el.dataset.secure) {
    for (let i = 0; i < text.length; i++) if (text[i] === '\r' || text[i] === '\n') out.push(i);
  }
  el.dropsOf = text;
  el.drops = out;
  return out;
}

// After an edit that neither adds nor removes a line end, nor joins a CR to an LF, the places
// found in the text before it hold for the text after it, those beyond the edit moved: a key in a
// whole file looks through none of it.
function keepDrops(el, was, from, to, text) {
  if (el.dropsOf !== was || el.tagName !== 'TEXTAREA' || /[\r\n]/.test(text) || /[\r\n]/.test(was.slice(from, to)) ||
      (was[from - 1] === '\r' && was[to] === '\n')) return;
  const moved = text.length - (to - from);
  const list = el.drops;
  if (moved) for (let i = countWhile(list, (d) => d < to); i < list.length; i++) list[i] += moved;
  el.dropsOf = el.shown;
}

// How many of the ascending numbers pass the test (which holds for a first run of them).
function countWhile(list, test) {
  let low = 0;
  let high = list.length;
  while (low < high) {
    const mid = (low + high) >> 1;
    if (test(list[mid], mid)) low = mid + 1;
    else high = mid;
  }
  return low;
}
// A position of the model's text where the input shows it, and back. A page position at a line
// end is the model's before the whole line end.
function toPage(el, text, at) {
  return at - countWhile(drops(el, text), (d) => d < at);
}
function toModel(el, text, at) {
  return at + countWhile(drops(el, text), (d, i) => d - i < at);
}

// How far two texts agree from the start, compared a stretch at a time.
function samePrefix(x, y) {
  const n = Math.min(x.length, y.length);
  let a = 0;
  for (let step = 65536; step >= 1; step >>= 4)
    while (a + step <= n && x.slice(a, a + step) === y.slice(a, a + step)) a += step;
  return a;
}
function sameSuffix(x, y, limit) {
  let b = 0;
  for (let step = 65536; step >= 1; step >>= 4)
    while (b + step <= limit && x.slice(x.length - b - step, x.length - b) === y.slice(y.length - b - step, y.length - b)) b += step;
  return b;
}

// Shows the model's text in the input: only what differs from what it shows is put in. Answers
// whether anything changed.
function showText(el, model) {
  // A one-line field is small: what it shows is checked as a whole.
  if (el.tagName === 'INPUT' && el.shown !== undefined && el.value !== shownForm(el, el.shown)) el.shown = undefined;
  if (el.shown === model) {
    el.shown = model; // the same text: kept as one string from now on, compared at once
    return false;
  }
  if (el.shown === undefined || el.dataset.secure) {
    el.value = shownForm(el, model);
  } else {
    const was = el.shown;
    let a = samePrefix(was, model);
    let b = sameSuffix(was, model, Math.min(was.length, model.length) - a);
    // Never between the halves of a character, nor between a CR and the LF the input shows with it.
    if (a > 0 && (was[a - 1] === '\r' || isHigh(was, a - 1))) a--;
    if (b > 0 && (was[was.length - b] === '\n' || isLow(was, was.length - b))) b--;
    const selection = el.dataset.kind === 'textView' && el === document.activeElement;
    putText(el, toPage(el, was, a), toPage(el, was, was.length - b), shownForm(el, model.slice(a, model.length - b)), false);
    el.shown = model;
    // Where the selection now stands is no move of the person's.
    if (selection) el.knownSelection = selectionOf(el);
    return true;
  }
  el.shown = model;
  return true;
}

// Puts text in place of a stretch of what an input shows (its own positions); the caret ends
// after it, or the selection stays where it was in the text around it. In the input that has the
// focus this goes through the browser's own editing, which lays out only what changed: setting
// the text lays out all of it, and a text view may hold a whole file.
let editing = false; // the page's own edit is under way: no person's input
function putText(el, start, end, text, caretAfter) {
  if (start === end && !text) return;
  if (el === document.activeElement && !el.dataset.secure) {
    const [from, to] = [el.selectionStart, el.selectionEnd];
    el.setSelectionRange(start, end);
    editing = true;
    const done = document.execCommand(text ? 'insertText' : 'delete', false, text);
    editing = false;
    if (done) {
      if (!caretAfter) {
        const moved = (at) => (at <= start ? at : at >= end ? at + text.length - (end - start) : start + text.length);
        el.setSelectionRange(moved(from), moved(to));
      }
      return;
    }
  }
  el.setRangeText(text, start, end, caretAfter ? 'end' : 'preserve');
}

// A text view's selection in the model's units, as "location,length".
function selectionOf(el) {
  const text = el.shown ?? '';
  const a = toModel(el, text, el.selectionStart);
  const b = toModel(el, text, el.selectionEnd);
  return `${a},${b - a}`;
}
// The model's selection of a text view is shown when the model moved it; the person's own (a
// click, the arrow keys, Ctrl+End) goes to the model.
function showSelection(el, arriving) {
  if (el.shown === undefined) return;
  if (el.dataset.sel === el.knownSelection && !(arriving && selectionOf(el) !== el.dataset.sel)) return;
  const [at, len] = el.dataset.sel.split(',').map(Number);
  const text = el.shown;
  const a = toPage(el, text, Math.min(at, text.length));
  const b = toPage(el, text, Math.min(at + len, text.length));
  if (el.selectionStart !== a || el.selectionEnd !== b) el.setSelectionRange(a, b);
  el.knownSelection = el.dataset.sel;
}
// What the program set in a text view is shown as it sets it: a selection it set is put in (it
// may equal the one shown, after the person moved the caret), and brought into view when the text
// view has the keyboard, as it is when the keyboard comes to it; a range it asked to scroll to is
// brought into view. A text view not drawn yet (or without its text) is shown these once it is.
function showProgramMoves(el, arriving) {
  if (el.shown === undefined || composing || !el.clientHeight) return;
  const text = el.shown;
  const pagePosition = (at) => toPage(el, text, Math.min(at, text.length));
  const focused = el === document.activeElement;
  let reveal = null;
  if (el.dataset.sel && el.dataset.selset !== el.selectionsShown) {
    el.selectionsShown = el.dataset.selset;
    const [at, len] = el.dataset.sel.split(',').map(Number);
    const [a, b] = [pagePosition(at), pagePosition(at + len)];
    if (el.selectionStart !== a || el.selectionEnd !== b) el.setSelectionRange(a, b);
    el.knownSelection = el.dataset.sel;
    if (focused) reveal = [a, b];
  } else if (arriving) {
    reveal = [el.selectionStart, el.selectionEnd];
  }
  if (el.dataset.scroll && el.dataset.scroll !== el.scrollShown) {
    el.scrollShown = el.dataset.scroll;
    const [at, len] = el.dataset.scroll.split(',').map(Number);
    reveal = [pagePosition(at), pagePosition(at + len)];
  }
  if (reveal) revealText(el, reveal[0], reveal[1]);
}

// A text view is drawn inside the part of its screen a person sees. The device's keyboard covers
// the bars at the foot of the screen and the screen makes its text view end above the keyboard;
// the page's keyboard covers nothing, so the text view that has the keyboard reaches down to the
// row of keys (or to the bars at the foot, without one). Any other text view ends above the bars
// at the foot of its own screen, which would otherwise cover its last lines.
const textFits = new Map(); // text view id -> { key, height } as last fitted
function textFitKey(v) {
  const kb = state.snapshot.keyboard;
  return `${v.frame.join(',')}|${Boolean(kb.visible && kb.focus === v.id)}`;
}
function fitTextViews(snap) {
  const k = pageScale || 1;
  const kb = snap.keyboard;
  for (const box of screenEl.querySelectorAll('.v-textView[data-frame]')) {
    const area = box.querySelector(':scope > textarea');
    const layer = box.closest('.layers > *');
    if (!area || !layer || !box.getClientRects().length) continue;
    const r = box.getBoundingClientRect();
    const typing = kb.visible && String(kb.focus) === area.dataset.tid;
    const bars = [...layer.querySelectorAll('.tabbar, .v-toolbar:not(.inbar)')];
    const keys = screenEl.querySelector('.accessorybar');
    if (keys && typing) bars.push(keys);
    let edge = typing ? Infinity : r.bottom;
    for (const bar of bars) {
      if (box.contains(bar) || !bar.getClientRects().length) continue;
      const b = bar.getBoundingClientRect();
      if (b.right <= r.left + 1 || b.left >= r.right - 1 || b.top <= r.top + 1 || b.height < 1) continue;
      edge = Math.min(edge, b.top);
    }
    if (edge === Infinity) edge = Math.max(r.bottom, layer.getBoundingClientRect().bottom);
    const height = Math.max(0, (edge - r.top) / k);
    const id = area.dataset.tid;
    const v = { id: Number(id), frame: box.dataset.frame.split(',').map(Number) };
    const before = textFits.get(id);
    textFits.set(id, { key: textFitKey(v), height });
    if (Math.abs(parseFloat(box.style.height) - height) > 0.5) box.style.height = px(height);
    // The keys came up over the lower lines: the line typed into stays in view, as on the device,
    // rather than under the keys until the first keystroke scrolls.
    if (before && height < before.height - 0.5 && typing && area === document.activeElement)
      revealText(area, area.selectionStart, area.selectionEnd);
  }
}

// A selection the program set in a text view (a line gone to, a word found) is shown while the
// text view has no focus too, where the browser draws none: marks over the selected text, moved
// with the text as it scrolls.
function markSelection(el) {
  const marks = el.parentElement && el.parentElement.querySelector(':scope > .selmarks');
  if (!marks) return;
  const [from, to] = [el.selectionStart, el.selectionEnd];
  if (el === document.activeElement || to <= from || !el.clientHeight) {
    if (marks.firstChild) marks.replaceChildren();
    return;
  }
  const key = `${from},${to},${el.value.length},${el.clientWidth},${getComputedStyle(el).font}`;
  if (el.markKey !== key) {
    el.markKey = key;
    el.markRects = measureStretch(el, from, to);
  }
  marks.replaceChildren(...el.markRects.map(([x, y, w, hh]) => h('span', { style: {
    left: `${x - el.scrollLeft}px`, top: `${y - el.scrollTop}px`, width: `${w}px`, height: `${hh}px` } })));
}
document.addEventListener('scroll', (e) => {
  if (e.target.tagName === 'TEXTAREA' && e.target.dataset.kind === 'textView') markSelection(e.target);
}, true);
for (const type of ['focusin', 'focusout'])
  document.addEventListener(type, (e) => {
    if (e.target.tagName === 'TEXTAREA' && e.target.dataset.kind === 'textView') markSelection(e.target);
  });

// A copy of a text view's text laid out as the text view lays it out, with the stretch from `from`
// to `to` (the page's positions) in a mark of its own; the caller removes the copy.
function layoutCopy(el, from, to) {
  const style = getComputedStyle(el);
  const copy = document.createElement('div');
  for (const p of ['fontFamily', 'fontSize', 'fontWeight', 'fontStyle', 'lineHeight', 'letterSpacing', 'wordSpacing',
    'tabSize', 'textTransform', 'textIndent', 'textAlign', 'direction', 'whiteSpace', 'overflowWrap', 'wordBreak',
    'paddingTop', 'paddingRight', 'paddingBottom', 'paddingLeft']) copy.style[p] = style[p];
  const inner = el.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
  Object.assign(copy.style, {
    position: 'absolute', left: '0', top: '0', visibility: 'hidden', border: '0', margin: '0',
    boxSizing: 'content-box', width: `${Math.max(0, inner)}px`, height: 'auto',
  });
  const mark = document.createElement('span');
  mark.textContent = el.value.slice(from, Math.max(to, from)) || '\u200b';
  copy.append(el.value.slice(0, from), mark);
  el.parentElement.append(copy);
  return { copy, mark, style };
}

// Where a stretch of a text view's text stands in its text (one box per line it takes), in the
// text view's own points.
function measureStretch(el, from, to) {
  const { copy, mark } = layoutCopy(el, from, to);
  const box = copy.getBoundingClientRect();
  const scale = box.width / (copy.offsetWidth || 1) || 1;
  const rects = [...mark.getClientRects()].filter((r) => r.width > 0 || r.height > 0).map((r) =>
    [(r.left - box.left) / scale, (r.top - box.top) / scale, Math.max(2, r.width / scale), r.height / scale]);
  copy.remove();
  return rects;
}

// Scrolls a text view as little as it takes to show a stretch of its text (the page's positions;
// its start when it is taller than the view). Where the stretch stands is measured in a copy of
// the text laid out as the text view lays it out.
function revealText(el, from, to) {
  const { copy, mark, style } = layoutCopy(el, from, to);
  const top = mark.offsetTop;
  const bottom = top + mark.offsetHeight;
  copy.remove();
  const view = el.clientHeight - parseFloat(style.paddingBottom);
  let scroll = el.scrollTop;
  if (bottom > scroll + view) scroll = bottom - view;
  if (top - parseFloat(style.paddingTop) < scroll) scroll = top - parseFloat(style.paddingTop);
  el.scrollTop = Math.max(0, scroll);
}

function tellSelection(el) {
  if (!el || !el.dataset || el.dataset.kind !== 'textView' || el !== document.activeElement || el.shown === undefined || composing) return;
  const now = selectionOf(el);
  if (now === el.knownSelection) return;
  el.knownSelection = now;
  const [location, length] = now.split(',').map(Number);
  send({ event: 'select', id: Number(el.dataset.tid), location, length }, true);
}
// The row of keys above the keyboard leaves the focus where it is, as on the device: the text
// keeps its caret, and what is typed next goes there.
document.addEventListener('mousedown', (e) => {
  if (e.button === 0 && e.target.closest && e.target.closest('.accessorybar button')) e.preventDefault();
}, true);
document.addEventListener('selectionchange', (e) => tellSelection(e.target), true);
for (const type of ['keyup', 'mouseup']) document.addEventListener(type, () => tellSelection(document.activeElement), true);

function isLow(text, i) { const c = text.charCodeAt(i); return c >= 0xdc00 && c <= 0xdfff; }
function isHigh(text, i) { const c = text.charCodeAt(i); return c >= 0xd800 && c <= 0xdbff; }
// The range a deletion removes when nothing is selected: one character (both halves of a
// surrogate pair), a word, or up to the start or end of the line.
function deletionRange(el, kind) {
  const text = el.value;
  const at = el.selectionStart;
  if (kind === 'deleteContentBackward') return at === 0 ? null : [at - (at > 1 && isLow(text, at - 1) ? 2 : 1), at];
  if (kind === 'deleteContentForward') return at >= text.length ? null : [at, at + (isLow(text, at + 1) ? 2 : 1)];
  if (kind.startsWith('deleteWordBackward')) {
    const m = /\S*\s*$/.exec(text.slice(0, at));
    return [at - m[0].length, at];
  }
  if (kind.startsWith('deleteWordForward')) {
    const m = /^\s*\S*/.exec(text.slice(at));
    return [at, at + m[0].length];
  }
  if (kind.endsWith('LineBackward')) return [text.lastIndexOf('\n', at - 1) + 1, at];
  if (kind.endsWith('LineForward')) { const end = text.indexOf('\n', at); return [at, end < 0 ? text.length : end]; }
  return null;
}

// `start` and `end` are the input's own positions; `shownByBrowser`: the browser makes the same
// edit in the input itself.
function replaceText(el, start, end, text, shownByBrowser) {
  const id = el.dataset.tid;
  if (start === end && !text) return;
  const was = el.shown ?? modelText(el) ?? el.value;
  const from = toModel(el, was, start);
  const to = toModel(el, was, end);
  send({ event: 'replace', id: Number(id), location: from, length: to - from, text });
  // The input shows the edit at once, so the next key (typed before the model answered) lands
  // where the person sees the caret; once every event is answered it shows the model's text.
  const put = shownForm(el, text);
  el.shown = was.slice(0, from) + text + was.slice(to);
  keepDrops(el, was, from, to, text);
  if (el.dataset.kind === 'textView') {
    el.knownSelection = `${from + text.length},0`;
    // The model answers each edit in turn (a few at most, unless it stopped answering).
    el.echoes = (el.echoes || []).slice(-63);
    el.echoes.push({ at: from, remove: to - from, insert: text, before: was, after: el.shown });
  }
  if (!shownByBrowser) putText(el, start, end, put, true);
  carets.set(id, start + put.length);
}

document.addEventListener('beforeinput', (e) => {
  const el = e.target;
  const id = el.dataset && el.dataset.tid;
  if (!id || editing) return;
  // What an input method composes is shown by it meanwhile and sent when it is done.
  if (composing || e.inputType === 'insertCompositionText' || e.inputType === 'insertFromComposition' ||
      e.inputType === 'deleteCompositionText') return;
  const start = el.selectionStart;
  const end = el.selectionEnd;
  const kind = e.inputType;
  // Typing into a text view is the browser's to show, as it shows it anywhere (laying out only
  // what changed, the caret kept in view); the model hears the same edit.
  if (el.tagName === 'TEXTAREA' && !el.readOnly && !el.disabled && (kind === 'insertText' && e.data ||
      kind === 'insertLineBreak' || kind === 'insertParagraph')) {
    replaceText(el, start, end, kind === 'insertText' ? e.data : '\n', true);
    return;
  }
  e.preventDefault();
  if (el.readOnly || el.disabled) return;
  if (kind === 'historyUndo' || kind === 'historyRedo' || kind === 'formatBold') return;
  if ((kind === 'insertLineBreak' || kind === 'insertParagraph')) {
    if (el.tagName === 'INPUT') send({ event: 'return', id: Number(id) });
    else replaceText(el, start, end, '\n');
    return;
  }
  if (kind.startsWith('delete')) {
    if (start !== end) return replaceText(el, start, end, '');
    const range = deletionRange(el, kind);
    if (range) replaceText(el, range[0], range[1], '');
    return;
  }
  let text = e.data ?? (e.dataTransfer ? e.dataTransfer.getData('text/plain') : '');
  if (el.tagName === 'INPUT') text = text.replace(/\r?\n/g, ' ');
  if (text) replaceText(el, start, end, text);
});

document.addEventListener('compositionstart', (e) => {
  const el = e.target;
  if (el.dataset && el.dataset.tid) composing = { id: el.dataset.tid, start: el.selectionStart, end: el.selectionEnd };
});
document.addEventListener('compositionend', (e) => {
  const el = e.target;
  const was = composing;
  composing = null;
  if (!was || !el.dataset || el.dataset.tid !== was.id) return;
  // The composed text replaces what was selected when composing began; the input goes back to
  // the text it showed until the model answers.
  el.value = shownForm(el, el.shown ?? modelText(el) ?? '');
  if (e.data) replaceText(el, was.start, was.end, e.data);
  else if (state) render();
});

// Escape is the way out of the front layer: an alert's or a sheet's Cancel, a popover closed,
// else the keyboard let go.
function wayOut(typing) {
  const snap = state && state.snapshot;
  if (!snap) return null;
  const panel = snap.alerts.at(-1) || snap.sheets.at(-1);
  if (panel) return panel.cancelIndex >= 0 ? { event: 'answer', id: panel.id, button: panel.cancelIndex } : null;
  if (!typing && snap.popovers.length) return { event: 'dismissPopover', id: snap.popovers.at(-1).id };
  return { event: 'dismissKeyboard' };
}

document.addEventListener('keydown', (e) => {
  const el = e.target;
  if (e.key === 'Escape') {
    const out = wayOut(Boolean(el.dataset && el.dataset.tid));
    if (out) send(out);
  }
  else if (e.key === 'Enter' && el.dataset && el.dataset.tid && el.tagName === 'INPUT') {
    e.preventDefault();
    send({ event: 'return', id: Number(el.dataset.tid) });
  }
  else if (e.key === 'Tab' && !e.altKey && !e.ctrlKey && !e.metaKey && el.dataset && el.dataset.tid && el.tagName === 'INPUT') {
    // A field whose keyboard has a Next key: Tab is that key, and the screen decides what follows
    // (the field it moves to, what it fills in on the way).
    if (!e.shiftKey && el.dataset.next !== undefined) {
      e.preventDefault();
      send({ event: 'return', id: Number(el.dataset.tid) });
      return;
    }
    const next = nextField(el, e.shiftKey ? -1 : 1);
    if (!next) return;
    // The field takes the focus at once (keys typed next land in it) and the model hears the tap
    // a click on it would send, before the keys.
    e.preventDefault();
    next.focus();
    next.setSelectionRange(next.value.length, next.value.length);
    send({ event: 'tap', id: Number(next.dataset.tid) });
  }
});

// Tab goes from field to field of the layer in front, as the keyboard's Next does: in the order
// the fields stand on the screen (row by row, each row from the left), round to the first again.
function nextField(from, step) {
  const layer = from.closest('.layers > *');
  if (!layer) return null;
  const fields = [...layer.querySelectorAll('input[data-tid]')]
    .filter((f) => !f.disabled && f.getClientRects().length && getComputedStyle(f).visibility !== 'hidden')
    .map((f) => ({ f, r: f.getBoundingClientRect() }))
    .sort((a, b) => (Math.abs(a.r.top - b.r.top) > 4 ? a.r.top - b.r.top : a.r.left - b.r.left))
    .map((x) => x.f);
  const at = fields.indexOf(from);
  if (at < 0 || fields.length < 2) return null;
  return fields[(at + step + fields.length) % fields.length];
}

// Scrolling a table tells the model, which then makes the cells that came into view; a scroll
// view's offset goes to the model too (a zoom keeps the point under the pointer from it, and the
// page drawn again shows the same part).
document.addEventListener('scroll', (e) => {
  const t = e.target;
  if (!t.classList || !(t.classList.contains('v-table') || t.classList.contains('v-scroll'))) return;
  // Under an alert or a sheet the screens take nothing.
  if (state && (state.snapshot.alerts.length || state.snapshot.sheets.length)) return;
  if (t.classList.contains('v-scroll')) {
    // The page moving the view to the model's offset is no scroll of the person's.
    const [x, y] = (t.dataset.offset || '0,0').split(',').map(Number);
    if (!t.scrollTimer && Math.abs(t.scrollLeft - x) <= 1 && Math.abs(t.scrollTop - y) <= 1) return;
    clearTimeout(t.scrollTimer);
    t.scrollTimer = setTimeout(() => tellScrolled(t), 60);
    return;
  }
  if (scrollWaiting !== t && Math.abs(t.scrollTop - Number(t.dataset.offset)) <= 1) return;
  clearTimeout(scrollTimer);
  scrollWaiting = t;
  scrollTimer = setTimeout(() => {
    scrollWaiting = null;
    if (Math.abs(t.scrollTop - Number(t.dataset.offset)) > 1)
      scrollSent(t, send({ event: 'scroll', id: Number(t.dataset.id), x: 0, y: t.scrollTop }, true));
    else if (!scrollOnItsWay(t))
      placeScrollsAndPopovers(); // an offset of the model's own that came meanwhile
  }, 80);
}, true);

function scrollSent(el, sent) {
  if (sent) scrollsSent.set(sent, el.dataset.id);
}

function tellScrolled(el) {
  clearTimeout(el.scrollTimer);
  el.scrollTimer = 0;
  const [x, y] = (el.dataset.offset || '0,0').split(',').map(Number);
  if (Math.abs(el.scrollLeft - x) <= 1 && Math.abs(el.scrollTop - y) <= 1) {
    if (!scrollOnItsWay(el)) placeScrollsAndPopovers();
    return;
  }
  el.modelOffset = `${el.scrollLeft},${el.scrollTop}`;
  scrollSent(el, send({ event: 'scroll', id: Number(el.dataset.id), x: el.scrollLeft, y: el.scrollTop }, true));
}

// A scroll view that zooms follows Ctrl + wheel (a trackpad's pinch reaches the page as one) and
// a two-finger pinch, about the point between the pointer or the fingers. Each step asks the
// model for the scale from the one asked last (the model's answer may not be back yet).
function zoomTo(el, factor, clientX, clientY) {
  const r = el.getBoundingClientRect();
  const [min, max] = [Number(el.dataset.zoomMin), Number(el.dataset.zoomMax)];
  const now = performance.now();
  const from = el.zoomAsked && now - el.zoomAsked.at < 500 ? el.zoomAsked.scale : Number(el.dataset.zoom);
  const scale = Math.min(max, Math.max(min, from * factor));
  if (Math.abs(scale - from) < 1e-6) return;
  el.zoomAsked = { scale, at: now };
  // Where the person scrolled to counts before the zoom is worked out.
  tellScrolled(el);
  send({ event: 'zoom', id: Number(el.dataset.id), value: scale,
    x: (clientX - r.left) / pageScale, y: (clientY - r.top) / pageScale }, true);
}
function zoomable(target) {
  const el = target && target.closest && target.closest('.v-scroll[data-zoom]');
  if (!el || !screenEl.contains(el)) return null;
  // Under an alert or a sheet the screens take nothing.
  if (state && (state.snapshot.alerts.length || state.snapshot.sheets.length)) return null;
  return el;
}
document.addEventListener('wheel', (e) => {
  if (!e.ctrlKey) return;
  const el = zoomable(e.target);
  if (!el) return;
  e.preventDefault(); // the page itself does not zoom
  const lines = e.deltaMode === 1 ? 16 : e.deltaMode === 2 ? 400 : 1;
  zoomTo(el, Math.exp(-Math.max(-100, Math.min(100, e.deltaY * lines)) / 200), e.clientX, e.clientY);
}, { passive: false });
let pinch = null; // { el, distance } while two fingers are on a view that zooms
const spread = (t) => Math.hypot(t[0].clientX - t[1].clientX, t[0].clientY - t[1].clientY);
document.addEventListener('touchstart', (e) => {
  const el = e.touches.length === 2 && zoomable(e.target);
  if (el) pinch = { el, distance: spread(e.touches) };
}, { passive: true });
document.addEventListener('touchmove', (e) => {
  if (!pinch || e.touches.length !== 2) return;
  e.preventDefault();
  const d = spread(e.touches);
  if (!pinch.distance || !d) return;
  const factor = d / pinch.distance;
  pinch.distance = d;
  zoomTo(pinch.el, factor, (e.touches[0].clientX + e.touches[1].clientX) / 2, (e.touches[0].clientY + e.touches[1].clientY) / 2);
}, { passive: false });
document.addEventListener('touchend', (e) => { if (e.touches.length < 2) pinch = null; });
document.addEventListener('touchcancel', () => { pinch = null; });

// Rows are moved by dragging their reorder handle onto another row.
document.addEventListener('dragstart', (e) => {
  const row = e.target.closest && e.target.closest('.cell');
  if (row) e.dataTransfer.setData('text/x-ferrowen-row', `${row.dataset.table}:${row.dataset.row}`);
});
document.addEventListener('dragover', (e) => {
  if (e.target.closest && e.target.closest('.cell')) e.preventDefault();
});
document.addEventListener('drop', (e) => {
  const row = e.target.closest && e.target.closest('.cell');
  const from = e.dataTransfer.getData('text/x-ferrowen-row');
  if (!row || !from) return;
  e.preventDefault();
  const [table, path] = from.split(':');
  if (table !== row.dataset.table) return;
  send({ event: 'moveRow', id: Number(table), from: path.split(',').map(Number), to: row.dataset.row.split(',').map(Number) });
});

// --- Web views and movies ---

window.addEventListener('message', (e) => {
  const frame = [...document.querySelectorAll('iframe[data-web]')].find((f) => f.contentWindow === e.source);
  if (!frame || !e.data || typeof e.data !== 'object') return;
  const id = frame.dataset.web;
  if (e.data.ferrowenWeb === 'follow' && typeof e.data.url === 'string') {
    send({ event: 'followLink', id: Number(id), url: e.data.url });
  } else if (e.data.ferrowenWeb === 'loaded') {
    // A frame's window stays the same object across its documents: the "loaded" of the page of
    // the load before, posted just before the frame went on to the next load, would otherwise be
    // taken for the next load's (which then ended before its page came, and lost its questions).
    const revision = frame.dataset.revision;
    if (String(e.data.revision) !== revision) {
      // The page of a load before says it loaded after the frame was sent on to the next load.
      // The browser may let a document already on its way in stay and drop the navigation asked
      // for meanwhile: the frame would keep the old page, and the view's load would never end
      // (its spinner turning for good). The frame goes to its address again.
      if (Number.isSafeInteger(e.data.revision) && e.data.revision < Number(revision))
        frame.setAttribute('src', frame.getAttribute('src'));
      return;
    }
    loadedRevision.set(frame, revision);
    send({ renderer: 'webLoaded', id: Number(id), revision: Number(revision) });
    const given = givenScripts.get(id);
    if (given && given.revision === revision)
      for (const m of [...given.scripts, ...given.questions.values()]) frame.contentWindow.postMessage(m, '*');
    for (const m of pendingScripts.get(id) || []) {
      frame.contentWindow.postMessage(m, '*');
      rememberScript(id, revision, m);
    }
    pendingScripts.delete(id);
  } else if (e.data.ferrowenWeb === 'result' && Number.isSafeInteger(e.data.call)) {
    // The answer of a script the application waits for (the model bounds what it takes).
    const given = givenScripts.get(id);
    if (given) given.questions.delete(e.data.call);
    send({ renderer: 'scriptResult', id: Number(id), call: e.data.call, value: String(e.data.value).slice(0, 65536) });
  } else if (e.data.ferrowenWeb === 'touch' && Number.isFinite(e.data.x) && Number.isFinite(e.data.y)) {
    // Where a touch starts on the page, in the web view's own points (the frame fills the view).
    send({ renderer: 'webTouch', id: Number(id), x: e.data.x, y: e.data.y });
  }
});

const loadedRevision = new WeakMap(); // web view frame -> the revision its page said it loaded
function deliverScript(id, script, call) {
  const m = call ? { ferrowenScript: script, ferrowenCall: call } : { ferrowenScript: script };
  // A page still loading would lose it: it waits until the page says it has loaded.
  const frame = document.querySelector(`iframe[data-web="${id}"]`);
  if (frame && frame.contentWindow && loadedRevision.get(frame) === frame.dataset.revision) {
    frame.contentWindow.postMessage(m, '*');
    rememberScript(id, frame.dataset.revision, m);
  } else {
    pendingScripts.set(id, [...(pendingScripts.get(id) || []), m]);
  }
}
function rememberScript(id, revision, m) {
  let given = givenScripts.get(id);
  if (!given || given.revision !== revision) givenScripts.set(id, (given = { revision, scripts: [], questions: new Map() }));
  // Bounded: the first ones (the page's functions and listeners) are the ones that matter; a
  // question the page never answers is given up by the model in time, and here with its load.
  if (m.ferrowenCall) {
    if (given.questions.size < 256) given.questions.set(m.ferrowenCall, m);
  } else if (given.scripts.length < 256) {
    given.scripts.push(m);
  }
}

function showMedia(m) {
  const box = document.getElementById('media');
  const ended = () => {
    send({ renderer: 'mediaEnded', media: m.media });
    box.hidden = true;
    box.replaceChildren();
  };
  const player = h(m.kind === 'audio' ? 'audio' : 'video', { src: m.src, controls: true, autoplay: true });
  player.addEventListener('ended', ended);
  const close = h('button', { class: 'close' }, 'Done');
  close.addEventListener('click', ended);
  box.replaceChildren(close, player);
  box.hidden = false;
}

// Turning the device (from where the device stands, which a screen that stays upright does not
// change): the frontmost screen decides whether the interface follows.
document.getElementById('rotate').addEventListener('click', () => {
  if (!state) return;
  turnedByHand = true;
  const device = state.status.orientation;
  const o = device >= 1 && device <= 4 ? device : state.snapshot.window.orientation;
  send({ event: 'rotate', orientation: o === 3 || o === 4 ? 1 : 3 });
});

// Shaking the device: the accelerometer reports the shake to the screen that listens for one.
document.getElementById('shake').addEventListener('click', () => {
  if (state) send({ event: 'shake' });
});

setInterval(() => { if (state) render(); }, 30000); // the clock in the status bar
connect();
