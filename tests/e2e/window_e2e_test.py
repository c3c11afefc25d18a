"""The shipped updater in window mode on an Xvfb of its own, against the HTTPS test server. Needs
root, Xvfb and xdotool; skipped otherwise. Usage: window_e2e_test.py BUILD_DIR [unittest args]"""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support

BUILD_DIR = CERTS_DIR = XVFB = DISPLAY = None
PACKAGE = "/packages/launcher-1.0.0.zip"


def setUpModule():
    global CERTS_DIR, XVFB, DISPLAY
    problem = e2e_support.harness_problem()
    if problem or not (shutil.which("Xvfb") and shutil.which("xdotool")):
        raise unittest.SkipTest(problem or "window tests need Xvfb and xdotool")
    XVFB = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    DISPLAY = ":" + XVFB.stdout.readline().strip()
    CERTS_DIR = tempfile.mkdtemp(prefix="emberdale-e2e-certs-")
    subprocess.run(["bash", os.path.join(e2e_support.SOURCE_DIR, "demo", "make_test_ca.sh"),
                    CERTS_DIR] + [e2e_support.cache_value(BUILD_DIR, "EMBERDALE_" + name) for name
                                  in ("CDN_HOST", "SOURCE_HOST", "RUNTIME_VENDOR_HOST")], check=True)


def tearDownModule():
    XVFB.terminate()
    shutil.rmtree(CERTS_DIR, ignore_errors=True)


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def xdotool(*args, seconds=60):
    return subprocess.run(["timeout", str(seconds), "xdotool"] + list(args), capture_output=True,
                          text=True, env=dict(os.environ, DISPLAY=DISPLAY))


def close_window(window):
    """What a window manager does for the close button: a ClientMessage WM_DELETE_WINDOW."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = x11.XInternAtom.restype = ctypes.c_void_p
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    display = x11.XOpenDisplay(DISPLAY.encode())
    event = (ctypes.c_long * 24)(33, 0, 0, 0, window, x11.XInternAtom(display, b"WM_PROTOCOLS", 0),
                                 32, x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0))
    x11.XSendEvent(display, window, 0, 0, event)
    x11.XCloseDisplay(ctypes.c_void_p(display))


class WindowTest(unittest.TestCase):
    def setUp(self):
        self.world = w = e2e_support.Scenario(BUILD_DIR, CERTS_DIR)
        self.addCleanup(w.cleanup)
        w.install_bundle(w.release()["updater"]["sha256"])

    def window(self, title, key=None):
        """Waits for a window titled `title` and presses `key` until it is gone (a key sent while
        it starts up can be lost). Without the window, the updater is ended."""
        for _ in range(3):  # a search fails when a window goes away while it looks
            found = xdotool("search", "--sync", "--onlyvisible", "--name", title).stdout.split()
            if found:
                break
        if not found:
            e2e_support.stop_processes_named("EmberdaleUpdater", self.world.root)
            self.fail("no window titled " + title)
        for _ in range(3 if key else 0):
            xdotool("windowfocus", "--sync", found[0], "key", key, seconds=10)
            if wait_for(lambda: xdotool("getwindowname", found[0]).returncode != 0, 3):
                break
        return int(found[0])

    def run_with_keys(self, *then):
        return self.world.run(env={"DISPLAY": DISPLAY}, while_running=lambda _: [
            self.window("^Where to install Emberdale", "Return"),
            self.window("^Updates Available$", "Return")] + [step() for step in then])

    def test_a_first_install_answered_with_keys_starts_the_launcher(self):
        w = self.world
        result = self.run_with_keys(lambda: self.window("^Emberdale is installed$", "Return"))
        self.assertEqual(result.code, 0, result.errors + w.log())
        self.assertTrue(w.wait_for_launcher_record("START"))
        self.assertEqual(w.read(w.pointer), w.install_dir + "\n")

    def test_closing_the_window_during_a_download_ends_with_1(self):
        w = self.world
        w.rules({PACKAGE: {"trickle_rate": 20000}})
        closed = []
        result = self.run_with_keys(lambda: wait_for(lambda: PACKAGE in w.requests()),
                                    lambda: close_window(self.window("^Emberdale Updater$")),
                                    lambda: closed.append(time.monotonic()))
        print("\nwindow closed -> process ended: %.1f s" % (time.monotonic() - closed[0]))
        self.assertEqual((result.code, w.recorded("START")), (1, []))
        for line in ("[INFO] User cancelled the update (window closed)",  # and the update saw it:
                     "[INFO] === Emberdale Updater finished (exit code 1) ==="):
            self.assertIn(line, w.log_lines())
        w.rules({})
        self.assertEqual(w.run().code, 0)
        self.assertEqual(os.listdir(os.path.join(w.install_dir, "temp")), [])


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
