// Draws the page's charts from the numbers embedded in #run-data. Only
// numbers reach this script; every label it writes is its own text.
(function () {
  'use strict';
  var started = performance.now();
  var data = JSON.parse(document.getElementById('run-data').textContent);
  var timeline = Array.isArray(data.timeline) ? data.timeline : [];
  var colours = {write: '#1f6fb2', read: '#2e9d5b', sync: '#8a5cc2',
                 error: '#d62728', bad: '#ff7f0e', stall: '#7f7f7f',
                 slow: '#d62728', passes: '#444444'};

  function num(v) { return typeof v === 'number' && isFinite(v) ? v : null; }
  function positive(v) { v = num(v); return v !== null && v > 0 ? v : null; }

  function clock(seconds) {
    // A short run's axis has ticks between whole seconds: 2.5 s, not 2 s twice.
    if (seconds < 120 && Math.abs(seconds - Math.round(seconds)) >= 0.05)
      return seconds.toFixed(1) + ' s';
    var s = Math.round(seconds);
    if (s < 120) return s + ' s';
    if (s < 7200) return Math.floor(s / 60) + ' m ' + ('0' + s % 60).slice(-2) + ' s';
    if (s < 172800) return Math.floor(s / 3600) + ' h ' + ('0' + Math.floor(s / 60) % 60).slice(-2) + ' m';
    return Math.floor(s / 86400) + ' d ' + ('0' + Math.floor(s / 3600) % 24).slice(-2) + ' h';
  }
  function micros(us) {
    if (us >= 1e6) return (us / 1e6).toPrecision(3) + ' s';
    if (us >= 1e3) return (us / 1e3).toPrecision(3) + ' ms';
    return us.toPrecision(3) + ' µs';
  }

  function say(el, text) {
    var p = document.createElement('p');
    p.className = 'empty';
    p.textContent = text;
    el.appendChild(p);
    el.classList.add('empty');
  }

  // Draws one chart, or says why there is none; marks the chart's element
  // with how many rows it drew once the library has drawn them.
  function draw(id, rows, options, emptyText) {
    var el = document.getElementById(id);
    if (!el) return null;
    if (!rows.length) {
      say(el, emptyText || 'No samples yet.');
      return null;
    }
    options.legend = 'always';
    options.labelsDiv = undefined;
    options.animatedZooms = false;
    options.yRangePad = 8;
    options.axes = options.axes || {};
    options.axes.y = options.axes.y || {};
    options.axes.y.axisLabelWidth = 70;
    options.drawCallback = function (g, initial) {
      if (initial) el.setAttribute('data-points', String(rows.length));
    };
    return new Dygraph(el, rows, options);
  }

  var timeAxis = {valueFormatter: clock, axisLabelFormatter: clock};

  function throughput() {
    var events = timeline.some(function (s) {
      return num(s.errors) > 0 || num(s.bad_blocks) > 0 || num(s.stalled) > 0;
    });
    var rows = timeline.map(function (s) {
      var row = [num(s.t_s) || 0, num(s.write_MiBps), num(s.read_MiBps)];
      if (events) {
        row.push(num(s.errors) > 0 ? s.errors : null);
        row.push(num(s.bad_blocks) > 0 ? s.bad_blocks : null);
        row.push(num(s.stalled) > 0 ? s.stalled : null);
      }
      return row;
    });
    var labels = ['elapsed', 'write MiB/s', 'read MiB/s'];
    var mark = {axis: 'y2', drawPoints: true, pointSize: 4, strokeWidth: 0};
    var series = {};
    var options = {labels: labels, colors: [colours.write, colours.read],
                   ylabel: 'MiB/s', includeZero: true, showRangeSelector: rows.length > 30,
                   axes: {x: timeAxis}, series: series};
    if (events) {
      labels.push('errors', 'bad blocks', 'stalled');
      options.colors.push(colours.error, colours.bad, colours.stall);
      series['errors'] = mark;
      series['bad blocks'] = mark;
      series['stalled'] = mark;
      options.y2label = 'count in interval';
      options.axes.y2 = {independentTicks: true, drawGrid: false, includeZero: true};
    }
    var g = draw('chart-throughput', rows, options);
    if (!g || !events) return;
    // Flags where trouble first showed.
    var notes = [];
    var firstError = timeline.find(function (s) { return num(s.errors) > 0 || num(s.bad_blocks) > 0; });
    var firstStall = timeline.find(function (s) { return num(s.stalled) > 0; });
    if (firstError) notes.push({series: 'write MiB/s', x: num(firstError.t_s) || 0, shortText: 'E',
                                text: 'first error at ' + clock(firstError.t_s || 0), cssClass: 'flag-error'});
    if (firstStall) notes.push({series: 'write MiB/s', x: num(firstStall.t_s) || 0, shortText: 'S',
                                text: 'first stall at ' + clock(firstStall.t_s || 0), cssClass: 'flag-stall'});
    g.ready(function () { g.setAnnotations(notes); });
  }

  function latency(op) {
    var any = false;
    var rows = timeline.map(function (s) {
      var row = [num(s.t_s) || 0, positive(s[op + '_median_us']),
                 positive(s[op + '_p99_us']), positive(s[op + '_max_us'])];
      any = any || row[1] !== null || row[3] !== null;
      return row;
    });
    var base = colours[op];
    draw('chart-latency-' + op, any ? rows : [], {
      labels: ['elapsed', 'median', 'p99', 'max'],
      colors: [base, '#e08a00', '#d62728'], logscale: true, ylabel: 'latency',
      axes: {x: timeAxis, y: {valueFormatter: micros, axisLabelFormatter: micros}},
      series: {'max': {strokePattern: [4, 3]}}
    }, timeline.length ? 'No ' + op + ' calls timed.' : 'No samples yet.');
  }

  function cliff() {
    var written = 0;
    var rows = [];
    timeline.forEach(function (s) {
      var bytes = num(s.bytes_written) || 0;
      if (bytes <= 0) return;
      written += bytes;
      rows.push([written / 1073741824, num(s.write_MiBps)]);
    });
    draw('chart-cliff', rows, {
      labels: ['GiB written', 'write MiB/s'], colors: [colours.write], drawPoints: true,
      pointSize: 2, includeZero: true, xlabel: 'GiB written so far', ylabel: 'MiB/s',
      axes: {x: {valueFormatter: function (x) { return x.toFixed(2) + ' GiB'; }}}
    }, timeline.length ? 'Nothing written yet.' : 'No samples yet.');
  }

  // Bars from step plots: each unit gets a write bar, a read bar and its
  // passes as a point; the slowest unit's bars are in red.
  function bars(id, units, name) {
    if (!Array.isArray(units) || !units.length) {
      var el = document.getElementById(id);
      if (el) say(el, 'No ' + name + ' figures.');
      return;
    }
    var slowest = -1, lowest = Infinity;
    units.forEach(function (u, i) {
      if (num(u.write_MiBps) === null && num(u.read_MiBps) === null) return;
      var rate = (num(u.write_MiBps) || 0) + (num(u.read_MiBps) || 0);
      if (rate < lowest) { lowest = rate; slowest = i; }
    });
    var rows = [];
    units.forEach(function (u, i) {
      var w = num(u.write_MiBps), r = num(u.read_MiBps), slow = i === slowest;
      var p = num(u.passes);
      rows.push([i - 0.4, slow ? null : w, null, slow ? w : null, p]);
      rows.push([i - 0.02, slow ? null : w, null, slow ? w : null, null]);
      rows.push([i - 0.01, null, null, null, null]);
      rows.push([i + 0.02, null, slow ? null : r, slow ? r : null, null]);
      rows.push([i + 0.4, null, slow ? null : r, slow ? r : null, null]);
      rows.push([i + 0.41, null, null, null, null]);
    });
    var bar = {stepPlot: true, fillGraph: true, fillAlpha: 0.6, strokeWidth: 1};
    var label = function (x) {
      return Math.abs(x - Math.round(x)) < 0.05 ? name + ' ' + units[Math.round(x)].index : '';
    };
    draw(id, rows, {
      labels: ['unit', 'write MiB/s', 'read MiB/s', 'slowest', 'passes'],
      colors: [colours.write, colours.read, colours.slow, colours.passes],
      includeZero: true, ylabel: 'MiB/s', y2label: 'passes', connectSeparatedPoints: false,
      dateWindow: [-0.6, units.length - 0.4],
      series: {'write MiB/s': bar, 'read MiB/s': bar, 'slowest': bar,
               'passes': {axis: 'y2', drawPoints: true, pointSize: 5, strokeWidth: 0}},
      axes: {x: {valueFormatter: label, axisLabelFormatter: label, pixelsPerLabel: 20,
                 ticker: function () {
                   return units.map(function (u, i) { return {v: i, label: name + ' ' + u.index}; });
                 }},
             y2: {independentTicks: true, drawGrid: false, includeZero: true}}
    });
  }

  throughput();
  latency('write');
  latency('read');
  latency('sync');
  cliff();
  bars('chart-workers', data.workers, 'worker');
  bars('chart-ranks', data.ranks, 'rank');
  document.body.setAttribute('data-render-ms', String(Math.round(performance.now() - started)));
})();
