// The script and style sheet of the NorbaNew page.
#include "wizard/WizardServer.h"

namespace wizard {

// Shows the start-up's message boxes first. Sends each event with every text
// of the page and shows the answer's message boxes one after the other; a
// button, option or check box then reloads the page the process renders.
// While a box is up or the focus is handed back, leaving a field sends
// nothing. A field check that fails, or an event the process refuses,
// drops every event queued behind it: the press that left the field is not
// sent once its boxes are closed.
const char kPageScript[] = R"JS('use strict';
(() => {
  const form = document.getElementById('wizard');
  if (!form) return;
  const page = Number(form.dataset.page);
  let chain = Promise.resolve();
  let quiet = false;
  let queued = 0;
  let droppedUpTo = 0;

  function texts() {
    const body = new URLSearchParams();
    for (const el of form.querySelectorAll('[data-text]')) body.append(el.name, el.value);
    return body;
  }

  function box(title, text) {
    return new Promise((done) => {
      const dialog = document.getElementById('box');
      document.getElementById('box-title').textContent = title;
      document.getElementById('box-text').textContent = text;
      const ok = document.getElementById('box-ok');
      ok.onclick = () => { dialog.close(); done(); };
      dialog.oncancel = (e) => { e.preventDefault(); };
      dialog.showModal();
      ok.focus();
    });
  }

  function send(kind, extra, reload) {
    const number = ++queued;
    chain = chain.then(async () => {
      if (number <= droppedUpTo) return;
      const body = texts();
      body.append('event', kind);
      for (const [k, v] of Object.entries(extra)) body.append(k, v);
      const answer = await fetch('/event', {method: 'POST', body, credentials: 'same-origin'});
      const refused = answer.status === 422;
      if (!answer.ok && !refused) throw new Error('event refused: ' + answer.status);
      const result = await answer.json();
      quiet = true;
      for (const m of result.messages) await box(m.title, m.text);
      if (refused || (kind === 'leave' && result.focus)) droppedUpTo = queued;
      if ((reload && !refused) || result.page !== page) {
        location.reload();
        return;
      }
      if (result.focus) {
        const field = document.getElementById(result.focus);
        if (field) field.focus();
      }
      setTimeout(() => { quiet = false; }, 0);
    }).catch((e) => { console.error(e); quiet = false; });
    return chain;
  }

  const startup = document.getElementById('startup');
  if (startup) {
    chain = chain.then(async () => {
      quiet = true;
      for (const p of startup.children) await box(p.dataset.title, p.textContent);
      setTimeout(() => { quiet = false; }, 0);
    });
  }

  for (const el of form.querySelectorAll('[data-text]')) {
    el.addEventListener('blur', () => { if (!quiet) send('leave', {control: el.id}, false); });
  }
  for (const el of form.querySelectorAll('[data-button]')) {
    el.addEventListener('click', () => send('click', {control: el.id}, true));
  }
  for (const el of form.querySelectorAll('[data-group]')) {
    el.addEventListener('change', () =>
      send('option', {control: el.dataset.group, index: el.dataset.index}, true));
  }
  for (const el of form.querySelectorAll('[data-check]')) {
    el.addEventListener('change', () => send('check', {value: el.checked ? '1' : '0'}, true));
  }
  form.addEventListener('submit', (e) => e.preventDefault());
  if (page === 9) {
    window.addEventListener('pagehide', () => {
      fetch('/event', {method: 'POST', body: new URLSearchParams({event: 'close'}),
                       credentials: 'same-origin', keepalive: true});
    });
  }
})();
)JS";

const char kPageStyle[] =
    R"CSS(body { font-family: "MS Sans Serif", sans-serif; font-size: 10pt; margin: 1em; }
fieldset { margin: 0.5em 0; }
fieldset.page > legend { font-weight: bold; }
.field { display: flex; gap: 0.5em; margin: 0.25em 0; }
.field label, .field .label { min-width: 18em; }
.field input { flex: 1; max-width: 30em; }
output { background: #c0c0c0; min-width: 20em; padding: 0 0.25em; }
button { margin: 0.5em 0.5em 0 0; min-width: 6em; }
dialog h2 { font-size: 10pt; margin: 0 0 0.5em 0; }
)CSS";

}  // namespace wizard
