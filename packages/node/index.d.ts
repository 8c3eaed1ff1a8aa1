import { EventEmitter } from 'node:events';

/** Nothing is selected in the browser in front (or no watched browser is in front). */
export interface ClearedEvent {
  selection: false;
}

/** Text is selected in the browser in front. */
export interface PresentEvent {
  selection: true;
  /** The browser's identifier, e.g. "org.mozilla.firefox"; "" when it could not be read. */
  app: string;
  /** Where the selection is on the screen; absent when the rectangle is not known. */
  bounds?: { x: number; y: number; width: number; height: number };
}

export type SelectionEvent = ClearedEvent | PresentEvent;

export interface End {
  reason: 'stopped' | 'permissionDenied' | 'gaveUp';
  code: number | null;
  signal: NodeJS.Signals | null;
}

export interface Restart {
  code: number | null;
  signal: NodeJS.Signals | null;
  failures: number;
  delayMs: number;
}

export interface GiveUp {
  code: number | null;
  signal: NodeJS.Signals | null;
  failures: number;
  /** Why it could not be started at all (code ENOENT, EACCES...) or loaded (code ELOAD: the
   *  system's loader failed, e.g. a missing library, and said so on stderr or by exit status 126
   *  or 127); null when it kept dying. */
  error: NodeJS.ErrnoException | null;
}

export interface SelectionWatcherOptions {
  /** The executable; default $SELECTION_WATCHER, then the platform package's, then the PATH's. */
  command?: string;
  args?: readonly string[];
  env?: NodeJS.ProcessEnv;
  /** Delay before the first restart, doubled after every quick failure. Default 500. */
  initialDelayMs?: number;
  /** Default 30000. */
  maxDelayMs?: number;
  /** A run that lasted this long resets the back-off. Default 60000. */
  healthyAfterMs?: number;
  /** Give up after this many quick failures in a row. Default 10. */
  maxQuickFailures?: number;
  /** After stop(), kill a watcher that has not exited within this time. Default 5000. */
  stopTimeoutMs?: number;
}

export interface SelectionWatcherEvents {
  start: [pid: number];
  selection: [event: SelectionEvent];
  diagnostic: [line: string];
  unexpected: [line: string];
  restart: [restart: Restart];
  permissionDenied: [];
  giveUp: [giveUp: GiveUp];
  end: [end: End];
}

export class SelectionWatcher extends EventEmitter {
  constructor(options?: SelectionWatcherOptions);
  readonly command: string;
  /** The process id of the running watcher, or undefined between runs. */
  readonly pid: number | undefined;
  /** Resolves with the last event's information. */
  readonly ended: Promise<End>;
  /** Starts the watcher; a second call, or one after stop(), does nothing. */
  start(): this;
  /** Closes the watcher's standard input and resolves once it has exited and been reaped. */
  stop(): Promise<End>;

  on<K extends keyof SelectionWatcherEvents>(
    event: K, listener: (...args: SelectionWatcherEvents[K]) => void): this;
  once<K extends keyof SelectionWatcherEvents>(
    event: K, listener: (...args: SelectionWatcherEvents[K]) => void): this;
  off<K extends keyof SelectionWatcherEvents>(
    event: K, listener: (...args: SelectionWatcherEvents[K]) => void): this;
  emit<K extends keyof SelectionWatcherEvents>(event: K, ...args: SelectionWatcherEvents[K]): boolean;
}

/** What to tell the user when the watcher has no accessibility access. */
export function permissionHelp(platform?: NodeJS.Platform): string;

/** The executable a watcher without a `command` option runs. */
export function findExecutable(command?: string, env?: NodeJS.ProcessEnv,
  where?: { platform?: NodeJS.Platform; arch?: string; paths?: string[] }): string;

export const PERMISSION_DENIED: 'ax_permission_denied';
