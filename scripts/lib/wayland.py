"""A throw-away Wayland desktop with accessibility on, beside the X11 one of desktop.py and with the
same methods, so the same tests drive either.

The compositor is sway on its headless backend (software rendering, one output), with Xwayland for
X11 clients. A headless seat has no pointer or keyboard: wl-input.c, built here with the system's
compiler, gives it both through the virtual-pointer and virtual-keyboard protocols that sway
offers to its clients, so the compositor delivers injected input exactly as it delivers a
person's: to the surface under the pointer and to the focused window. Screenshots come from grim.
Windows are placed and focused through sway's IPC, which is the test's business, not the
watcher's. Browsers run as native Wayland clients, or under Xwayland on request.

sway refuses to run as root: a test run as root runs itself as an unprivileged user (as_user): the
user who ran sudo, or `nobody`.
"""

import json
import os
import pwd
import shutil
import subprocess
import tempfile
import time

import desktop
from desktop import DesktopError, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
REQUIRED_TOOLS = ["sway", "swaymsg", "grim", "Xwayland", "wayland-scanner", "cc", "xterm"]

# evdev codes of the keys the tests press, under the names xdotool gives them.
KEYS = {"shift": 42, "ctrl": 29, "alt": 56, "super": 125, "Return": 28, "Escape": 1, "Tab": 15,
        "BackSpace": 14, "Home": 102, "End": 107, "Page_Up": 104, "Page_Down": 109, "Left": 105,
        "Right": 106, "Up": 103, "Down": 108, "space": 57, "period": 52, "slash": 53,
        "minus": 12, "ISO_Level3_Shift": 100}
KEYS.update({c: code for c, code in zip("qwertyuiop", range(16, 26))})
KEYS.update({c: code for c, code in zip("asdfghjkl", range(30, 39))})
KEYS.update({c: code for c, code in zip("zxcvbnm", range(44, 51))})
KEYS.update({c: code for c, code in zip("1234567890", range(2, 12))})
BUTTON_LEFT = 272

# Run before a browser of a "linked runtime" desktop: holds a connection to the X server open
# (handshake done) in the browser it then becomes, as a Snap that has used X11 holds one.
HOLD_X = r"""
import os, socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect("\0/tmp/.X11-unix/X" + sys.argv[1].lstrip(":").split(".")[0])
s.sendall(b"l\0" + struct.pack("<HHHH", 11, 0, 0, 0) + b"\0\0")
if s.recv(1) != b"\1":
    sys.exit("the X server refused the connection")
os.set_inheritable(s.fileno(), True)
os.execvp(sys.argv[2], sys.argv[2:])
"""


def test_user():
    """(uid, gid, name) of the unprivileged user a root run runs as: the one who ran sudo, else
    `nobody`. No account is ever added to the machine."""
    uid, gid = os.environ.get("SUDO_UID", ""), os.environ.get("SUDO_GID", "")
    if uid.isdigit() and gid.isdigit() and int(uid) != 0:
        try:
            name = pwd.getpwuid(int(uid)).pw_name
        except KeyError:
            name = os.environ.get("SUDO_USER", uid)
        return int(uid), int(gid), name
    user = pwd.getpwnam("nobody")
    return user.pw_uid, user.pw_gid, user.pw_name


def as_user(argv, files):
    """Run as root: runs `argv` again as the unprivileged test user and returns its exit status;
    None when not root. `files` (path: relative path) are copied first into a folder that user
    can read, as a clone may live where only root can; arguments naming one of them name the copy."""
    if os.getuid() != 0:
        return None
    uid, gid, name = test_user()
    copy = tempfile.mkdtemp(prefix="sw-wayland-run-")  # root's, mode 0700, until handed over
    try:
        for source, relative in files.items():
            target = os.path.join(copy, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.isdir(source):
                shutil.copytree(source, target, symlinks=True)
            else:
                shutil.copy2(source, target)
        mapped = [os.path.join(copy, files[arg]) if arg in files else arg for arg in argv]
        # Deepest first, links themselves rather than what they point at, and the top folder last:
        # until then the user cannot reach anything in it to swap a name for a link.
        for folder, folders, names in os.walk(copy, topdown=False):
            for entry in names + folders:
                os.chown(os.path.join(folder, entry), uid, gid, follow_symlinks=False)
        os.chown(copy, uid, gid, follow_symlinks=False)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_RUNTIME_DIR", "USER")}
        env.update(HOME=copy, USER=name)
        return subprocess.run(mapped, env=env, user=uid, group=gid, extra_groups=[],
                              stdin=subprocess.DEVNULL, cwd=copy).returncode
    finally:
        shutil.rmtree(copy, ignore_errors=True)


class Desktop(desktop.Desktop):
    """`xwayland=True` runs the browsers as X11 clients of Xwayland; otherwise natively.
    `linked_runtime=True` starts them as a Snap runs: with a runtime folder of their own, in which
    the Wayland display is a link to the compositor's socket, and holding an X connection too."""

    SCREENSHOT = ["grim", "-t", "ppm", "-"]

    def __init__(self, size=desktop.SCREEN, keep_dir=False, xwayland=False, linked_runtime=False):
        missing = [t for t in REQUIRED_TOOLS if shutil.which(t) is None]
        if missing:
            raise DesktopError("missing tools (install scripts/packages/atspi.txt): " + ", ".join(missing))
        if os.getuid() == 0:
            raise DesktopError("sway does not run as root: see wayland.as_user")
        super().__init__(size, keep_dir)
        self.xwayland = xwayland
        self.linked_runtime = linked_runtime
        for var in ("GDK_BACKEND", "MOZ_ENABLE_WAYLAND"):
            del self.env[var]
        self.input = None

    def spawn(self, name, argv, **kwargs):
        if name == "chrome":
            platform = "x11" if self.xwayland else "wayland"
            argv = [f"--ozone-platform={platform}" if a.startswith("--ozone-platform=") else a
                    for a in argv]
        elif name == "firefox":
            kwargs["env"] = dict(self.env, MOZ_ENABLE_WAYLAND="0" if self.xwayland else "1",
                                 GDK_BACKEND="x11" if self.xwayland else "wayland")
        if self.linked_runtime and name in desktop.BUNDLES:
            display = self.env["WAYLAND_DISPLAY"]
            runtime = os.path.join(self.env["XDG_RUNTIME_DIR"], "snap." + name)
            os.makedirs(runtime, mode=0o700, exist_ok=True)
            if not os.path.lexists(os.path.join(runtime, display)):
                os.symlink(os.path.join("..", display), os.path.join(runtime, display))
            kwargs["env"] = dict(kwargs.get("env", self.env), XDG_RUNTIME_DIR=runtime)
            argv = ["/usr/bin/python3", "-c", HOLD_X, self.env["DISPLAY"], *argv]
        return super().spawn(name, argv, **kwargs)

    # The X11 desktop's start, with sway in the place of the X server and of the window manager.
    def _start_x(self):
        width, height = self.size
        found = os.path.join(self.dir, "session")
        config = os.path.join(self.dir, "sway.config")
        with open(config, "w") as f:
            f.write(f"output HEADLESS-1 resolution {width}x{height} position 0 0\n"
                    "default_border none\ndefault_floating_border none\n"
                    "focus_follows_mouse no\nxwayland enable\n"
                    # Every window floats, so that it can be placed like on the X11 desktop.
                    'for_window [app_id=".*"] floating enable\n'
                    'for_window [class=".*"] floating enable\n'
                    f"exec sh -c 'printf \"%s\\n%s\\n%s\\n\" \"$WAYLAND_DISPLAY\" \"$DISPLAY\" "
                    f"\"$SWAYSOCK\" > {found}.tmp && mv {found}.tmp {found}'\n")
        env = dict(self.env, WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                   WLR_HEADLESS_OUTPUTS="1")
        self.spawn("sway", ["sway", "--config", config], env=env)
        wait_for("sway to start", lambda: os.path.exists(found), timeout=30)
        with open(found) as f:
            wayland, display, sock = f.read().split("\n")[:3]
        if not (wayland and display and sock):
            raise DesktopError(f"sway started without a display: {wayland!r} {display!r} {sock!r}")
        self.env.update(WAYLAND_DISPLAY=wayland, DISPLAY=display, SWAYSOCK=sock,
                        XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="sway")

    def _start_wm(self):
        build = os.path.join(self.dir, "wl-input")
        os.makedirs(build)
        xml = os.path.join(HERE, "wayland", "virtual-input.xml")
        self.run("wayland-scanner", "client-header", xml, os.path.join(build, "virtual-input-client.h"))
        self.run("wayland-scanner", "private-code", xml, os.path.join(build, "virtual-input.c"))
        exe = os.path.join(build, "wl-input")
        self.run("cc", "-O1", "-I", build, "-o", exe, os.path.join(HERE, "wayland", "wl-input.c"),
                 os.path.join(build, "virtual-input.c"), "-lwayland-client", "-lxkbcommon", timeout=60)
        self.input = self.spawn("wl-input", [exe, str(self.size[0]), str(self.size[1])],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self._answer()

    def _answer(self):
        if self.input.stdout.readline().strip() != b"ok":
            raise DesktopError("wl-input failed: see " + os.path.join(self.dir, "wl-input.log"))

    def _send(self, *commands):
        self.input.stdin.write("".join(c + "\n" for c in commands).encode())
        self.input.stdin.flush()
        for _ in commands:
            self._answer()

    # ---- windows -------------------------------------------------------------------------------

    def swaymsg(self, command):
        return self.run("swaymsg", command)

    def _views(self):
        tree = json.loads(self.run("swaymsg", "-t", "get_tree", "--raw"))
        stack = [tree]
        while stack:
            node = stack.pop()
            stack.extend(node.get("nodes", []) + node.get("floating_nodes", []))
            if node.get("pid") and node.get("type") in ("con", "floating_con"):
                yield node

    def windows_of(self, pid):
        return [v["id"] for v in self._views() if v["pid"] == pid]

    def active_window(self):
        return next((v["id"] for v in self._views() if v.get("focused")), None)

    def activate(self, window, timeout=20):
        self.swaymsg(f"[con_id={window}] focus")
        wait_for("window activation", lambda: self.active_window() == window, timeout=timeout)

    def geometry(self, window):
        for v in self._views():
            if v["id"] == window:
                r = v["rect"]
                return r["x"], r["y"], r["width"], r["height"]
        raise DesktopError(f"no window {window}")

    def place(self, window, x, y, width, height):
        self.swaymsg(f"[con_id={window}] floating enable, resize set {width} {height}, "
                     f"move absolute position {x} {y}")
        wait_for("window placement", lambda: self._placed(window, x, y, width, height))

    # ---- input ---------------------------------------------------------------------------------

    def move_mouse(self, x, y):
        self._send(f"move {int(x)} {int(y)}")

    def key(self, *keys):
        for combination in keys:
            codes = [self._code(k) for k in combination.split("+")]
            self._send(*[f"key {c} 1" for c in codes])
            self._send(*[f"key {c} 0" for c in reversed(codes)])

    @staticmethod
    def _code(name):
        code = KEYS.get(name, KEYS.get(name.lower()))
        if code is None:
            raise DesktopError(f"no key {name!r}")
        return code

    def xdotool(self, *args, timeout=20):
        """The verbs of xdotool that the page driver uses, over the virtual pointer and keyboard."""
        args = [str(a) for a in args]
        while args:
            verb = args.pop(0)
            if verb == "mousemove":
                self.move_mouse(float(args.pop(0)), float(args.pop(0)))
            elif verb in ("mousedown", "mouseup"):
                args.pop(0)
                self._send(f"button {BUTTON_LEFT} {int(verb == 'mousedown')}")
            elif verb in ("keydown", "keyup"):
                codes = [self._code(k) for k in args.pop(0).split("+")]
                self._send(*[f"key {c} {int(verb == 'keydown')}" for c in codes])
            elif verb == "key":
                self.key(args.pop(0))
            elif verb == "sleep":
                time.sleep(float(args.pop(0)))
            else:
                raise DesktopError(f"xdotool verb {verb!r} has no Wayland counterpart here")
        return ""

    def stop(self):
        if self.input is not None and self.input.stdin:
            self.input.stdin.close()
        super().stop()
