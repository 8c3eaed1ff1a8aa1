"""Runs selection-watcher as a child process and turns its output into callbacks.

It needs only the standard library; the wheel carries the executable for its platform.

    from selection_watcher import SelectionWatcher

    watcher = SelectionWatcher(on_selection=print)   # or SelectionWatcher("/path/to/selection-watcher")
    watcher.start()
    ...
    watcher.stop()          # closes its stdin and waits for it

Callbacks (all optional) run on the watcher's own thread, one at a time:
    on_start(pid)                          a watcher process was started
    on_selection(event)                    one event line, parsed: {"selection": False} or
                                           {"selection": True, "app": ..., "bounds"?: {...}}
    on_diagnostic(line)                    one stderr line: log it, don't parse it (default: the
                                           logging module)
    on_unexpected(line)                    a stdout line that is not part of the protocol
    on_restart(returncode, failures, delay)
                                           it died without being asked to; a new one starts
                                           after delay seconds (returncode -N: killed by signal N)
    on_permission_denied()                 no accessibility access; it is not restarted
    on_give_up(returncode, failures, error)
                                           it kept dying (error None), or could not be started
                                           (error: the OSError) or loaded (a LoadError: the
                                           system's loader failed) at all; no restart would help
    on_end(end)                            the last call: end.reason is "stopped",
                                           "permission_denied" or "gave_up"
In a GUI application, hand each call over to the toolkit's thread (tkinter's root.after, a Qt
signal): see docs/integration.md. Do not call stop() from a callback and wait there for its end:
the end is delivered on that same thread. stop() from a callback only asks; wait() from elsewhere.
"""

import json
import logging
import os
import queue
import re
import subprocess
import sys
import threading
import time
from typing import NamedTuple, Optional

PERMISSION_DENIED = "ax_permission_denied"
PERMISSION_DENIED_STATUS = 2
# How the system says it could not load the executable: the loader's exit statuses (POSIX shells'
# 126 and 127; Windows' missing DLL, missing entry point, bad image) and its lines on stderr
# (glibc, musl, macOS's dyld). The watcher itself never ends so.
LOADER_STATUSES = (126, 127, 0xC0000135, 0xC0000139, 0xC000007B)
LOADER_LINE = re.compile(r"error while loading shared libraries|version `[^']*' not found|^dyld(\[\d+\])?: "
                         r"|Error (loading shared librar|relocating)")

log = logging.getLogger("selection_watcher")


def permission_help(platform: str = sys.platform) -> str:
    """What to tell the user when the watcher has no accessibility access."""
    if platform == "darwin":
        return (
            "selection-watcher has no accessibility access.\n"
            "Open System Settings > Privacy & Security > Accessibility and turn on the application that\n"
            "starts the watcher (when run from a terminal: the terminal application), then start again."
        )
    if platform == "win32":
        return (
            "selection-watcher cannot use UI Automation.\n"
            "It reads the browsers of the desktop it runs on: start it from a program in the signed-in\n"
            "user's desktop session (not from a service or a remote shell without a desktop), then start again."
        )
    return (
        "selection-watcher cannot use the accessibility bus.\n"
        "Turn accessibility on for your desktop session:\n"
        "  gsettings set org.gnome.desktop.interface toolkit-accessibility true\n"
        "and make sure the AT-SPI bus is running (at-spi-bus-launcher, from at-spi2-core);\n"
        "then restart your browsers and start again."
    )


BIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")


def find_executable(command: Optional[str] = None, env=os.environ, platform: str = sys.platform,
                    folder: str = BIN) -> str:
    """The executable a watcher runs: the command given, then $SELECTION_WATCHER, then the one this
    package was installed with (selection-watcher.exe on Windows), and last selection-watcher from
    the PATH (a system package). `platform` and `folder` are for tests."""
    bundled = os.path.join(folder, "selection-watcher.exe" if platform == "win32" else "selection-watcher")
    if command or env.get("SELECTION_WATCHER"):
        return command or env["SELECTION_WATCHER"]
    return bundled if os.path.isfile(bundled) else "selection-watcher"


class LoadError(OSError):
    """The system could not load the watcher's executable (a missing library, say): the reason."""


class End(NamedTuple):
    reason: str  # "stopped", "permission_denied" or "gave_up"
    returncode: Optional[int]  # of the last watcher process; None if it never ran


# Popen's flags for the watcher on Windows: a process group of its own and no console window.
_NEW_GROUP_NO_WINDOW = 0x00000200 | 0x08000000 if sys.platform == "win32" else 0


def _read_all(stream, chunks):
    """Puts (stream, chunk) for everything read from `stream`, then (stream, b"") at its end."""
    while True:
        try:
            chunk = os.read(stream.fileno(), 65536)
        except OSError:
            chunk = b""
        chunks.put((stream, chunk))
        if not chunk:
            return


def _ignore(*_args):
    pass


# A callback that raises is logged; it must not take the watcher's thread down with it, which
# would leave the watcher running with nobody reading it.
def _guarded(callback):
    def call(*args):
        try:
            callback(*args)
        except Exception:
            log.exception("selection-watcher callback failed")
    return call


class SelectionWatcher:
    def __init__(self, command=None, args=(), env=None, *,
                 on_start=_ignore, on_selection=_ignore, on_diagnostic=None,
                 on_unexpected=_ignore, on_restart=_ignore, on_permission_denied=_ignore,
                 on_give_up=_ignore, on_end=_ignore,
                 initial_delay=0.5, max_delay=30.0, healthy_after=60.0, max_quick_failures=10,
                 stop_timeout=5.0):
        self.command = [find_executable(command), *args]
        self.env = env
        self.on_start = _guarded(on_start)
        self.on_selection = _guarded(on_selection)
        self.on_diagnostic = _guarded(on_diagnostic or (lambda line: log.warning("%s", line)))
        self.on_unexpected = _guarded(on_unexpected)
        self.on_restart = _guarded(on_restart)
        self.on_permission_denied = _guarded(on_permission_denied)
        self.on_give_up = _guarded(on_give_up)
        self.on_end = _guarded(on_end)
        self.initial_delay = initial_delay
        self.max_delay = max_delay
        self.healthy_after = healthy_after  # a run this long resets the back-off
        self.max_quick_failures = max_quick_failures
        self.stop_timeout = stop_timeout

        self._lock = threading.Lock()
        self._process: Optional[subprocess.Popen] = None
        self._stopping = threading.Event()
        self._ended = threading.Event()
        self._end: Optional[End] = None
        self._thread = threading.Thread(target=self._supervise, name="selection-watcher",
                                        daemon=True)

    @property
    def pid(self) -> Optional[int]:
        """The process id of the running watcher, or None between runs."""
        process = self._process
        return process.pid if process else None

    def start(self) -> "SelectionWatcher":
        """Starts the watcher; once only: a second call, or one after stop(), does nothing."""
        with self._lock:
            if self._thread.ident is None and not self._stopping.is_set():
                self._thread.start()
        return self

    def stop(self) -> Optional[End]:
        """Ends the watcher the only way it understands, by closing its standard input, and waits
        until it has exited and been reaped. A watcher that does not exit within stop_timeout is
        killed. Returns how it ended (None when called from a callback)."""
        with self._lock:
            self._stopping.set()
            process = self._process
            if process:
                try:
                    process.stdin.close()
                except OSError:
                    pass  # it died first; its end is handled by the watcher's thread
        if threading.current_thread() is self._thread:
            return None
        if not self._thread.is_alive() and not self._ended.is_set():
            self._finish("stopped", None)  # never started
        if not self._ended.wait(self.stop_timeout) and process:
            process.kill()
        return self.wait()

    def wait(self, timeout: Optional[float] = None) -> Optional[End]:
        """Waits for the end (after stop(), a permission error or giving up)."""
        self._ended.wait(timeout)
        return self._end

    def _supervise(self):
        failures = 0
        while True:
            with self._lock:
                if self._stopping.is_set():
                    return self._finish("stopped", None)
                try:
                    # A session of its own (on Windows a process group of its own, and no console
                    # window): Ctrl-C in a terminal then reaches only this process, which ends the
                    # watcher by closing its input, instead of killing it behind our back.
                    process = subprocess.Popen(
                        self.command, env=self.env, stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                        creationflags=_NEW_GROUP_NO_WINDOW)
                except OSError as error:
                    process, spawn_error = None, error
                self._process = process
            if process is None:
                # Not found, not executable: trying again will not help.
                self.on_give_up(None, 0, spawn_error)
                return self._finish("gave_up", None)
            started = time.monotonic()
            self.on_start(process.pid)
            denied, loader_line, returncode = self._serve(process)
            with self._lock:
                self._process = None

            if loader_line or returncode in LOADER_STATUSES:
                reason = loader_line or f"exit status {returncode}"
                self.on_give_up(returncode, 1, LoadError(f"the system could not load it: {reason}"))
                return self._finish("gave_up", returncode)
            if denied or returncode == PERMISSION_DENIED_STATUS:
                self.on_permission_denied()
                return self._finish("permission_denied", returncode)
            if self._stopping.is_set():
                return self._finish("stopped", returncode)

            # It ended without being asked to: start it again after a delay that doubles with
            # every quick failure in a row, unless it keeps failing.
            if time.monotonic() - started >= self.healthy_after:
                failures = 0
            failures += 1
            if failures >= self.max_quick_failures:
                self.on_give_up(returncode, failures, None)
                return self._finish("gave_up", returncode)
            delay = min(self.initial_delay * 2 ** (failures - 1), self.max_delay)
            self.on_restart(returncode, failures, delay)
            if self._stopping.wait(delay):
                return self._finish("stopped", returncode)

    # Reads both outputs of one watcher to their end and hands every line to this thread, so that
    # every callback runs here; returns whether it reported the permission error, the system
    # loader's complaint on stderr if any, and its exit status once reaped. One reader thread per output, because Windows cannot wait on pipes
    # with select().
    def _serve(self, process):
        denied, loader_line = False, None
        pending = {process.stdout: b"", process.stderr: b""}
        chunks = queue.Queue()
        for stream in pending:
            threading.Thread(target=_read_all, args=(stream, chunks), daemon=True).start()
        open_streams = len(pending)
        while open_streams:
            stream, chunk = chunks.get()
            if chunk:
                *lines, pending[stream] = (pending[stream] + chunk).split(b"\n")
            else:  # that reader is done
                open_streams -= 1
                lines = [pending[stream]] if pending[stream] else []
            for raw in lines:
                line = raw.decode("utf-8", "replace")
                if stream is process.stderr:
                    loader_line = loader_line or (line if LOADER_LINE.search(line) else None)
                    self.on_diagnostic(line)
                elif self._on_line(line):
                    denied = True
        returncode = process.wait()
        with self._lock:
            for stream in (process.stdin, process.stdout, process.stderr):
                stream.close()
        return denied, loader_line, returncode

    # Hands one event line on; true for the permission error.
    def _on_line(self, line):
        try:
            event = json.loads(line)
        except ValueError:
            event = None
        if isinstance(event, dict) and event.get("error") == PERMISSION_DENIED:
            return True
        if isinstance(event, dict) and isinstance(event.get("selection"), bool):
            self.on_selection(event)
        else:
            self.on_unexpected(line)
        return False

    def _finish(self, reason, returncode):
        if self._ended.is_set():
            return
        self._end = End(reason, returncode)
        self.on_end(self._end)
        self._ended.set()
