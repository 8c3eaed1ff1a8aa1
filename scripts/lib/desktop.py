"""A throw-away X11 desktop with accessibility on, for the end-to-end tests, the demo and the figures.

Everything runs under a temporary HOME: Xvfb, a session D-Bus, the accessibility bus launcher,
openbox, and on request Firefox ESR (fresh profile) and xterm. Every process is started here and
ended here by its PID. Every wait polls a condition against a deadline.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import queue

SCREEN = (1280, 800)
# Seconds a click holds the button down (see Desktop.click), and between the clicks of a double or
# triple click.
CLICK_HOLD = 0.05
CLICK_GAP = 0.03

REQUIRED_TOOLS = ["Xvfb", "dbus-daemon", "openbox", "xdotool", "xterm", "firefox-esr", "import",
                  "xprop", "gdbus", "gsettings"]
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
CHROMIUM_DIR = "/usr/lib/chromium"  # Debian's build of Chrome's engine

# Identifier the watcher reports for each engine as started here.
BUNDLES = {"firefox": "org.mozilla.firefox", "chrome": "com.google.Chrome"}

# As Debian's /usr/bin/chromium wrapper starts it, plus what a throw-away session needs. Not
# --force-renderer-accessibility: the watcher has to turn the pages' accessibility on itself.
CHROME_FLAGS = ["--no-sandbox", "--no-first-run", "--no-default-browser-check", "--disable-gpu",
                "--password-store=basic", "--ozone-platform=x11",
                "--show-component-extension-options", "--enable-gpu-rasterization",
                "--disable-pings", "--media-router=0", "--enable-remote-extensions",
                "--disable-background-networking", "--disable-component-update",
                "--disable-smooth-scrolling"]

FIREFOX_PREFS = {
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "browser.startup.homepage_override.mstone": "ignore",
    "startup.homepage_welcome_url": "",
    "startup.homepage_welcome_url.additional": "",
    "browser.aboutwelcome.enabled": False,
    "browser.sessionstore.resume_from_crash": False,
    "browser.sessionstore.max_resumed_crashes": 0,
    "browser.tabs.warnOnClose": False,
    "browser.warnOnQuit": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.policy.firstRunURL": "",
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "toolkit.telemetry.enabled": False,
    "app.update.enabled": False,
    "app.normandy.enabled": False,
    "extensions.update.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.translations.automaticallyPopup": False,
    "browser.discovery.enabled": False,
    "toolkit.cosmeticAnimations.enabled": False,
    "ui.prefersReducedMotion": 1,
    "accessibility.force_disabled": 0,
    "layout.css.devPixelsPerPx": "1.0",
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "browser.safebrowsing.update.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "extensions.pocket.enabled": False,
    "signon.rememberSignons": False,
    "browser.formfill.enable": False,
    # Page_Down moves the page at once: a test that measures after scrolling sees where it ended.
    "general.smoothScroll": False,
}


class DesktopError(RuntimeError):
    pass


def check_tools():
    """Raises (never skips) when a tool of the desktop is missing."""
    missing = [t for t in REQUIRED_TOOLS if shutil.which(t) is None]
    for path in (BUS_LAUNCHER, os.path.join(CHROMIUM_DIR, "chromium")):
        if not os.access(path, os.X_OK):
            missing.append(path)
    if missing:
        raise DesktopError("missing tools (install scripts/packages/atspi.txt): " + ", ".join(missing))


def wait_for(what, condition, timeout=20.0, interval=0.05):
    """Polls `condition` until it returns something true; raises after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise DesktopError("timed out waiting for " + what)
        time.sleep(interval)


def bench_arguments(usage, number, engine):
    """A bench's command line: the watcher, then a number and an engine in any order, each with its
    default; the usage ends the program when the watcher is missing."""
    if len(sys.argv) < 2:
        sys.exit(usage)
    numbers = [int(a) for a in sys.argv[2:] if a.isdigit()]
    names = [a for a in sys.argv[2:] if not a.isdigit()]
    return os.path.abspath(sys.argv[1]), numbers[0] if numbers else number, names[0] if names else engine


def wakeups(pid):
    """Voluntary context switches of a process's main thread so far: how often it woke up."""
    with open(f"/proc/{pid}/status") as f:
        return int(next(l for l in f if l.startswith("voluntary_ctxt_switches")).split()[1])


class Image:
    """A screenshot as raw RGB bytes."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    def bbox(self, rgb, region=None):
        """Bounding box (x, y, width, height) of the pixels of exactly `rgb`, or None."""
        x0, y0, x1, y1 = region or (0, 0, self.width, self.height)
        found = None
        needle = b"(?=" + re.escape(bytes(rgb)) + b")"  # overlapping: misaligned hits must not hide aligned ones
        for m in re.finditer(needle, self.pixels):
            offset = m.start()
            if offset % 3:
                continue
            x, y = (offset // 3) % self.width, (offset // 3) // self.width
            if not (x0 <= x < x1 and y0 <= y < y1):
                continue
            if found is None:
                found = [x, y, x, y]
            else:
                found = [min(found[0], x), min(found[1], y), max(found[2], x), max(found[3], y)]
        if found is None:
            return None
        return (found[0], found[1], found[2] - found[0] + 1, found[3] - found[1] + 1)


class Desktop:
    SCREENSHOT = ["import", "-window", "root", "-depth", "8", "ppm:-"]  # the screen as binary PPM

    def __init__(self, size=SCREEN, keep_dir=False):
        check_tools()
        self.size = size
        self.dir = tempfile.mkdtemp(prefix="sw-desktop-")
        self.keep_dir = keep_dir
        self.procs = []  # (name, Popen), in start order
        home = os.path.join(self.dir, "home")
        runtime = os.path.join(self.dir, "runtime")
        for d in (home, runtime):
            os.makedirs(d, mode=0o700)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_STATE_HOME": os.path.join(home, ".local/state"),
            "XDG_RUNTIME_DIR": runtime,
            "LANG": "C.UTF-8",
            "NO_AT_BRIDGE": "0",
            "GTK_MODULES": "gail:atk-bridge",
            "MOZ_CRASHREPORTER_DISABLE": "1",
            "MOZ_ENABLE_WAYLAND": "0",
            "GDK_BACKEND": "x11",
        }
        for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if var in os.environ:
                self.env[var] = os.environ[var]

    # ---- processes ---------------------------------------------------------------------------

    def spawn(self, name, argv, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        if "stderr" not in kwargs:
            kwargs["stderr"] = open(os.path.join(self.dir, name + ".log"), "ab")
        p = subprocess.Popen(argv, env=kwargs.pop("env", self.env), start_new_session=True, **kwargs)
        self.procs.append((name, p))
        return p

    def run(self, *argv, timeout=10, check=True):
        r = subprocess.run(list(argv), env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise DesktopError(f"{' '.join(argv)} failed ({r.returncode}): {r.stderr.strip()}")
        return r.stdout

    def stop_process(self, name, p, timeout=10):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(5)
        # Helpers of ours that outlive their parent (the browser's content processes) share its
        # session, whose id is the PID we started.
        if name in BUNDLES:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def start(self, accessibility=True):
        try:
            self._start_x()
            self._start_bus()
            self._start_accessibility(accessibility)
            self._start_wm()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        for name, p in reversed(self.procs):
            try:
                self.stop_process(name, p)
            except Exception:
                pass
        self.procs.clear()
        if not self.keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _start_x(self):
        r, w = os.pipe()
        w_, h_ = self.size
        self.spawn("xvfb", ["Xvfb", "-displayfd", str(w), "-screen", "0", f"{w_}x{h_}x24",
                            "-nolisten", "tcp", "-noreset", "+extension", "RANDR"], pass_fds=(w,))
        os.close(w)
        buf = b""
        deadline = time.monotonic() + 20
        with os.fdopen(r, "rb", buffering=0) as f:
            while not buf.endswith(b"\n"):
                if time.monotonic() > deadline:
                    raise DesktopError("Xvfb did not report its display")
                chunk = f.read(16)
                if not chunk:
                    raise DesktopError("Xvfb exited: see " + os.path.join(self.dir, "xvfb.log"))
                buf += chunk
        self.env["DISPLAY"] = ":" + buf.decode().strip()

    def _start_bus(self):
        p = self.spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                "--print-address=1"], stdout=subprocess.PIPE)
        line = p.stdout.readline().decode().strip()
        if not line:
            raise DesktopError("dbus-daemon did not print its address")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = line

    def _start_accessibility(self, enabled):
        self.spawn("a11y-bus", [BUS_LAUNCHER, "--launch-immediately"])
        wait_for("the accessibility bus", lambda: self._bus_call(
            "org.a11y.Bus.GetAddress").startswith("('unix:"))
        self.set_accessibility(enabled)

    def set_accessibility(self, enabled):
        """Turns accessibility on or off the way a desktop's settings do."""
        word = "true" if enabled else "false"
        # The toolkits look at this key; the launcher follows it into IsEnabled too.
        self.run("gsettings", "set", "org.gnome.desktop.interface", "toolkit-accessibility", word)
        self._bus_call("org.freedesktop.DBus.Properties.Set", "org.a11y.Status", "IsEnabled",
                       f"<{word}>")
        wait_for("accessibility " + word, lambda: self._bus_call(
            "org.freedesktop.DBus.Properties.Get", "org.a11y.Status", "IsEnabled") == f"(<{word}>,)")

    def _bus_call(self, method, *args):
        r = subprocess.run(["gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                            "/org/a11y/bus", "--method", method, *args], env=self.env,
                           capture_output=True, text=True, timeout=10)
        return r.stdout.strip() if r.returncode == 0 else ""

    def listeners_of(self, pid):
        """What reaches the process `pid` from the accessibility bus: the match rules its
        connection holds with the bus daemon, and how many keystroke listeners it holds with the
        registry."""
        address = self._bus_call("org.a11y.Bus.GetAddress").split("'")[1]

        def call(dest, path, method, *args):
            return subprocess.run(["gdbus", "call", "--address", address, "--dest", dest,
                                   "--object-path", path, "--method", method, *args],
                                  env=self.env, capture_output=True, text=True, timeout=10).stdout

        daemon = ("org.freedesktop.DBus", "/org/freedesktop/DBus")
        names = re.findall(r"'(:[0-9.]+)'", call(*daemon, "org.freedesktop.DBus.ListNames"))
        bus = next((n for n in names if re.search(r"\b%d\b" % pid, call(
            *daemon, "org.freedesktop.DBus.GetConnectionUnixProcessID", n))), None)
        if bus is None:
            raise DesktopError(f"process {pid} is not on the accessibility bus")
        rules = re.search(r"'%s': (?:@as )?\[([^\]]*)\]" % re.escape(bus),
                          call(*daemon, "org.freedesktop.DBus.Debug.Stats.GetAllMatchRules"))
        keys = call("org.a11y.atspi.Registry", "/org/a11y/atspi/registry/deviceeventcontroller",
                    "org.a11y.atspi.DeviceEventController.GetKeystrokeListeners")
        return re.findall(r'"([^"]*)"', rules.group(1) if rules else ""), keys.count(f"'{bus}'")

    def _start_wm(self):
        self.spawn("openbox", ["openbox", "--sm-disable"])
        wait_for("the window manager", lambda: "window id" in self.run(
            "xprop", "-root", "_NET_SUPPORTING_WM_CHECK", check=False))

    # ---- windows and input ----------------------------------------------------------------------

    def xdotool(self, *args, timeout=20):
        return self.run("xdotool", *[str(a) for a in args], timeout=timeout)

    def windows_of(self, pid):
        out = self.run("xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid),
                       "--name", ".", check=False)
        return [int(w) for w in out.split()]

    def active_window(self):
        out = self.run("xdotool", "getactivewindow", check=False).strip()
        return int(out) if out.isdigit() else None

    def activate(self, window, timeout=20):
        """Brings the window to the front; the window manager sometimes ignores one request."""
        deadline = time.monotonic() + timeout
        while True:
            self.xdotool("windowactivate", window)
            try:
                wait_for("window activation", lambda: self.active_window() == window, timeout=2)
                return
            except DesktopError:
                if time.monotonic() > deadline:
                    raise

    def geometry(self, window):
        out = self.run("xdotool", "getwindowgeometry", "--shell", str(window))
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def place(self, window, x, y, width, height):
        self.xdotool("windowsize", window, width, height)
        self.xdotool("windowmove", window, x, y)
        wait_for("window placement", lambda: self._placed(window, x, y, width, height))

    def _placed(self, window, x, y, width, height):
        gx, gy, gw, gh = self.geometry(window)
        # Terminals size in whole character cells; decorations shift the client a little.
        return abs(gw - width) <= 30 and abs(gh - height) <= 30 and abs(gx - x) <= 40 and abs(gy - y) <= 40

    def move_mouse(self, x, y):
        self.xdotool("mousemove", int(x), int(y))

    def click(self, x=None, y=None, count=1, modifier=None):
        """`count` clicks at (x, y), or where the pointer is, with `modifier` (say "shift") held.

        Each press is held for CLICK_HOLD, as a person holds it: the accessibility registry mostly
        drops a press and release that reach the X server in the same instant, so a click in zero
        time would reach listeners of mouse buttons only by luck. One xdotool for all of it, so a
        busy machine cannot stretch a double click into two single ones; a short pause between
        clicks, as Chrome's engine takes clicks with the same time stamp for one."""
        args = [] if x is None else ["mousemove", int(x), int(y)]
        if modifier:
            args += ["keydown", modifier]
        for i in range(count):
            args += (["sleep", CLICK_GAP] if i else []) + ["mousedown", 1, "sleep", CLICK_HOLD,
                                                           "mouseup", 1]
        if modifier:
            args += ["keyup", modifier]
        self.xdotool(*args)

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def screenshot(self, path=None):
        """The whole screen; also saved to `path` when given."""
        data = subprocess.run(self.SCREENSHOT, env=self.env, capture_output=True, timeout=30,
                              check=True).stdout
        if path:
            with open(path, "wb") as f:
                f.write(data)
        m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        if not m:
            raise DesktopError("unexpected screenshot format")
        width, height = int(m.group(1)), int(m.group(2))
        return Image(width, height, data[m.end():m.end() + width * height * 3])

    # ---- applications ---------------------------------------------------------------------------

    def start_browser(self, engine, url, geometry=(120, 90, 1000, 660)):
        """Starts Firefox ESR or Chrome's engine on `url`; returns (pid, window)."""
        p = self._spawn_firefox(url, geometry) if engine == "firefox" else self._spawn_chrome(url, geometry)
        window = wait_for("the browser window", lambda: self._main_window(p.pid), timeout=60,
                          interval=0.2)
        self.place(window, *geometry)
        self.activate(window)
        return p.pid, window

    def kill_browser(self, pid):
        """Ends a browser as a crash does: SIGKILL to all of its processes at once."""
        os.killpg(pid, signal.SIGKILL)
        for name, p in self.procs:
            if p.pid == pid:
                p.wait(10)

    def start_firefox(self, url, geometry=(120, 90, 1000, 660)):
        return self.start_browser("firefox", url, geometry)

    def _spawn_chrome(self, url, geometry):
        """Chromium as Chrome: the watcher knows Chrome by the executable name `google-chrome`, and
        /proc/PID/exe resolves symlinks, so the binary is hard-linked (or copied) under that name
        into a folder whose other entries point at Chromium's files."""
        folder = os.path.join(self.dir, "google-chrome")
        for entry in [] if os.path.isdir(folder) else os.listdir(CHROMIUM_DIR):
            os.makedirs(folder, exist_ok=True)
            target = os.path.join(CHROMIUM_DIR, entry)
            if entry == "chromium":
                try:
                    os.link(target, os.path.join(folder, "google-chrome"))
                except OSError:
                    shutil.copy2(target, os.path.join(folder, "google-chrome"))
            else:
                os.symlink(target, os.path.join(folder, entry))
        profile = tempfile.mkdtemp(prefix="chrome-", dir=self.dir)
        x, y, width, height = geometry
        env = dict(self.env, CHROME_WRAPPER="/usr/bin/chromium", CHROME_DESKTOP="chromium.desktop")
        p = self.spawn("chrome", [os.path.join(folder, "google-chrome"), *CHROME_FLAGS,
                                  f"--user-data-dir={profile}", f"--window-position={x},{y}",
                                  f"--window-size={width},{height}", url], env=env)
        exe = wait_for("the browser process", lambda: os.readlink(f"/proc/{p.pid}/exe"))
        if not exe.endswith("/google-chrome"):
            raise DesktopError(f"Chrome's engine runs as {exe}")
        return p

    def _spawn_firefox(self, url, geometry):
        """Starts Firefox ESR with a fresh profile on `url`; returns (pid, window)."""
        profile = tempfile.mkdtemp(prefix="profile-", dir=self.dir)
        with open(os.path.join(profile, "user.js"), "w") as f:
            for key, value in FIREFOX_PREFS.items():
                if isinstance(value, bool):
                    text = "true" if value else "false"
                elif isinstance(value, int):
                    text = str(value)
                else:
                    text = '"' + value + '"'
                f.write(f'user_pref("{key}", {text});\n')
        # A fresh profile opens maximized; a remembered normal window can be placed.
        x, y, width, height = geometry
        with open(os.path.join(profile, "xulstore.json"), "w") as f:
            json.dump({"chrome://browser/content/browser.xhtml": {"main-window": {
                "screenX": str(x), "screenY": str(y), "width": str(width), "height": str(height),
                "sizemode": "normal"}}}, f)
        return self.spawn("firefox", ["firefox-esr", "--no-remote", "--new-instance", "--profile",
                                      profile, url])

    def _main_window(self, pid):
        candidates = []
        for w in self.windows_of(pid):
            try:
                _, _, width, height = self.geometry(w)
            except DesktopError:
                continue
            if width >= 300 and height >= 200:
                candidates.append(w)
        return candidates[0] if candidates else None

    def start_xterm(self, geometry=(700, 420, 500, 300)):
        p = self.spawn("xterm", ["xterm", "-title", "sw-xterm", "-e", "sleep", "infinity"])
        window = wait_for("the xterm window", lambda: (self.windows_of(p.pid) or [None])[0])
        self.place(window, *geometry)
        return p.pid, window


class Watcher:
    """selection-watcher as a parent runs it: its events parsed, its standard error kept in a file."""

    def __init__(self, exe, d, env=None):
        self.stderr_path = os.path.join(d.dir, "watcher.stderr")
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([exe], env=dict(d.env, **(env or {})), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=err)
        self.lines = Lines(self.proc.stdout)

    def event(self, timeout=20):
        line = self.lines.next(timeout)
        if not line.endswith("\n") or "\r" in line:
            raise DesktopError(f"badly framed line {line!r}")
        return json.loads(line)

    def close(self, timeout=15):
        """Closes its standard input; its exit status and the seconds it took to exit."""
        started = time.monotonic()
        self.proc.stdin.close()
        try:
            return self.proc.wait(timeout), time.monotonic() - started
        finally:
            self.kill()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


class Lines:
    """Reads a child's stdout line by line on a thread, so tests can wait for lines with deadlines."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.all = []
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace")
            self.all.append((time.monotonic(), line))
            self.queue.put(line)
        self.queue.put(None)

    def next(self, timeout=15.0):
        try:
            line = self.queue.get(timeout=timeout)
        except queue.Empty:
            raise DesktopError(f"no line within {timeout} s")
        if line is None:
            raise DesktopError("the stream ended")
        return line
