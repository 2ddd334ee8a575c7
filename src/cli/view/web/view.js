// The page of `mivoble view`: stacked traces of every signal channel of every amplifier, drawn
// with uPlot from the pixel columns the server sends (minimum and maximum per channel and column).
'use strict';
(() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const SECONDS = [1, 2, 5, 10, 20, 30, 60];
  const SCALES = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000];
  const HIGHPASS = [0, 0.1, 0.5, 1, 5];
  const NOTCH = [0, 50, 60];
  const CAPACITY = 4096 + 64;  // columns held per amplifier: the widest window the server sends, and some
  const COLOURS = ['#1d3557', '#7a1f2b', '#1f5f3a', '#5b2a86', '#7a4b00', '#005f73'];
  const FLAG_SINGLE = 1, FLAG_AFRESH = 2;

  // Figures for tests and benchmarks.
  const stats = window.viewStats = { bytes: 0, messages: 0, draws: 0, drawMs: 0, fps: 0, frames: 0, frameRate: 0 };
  const ui = { seconds: 10, scale: 'auto', highpass: 0, notch: 0 };
  let amplifiers = [];
  let socket = null;
  let retry = 1000;

  const $ = (id) => document.getElementById(id);
  function element(tag, props, ...children) {
    const e = document.createElement(tag);
    Object.assign(e, props || {});
    for (const c of children) e.append(c);
    return e;
  }
  function fill(select, values, label, selected) {
    select.replaceChildren(...values.map((v) => element('option', { value: String(v), textContent: label(v), selected: String(v) === String(selected) })));
  }
  function niceAbove(x) {  // smallest of 1, 2, 5, 10, 20, ... not below x
    if (!(x > 0)) return 1;
    const decade = Math.pow(10, Math.floor(Math.log10(x)));
    for (const m of [1, 2, 5, 10]) if (m * decade >= x * (1 - 1e-9)) return m * decade;
    return 10 * decade;
  }
  function microvolts(v) { return v >= 1000 ? `${v / 1000} mV` : `${v} \u00b5V`; }

  // ---- controls ----
  function controls() {
    if (!SECONDS.includes(ui.seconds)) SECONDS.push(ui.seconds), SECONDS.sort((a, b) => a - b);
    fill($('seconds'), SECONDS, (v) => `${v} s`, ui.seconds);
    fill($('scale'), ['auto', 'channel', ...SCALES], (v) => v === 'auto' ? 'auto (common)' : v === 'channel' ? 'auto per channel' : `${microvolts(v)} / channel`, ui.scale);
    fill($('highpass'), HIGHPASS, (v) => v ? `${v} Hz` : 'off', ui.highpass);
    fill($('notch'), NOTCH, (v) => v ? `${v} Hz` : 'off', ui.notch);
    $('seconds').onchange = (e) => { ui.seconds = Number(e.target.value); sendSettings(); };
    $('scale').onchange = (e) => { const v = e.target.value; ui.scale = isNaN(v) ? v : Number(v); redrawAll(); };
    $('highpass').onchange = (e) => { ui.highpass = Number(e.target.value); sendSettings(); };
    $('notch').onchange = (e) => { ui.notch = Number(e.target.value); sendSettings(); };
  }

  // ---- columns held per amplifier ----
  class Columns {
    constructor(channels) {
      this.channels = channels;
      this.min = Array.from({ length: channels }, () => new Float32Array(CAPACITY));
      this.max = Array.from({ length: channels }, () => new Float32Array(CAPACITY));
      this.valid = new Uint8Array(CAPACITY);
      this.reset(1, true);
    }
    reset(k, single) { this.k = k; this.single = single; this.start = 0; this.end = null; }
    // Columns first .. first + n - 1; a jump forward leaves a gap of not-a-number columns.
    add(first, n, valid, values, per) {
      if (this.end === null || first - this.end >= CAPACITY || first < this.start) {
        this.start = first;
      } else {
        for (let col = this.end; col < first; col++) this.put(col, NaN, NaN, 1);
      }
      for (let j = 0; j < n; j++) {
        const slot = (first + j) % CAPACITY;
        this.valid[slot] = valid[j];
        for (let c = 0; c < this.channels; c++) {
          const base = c * n * per;
          this.min[c][slot] = values[base + j];
          this.max[c][slot] = values[base + (per - 1) * n + j];
        }
      }
      this.end = Math.max(this.end ?? 0, first + n);
      this.start = Math.max(this.start, this.end - CAPACITY);
    }
    put(col, lo, hi, valid) {
      const slot = col % CAPACITY;
      this.valid[slot] = valid;
      for (let c = 0; c < this.channels; c++) { this.min[c][slot] = lo; this.max[c][slot] = hi; }
    }
  }

  // ---- one amplifier: health line and plot ----
  function createAmplifier(description, index) {
    const name = description.name;
    const lanes = description.channels.length;
    const field = (id, text) => element('span', { id: `${id}-${name}`, textContent: text });
    const health = element('div', { className: 'health' },
      element('b', { textContent: name }),
      element('span', {}, field('rate', '\u2013'), ' rows/s'),
      element('span', {}, 'battery ', field('battery', '\u2013')),
      element('span', {}, 'link ', field('link', 'up')),
      element('span', {}, 'reconnects ', field('reconnects', '0')),
      element('span', {}, 'last link loss ', field('lost', 'none')),
      element('span', {}, 'filled in ', field('filled', '0'), ' rows'),
      element('span', {}, 'rows drawn ', field('rows', '0')));
    const holder = element('div');
    const section = element('section', { className: 'amplifier' }, health, holder);
    $('amplifiers').append(section);

    const amp = {
      index, description, lanes, section, holder, columns: new Columns(lanes),
      scales: new Array(lanes).fill(0), common: 0, centres: [], labels: [],
      data: [[], ...description.channels.map(() => [])], x0: -ui.seconds, x1: 0,
      dirty: false, rowsDrawn: 0, drawnEnd: null, changes: [], rowsElement: $(`rows-${name}`),
    };
    for (let c = 0; c < lanes; c++) amp.centres.push(lanes - c - 0.5);
    amp.labels = description.channels.slice();
    const options = {
      width: 800, height: 200, padding: [8, 64, 0, 0],  // room for the scale bar on the right
      legend: { show: false }, cursor: { show: false }, select: { show: false },
      scales: { x: { time: false, auto: false, range: () => [amp.x0, amp.x1] }, y: { auto: false, range: [0, lanes] } },
      axes: [
        { size: 28, grid: { stroke: '#eee', width: 1 }, ticks: { stroke: '#ccc', width: 1 },
          values: (u, splits) => splits.map((v) => `${+v.toFixed(2)} s`) },
        { size: 110, gap: 6, grid: { show: false }, ticks: { show: false },
          splits: () => amp.centres, values: () => amp.labels },
      ],
      series: [{}, ...description.channels.map((_, c) => ({ stroke: COLOURS[c % COLOURS.length], width: 1, points: { show: false } }))],
      hooks: { drawClear: [(u) => shadeFilledIn(amp, u)], draw: [(u) => { markLinkChanges(amp, u); scaleBar(amp, u); }] },
    };
    amp.plot = new uPlot(options, amp.data, holder);
    return amp;
  }

  function layout() {
    const header = document.querySelector('header').offsetHeight;
    const healthHeight = 22;
    const lanes = amplifiers.reduce((n, a) => n + a.lanes, 0) || 1;
    const free = Math.max(200, window.innerHeight - header - amplifiers.length * (healthHeight + 8) - 8);
    const width = Math.max(300, document.body.clientWidth - 24);
    for (const amp of amplifiers) {
      const height = Math.max(amp.lanes * 22 + 40, Math.floor(free * amp.lanes / lanes));
      amp.plot.setSize({ width, height });
    }
    sendSettings();
    redrawAll();
  }

  function pixelColumns() {
    if (!amplifiers.length) return 1000;
    const width = Math.round(amplifiers[0].plot.bbox.width);  // canvas pixels: CSS pixels × device ratio
    return Math.min(4096, Math.max(16, width));
  }

  function sendSettings() {
    if (!socket || socket.readyState !== WebSocket.OPEN) return;
    socket.send(`seconds=${ui.seconds}&columns=${pixelColumns()}&highpass=${ui.highpass}&notch=${ui.notch}`);
  }

  // ---- messages ----
  function onColumns(buffer) {
    const view = new DataView(buffer);
    const amp = amplifiers[view.getUint8(1)];
    if (!amp || view.getUint8(0) !== 1) return;
    const flags = view.getUint8(2), channels = view.getUint16(4, true);
    const k = view.getUint32(8, true), n = view.getUint32(12, true), firstRow = view.getFloat64(16, true);
    if (channels !== amp.lanes) return;
    const single = (flags & FLAG_SINGLE) !== 0, per = single ? 1 : 2;
    const columns = amp.columns;
    if ((flags & FLAG_AFRESH) || columns.k !== k || columns.single !== single) columns.reset(k, single);
    const validBytes = (n + 3) & ~3;
    columns.add(firstRow / k, n, new Uint8Array(buffer, 24, n), new Float32Array(buffer, 24 + validBytes, channels * n * per), per);
    amp.dirty = true;
  }

  function onStatus(status) {
    $('connection').textContent = status.dropped ? `streaming; ${status.dropped} updates dropped (this page fell behind)` : 'streaming';
    status.amplifiers.forEach((s, i) => {
      const amp = amplifiers[i];
      if (!amp) return;
      const name = amp.description.name;
      $(`rate-${name}`).textContent = s.rowsPerSecond.toFixed(1);
      $(`battery-${name}`).textContent = s.battery === null ? '\u2013' : `${Math.round(s.battery)} %`;
      const link = $(`link-${name}`);
      link.textContent = s.link === 'up' ? 'up' : 'down, reconnecting';
      link.className = s.link === 'up' ? '' : 'link-down';
      $(`reconnects-${name}`).textContent = String(s.reconnects);
      $(`filled-${name}`).textContent = String(s.filled);
      amp.changes = s.changes;
      $(`lost-${name}`).textContent = lastLoss(s.changes);
      amp.dirty = true;
    });
  }

  // The latest link loss, kept on the page after the link is back: "17:20:05 for 0.1 s".
  function lastLoss(changes) {
    const at = changes.map((c) => !c.up).lastIndexOf(true);
    if (at < 0) return 'none';
    const lost = changes[at], back = changes.slice(at + 1).find((c) => c.up);
    const when = new Date(lost.time).toTimeString().slice(0, 8);
    return back ? `${when} for ${((back.time - lost.time) / 1000).toFixed(1)} s` : `${when}, still down`;
  }

  function onHello(hello) {
    ui.seconds = hello.seconds;
    controls();
    for (const amp of amplifiers) { amp.plot.destroy(); amp.section.remove(); }
    amplifiers = hello.amplifiers.map(createAmplifier);
    layout();
  }

  function connect() {
    socket = new WebSocket(`ws://${location.host}/ws?token=${encodeURIComponent(token)}`);
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => { retry = 1000; $('connection').textContent = 'connected'; };
    socket.onmessage = (event) => {
      stats.messages++;
      if (typeof event.data === 'string') {
        stats.bytes += event.data.length;
        const message = JSON.parse(event.data);
        if (message.type === 'hello') onHello(message);
        else if (message.type === 'status') onStatus(message);
        else if (message.type === 'error') console.warn(`view: ${message.message}`);
      } else {
        stats.bytes += event.data.byteLength;
        onColumns(event.data);
      }
    };
    socket.onclose = () => {
      document.body.dataset.state = 'disconnected';
      $('connection').textContent = 'disconnected from mivoble view; trying again';
      setTimeout(connect, retry);
      retry = Math.min(10000, retry * 2);
    };
  }

  // ---- drawing ----
  function redrawAll() { for (const amp of amplifiers) amp.dirty = true; }

  // Fills the plot's data arrays with the columns of the window, each channel centred in its lane.
  function prepare(amp) {
    const columns = amp.columns, rate = amp.description.rate, k = columns.k;
    if (columns.end === null) return false;
    const per = columns.single ? 1 : 2;
    const last = columns.end, first = Math.max(columns.start, last - Math.ceil(ui.seconds * rate / k));
    const count = last - first;
    const xs = amp.data[0];
    xs.length = count * per;
    for (let j = 0; j < count; j++) {
      const col = first + j, t = columns.single ? col / rate : (col * k + k / 2) / rate;
      xs[j * per] = t;
      if (per === 2) xs[j * per + 1] = t;
    }
    let widest = 0;
    const centre = new Float64Array(amp.lanes), range = new Float64Array(amp.lanes);
    for (let c = 0; c < amp.lanes; c++) {
      const lo = columns.min[c], hi = columns.max[c];
      let sum = 0, n = 0, low = Infinity, high = -Infinity;
      for (let col = first; col < last; col++) {
        const s = col % CAPACITY, a = lo[s], b = hi[s];
        if (a !== a) continue;  // not a number: a gap
        sum += (a + b) / 2; n++;
        if (a < low) low = a;
        if (b > high) high = b;
      }
      centre[c] = n ? sum / n : 0;
      range[c] = n ? high - low : 0;
      widest = Math.max(widest, range[c]);
    }
    // Auto scales move only when a trace outgrows its lane or shrinks well inside it.
    const settle = (current, needed) => (current && needed <= current && needed > current * 0.3) ? current : niceAbove(needed);
    amp.common = ui.scale === 'auto' ? settle(amp.common, widest) : (typeof ui.scale === 'number' ? ui.scale : amp.common);
    for (let c = 0; c < amp.lanes; c++) {
      const scale = ui.scale === 'channel' ? (amp.scales[c] = settle(amp.scales[c], range[c])) : amp.common;
      amp.labels[c] = ui.scale === 'channel' ? `${amp.description.channels[c]}  ${microvolts(scale)}` : amp.description.channels[c];
      const ys = amp.data[c + 1], lo = columns.min[c], hi = columns.max[c], lane = amp.centres[c], m = centre[c];
      ys.length = count * per;
      for (let j = 0; j < count; j++) {
        const s = (first + j) % CAPACITY, a = lo[s];
        if (a !== a) { ys[j * per] = null; if (per === 2) ys[j * per + 1] = null; continue; }
        ys[j * per] = lane + (a - m) / scale;
        if (per === 2) ys[j * per + 1] = lane + (hi[s] - m) / scale;
      }
    }
    amp.barScale = ui.scale === 'channel' ? amp.scales[amp.lanes - 1] : amp.common;
    amp.x1 = last * k / rate;
    amp.x0 = amp.x1 - ui.seconds;
    amp.first = first;
    amp.last = last;
    return true;
  }

  function shadeFilledIn(amp, u) {
    const columns = amp.columns;
    if (columns.end === null || amp.first === undefined) return;
    const ctx = u.ctx, k = columns.k, rate = amp.description.rate, { top, height } = u.bbox;
    ctx.save();
    ctx.fillStyle = 'rgba(255, 150, 0, 0.28)';
    for (let col = amp.first; col < amp.last; col++) {
      if (columns.valid[col % CAPACITY]) continue;
      let end = col;
      while (end + 1 < amp.last && !columns.valid[(end + 1) % CAPACITY]) end++;
      const x0 = u.valToPos(col * k / rate, 'x', true), x1 = u.valToPos((end + 1) * k / rate, 'x', true);
      ctx.fillRect(x0, top, Math.max(1, x1 - x0), height);
      col = end;
    }
    ctx.restore();
  }

  // A red line where the link was lost, with how long it stayed down once it is back.
  function markLinkChanges(amp, u) {
    const rate = amp.description.rate, { top, height, left, width } = u.bbox, ctx = u.ctx;
    const ratio = window.devicePixelRatio || 1;
    ctx.save();
    ctx.strokeStyle = '#d00000';
    ctx.fillStyle = '#d00000';
    ctx.lineWidth = 2 * ratio;
    ctx.font = `${11 * ratio}px system-ui, sans-serif`;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'alphabetic';
    let lost = null;
    const marks = [];
    for (const change of amp.changes) {
      if (!change.up) { lost = change; marks.push({ row: change.row, text: 'link lost' }); }
      else if (lost) { marks[marks.length - 1].text = `link lost ${((change.time - lost.time) / 1000).toFixed(1)} s`; lost = null; }
    }
    for (const mark of marks) {
      const x = u.valToPos(mark.row / rate, 'x', true);
      if (x < left || x > left + width) continue;
      ctx.beginPath();
      ctx.moveTo(x, top);
      ctx.lineTo(x, top + height);
      ctx.stroke();
      ctx.fillText(mark.text, x + 4 * ratio, top + 12 * ratio);
    }
    ctx.restore();
  }

  // A bar one lane high right of the traces, labelled with the amplitude it stands for.
  function scaleBar(amp, u) {
    if (!amp.barScale) return;
    const ctx = u.ctx, ratio = window.devicePixelRatio || 1, { left, width } = u.bbox;
    const lane = amp.centres[amp.lanes - 1];
    const y0 = u.valToPos(lane - 0.5, 'y', true), y1 = u.valToPos(lane + 0.5, 'y', true);
    const x = left + width + 10 * ratio;
    ctx.save();
    ctx.strokeStyle = '#000';
    ctx.fillStyle = '#000';
    ctx.lineWidth = 2 * ratio;
    ctx.beginPath();
    ctx.moveTo(x + 4 * ratio, y0); ctx.lineTo(x, y0); ctx.lineTo(x, y1); ctx.lineTo(x + 4 * ratio, y1);
    ctx.stroke();
    ctx.font = `${11 * ratio}px system-ui, sans-serif`;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    ctx.fillText(microvolts(amp.barScale), x + 7 * ratio, (y0 + y1) / 2);
    ctx.restore();
  }

  // Draws what changed, once per display frame.
  let second = performance.now(), drawsThisSecond = 0, framesThisSecond = 0;
  function frame(now) {
    framesThisSecond++;
    let drew = false;
    const started = performance.now();
    for (const amp of amplifiers) {
      if (!amp.dirty) continue;
      amp.dirty = false;
      if (!prepare(amp)) continue;
      amp.plot.batch(() => {
        amp.plot.setData(amp.data, false);
        amp.plot.setScale('x', { min: amp.x0, max: amp.x1 });
      });
      const end = amp.last * amp.columns.k;
      const start = amp.drawnEnd === null ? amp.first * amp.columns.k : amp.drawnEnd;
      if (end > start) amp.rowsDrawn += end - start;
      amp.drawnEnd = Math.max(amp.drawnEnd ?? 0, end);
      amp.rowsElement.textContent = String(amp.rowsDrawn);
      drew = true;
    }
    if (drew) {
      stats.draws++;
      drawsThisSecond++;
      stats.drawMs = 0.9 * stats.drawMs + 0.1 * (performance.now() - started);
      document.body.dataset.state = 'streaming';
    }
    if (now - second >= 1000) {
      stats.fps = drawsThisSecond * 1000 / (now - second);
      stats.frameRate = framesThisSecond * 1000 / (now - second);
      second = now;
      drawsThisSecond = framesThisSecond = 0;
    }
    stats.frames++;
    requestAnimationFrame(frame);
  }

  // A resize sends new settings, and the server the whole window again: once the resizing rests.
  let resizing = null;
  window.addEventListener('resize', () => {
    clearTimeout(resizing);
    resizing = setTimeout(() => { if (amplifiers.length) layout(); }, 200);
  });
  controls();
  connect();
  requestAnimationFrame(frame);
})();
