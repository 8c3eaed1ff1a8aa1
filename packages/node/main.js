#!/usr/bin/env node
'use strict';
// Prints what selection-watcher reports until Ctrl-C (or SIGTERM).
//
//   node main.js [/path/to/selection-watcher]
//
// Without an argument it runs $SELECTION_WATCHER, or the executable of the platform package, or
// selection-watcher from the PATH.
// Exit status: 0 after Ctrl-C or SIGTERM, 2 without accessibility access, 1 when the watcher kept
// dying or could not be started.

const { SelectionWatcher, permissionHelp } = require('.');

function describe(event) {
  if (!event.selection) return 'nothing selected';
  const where = event.bounds
    ? `at x=${event.bounds.x} y=${event.bounds.y}, ${event.bounds.width}x${event.bounds.height}`
    : 'at an unknown position';
  return `text selected in ${event.app || 'an unnamed browser'} ${where}`;
}

const watcher = new SelectionWatcher({ command: process.argv[2] });

watcher.on('selection', (event) => console.log(describe(event)));
watcher.on('diagnostic', (line) => console.error(`selection-watcher: ${line}`));
watcher.on('unexpected', (line) => console.error(`ignored output line: ${line}`));
watcher.on('restart', ({ code, signal, delayMs }) => {
  console.error(`selection-watcher ended (${signal || `status ${code}`}); ` +
                `starting it again in ${delayMs / 1000} s`);
});
watcher.on('permissionDenied', () => console.error(permissionHelp()));
watcher.on('giveUp', ({ code, signal, failures, error }) => {
  console.error(error
    ? `cannot start ${watcher.command}: ${error.message}`
    : `selection-watcher ended ${failures} times in a row (last: ${signal || `status ${code}`}); giving up`);
});
watcher.on('end', ({ reason }) => {
  process.exitCode = { stopped: 0, permissionDenied: 2, gaveUp: 1 }[reason];
});

for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => watcher.stop());

watcher.start();
