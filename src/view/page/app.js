'use strict';
// Names come from strangers: they reach the page only as text.
async function load() {
  const response = await fetch('/api/archive');
  const archive = await response.json();
  document.getElementById('title').textContent = archive.path;
  const body = document.querySelector('#entries tbody');
  for (const entry of archive.entries) {
    const row = body.insertRow();
    for (const value of [entry.number, entry.name, entry.size]) {
      row.insertCell().textContent = String(value);
    }
  }
}
load();
