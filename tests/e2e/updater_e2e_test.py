"""What only the shipped binary shows: the release build run in its own namespaces against the
real HTTPS test server (demo/world.py). Needs root. Usage: this BUILD_DIR [unittest args]"""

import contextlib, ctypes, os, pty, re, select, shutil, signal, subprocess, sys, time, unittest
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "demo"))
import world as demo  # noqa: E402

BUILD_DIR = CERTS = None
MANIFEST = "/launcher/launcher-manifest.json"
OFFLINE = ("Failed to check for updates and the installed Emberdale Launcher was not found.\n"
           "Please check your internet connection.")
POINTER = "/Library/Application Support/dev.quillfen.updater/install-path"
PPOLL_SYSCALL = {"x86_64": b"271", "aarch64": b"73"}[os.uname().machine]


def setUpModule():
    global CERTS
    if demo.harness_problem():
        raise unittest.SkipTest(demo.harness_problem())
    CERTS = demo.make_certs(BUILD_DIR)
    unittest.addModuleCleanup(shutil.rmtree, CERTS)


def wait_until(done, what, timeout=60):
    if not demo.wait_until(done, timeout):
        raise AssertionError("gave up waiting for " + what)


class TestWorld(demo.World):
    """Runs its programs in a PID namespace of its own: launchers elsewhere don't count."""
    run_timeout = 120  # a run that doesn't end dies with the world's PID namespace

    def __init__(self, *args):
        super().__init__(*args)
        self.init = subprocess.Popen(["unshare", "-pf", "--mount-proc", "sleep", "1d"],
                                     stderr=subprocess.DEVNULL)
        first = Path("/proc/%d/task/%d/children" % (self.init.pid, self.init.pid))
        wait_until(lambda: first.read_bytes() and os.readlink("/proc/%s/exe" % int(
            first.read_bytes())) == shutil.which("sleep"), "the PID namespace")
        self.inside = ["nsenter", "-t", str(int(first.read_bytes())), "-p", "-m", "--"]

    def command(self, args, exe=None):
        return self.inside + super().command(args, exe)

    def cleanup(self):
        super().cleanup()
        os.kill(int(self.inside[2]), signal.SIGKILL)
        self.init.wait()

    def updater_pid(self):
        return (demo.processes_named("EmberdaleUpdater", self.root) + [None])[0]

    def run_in_terminal(self, args=(), answer=None):
        """`answer(master)` is called once the updater has asked and waits for the answer."""
        master, slave = pty.openpty()
        process = subprocess.Popen(self.command(args), env=self.environment(), stdin=slave,
                                   stdout=slave, stderr=slave)
        os.close(slave)
        shown, deadline = b"", time.monotonic() + 120
        while time.monotonic() < deadline:
            chunk = b""
            with contextlib.suppress(OSError):  # EIO once the updater has ended
                chunk = select.select([master], [], [], 0.02)[0] and os.read(master, 65536)
            shown += chunk or b""
            if not chunk and process.poll() is not None:
                os.close(master)
                return process.returncode, shown.decode(errors="replace").replace("\r\n", "\n")
            with contextlib.suppress(OSError, TypeError):
                syscall = Path("/proc/%d/syscall" % self.updater_pid()).read_bytes().split()[0]
                if answer and b"[Y/n]: " in shown and syscall == PPOLL_SYSCALL:
                    answer, _ = None, answer(master)
        raise AssertionError("no end in time; the terminal showed:\n%s" % shown)


class UpdaterTest(unittest.TestCase):
    def world(self, **release):
        """A fresh world with a release, ended with the test; a failure prints both logs."""
        w = TestWorld(BUILD_DIR, CERTS)
        self.addCleanup(w.cleanup)
        problems = lambda r=self._outcome.result: len(r.failures) + len(r.errors)  # noqa: E731
        self.addCleanup(lambda before=problems(): problems() == before or sys.stderr.write(
            "\n--- updater log ---\n%s--- launch log ---\n%s"
            % (w.log(), w.read("logs", "launcher_launch.log"))))
        w.release(**release)
        return w

    def test_first_install_after_ctrl_c_at_the_question_and_sigint_during_a_download(self):
        w = self.world()
        code, shown = w.run_in_terminal(answer=lambda _: os.kill(w.updater_pid(), signal.SIGINT))
        self.assertEqual((code, w.recorded("START")), (1, []), shown)
        self.assertIn("[Y/n]: Update cancelled.\n", shown)
        w.rules({"/packages/launcher-1.0.0.zip": {"trickle_rate": 5000}})
        package = w.install_dir + "/temp/launcher-package.zip"

        self.assertEqual(w.run(during=lambda: [
            wait_until(lambda: os.path.exists(package), "the launcher download"),
            os.kill(w.updater_pid(), signal.SIGINT)])[0], 1)
        self.assertIn("] [INFO] === Emberdale Updater finished (exit code 1) ===\n", w.log())
        self.assertEqual((os.path.exists(package), w.recorded("START")), (False, []))
        w.rules({})
        args = ["emberdale://join/x", "-psn_0_1", "-psn", "-p", "--psn_0_1"]
        code, shown = w.run_in_terminal(args, answer=lambda master: os.write(master, b"\n"))
        self.assertEqual(code, 0, shown)
        self.assertIn("\r\x1b[KStarting the launcher...\n", shown)
        self.assertTrue(w.wait_for_launcher_record("SERVING"))
        self.assertEqual((w.recorded("ARG"), w.recorded("CWD")),
                         (["emberdale://join/x", "-p", "--psn_0_1"], [w.install_dir]))
        java = w.install_dir + "/Contents/runtime/Contents/Home"
        self.assertEqual(w.recorded("ENV"), [
            "SKIKO_RENDER_API=METAL", "SKIKO_FALLBACK_RENDER_API=SOFTWARE",
            "EMBERDALE_LAUNCHER_MODE=normal", "EMBERDALE_HOME=" + w.install_dir,
            "JAVA_HOME=" + java, "PATH=%s/bin:%s" % (java, w.environment()["PATH"])])
        w.stop_launchers()  # and started again: nothing to download
        os.remove(w.work + "/requests.log")
        self.assertEqual(w.run()[0], 0)
        self.assertNotIn(b"/packages/", Path(w.work, "requests.log").read_bytes())
        launch_log = lambda: w.read("logs", "launcher_launch.log")  # noqa: E731
        wait_until(lambda: launch_log().endswith("running\n"), "the second launcher's output")
        self.assertRegex(launch_log(), r"\A--- Emberdale Launcher started [-\d]{10} [:\d]{8} by "
                         r"Emberdale Updater 1\.0\.0 ---\nExecutable: %s\nJAVA_HOME: %s\n\n[^\n]*"
                         r"running\n\Z" % (re.escape(w.install_dir + "/Contents/MacOS/"
                                                      "EmberdaleLauncher"), re.escape(java)))

    def test_self_update_rolled_back_when_the_new_binary_cannot_start_then_applied(self):
        w = self.world()
        old, new_binary = Path(w.exe).read_bytes(), Path(w.path("new"), "EmberdaleUpdater")
        for new, args, starts in ((b"not a program\n", [], 1), (old + b"\0newer", ["-k"], 2)):
            new_binary.write_bytes(new)
            w.release(updater_binary=str(new_binary), bundle_sha256="0" * 64)
            self.assertEqual(w.run(args)[0], 0)
            self.assertTrue(w.wait_for_launcher_record("START", starts))
            w.stop_launchers()
            self.assertEqual(Path(w.exe).read_bytes(), old if starts == 1 else new)
        self.assertIn("] [ERROR] Can't start the new updater: Exec format error; restoring the "
                      "previous one\n", w.log())
        self.assertFalse(os.path.exists(w.exe + ".backup"))
        self.assertEqual(w.log().count("] [INFO] Arguments: '-k'\n"), 2)
        self.assertEqual(w.recorded("ARG"), ["-k"])

    def test_vendor_fallback_then_a_wrong_digest_then_an_offline_start(self):
        w = self.world(vendor=True)
        w.rules({"/vendor/packages/jre-17.0.1.tar.gz": {"status": 500}})
        self.assertEqual(w.run()[0], 0)
        self.assertIn("] [WARN] Download from vendor failed: HTTP 500\n", w.log())
        self.assertIn("] [INFO] Downloaded and verified jre-package.tar.gz from CDN\n", w.log())
        self.assertTrue(os.path.isdir(w.home + "/Applications/Emberdale Updater.app"))
        w.stop_launchers()
        entries = w.release(launcher="1.1.0")
        entries["launcher"]["sha256"] = "ab" * 32
        w.content.publish(**entries)
        code, _, errors = w.run()
        self.assertEqual(code, 1)
        self.assertIn("[\u2716 ERROR] Failed to verify file integrity.\n", errors)
        self.assertEqual(w.read("Contents/Resources/launcher-version.txt"), "1.0.0\n")
        self.assertEqual(os.listdir(w.install_dir + "/temp"), [])
        w.rules({MANIFEST: {"status": 503}})
        self.assertEqual(w.run()[0], 0)
        self.assertTrue(w.wait_for_launcher_record("START", 2))
        self.assertEqual(w.log().count("] [INFO] App copied to"), 1)

    def test_refusals_end_with_exit_code_1_and_say_why(self):
        def impostor(w):  # arrangements return what the run gets
            sleeper = shutil.copy("/bin/sleep", w.path("impostor") + "/EmberdaleLauncher")
            self.addCleanup(subprocess.Popen(w.inside + [sleeper, "60"]).wait)
            wait_until(lambda: demo.processes_named("EmberdaleLauncher", w.root), "the impostor")

        def oversize(w):
            manifest = Path(w.content.root + MANIFEST)
            manifest.write_bytes(manifest.read_bytes().rstrip(b"\n").ljust(5 * 1024 * 1024 + 1))

        def install_to(folder, w):  # a pointer file naming the install folder
            Path(w.path(os.path.dirname(w.home + POINTER)), "install-path").write_text(
                w.root + folder)
            Path(w.root, "file").touch()
            mount = 'mount -t tmpfs -o noexec tmpfs "$1" && shift && exec "$@"'
            return {"command": w.command(["-c", mount, "sh", w.path("noexec"), w.exe], "/bin/sh")}
        rows = [
            ("a launcher runs but does not listen", impostor,
             ["Emberdale Launcher is already running.\nClose it before updating."]),
            ("offline with nothing installed", lambda w: w.rules({MANIFEST: {"status": 503}}),
             [OFFLINE]),
            ("a manifest over 5 MiB", oversize, [OFFLINE]),
            ("an install folder that can't be made", lambda w: install_to("/file/Emberdale", w),
             ["Failed to create the Emberdale folder.\n\nPath: {w.root}/file/Emberdale"]),
            ("a noexec volume", lambda w: install_to("/noexec/Emberdale", w),
             ["This drive is mounted with programs disabled (noexec), so Java and Emberdale "
              "Launcher can't run from it.\n", "\n\nPath: {w.root}/noexec/Emberdale\n"]),
            ("a launcher that can't find Java",
             lambda w: {"env": {"EMBERDALE_STAND_IN_MODE": "jvm-fail"}},
             ["Failed to start Emberdale Launcher.\n(Status: exit code 1)\n\nJava was not found. "
              "Delete this folder and start Emberdale again:\n{w.install_dir}\n\nLog: ",
              "Error: Failed to find JVM\n"]),
        ]
        for name, arrange, texts in rows:
            with self.subTest(name):
                w = self.world()
                code, _, errors = w.run(**(arrange(w) or {}))
                self.assertEqual(code, 1, errors)
                for text in texts:
                    self.assertIn(text.format(w=w), errors)

    def test_a_link_opened_by_the_desktop_reaches_the_running_launcher_without_an_update(self):
        missing = [t for t in ("xdg-open", "gio", "desktop-file-validate") if not shutil.which(t)]
        if missing:
            self.skipTest("missing: " + " ".join(missing))
        others = ["[Default Applications]", "text/html=browser.desktop", "[Added Associations]",
                  "image/png=viewer.desktop;"]
        w = self.world()
        # A home path needing every quoting rule of an Exec line; the pointer names install_dir.
        install_dir, w.home = w.install_dir, w.path('the "home" of $USER at 100%u `x` a\\b')
        Path(w.path(os.path.dirname(w.home + POINTER)), "install-path").write_text(install_dir)
        mimeapps = Path(w.path(w.home, ".config"), "mimeapps.list")
        mimeapps.write_text("\n".join(others[:2] + ["x-scheme-handler/emberdale=old.desktop"]
                                      + others[2:] + [""]))
        self.assertEqual(w.run()[0], 0)
        self.assertTrue(w.wait_for_launcher_record("SERVING"))
        entry = w.home + "/.local/share/applications/emberdale-updater.desktop"
        checked = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual((checked.returncode, checked.stdout), (0, ""))
        link = "emberdale://join/desktop-42"
        opened = subprocess.run(["xdg-open", link], capture_output=True, text=True, timeout=60,
                                env=w.environment({"XDG_CURRENT_DESKTOP": "GNOME"}))
        self.assertEqual(opened.returncode, 0, opened.stderr)
        self.assertTrue(w.wait_for_launcher_record("LINK"))
        wait_until(lambda: w.updater_pid() is None, "the updater that handed the link over")
        self.assertEqual(w.recorded("LINK"), [link])
        self.assertEqual(w.log().count("] [INFO] Loading configuration from: "), 1)
        lines = mimeapps.read_text().splitlines()
        self.assertEqual([line for line in lines if line in others], others)
        self.assertNotIn("x-scheme-handler/emberdale=old.desktop", lines)


class WindowTest(unittest.TestCase):
    """Window mode on an Xvfb of its own, answered with keys (xdotool); skipped without them."""

    @classmethod
    def setUpClass(cls):
        if not (shutil.which("Xvfb") and shutil.which("xdotool")):
            raise unittest.SkipTest("window tests need Xvfb and xdotool")
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        cls.addClassCleanup(lambda: (xvfb.terminate(), xvfb.wait(), xvfb.stdout.close()))
        cls.display = ":" + xvfb.stdout.readline().strip()

    def xdotool(self, *args, seconds=60):
        return subprocess.run(["timeout", str(seconds), "xdotool"] + list(args), text=True,
                              capture_output=True, env=dict(os.environ, DISPLAY=self.display))

    def window(self, title, key=None):
        """Waits for a window titled `title`; presses `key` until it is gone (a key sent while it
        starts up can be lost). A search fails when a window goes away while it looks: retried."""
        found = []
        for _ in range(3):
            found = found or self.xdotool("search", "--sync", "--onlyvisible", "--name",
                                          title).stdout.split()
        self.assertTrue(found, "no window titled " + title)
        for _ in range(3 if key else 0):
            self.xdotool("windowfocus", "--sync", found[0], "key", key, seconds=10)
            if demo.wait_until(lambda: self.xdotool("getwindowname", found[0]).returncode, 3):
                break
        return int(found[0])

    def close(self, window):
        """What a window manager does for the close button: WM_DELETE_WINDOW."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = x11.XInternAtom.restype = ctypes.c_void_p
        display = ctypes.c_void_p(x11.XOpenDisplay(self.display.encode()))
        atom = lambda name: x11.XInternAtom(display, name, 0)  # noqa: E731
        event = (ctypes.c_long * 24)(33, 0, 0, 0, window, atom(b"WM_PROTOCOLS"), 32,
                                     atom(b"WM_DELETE_WINDOW"))
        x11.XSendEvent(display, window, 0, 0, event)
        x11.XCloseDisplay(display)

    def run_with_keys(self, w, *steps):
        """Answers the window titled by each text step with Return; calls the other steps."""
        return w.run(env={"DISPLAY": self.display}, during=lambda: [
            step() if callable(step) else self.window(step, "Return") for step in steps])

    def test_a_first_install_answered_with_keys_then_an_update_closed_during_its_download(self):
        w = UpdaterTest.world(self)
        code, _, errors = self.run_with_keys(w, "^Where to install Emberdale",
                                             "^Updates Available$", "^Emberdale is installed$")
        self.assertEqual(code, 0, errors)
        self.assertTrue(w.wait_for_launcher_record("START"))
        self.assertEqual(Path(w.home + POINTER).read_text(), w.install_dir + "\n")
        w.stop_launchers()
        package, requests = "/packages/launcher-1.1.0.zip", Path(w.work, "requests.log")
        w.release(launcher="1.1.0")
        w.rules({package: {"trickle_rate": 20000}})
        code = self.run_with_keys(
            w, "^Updates Available$",
            lambda: wait_until(lambda: requests.exists() and package.encode()
                               in requests.read_bytes(), "the package request"),
            lambda: self.close(self.window("^Emberdale Updater$")))[0]
        self.assertEqual((code, len(w.recorded("START"))), (1, 1))
        self.assertIn("] [INFO] User cancelled the update (window closed)\n", w.log())
        self.assertEqual(os.listdir(w.install_dir + "/temp"), [])

if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
