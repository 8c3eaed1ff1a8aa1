# The package against the real main on a simulated desktop: $SELECTION_WATCHER is the test
# executable, each case names a scenario file for it. $SELECTION_WATCHER_PACKAGE, when set, is the
# directory the package must come from: an installed one, with its executable.
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import selection_watcher
from selection_watcher import End, SelectionWatcher, find_executable, permission_help

SIM = os.environ.get("SELECTION_WATCHER")
FIREFOX = {"selection": True, "app": "org.mozilla.firefox", "bounds": {"x": 11, "y": -4, "width": 100, "height": 21}}
CLEARED = {"selection": False}
SCRIPTED = [FIREFOX, CLEARED, FIREFOX, CLEARED, {"selection": True, "app": "com.google.Chrome", "bounds": {"x": -20, "y": 5, "width": 41, "height": 10}},
            CLEARED, FIREFOX, CLEARED, {"selection": True, "app": "org.mozilla.firefox"}]
ABRT = -signal.SIGABRT
LOADER = "selection-watcher: /lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.36' not found (required by selection-watcher)"


def scenario_env(name):
    return {**os.environ, "SELECTION_WATCHER_SCENARIO": os.path.join(os.path.dirname(__file__), "..", "..", "tests", name)}


class SelectionWatcherTest(unittest.TestCase):
    def test_delivers_the_events_restarts_a_dead_watcher_with_a_doubling_delay_up_to_a_limit_ends_as_told(self):
        log = []
        of = lambda name: [args for n, args in log if n == name]
        kill_first = lambda w: len(of("start")) == 1 and of("selection") and w.pid and os.kill(w.pid, signal.SIGUSR1)
        for scenario, options, done, expected, selections, poke in [
            ("events.scenario", {}, lambda: len(of("selection")) == len(SCRIPTED), [("diagnostic", "AXObserverCreate failed: -25204"), ("end", End("stopped", 0))], SCRIPTED, None),
            ("denied.scenario", dict(initial_delay=0.001), bool, [("permission_denied", ()), ("end", End("permission_denied", 2))], None, None),
            # killed once: the new watcher restates the state
            ("crash-on-signal.scenario", dict(initial_delay=0.05), lambda: len(of("selection")) == 2, [("restart", (ABRT, 1, 0.05)), ("end", End("stopped", 0))], [FIREFOX, FIREFOX], kill_first),
            ("crash-soon.scenario", dict(initial_delay=0.02, max_quick_failures=4), bool, [("restart", (ABRT, 1, 0.02)), ("restart", (ABRT, 2, 0.04)), ("restart", (ABRT, 3, 0.08)), ("give_up", (ABRT, 4, None)), ("end", End("gave_up", ABRT))], None, None),
            # each run lives about 300 ms: healthy by this measure, so never given up
            ("crash-soon.scenario", dict(initial_delay=0.02, healthy_after=0.1, max_quick_failures=2), lambda: len(of("start")) == 4, [("restart", (ABRT, 1, 0.02))] * 3 + [("end", End("stopped", 0))], None, None),
            ("events.scenario", dict(command="sleep", args=["30"], stop_timeout=0.2), lambda: of("start"), [("end", End("stopped", -signal.SIGKILL))], None, None),
            ("events.scenario", dict(command="/no/such/file"), bool, [("give_up", (None, 0, "FileNotFoundError")), ("end", End("gave_up", None))], None, None),
            # the system's loader failed: given up at once, not restarted
            ("events.scenario", dict(command="sh", args=["-c", 'echo "$0" >&2; exit 1', LOADER]), bool, [("diagnostic", LOADER), ("give_up", (1, 1, "LoadError")), ("end", End("gave_up", 1))], None, None),
            ("events.scenario", dict(command="sh", args=["-c", "exit 127"]), bool, [("give_up", (127, 1, "LoadError")), ("end", End("gave_up", 127))], None, None),
        ]:
            log.clear()
            record = lambda name: lambda *args: log.append((name, args[0] if len(args) == 1 else args))
            callbacks = {f"on_{name}": record(name) for name in ("start", "selection", "diagnostic", "unexpected", "restart", "permission_denied", "give_up", "end")}
            # started twice: one watcher all the same
            watcher = SelectionWatcher(options.pop("command", SIM), env=scenario_env(scenario), **callbacks, **options).start().start()
            deadline = time.monotonic() + 10
            while not done() and not of("end"):
                self.assertLess(time.monotonic(), deadline, f"timed out on {scenario}")
                poke and poke(watcher)
                time.sleep(0.01)
            watcher.stop()
            briefly = [(n, (a[0], a[1], type(a[2]).__name__) if n == "give_up" and a[2] else a) for n, a in log if n not in ("start", "selection")]
            self.assertEqual(briefly, expected, scenario)
            self.assertEqual(of("selection"), selections or of("selection"), scenario)
            for pid in of("start"):  # every process it started has been reaped
                self.assertRaises(ChildProcessError, os.waitpid, pid, os.WNOHANG)

    def test_runs_the_command_given_else_selection_watcher_from_the_environment_else_the_bundled_one(self):
        self.assertEqual(find_executable("/given", {"SELECTION_WATCHER": "/env"}), "/given")
        self.assertEqual(find_executable(None, {"SELECTION_WATCHER": "/env"}), "/env")
        # The bundled executable, Windows' with its .exe, found through stand-ins.
        with tempfile.TemporaryDirectory() as folder:
            for name in ("selection-watcher.exe", "selection-watcher"):
                open(os.path.join(folder, name), "w").close()
                platform = "win32" if name.endswith(".exe") else "linux"
                self.assertEqual(find_executable(None, {}, platform, folder), os.path.join(folder, name))
                os.remove(os.path.join(folder, name))
                self.assertEqual(find_executable(None, {}, platform, folder), "selection-watcher")
        if not os.environ.get("SELECTION_WATCHER_PACKAGE"):
            return self.assertEqual(find_executable(None, {}), "selection-watcher")
        # Installed: the bundled watcher, with no accessibility bus in its environment.
        self.assertTrue(selection_watcher.__file__.startswith(os.environ["SELECTION_WATCHER_PACKAGE"]))
        self.assertEqual(find_executable(None, {}), os.path.join(os.path.dirname(selection_watcher.__file__), "bin", "selection-watcher"))
        with tempfile.TemporaryDirectory() as empty:
            bundled = SelectionWatcher(find_executable(None, {}), env={"XDG_RUNTIME_DIR": empty}).start()
            self.assertEqual(bundled.wait(10), End("permission_denied", 2))

    def test_command_line_program_prints_the_events_exits_0_on_sigterm_and_2_without_access(self):
        cli = [sys.executable, "-m", "selection_watcher", SIM]
        with subprocess.Popen(cli, env=scenario_env("events.scenario"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as events:
            lines = [events.stdout.readline().rstrip("\n") for _ in SCRIPTED]
            events.send_signal(signal.SIGTERM)
            self.assertEqual(events.communicate(timeout=10)[0], "")
        self.assertEqual([events.returncode, lines[0], lines[1], lines[8]], [0, "text selected in org.mozilla.firefox at x=11 y=-4, 100x21", "nothing selected", "text selected in org.mozilla.firefox at an unknown position"])
        denied = subprocess.run(cli, env=scenario_env("denied.scenario"), capture_output=True, text=True, timeout=10)
        self.assertEqual([denied.returncode, denied.stdout, permission_help() in denied.stderr], [2, "", True])
