// The login form; `message` tells why it is shown again (a refused login).

import { el, field, errorBox, replace } from '../dom.js';

export function loginView(app, message) {
  return {
    async render(root) {
      const login = el('input', { name: 'login', id: 'login', autocomplete: 'username', required: true });
      const password = el('input', { name: 'password', id: 'password', type: 'password',
        autocomplete: 'current-password' });
      const failure = el('div', { className: 'failure' }, message ? errorBox(message) : null);
      const button = el('button', { type: 'submit', id: 'login-button' }, 'Войти');
      const form = el('form', { className: 'login', id: 'login-form' },
        el('h2', {}, 'Вход'), field('Пользователь', login), field('Пароль', password), button, failure);
      form.addEventListener('submit', async event => {
        event.preventDefault();
        button.disabled = true;
        replace(failure);
        try {
          await app.login(login.value.trim(), password.value);
        } catch (e) {
          replace(failure, errorBox(e.message));
        } finally {
          button.disabled = false;
        }
      });
      root.append(form);
      login.focus();
    },
  };
}
