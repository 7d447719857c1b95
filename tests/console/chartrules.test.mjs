// The console's own rules on tables made up here: which columns a chart
// draws before the operator picks, and the headings of parameter columns.
import { test } from 'node:test';
import assert from 'node:assert/strict';

const { Table } = await import('../../web/console/js/values.js');
const { defaultChartCodes } = await import('../../web/console/js/chartseries.js');
const { ParameterColumns } = await import('../../web/console/js/params.js');

test('a chart first draws the quantities looked at first, of the first system that has them', () => {
  const cases = [
    // (A meter's usual hourly archive, pressure left for the operator to pick: test_console's five years.)
    [['S1_t1', 'S1_V1', 'S1_M1'], [[70, 1, 2], [71, 2, 3]], ['S1_t1', 'S1_M1']],   // mass before volume
    [['S1_P1', 'S2_Q', 'S2_t1'], [[6, 1, 70], [7, 2, 71]], ['S2_t1', 'S2_Q']],
    [['S1_t1', 'S1_t2', 'S1_Q'], [[70, 40, 5], [70, 41, 6]], ['S1_t2', 'S1_Q']],   // a supply that never changes
    // None of those: the first three that change.
    [['Th', 'ta', 'Vx', 'Pe', 'Ee'], [[1, -5, 10, null, 1], [1, -4, 12, 3, 2], [1, -6, 15, 4, 3]], ['ta', 'Vx', 'Pe']],
    [['S1_t1', 'S1_Q'], [[70, 5]], ['S1_t1', 'S1_Q']],   // a lone row tells nothing constant
  ];
  for (const [columns, rows, drawn] of cases)
    assert.deepEqual(defaultChartCodes(new Table(columns, rows), columns), drawn, columns.join());
});

test('a heading names its unit once', () => {
  const cases = [['Время наработки, ч', 'ч', 'Время наработки, ч'], ['Объем (м3)', 'м3', 'Объем (м3)'],
    ['Ключ', 'ч', 'Ключ, ч'], ['Тепловая мощность, Гкал/ч', 'ч', 'Тепловая мощность, Гкал/ч, ч'],
    ['Тепловая энергия', null, 'Тепловая энергия']];
  for (const [name, unit, heading] of cases)
    assert.equal(new ParameterColumns({ params: [{ code: 'x', name, unit }] }).heading('x'), heading, name);
});
