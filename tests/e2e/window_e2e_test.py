"""The shipped updater in window mode, on an Xvfb of its own, against the real HTTPS test server:
a first install answered with keys, and the progress window closed during a download. Needs root
(the harness's namespaces), Xvfb and xdotool; skipped with a message otherwise.

Usage: window_e2e_test.py BUILD_DIR [unittest arguments]
"""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support
from e2e_support import Scenario

BUILD_DIR = CERTS_DIR = XVFB = DISPLAY = None
LAUNCHER_PACKAGE = "/packages/launcher-1.0.0.zip"


def setUpModule():
    global CERTS_DIR, XVFB, DISPLAY
    problem = e2e_support.harness_problem()
    if problem or not (shutil.which("Xvfb") and shutil.which("xdotool")):
        raise unittest.SkipTest(problem or "window tests need Xvfb and xdotool")
    XVFB = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    DISPLAY = ":" + XVFB.stdout.readline().strip()
    CERTS_DIR = tempfile.mkdtemp(prefix="emberdale-e2e-certs-")
    hosts = [e2e_support.cache_value(BUILD_DIR, name) for name in
             ("EMBERDALE_CDN_HOST", "EMBERDALE_SOURCE_HOST", "EMBERDALE_RUNTIME_VENDOR_HOST")]
    subprocess.run(["bash", os.path.join(e2e_support.SOURCE_DIR, "demo", "make_test_ca.sh"),
                    CERTS_DIR] + hosts, check=True, capture_output=True)


def tearDownModule():
    XVFB.terminate()
    shutil.rmtree(CERTS_DIR, ignore_errors=True)


def close_window(window):
    """What a window manager does for the close button: send WM_DELETE_WINDOW to the window."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(DISPLAY.encode())
    event = (ctypes.c_long * 24)()  # an XClientMessageEvent, as longs: type .. window, atom, data
    event[0], event[4], event[6] = 33, window, 32
    event[5] = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event[7] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, window, 0, 0, event)
    x11.XCloseDisplay(display)


class WindowTest(unittest.TestCase):
    def setUp(self):
        self.world = Scenario(BUILD_DIR, CERTS_DIR)
        self.addCleanup(self.world.cleanup)
        entries = self.world.release()
        self.world.install_bundle(entries["updater"]["sha256"])

    def window(self, title, key=None):
        """Waits (bounded) for a shown window titled `title` and presses `key` in it. Without one,
        the updater is ended, so that the run does not wait for an answer nobody gives."""
        env = dict(os.environ, DISPLAY=DISPLAY)
        found = subprocess.run(["timeout", "60", "xdotool", "search", "--sync", "--onlyvisible",
                                "--name", title], env=env, capture_output=True, text=True)
        if not found.stdout.split():
            e2e_support.stop_processes_named("EmberdaleUpdater", self.world.root)
            self.fail("no window titled %s" % title)
        window = found.stdout.split()[0]
        for _ in range(3 if key else 0):  # a key sent while the window starts up can be lost
            subprocess.run(["timeout", "10", "xdotool", "windowfocus", "--sync", window, "key", key],
                           env=env)
            if subprocess.run(["timeout", "3", "sh", "-c", "while xdotool getwindowname %s; do "
                               "sleep 0.1; done" % window], env=env, capture_output=True).returncode == 0:
                break
        return int(window)

    def install_with_keys(self, process):
        self.window("^Where to install Emberdale", "Return")
        self.window("^Updates Available$", "Return")

    def test_a_first_install_answered_with_keys_starts_the_launcher(self):
        w = self.world
        def install(process):
            self.install_with_keys(process)
            self.window("^Emberdale is installed$", "Return")

        result = w.run(env={"DISPLAY": DISPLAY}, while_running=install)
        self.assertEqual(result.code, 0, result.errors + w.log())
        self.assertTrue(w.wait_for_launcher_record("START"))
        self.assertEqual(w.read(w.pointer), w.install_dir + "\n")

    def test_closing_the_window_during_a_download_ends_with_1(self):
        w = self.world
        w.rules({LAUNCHER_PACKAGE: {"trickle_rate": 20000}})
        closed = []

        def close_while_downloading(process):
            self.install_with_keys(process)
            deadline = time.monotonic() + 60
            while LAUNCHER_PACKAGE not in w.requests() and time.monotonic() < deadline:
                time.sleep(0.05)
            close_window(self.window("^Emberdale Updater$"))
            closed.append(time.monotonic())

        result = w.run(env={"DISPLAY": DISPLAY}, while_running=close_while_downloading)
        print("\nwindow closed -> process ended: %.1f s" % (time.monotonic() - closed[0]))
        self.assertEqual(result.code, 1)
        self.assertIn("[INFO] User cancelled the update (window closed)", w.log_lines())
        self.assertEqual(w.recorded("START"), [])

        w.rules({})
        again = w.run()
        self.assertEqual(again.code, 0, again.errors)
        self.assertEqual(os.listdir(os.path.join(w.install_dir, "temp")), [])


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
