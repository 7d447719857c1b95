// A "from - to" pair of day inputs with a button, shared by the views that
// read a period.

import { el, field } from './dom.js';
import { isoDay } from './values.js';

export function periodForm({ fromDays = -7, extra = [], button = 'Показать', onSubmit }) {
  const from = el('input', { type: 'date', name: 'from', value: isoDay(fromDays) });
  const to = el('input', { type: 'date', name: 'to', value: isoDay(0) });
  const form = el('form', { className: 'period' }, extra, field('С', from), field('По', to),
    el('button', { type: 'submit' }, button));
  form.addEventListener('submit', event => {
    event.preventDefault();
    onSubmit();
  });
  return { form, from, to };
}
