'use strict';
// The package against the real main on a simulated desktop: $SELECTION_WATCHER is the test
// executable, each case names a scenario file for it. $SELECTION_WATCHER_PACKAGE, when set, is an
// installed package to test instead of this source tree, with the executable of its platform.
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');

const pkg = process.env.SELECTION_WATCHER_PACKAGE || path.join(__dirname, '..');
const { SelectionWatcher, permissionHelp, findExecutable } = require(pkg);
const SIM = process.env.SELECTION_WATCHER;
const scenarioEnv = (name) => ({ ...process.env, SELECTION_WATCHER_SCENARIO: path.join(__dirname, '../../tests', name) });
const firefox = { selection: true, app: 'org.mozilla.firefox', bounds: { x: 11, y: -4, width: 100, height: 21 } };
const cleared = { selection: false };
const LOADER = "selection-watcher: /lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.36' not found (required by selection-watcher)";
const SCRIPTED = [firefox, cleared, firefox, cleared, { selection: true, app: 'com.google.Chrome', bounds: { x: -20, y: 5, width: 41, height: 10 } },
                  cleared, firefox, cleared, { selection: true, app: firefox.app }];
// Every event but 'start' and 'selection', in a line each.
const brief = ([name, arg]) => `${name} ${{
  diagnostic: () => arg,
  restart: () => `${arg.signal} ${arg.failures} ${arg.delayMs}`,
  giveUp: () => `${arg.signal || arg.error.code} ${arg.failures}`,
  end: () => `${arg.reason} ${arg.code ?? arg.signal}`,
}[name]?.() ?? ''}`.trim();

test('delivers the events, restarts a dead watcher with a doubling delay up to a limit, ends as told', async () => {
  const killFirst = (of, watcher) => of('start').length === 1 && of('selection').length && watcher.pid && process.kill(watcher.pid, 'SIGUSR1');
  for (const [scenario, options, done, expected, selections, poke = () => {}] of [
    ['events.scenario', {}, (of) => of('selection').length === SCRIPTED.length, ['diagnostic AXObserverCreate failed: -25204', 'end stopped 0'], SCRIPTED],
    ['denied.scenario', { initialDelayMs: 1 }, () => false, ['permissionDenied', 'end permissionDenied 2']],
    // killed once: the new watcher restates the state
    ['crash-on-signal.scenario', { initialDelayMs: 50 }, (of) => of('selection').length === 2, ['restart SIGABRT 1 50', 'end stopped 0'], [firefox, firefox], killFirst],
    ['crash-soon.scenario', { initialDelayMs: 20, maxQuickFailures: 4 }, () => false, ['restart SIGABRT 1 20', 'restart SIGABRT 2 40', 'restart SIGABRT 3 80', 'giveUp SIGABRT 4', 'end gaveUp SIGABRT']],
    // each run lives about 300 ms: healthy by this measure, so never given up
    ['crash-soon.scenario', { initialDelayMs: 20, healthyAfterMs: 100, maxQuickFailures: 2 }, (of) => of('start').length === 4, [...Array(3).fill('restart SIGABRT 1 20'), 'end stopped 0']],
    ['events.scenario', { command: 'sleep', args: ['30'], stopTimeoutMs: 200 }, (of) => of('start').length, ['end stopped SIGKILL']],
    ['events.scenario', { command: '/no/such/file' }, () => false, ['giveUp ENOENT 0', 'end gaveUp null']],
    // the system's loader failed: given up at once, not restarted
    ['events.scenario', { command: 'sh', args: ['-c', 'echo "$0" >&2; exit 1', LOADER] }, () => false, [`diagnostic ${LOADER}`, 'giveUp ELOAD 1', 'end gaveUp 1']],
    ['events.scenario', { command: 'sh', args: ['-c', 'exit 127'] }, () => false, ['giveUp ELOAD 1', 'end gaveUp 127']],
  ]) {
    const watcher = new SelectionWatcher({ command: SIM, env: scenarioEnv(scenario), ...options });
    const log = [];
    const emit = watcher.emit.bind(watcher);
    watcher.emit = (name, arg) => log.push([name, arg]) && emit(name, arg);
    const of = (name) => log.filter(([n]) => n === name).map(([, arg]) => arg);
    try {
      watcher.start();
      for (const deadline = Date.now() + 10000; !done(of) && !of('end').length; await new Promise((r) => setTimeout(r, 10))) {
        assert.ok(Date.now() < deadline, `timed out on ${scenario}`);
        poke(of, watcher);
      }
    } finally {
      await watcher.stop();
    }
    assert.deepStrictEqual(log.filter(([n]) => !['start', 'selection'].includes(n)).map(brief), expected, scenario);
    if (selections) assert.deepStrictEqual(of('selection'), selections, scenario);
    // Every process it started has been reaped: a zombie would still answer signal 0.
    for (const pid of of('start')) assert.throws(() => process.kill(pid, 0), { code: 'ESRCH' });
  }
});

test('runs the command given, else $SELECTION_WATCHER, else the platform package\'s', async () => {
  assert.strictEqual(findExecutable('/given', { SELECTION_WATCHER: '/env' }), '/given');
  assert.strictEqual(findExecutable(undefined, { SELECTION_WATCHER: '/env' }), '/env');
  // Each platform package's executable, Windows' with its .exe, found through stand-ins.
  const modules = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'sw-'));
  for (const [platform, exe] of [['win32', 'selection-watcher.exe'], ['linux', 'selection-watcher']]) {
    const file = path.join(modules, 'node_modules', `selection-watcher-${platform}-x64`, 'bin', exe);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, '');
    assert.strictEqual(findExecutable(undefined, {}, { platform, arch: 'x64', paths: [modules] }), file);
  }
  assert.strictEqual(findExecutable(undefined, {}, { platform: 'win32', arch: 'arm64', paths: [modules] }), 'selection-watcher');
  fs.rmSync(modules, { recursive: true });
  if (!process.env.SELECTION_WATCHER_PACKAGE) return assert.strictEqual(findExecutable(undefined, {}), 'selection-watcher');
  // Installed: the platform package's watcher, with no accessibility bus in its environment.
  const watcher = new SelectionWatcher({ command: findExecutable(undefined, {}), env: { XDG_RUNTIME_DIR: fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'sw-')) } });
  assert.match(watcher.command, new RegExp(`^${path.dirname(pkg)}/selection-watcher-${process.platform}-${process.arch}/bin/`));
  assert.deepStrictEqual(await watcher.start().ended, { reason: 'permissionDenied', code: 2, signal: null });
});

test('command-line program: prints the events, exits 0 on SIGTERM and 2 without access', () => {
  const cli = (scenario) => spawnSync(process.execPath, [path.join(pkg, 'main.js'), SIM],
    { env: scenarioEnv(scenario), encoding: 'utf8', timeout: 3000, killSignal: 'SIGTERM' });
  const events = cli('events.scenario');
  const lines = events.stdout.split('\n');
  assert.deepStrictEqual([events.status, lines.length, lines[0], lines[1], lines[8]], [0, 10, 'text selected in org.mozilla.firefox at x=11 y=-4, 100x21',
    'nothing selected', 'text selected in org.mozilla.firefox at an unknown position'], events.stderr);
  const denied = cli('denied.scenario');
  assert.deepStrictEqual([denied.status, denied.stdout, denied.stderr.includes(permissionHelp())], [2, '', true]);
});
