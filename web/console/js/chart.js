// An archive as a time-series chart (uPlot). Rows farther apart than the
// archive's step leave a gap in the lines instead of a straight jump;
// rows flagged by the checks get a red band behind them. Each unit has one
// y axis (two temperatures share one); the time axis spans the data, or a
// step either side of a lone row. uPlot keeps every point and draws a
// dense line as the least and greatest value of each pixel column, so
// years of hourly rows draw quickly and a one-hour spike stays visible.

import uPlot from '../vendor/uPlot.esm.js';
import { DateTime } from './values.js';

const COLORS = ['#1f6fb2', '#d1495b', '#2a9d5c', '#e09f3e', '#6a4c93', '#0f8b8d', '#8d6e63', '#546e7a'];
// Greatest distance between neighbouring rows that is not a gap, in seconds.
const STEP = { hour_data: 3600 * 1.5, day_data: 86400 * 1.5, month_data: 86400 * 45 };
// Time shown either side of a lone row, in seconds.
const LONE_ROW_MARGIN = { hour_data: 3600, day_data: 86400, month_data: 86400 * 31 };
const HEIGHT = 320;
// Width of one character of the axis font, for the room the y values need.
const CHAR_PX = 7;

// Axis and legend times in the Russian way, of the wall-clock time the
// seconds stand for (see DateTime.seconds).
function timeText(seconds, withTime) {
  const iso = new Date(seconds * 1000).toISOString();
  const day = `${iso.slice(8, 10)}.${iso.slice(5, 7)}.${iso.slice(2, 4)}`;
  return withTime ? `${day} ${iso.slice(11, 16)}` : day;
}

// The chart's columns: times (with a null between rows a gap apart), one
// list of values per code, and the flagged rows as [from, to] time spans.
function chartData(archive, table, codes) {
  const dateColumn = table.column('date');
  const flagColumn = table.column('CHECK_ERR');
  const indexes = codes.map(code => table.column(code));
  const step = STEP[archive] ?? Infinity;
  const xs = [];
  const ys = codes.map(() => []);
  const bands = [];
  let flagged = 0;
  let previous = null;
  let previousFlagged = false;
  let gaps = 0;
  for (const row of table.rows) {
    const date = row[dateColumn];
    if (!(date instanceof DateTime)) continue;
    const x = date.seconds;
    if (!Number.isFinite(x) || (previous !== null && x <= previous)) continue;
    const apart = previous !== null && x - previous > step;
    if (apart) {
      xs.push((previous + x) / 2);
      ys.forEach(series => series.push(null));
      gaps++;
    }
    xs.push(x);
    indexes.forEach((c, i) => ys[i].push(typeof row[c] === 'number' && Number.isFinite(row[c]) ? row[c] : null));
    const isFlagged = flagColumn >= 0 && Boolean(row[flagColumn]);
    if (isFlagged) {
      flagged++;
      if (previousFlagged && !apart) bands[bands.length - 1][1] = x;
      else bands.push([x, x]);
    }
    previousFlagged = isFlagged;
    previous = x;
  }
  return { xs, ys, bands, flagged, gaps };
}

// One scale per unit; a column without a unit gets a scale of its own, as
// nothing says its numbers compare with another's.
function scaleOf(code, columns) {
  const unit = columns.unit(code);
  return unit ? `unit:${unit}` : `code:${code}`;
}

// table: the archive; codes: the columns to draw; columns: ParameterColumns
// for titles, units and precision. Returns the chart, or null with nothing to draw.
export function archiveChart(target, archive, table, codes, columns) {
  const { xs, ys, bands, flagged, gaps } = chartData(archive, table, codes);
  const points = ys.reduce((n, series) => n + series.filter(v => v !== null).length, 0);
  target.dataset.points = String(points);
  if (!points) return null;

  const scales = [...new Set(codes.map(code => scaleOf(code, columns)))];
  const axisLabel = scale => (scale.startsWith('unit:') ? scale.slice(5) : columns.heading(scale.slice(5)));
  const withTime = archive === 'hour_data';
  const halfStep = (STEP[archive] ?? 3600) / 3;
  const margin = LONE_ROW_MARGIN[archive] ?? 86400;
  const lone = xs[0] === xs[xs.length - 1];
  const lines = codes.map((code, i) => ({
    label: columns.heading(code),
    stroke: COLORS[i % COLORS.length],
    width: 2,
    spanGaps: false,
    // Points only where rows are far enough apart to tell (uPlot's own rule).
    points: { size: 4 },
    scale: scaleOf(code, columns),
    value: (u, v) => (v === null || v === undefined ? '—' : columns.text(code, v)),
  }));
  const options = {
    width: Math.max(320, target.clientWidth || 800),
    height: HEIGHT,
    tzDate: ts => uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC'),
    series: [{ label: 'Дата', value: (u, v) => (v === null ? '—' : timeText(v, withTime)) }].concat(lines),
    scales: {
      x: {
        time: true,
        // uPlot would stretch a lone row's axis over 1000 days from it.
        range: (u, min, max) => (lone ? [xs[0] - margin, xs[0] + margin] : [min, max]),
      },
    },
    axes: [{
      space: 100,
      values: (u, splits) => {
        const texts = splits.map(v => timeText(v, u.scales.x.max - u.scales.x.min < 4 * 86400));
        // Kept on the element, like the counts below, for whoever reads the page rather than the canvas.
        target.dataset.xTicks = texts.join('|');
        return texts;
      },
    }].concat(scales.map((scale, i) => ({
      scale,
      label: axisLabel(scale),
      side: i % 2 ? 1 : 3,
      grid: { show: i === 0 },
      size: (u, values) => (values ? 16 + CHAR_PX * Math.max(3, ...values.map(v => String(v).length)) : 50),
    }))),
    hooks: {
      drawClear: [u => {
        const ctx = u.ctx;
        ctx.save();
        ctx.fillStyle = 'rgba(209, 73, 91, 0.18)';
        for (const [from, to] of bands) {
          const left = u.valToPos(from - halfStep, 'x', true);
          const right = u.valToPos(to + halfStep, 'x', true);
          ctx.fillRect(left, u.bbox.top, Math.max(2, right - left), u.bbox.height);
        }
        ctx.restore();
      }],
    },
  };
  target.dataset.flagged = String(flagged);
  target.dataset.gaps = String(gaps);
  target.dataset.axes = JSON.stringify(scales.map(axisLabel));
  return new uPlot(options, [xs, ...ys], target);
}
