// Compiled, never run: the declarations accept what docs/integration.md shows and refuse misuse.
import { End, SelectionWatcher, permissionHelp } from 'selection-watcher';

declare function show(...values: unknown[]): void;
const watcher = new SelectionWatcher({ command: '/path/to/selection-watcher', initialDelayMs: 100 });
// @ts-expect-error: a cleared event names no application
watcher.on('selection', (event) => show(event.selection ? event.bounds?.width : event.app));
watcher.on('restart', ({ failures, delayMs }) => show(failures + delayMs, permissionHelp()));
// @ts-expect-error: there is no such event
watcher.on('selected', () => show());
const ended: Promise<End> = watcher.start().stop();
