# The wheel carries a native executable: it suits any Python 3 but only the platform it was built
# on, so it is tagged py3-none-<platform> rather than as pure Python.
import os
import sys
import sysconfig

from setuptools import setup

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

BIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "selection_watcher", "bin")


def platform_tag():
    if os.environ.get("SELECTION_WATCHER_WHEEL_PLATFORM"):
        return os.environ["SELECTION_WATCHER_WHEEL_PLATFORM"]  # e.g. win_amd64, cross-built
    if sys.platform == "darwin":
        return "macosx_14_0_arm64"  # what the executable is built for, whatever built Python
    # glibc 2.35 is the oldest the executable starts on (packages/tests/floor.sh checks it). It also
    # needs the desktop's own AT-SPI2 and D-Bus libraries, which are not bundled: docs/integration.md.
    return sysconfig.get_platform().replace("linux-", "manylinux_2_35_").replace("-", "_").replace(".", "_")


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", platform_tag()

    def run(self):
        # A wheel without the executable would install and then fail at every start.
        name = "selection-watcher.exe" if platform_tag().startswith("win") else "selection-watcher"
        if not os.access(os.path.join(BIN, name), os.X_OK):
            sys.exit(f"{os.path.join(BIN, name)} is missing or not executable: build the wheel with scripts/package")
        super().run()


setup(cmdclass={"bdist_wheel": PlatformWheel})
