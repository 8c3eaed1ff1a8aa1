// Node's own types as far as the declarations use them, for where @types/node is not installed.
declare module 'node:events' { export class EventEmitter {} }
declare namespace NodeJS {
  type Signals = string;
  type Platform = string;
  type ProcessEnv = Record<string, string | undefined>;
  interface ErrnoException extends Error { code?: string }
}
