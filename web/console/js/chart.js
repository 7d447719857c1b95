// An archive as a time-series chart (uPlot). Rows farther apart than the
// archive's step leave a gap in the lines instead of a straight jump;
// rows flagged by the checks get a red band behind them.

import uPlot from '../vendor/uPlot.esm.js';
import { DateTime } from './values.js';

const COLORS = ['#1f6fb2', '#d1495b', '#2a9d5c', '#e09f3e', '#6a4c93', '#0f8b8d', '#8d6e63', '#546e7a'];
// Greatest distance between neighbouring rows that is not a gap, in seconds.
const STEP = { hour_data: 3600 * 1.5, day_data: 86400 * 1.5, month_data: 86400 * 45 };

// Axis and legend times in the Russian way, of the wall-clock time the
// seconds stand for (see DateTime.seconds).
function timeText(seconds, withTime) {
  const iso = new Date(seconds * 1000).toISOString();
  const day = `${iso.slice(8, 10)}.${iso.slice(5, 7)}.${iso.slice(2, 4)}`;
  return withTime ? `${day} ${iso.slice(11, 16)}` : day;
}

// table: the archive; codes: the columns to draw; columns: ParameterColumns
// for titles and units. Returns the chart, or null with nothing to draw.
export function archiveChart(target, archive, table, codes, columns) {
  const dateColumn = table.column('date');
  const flagColumn = table.column('CHECK_ERR');
  const indexes = codes.map(code => table.column(code));
  const xs = [];
  const ys = codes.map(() => []);
  const flagged = [];
  let previous = null;
  let gaps = 0;
  for (const row of table.rows) {
    const date = row[dateColumn];
    if (!(date instanceof DateTime)) continue;
    const x = date.seconds;
    if (previous !== null && x - previous > (STEP[archive] ?? Infinity)) {
      xs.push((previous + x) / 2);
      ys.forEach(series => series.push(null));
      gaps++;
    }
    xs.push(x);
    indexes.forEach((c, i) => ys[i].push(typeof row[c] === 'number' && Number.isFinite(row[c]) ? row[c] : null));
    if (flagColumn >= 0 && row[flagColumn]) flagged.push(x);
    previous = x;
  }
  const points = ys.reduce((n, series) => n + series.filter(v => v !== null).length, 0);
  target.dataset.points = String(points);
  if (!points) return null;

  // One scale per unit, named so that no unit is an empty key.
  const scaleOf = code => `unit:${columns.columns.get(code)?.unit ?? ''}`;
  const scales = [...new Set(codes.map(scaleOf))];
  const halfStep = (STEP[archive] ?? 3600) / 3;
  const options = {
    width: Math.max(320, target.clientWidth || 800),
    height: 320,
    tzDate: ts => uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC'),
    series: [{ label: 'Дата', value: (u, v) => (v === null ? '—' : timeText(v, archive === 'hour_data')) }].concat(codes.map((code, i) => ({
      label: columns.heading(code),
      stroke: COLORS[i % COLORS.length],
      width: 2,
      spanGaps: false,
      points: { show: true, size: 4 },
      scale: scaleOf(code),
    }))),
    scales: { x: { time: true } },
    axes: [{ space: 100, values: (u, splits) => splits.map(v => timeText(v, u.scales.x.max - u.scales.x.min < 4 * 86400)) }]
      .concat(scales.map((scale, i) => ({ scale, label: scale.slice(5), side: i % 2 ? 1 : 3,
      grid: { show: i === 0 } }))),
    hooks: {
      drawClear: [u => {
        const ctx = u.ctx;
        ctx.save();
        ctx.fillStyle = 'rgba(209, 73, 91, 0.18)';
        for (const x of flagged) {
          const left = u.valToPos(x - halfStep, 'x', true);
          const right = u.valToPos(x + halfStep, 'x', true);
          ctx.fillRect(left, u.bbox.top, Math.max(2, right - left), u.bbox.height);
        }
        ctx.restore();
      }],
    },
  };
  target.dataset.flagged = String(flagged.length);
  target.dataset.gaps = String(gaps);
  return new uPlot(options, [xs, ...ys], target);
}
