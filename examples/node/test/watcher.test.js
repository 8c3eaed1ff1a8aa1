'use strict';
// The Node parent against the real main on a simulated desktop ($SELECTION_WATCHER is the test
// executable; each test names a scenario file for it).
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const path = require('node:path');
const test = require('node:test');

const { SelectionWatcher, permissionHelp } = require('../watcher');

const SIM = process.env.SELECTION_WATCHER;
const SCENARIOS = path.join(__dirname, '..', '..', 'tests');
const EVENTS = ['start', 'selection', 'diagnostic', 'unexpected', 'restart', 'permissionDenied',
                'giveUp', 'end'];

const firefox = { selection: true, app: 'org.mozilla.firefox',
                  bounds: { x: 11, y: -4, width: 100, height: 21 } };
const cleared = { selection: false };
const SCRIPTED = [firefox, cleared, firefox, cleared,
                  { selection: true, app: 'com.google.Chrome',
                    bounds: { x: -20, y: 5, width: 41, height: 10 } },
                  cleared, firefox, cleared, { selection: true, app: 'org.mozilla.firefox' }];

function scenarioEnv(name) {
  return { ...process.env, SELECTION_WATCHER_SCENARIO: path.join(SCENARIOS, name) };
}

// A watcher on the simulated desktop with every event it emits recorded in order.
function recorded(scenario, options = {}) {
  const watcher = new SelectionWatcher({ command: SIM, env: scenarioEnv(scenario), ...options });
  const log = [];
  for (const name of EVENTS) watcher.on(name, (arg) => log.push([name, arg]));
  const of = (name) => log.filter(([n]) => n === name).map(([, arg]) => arg);
  return { watcher, log, of };
}

async function until(condition, what, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// A zombie still answers signal 0; a reaped process is gone.
function assertReaped(pid) {
  assert.throws(() => process.kill(pid, 0), { code: 'ESRCH' }, `process ${pid} not reaped`);
}

test('delivers the scripted events in order and ends the watcher with status 0', async () => {
  const { watcher, log, of } = recorded('events.scenario');
  try {
    watcher.start();
    await until(() => of('selection').length === SCRIPTED.length, 'the scripted events');
  } finally {
    assert.deepStrictEqual(await watcher.stop(), { reason: 'stopped', code: 0, signal: null });
  }
  assert.deepStrictEqual(of('selection'), SCRIPTED);
  assert.deepStrictEqual(of('diagnostic'), ['AXObserverCreate failed: -25204']);
  assert.deepStrictEqual(log.filter(([n]) => !['selection', 'diagnostic'].includes(n))
    .map(([n]) => n), ['start', 'end']);
  assertReaped(of('start')[0]);
});

test('reports the permission error once and does not restart', async () => {
  const { watcher, log } = recorded('denied.scenario', { initialDelayMs: 1 });
  const end = await watcher.start().ended;
  assert.deepStrictEqual(end, { reason: 'permissionDenied', code: 2, signal: null });
  await new Promise((resolve) => setTimeout(resolve, 100));
  assert.deepStrictEqual(log.map(([n]) => n), ['start', 'permissionDenied', 'end']);
  assertReaped(log[0][1]);
});

test('starts the watcher again after it died, then ends the new one cleanly', async () => {
  const { watcher, of } = recorded('crash-on-signal.scenario', { initialDelayMs: 50 });
  try {
    watcher.start();
    await until(() => of('selection').length === 1, 'the first event');
    process.kill(watcher.pid, 'SIGUSR1');  // makes it abort
    await until(() => of('selection').length === 2, 'the first event of the new watcher');
  } finally {
    assert.deepStrictEqual(await watcher.stop(), { reason: 'stopped', code: 0, signal: null });
  }
  assert.deepStrictEqual(of('restart'), [{ code: null, signal: 'SIGABRT', failures: 1, delayMs: 50 }]);
  assert.deepStrictEqual(of('selection'), [firefox, firefox], 'the new one restates the state');
  const pids = of('start');
  assert.strictEqual(pids.length, 2);
  pids.forEach(assertReaped);
});

test('doubles the delay after each quick failure and gives up after too many', async () => {
  const { watcher, of } = recorded('crash-soon.scenario',
                                   { initialDelayMs: 20, maxQuickFailures: 4 });
  const end = await watcher.start().ended;
  assert.deepStrictEqual(end, { reason: 'gaveUp', code: null, signal: 'SIGABRT' });
  assert.deepStrictEqual(of('restart').map((r) => [r.failures, r.delayMs]),
                         [[1, 20], [2, 40], [3, 80]]);
  assert.deepStrictEqual(of('giveUp'), [{ code: null, signal: 'SIGABRT', failures: 4, error: null }]);
  of('start').forEach(assertReaped);
});

test('a run that lasted long enough resets the back-off', async () => {
  // Each run lives about 300 ms before it aborts: healthy by this measure, so never given up.
  const { watcher, of } = recorded('crash-soon.scenario',
                                   { initialDelayMs: 20, healthyAfterMs: 100, maxQuickFailures: 2 });
  try {
    watcher.start();
    await until(() => of('restart').length === 3, 'three restarts');
  } finally {
    assert.strictEqual((await watcher.stop()).reason, 'stopped');
  }
  assert.deepStrictEqual(of('restart').map((r) => [r.failures, r.delayMs]),
                         [[1, 20], [1, 20], [1, 20]]);
  of('start').forEach(assertReaped);
});

test('kills a child that does not end with its input; gives up on one that cannot start', async () => {
  const stubborn = recorded('events.scenario', { command: 'sleep', args: ['30'], stopTimeoutMs: 200 });
  stubborn.watcher.start();
  assert.deepStrictEqual(await stubborn.watcher.stop(),
                         { reason: 'stopped', code: null, signal: 'SIGKILL' });
  assertReaped(stubborn.of('start')[0]);

  const missing = recorded('events.scenario', { command: path.join(SCENARIOS, 'no-such-file') });
  assert.strictEqual((await missing.watcher.start().ended).reason, 'gaveUp');
  assert.strictEqual(missing.of('giveUp')[0].error.code, 'ENOENT');
  assert.deepStrictEqual(missing.of('start'), []);
});

// The command-line example: prints every event, ends cleanly on SIGTERM, exits 2 without access.
function runCli(scenario, onStdout = () => {}) {
  const child = spawn(process.execPath, [path.join(__dirname, '..', 'main.js'), SIM],
                      { env: scenarioEnv(scenario) });
  const out = { stdout: '', stderr: '' };
  child.stdout.on('data', (data) => { out.stdout += data; onStdout(out.stdout, child); });
  child.stderr.on('data', (data) => { out.stderr += data; });
  return new Promise((resolve) => child.on('close', (code, signal) => resolve({ ...out, code, signal })));
}

test('command-line example', async () => {
  const run = await runCli('events.scenario', (stdout, child) => {
    if (stdout.split('\n').length > SCRIPTED.length) child.kill('SIGTERM');
  });
  assert.strictEqual(run.code, 0, run.stderr);
  const lines = run.stdout.trimEnd().split('\n');
  assert.strictEqual(lines.length, SCRIPTED.length);
  assert.strictEqual(lines[0], 'text selected in org.mozilla.firefox at x=11 y=-4, 100x21');
  assert.strictEqual(lines[1], 'nothing selected');
  assert.strictEqual(lines[8], 'text selected in org.mozilla.firefox at an unknown position');
  assert.match(run.stderr, /AXObserverCreate failed: -25204/);

  const denied = await runCli('denied.scenario');
  assert.strictEqual(denied.code, 2);
  assert.strictEqual(denied.stdout, '');
  assert.ok(denied.stderr.includes(permissionHelp()), denied.stderr);
});
