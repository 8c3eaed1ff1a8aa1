'use strict';
// Runs selection-watcher as a child process and turns its output into events. Needs nothing but
// Node itself and, for the executable, the platform package installed with this one.
//
//   const { SelectionWatcher } = require('selection-watcher');
//   const watcher = new SelectionWatcher();          // or {command: '/path/to/selection-watcher'}
//   watcher.on('selection', (event) => { ... });    // {selection: false} or
//                                                    // {selection: true, app, bounds?}
//   watcher.start();
//   ...
//   await watcher.stop();                            // closes its stdin and waits for it
//
// Events:
//   'start'            (pid)                      a watcher process was started
//   'selection'        (event)                    one event line, parsed
//   'diagnostic'       (line)                     one stderr line: log it, don't parse it
//   'unexpected'       (line)                     a stdout line that is not part of the protocol
//   'restart'          ({code, signal, failures, delayMs})
//                                                 it died without being asked to; a new one starts
//                                                 after delayMs
//   'permissionDenied' ()                         no accessibility access; it is not restarted
//   'giveUp'           ({code, signal, failures, error})
//                                                 it kept dying, or could not be started or loaded
//                                                 at all (error: why; its code 'ELOAD' for the
//                                                 system's loader), which no restart would mend
//   'end'              ({reason, code, signal})   the last event: reason is 'stopped',
//                                                 'permissionDenied' or 'gaveUp'
// No 'error' event is ever emitted, so nothing throws for want of a listener.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const readline = require('node:readline');

const PERMISSION_DENIED = 'ax_permission_denied';
const PERMISSION_DENIED_STATUS = 2;
// How the system says it could not load the executable: the loader's exit statuses (POSIX shells'
// 126 and 127; Windows' missing DLL, missing entry point, bad image) and its lines on stderr
// (glibc, musl, macOS's dyld). The watcher itself never ends so.
const LOADER_STATUSES = [126, 127, 0xC0000135, 0xC0000139, 0xC000007B];
const LOADER_LINE = /error while loading shared libraries|version `[^']*' not found|^dyld(\[\d+\])?: |Error (loading shared librar|relocating)/;

// What to tell the user when the watcher has no accessibility access.
function permissionHelp(platform = process.platform) {
  if (platform === 'darwin') {
    return [
      'selection-watcher has no accessibility access.',
      'Open System Settings > Privacy & Security > Accessibility and turn on the application that',
      'starts the watcher (when run from a terminal: the terminal application), then start again.',
    ].join('\n');
  }
  if (platform === 'win32') {
    return [
      'selection-watcher cannot use UI Automation.',
      'It reads the browsers of the desktop it runs on: start it from a program in the signed-in',
      'user\'s desktop session (not from a service or a remote shell without a desktop), then start again.',
    ].join('\n');
  }
  return [
    'selection-watcher cannot use the accessibility bus.',
    'Turn accessibility on for your desktop session:',
    '  gsettings set org.gnome.desktop.interface toolkit-accessibility true',
    'and make sure the AT-SPI bus is running (at-spi-bus-launcher, from at-spi2-core);',
    'then restart your browsers and start again.',
  ].join('\n');
}

// The executable to run: the command given, then $SELECTION_WATCHER, then the one in the platform
// package npm installed beside this one, and last selection-watcher from the PATH (a system
// package), which fails to start with ENOENT when there is none. On Windows the executable is
// selection-watcher.exe. `where` is for tests: another platform, and the folders to look in.
function findExecutable(command, env = process.env, where = {}) {
  if (command) return command;
  if (env.SELECTION_WATCHER) return env.SELECTION_WATCHER;
  const { platform = process.platform, arch = process.arch, paths } = where;
  const exe = platform === 'win32' ? 'selection-watcher.exe' : 'selection-watcher';
  try {
    return require.resolve(`selection-watcher-${platform}-${arch}/bin/${exe}`, paths && { paths });
  } catch {
    return 'selection-watcher';
  }
}

class SelectionWatcher extends EventEmitter {
  constructor(options = {}) {
    super();
    this.command = findExecutable(options.command);
    this.args = options.args || [];
    this.env = options.env || process.env;
    this.initialDelayMs = options.initialDelayMs ?? 500;
    this.maxDelayMs = options.maxDelayMs ?? 30000;
    this.healthyAfterMs = options.healthyAfterMs ?? 60000; // a run this long resets the back-off
    this.maxQuickFailures = options.maxQuickFailures ?? 10;
    this.stopTimeoutMs = options.stopTimeoutMs ?? 5000;

    this._child = null;
    this._started = false;
    this._stopping = false;
    this._ended = false;
    this._quickFailures = 0;
    this._restartTimer = null;
    this._endInfo = null;
    this.ended = new Promise((resolve) => { this._resolveEnded = resolve; });
  }

  // The process id of the running watcher, or undefined between runs.
  get pid() {
    return this._child ? this._child.pid : undefined;
  }

  // Starts the watcher; once only: a second call, or one after stop(), does nothing.
  start() {
    if (!this._started && !this._stopping) {
      this._started = true;
      this._spawn();
    }
    return this;
  }

  // Ends the watcher the only way it understands, by closing its standard input, and waits until
  // it has exited and been reaped. Resolves with the 'end' information. A watcher that does not
  // exit within stopTimeoutMs is killed.
  stop() {
    this._stopping = true;
    clearTimeout(this._restartTimer);
    this._restartTimer = null;
    const child = this._child;
    if (child) {
      child.stdin.end();
      if (!child.killTimer) {
        child.killTimer = setTimeout(() => child.kill('SIGKILL'), this.stopTimeoutMs);
      }
    } else {
      this._finish('stopped', null, null);
    }
    return this.ended;
  }

  _spawn() {
    // A process group of its own: Ctrl-C in a terminal then reaches only this process, which ends
    // the watcher by closing its input, instead of killing it behind our back.
    // On Windows no console window shows for it either.
    const child = spawn(this.command, this.args, {
      env: this.env,
      stdio: ['pipe', 'pipe', 'pipe'],
      detached: true,
      windowsHide: true,
    });
    this._child = child;
    const startedAt = Date.now();
    let spawnError = null;
    let denied = false;
    let loaderLine = null;

    child.on('error', (error) => { spawnError = error; });
    // Closing the input of a watcher that has already died fails with EPIPE; its exit is
    // handled below.
    child.stdin.on('error', () => {});

    readline.createInterface({ input: child.stdout, crlfDelay: Infinity }).on('line', (line) => {
      let event;
      try {
        event = JSON.parse(line);
      } catch {
        event = null;
      }
      if (event && event.error === PERMISSION_DENIED) {
        denied = true;
      } else if (event && typeof event.selection === 'boolean') {
        this.emit('selection', event);
      } else {
        this.emit('unexpected', line);
      }
    });
    readline.createInterface({ input: child.stderr, crlfDelay: Infinity })
      .on('line', (line) => {
        if (loaderLine === null && LOADER_LINE.test(line)) loaderLine = line;
        this.emit('diagnostic', line);
      });

    // 'close' comes after the process was reaped and both of its outputs were read to the end,
    // so every line has been delivered by then.
    child.on('close', (code, signal) => {
      clearTimeout(child.killTimer);
      this._child = null;
      if (spawnError) {
        // Not found, not executable: trying again will not help.
        this.emit('giveUp', { code: null, signal: null, failures: 0, error: spawnError });
        this._finish('gaveUp', null, null);
      } else if (loaderLine !== null || LOADER_STATUSES.includes(code)) {
        const error = new Error(`the system could not load it: ${loaderLine ?? `exit status ${code}`}`);
        error.code = 'ELOAD';
        this.emit('giveUp', { code, signal, failures: 1, error });
        this._finish('gaveUp', code, signal);
      } else if (denied || code === PERMISSION_DENIED_STATUS) {
        this.emit('permissionDenied');
        this._finish('permissionDenied', code, signal);
      } else if (this._stopping) {
        this._finish('stopped', code, signal);
      } else {
        this._died(code, signal, Date.now() - startedAt);
      }
    });

    if (child.pid !== undefined) this.emit('start', child.pid);
  }

  // It ended without being asked to: start it again after a delay that doubles with every quick
  // failure in a row, unless it keeps failing.
  _died(code, signal, ranMs) {
    if (ranMs >= this.healthyAfterMs) this._quickFailures = 0;
    this._quickFailures += 1;
    const failures = this._quickFailures;
    if (failures >= this.maxQuickFailures) {
      this.emit('giveUp', { code, signal, failures, error: null });
      this._finish('gaveUp', code, signal);
      return;
    }
    const delayMs = Math.min(this.initialDelayMs * 2 ** (failures - 1), this.maxDelayMs);
    // Armed before the event, so that a listener may still call stop().
    this._restartTimer = setTimeout(() => {
      this._restartTimer = null;
      this._spawn();
    }, delayMs);
    this.emit('restart', { code, signal, failures, delayMs });
  }

  _finish(reason, code, signal) {
    if (this._ended) return;
    this._ended = true;
    this._endInfo = { reason, code, signal };
    this.emit('end', this._endInfo);
    this._resolveEnded(this._endInfo);
  }
}

module.exports = { SelectionWatcher, permissionHelp, findExecutable, PERMISSION_DENIED };
