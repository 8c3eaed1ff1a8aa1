"""The Python parent against the real main on a simulated desktop ($SELECTION_WATCHER is the test
executable; each test names a scenario file for it)."""

import os
import signal
import subprocess
import sys
import time
import unittest

from selection_watcher import End, SelectionWatcher, permission_help

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = os.path.join(HERE, "..", "tests")
SIM = os.environ.get("SELECTION_WATCHER")

FIREFOX = {"selection": True, "app": "org.mozilla.firefox",
           "bounds": {"x": 11, "y": -4, "width": 100, "height": 21}}
CLEARED = {"selection": False}
SCRIPTED = [FIREFOX, CLEARED, FIREFOX, CLEARED,
            {"selection": True, "app": "com.google.Chrome",
             "bounds": {"x": -20, "y": 5, "width": 41, "height": 10}},
            CLEARED, FIREFOX, CLEARED, {"selection": True, "app": "org.mozilla.firefox"}]
CALLBACKS = ["start", "selection", "diagnostic", "unexpected", "restart", "permission_denied",
             "give_up", "end"]


def scenario_env(name):
    return {**os.environ, "SELECTION_WATCHER_SCENARIO": os.path.join(SCENARIOS, name)}


class Recorded:
    """A watcher on the simulated desktop with every callback recorded in order."""

    def __init__(self, scenario, **options):
        self.log = []
        callbacks = {f"on_{name}": self._recorder(name) for name in CALLBACKS}
        self.watcher = SelectionWatcher(options.pop("command", SIM), env=scenario_env(scenario),
                                        **callbacks, **options)

    def _recorder(self, name):
        return lambda *args: self.log.append((name, args[0] if len(args) == 1 else args))

    def of(self, name):
        return [args for n, args in self.log if n == name]

    def names(self):
        return [n for n, _ in self.log]


def until(condition, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


class SelectionWatcherTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(SIM, "set SELECTION_WATCHER to the test executable")

    def assert_reaped(self, pid):
        with self.assertRaises(ChildProcessError, msg=f"process {pid} not reaped"):
            os.waitpid(pid, os.WNOHANG)

    def test_delivers_the_scripted_events_in_order_and_ends_with_status_0(self):
        r = Recorded("events.scenario")
        try:
            r.watcher.start()
            until(lambda: len(r.of("selection")) == len(SCRIPTED), "the scripted events")
        finally:
            self.assertEqual(r.watcher.stop(), End("stopped", 0))
        self.assertEqual(r.of("selection"), SCRIPTED)
        self.assertEqual(r.of("diagnostic"), ["AXObserverCreate failed: -25204"])
        self.assertEqual([n for n in r.names() if n not in ("selection", "diagnostic")],
                         ["start", "end"])
        self.assert_reaped(r.of("start")[0])

    def test_reports_the_permission_error_once_and_does_not_restart(self):
        r = Recorded("denied.scenario", initial_delay=0.001)
        self.assertEqual(r.watcher.start().wait(10), End("permission_denied", 2))
        time.sleep(0.1)
        self.assertEqual(r.names(), ["start", "permission_denied", "end"])
        self.assert_reaped(r.of("start")[0])

    def test_starts_the_watcher_again_after_it_died_then_ends_the_new_one_cleanly(self):
        r = Recorded("crash-on-signal.scenario", initial_delay=0.05)
        try:
            r.watcher.start()
            until(lambda: len(r.of("selection")) == 1, "the first event")
            os.kill(r.watcher.pid, signal.SIGUSR1)  # makes it abort
            until(lambda: len(r.of("selection")) == 2, "the first event of the new watcher")
        finally:
            self.assertEqual(r.watcher.stop(), End("stopped", 0))
        self.assertEqual(r.of("restart"), [(-signal.SIGABRT, 1, 0.05)])
        self.assertEqual(r.of("selection"), [FIREFOX, FIREFOX], "the new one restates the state")
        self.assertEqual(len(r.of("start")), 2)
        for pid in r.of("start"):
            self.assert_reaped(pid)

    def test_doubles_the_delay_after_each_quick_failure_and_gives_up_after_too_many(self):
        r = Recorded("crash-soon.scenario", initial_delay=0.02, max_quick_failures=4)
        self.assertEqual(r.watcher.start().wait(20), End("gave_up", -signal.SIGABRT))
        self.assertEqual([(f, d) for _, f, d in r.of("restart")], [(1, 0.02), (2, 0.04), (3, 0.08)])
        self.assertEqual(r.of("give_up"), [(-signal.SIGABRT, 4, None)])
        for pid in r.of("start"):
            self.assert_reaped(pid)

    def test_a_run_that_lasted_long_enough_resets_the_back_off(self):
        # Each run lives about 300 ms before it aborts: healthy by this measure, so never given up.
        r = Recorded("crash-soon.scenario", initial_delay=0.02, healthy_after=0.1,
                     max_quick_failures=2)
        try:
            r.watcher.start()
            until(lambda: len(r.of("restart")) == 3, "three restarts")
        finally:
            self.assertEqual(r.watcher.stop().reason, "stopped")
        self.assertEqual([(f, d) for _, f, d in r.of("restart")], [(1, 0.02)] * 3)
        for pid in r.of("start"):
            self.assert_reaped(pid)

    def test_kills_a_child_that_does_not_end_with_its_input_gives_up_on_one_that_cannot_start(self):
        stubborn = Recorded("events.scenario", command="sleep", args=["30"], stop_timeout=0.2)
        stubborn.watcher.start()
        until(lambda: stubborn.of("start"), "the start")
        self.assertEqual(stubborn.watcher.stop(), End("stopped", -signal.SIGKILL))
        self.assert_reaped(stubborn.of("start")[0])

        missing = Recorded("events.scenario", command=os.path.join(SCENARIOS, "no-such-file"))
        self.assertEqual(missing.watcher.start().wait(10), End("gave_up", None))
        self.assertIsInstance(missing.of("give_up")[0][2], FileNotFoundError)
        self.assertEqual(missing.of("start"), [])

    def test_command_line_example(self):
        main = os.path.join(HERE, "main.py")
        cli = subprocess.Popen([sys.executable, main, SIM], env=scenario_env("events.scenario"),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            lines = [cli.stdout.readline().rstrip("\n") for _ in SCRIPTED]
            cli.send_signal(signal.SIGTERM)
            rest, stderr = cli.communicate(timeout=10)
        finally:
            cli.kill()
            cli.wait()
        self.assertEqual(cli.returncode, 0, stderr)
        self.assertEqual(rest, "")
        self.assertEqual(lines[0], "text selected in org.mozilla.firefox at x=11 y=-4, 100x21")
        self.assertEqual(lines[1], "nothing selected")
        self.assertEqual(lines[8], "text selected in org.mozilla.firefox at an unknown position")
        self.assertIn("AXObserverCreate failed: -25204", stderr)

        denied = subprocess.run([sys.executable, main, SIM], env=scenario_env("denied.scenario"),
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(denied.returncode, 2)
        self.assertEqual(denied.stdout, "")
        self.assertIn(permission_help(), denied.stderr)


if __name__ == "__main__":
    unittest.main()
