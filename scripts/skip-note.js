'use strict';
// A source build that leaves an addon out says why in one line, on standard
// error and in build/<addon>.skipped: npm hides the output of an install
// script that succeeds, so the module loader repeats the line when the addon
// is required (lib/load-addon.js).
const fs = require('fs');
const path = require('path');

const BUILD = path.join(__dirname, '..', 'build');

function noteSkip(addon, line) {
  process.stderr.write(`${line}\n`);
  try {
    fs.mkdirSync(BUILD, { recursive: true });
    fs.writeFileSync(path.join(BUILD, `${addon}.skipped`), `${line}\n`);
  } catch (_) { /* a read-only tree still gets the line on standard error */ }
}

// NONCESIEVE_ADDONS="clsieve" (a list) builds only the addons it names; the
// others are left out without a note.
function selected(addon) {
  const list = process.env.NONCESIEVE_ADDONS;
  return !list || list.split(/[\s,]+/).includes(addon);
}

function clearSkip(addon) {
  fs.rmSync(path.join(BUILD, `${addon}.skipped`), { force: true });
}

module.exports = { noteSkip, clearSkip, selected };
