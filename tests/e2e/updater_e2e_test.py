"""What only the shipped binary shows: the release build run in its own namespaces against the
real HTTPS test server (demo/world.py). Needs root. Usage: this BUILD_DIR [unittest args]"""

import concurrent.futures, contextlib, ctypes, functools, os, pty, re, select, shutil, signal
import subprocess, sys, time, unittest
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

    @functools.cached_property
    def inside(self):  # made at first use: it sees what the arrangement mounted before
        self.init = subprocess.Popen(["unshare", "-pf", "--mount-proc", "sleep", "1d"],
                                     stderr=subprocess.DEVNULL)
        first = Path("/proc/%d/task/%d/children" % (self.init.pid, self.init.pid))
        wait_until(lambda: first.read_bytes() and os.readlink("/proc/%s/exe" % int(
            first.read_bytes())) == shutil.which("sleep"), "the PID namespace")
        return ["nsenter", "-t", str(int(first.read_bytes())), "-p", "-m", "--"]

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

    def test_faults_end_with_their_exit_code_and_message_and_lose_nothing_installed(self):
        """Rows run side by side; texts are looked for on stderr and in the log. A row in an
        installed world ends with an offline start of what it left: as before, or a new runtime."""
        def shell(w, script, *args):  # the run: `script` in the updater's namespaces, then it
            return {"command": w.command(["-c", script + ' && shift %d && exec "$@"' % len(args),
                                          "sh", *args, w.exe], "/bin/sh")}

        def install_to(folder, w):  # a pointer file naming the install folder
            Path(w.path(os.path.dirname(w.home + POINTER)), "install-path").write_text(
                w.root + folder)
            Path(w.root, "file").touch()
            return shell(w, 'mount -t tmpfs -o noexec tmpfs "$1"', w.path("noexec"))

        def impostor(w):
            sleeper = shutil.copy("/bin/sleep", w.path("impostor") + "/EmberdaleLauncher")
            process = subprocess.Popen(w.inside + [sleeper, "60"])
            self.addCleanup(lambda: w.stop_launchers() or process.wait())  # not 60 s later
            wait_until(lambda: demo.processes_named("EmberdaleLauncher", w.root), "the impostor")

        def oversize(w):
            manifest = Path(w.content.root + MANIFEST)
            manifest.write_bytes(manifest.read_bytes().rstrip(b"\n").ljust(5 * 1024 * 1024 + 1))

        def update(w, rules=None, jre=True, disk=0, filler=0, certificates=None):
            """Installs (on a `disk`-byte tmpfs), publishes runtime 17.0.2 or launcher 1.1.0."""
            if disk:
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % disk, "tmpfs",
                                w.path(w.install_dir)], check=True)
                self.addCleanup(subprocess.run, ["umount", "-l", w.install_dir])
            self.assertEqual(w.run()[0], 0)
            setattr(w.content, ("runtime" if jre else "launcher") + "_filler_bytes", filler)
            w.release(**({"jre": "17.0.2", "vendor": True} if jre else {"launcher": "1.1.0"}))
            w.rules(rules or {}, certificates)

        cdn, failed = "/packages/jre-17.0.2.tar.gz", "] [WARN] Download from %s failed: %s\n"
        vendor, error, offline = "/vendor" + cdn, "[\u2716 ERROR] ", {MANIFEST: {"status": 503}}
        download, slow = error + "Failed to download update files.\n", "too slow or stalled"
        unpack = error + "Failed to extract files.\n\nPath: {w.install_dir}\n"
        certificate = "SSL peer certificate or SSH remote key was not OK"
        rows = [
            ("a launcher runs but does not listen", impostor, 1,
             [error + "Emberdale Launcher is already running.\nClose it before updating.\n"]),
            ("offline with nothing installed", lambda w: w.rules(offline), 1, [error + OFFLINE]),
            ("a manifest over 5 MiB", oversize, 1, [error + OFFLINE]),
            ("a folder that can't be made", lambda w: install_to("/file/Emberdale", w), 1,
             [error + "Failed to create the Emberdale folder.\n\nPath: {w.root}/file/Emberdale"]),
            ("a noexec volume", lambda w: install_to("/noexec/Emberdale", w), 1,
             [error + "This drive is mounted with programs disabled (noexec), so Java and "
              "Emberdale Launcher can't run from it.\n", "Path: {w.root}/noexec/Emberdale\n"]),
            ("a launcher that can't find Java",
             lambda w: {"env": {"EMBERDALE_STAND_IN_MODE": "jvm-fail"}}, 1,
             ["Failed to start Emberdale Launcher.\n(Status: exit code 1)\n\nJava was not found. "
              "Delete this folder and start Emberdale again:\n{w.install_dir}\n\nLog: ",
              "Error: Failed to find JVM\n"]),
            ("the vendor refuses to connect, the CDN resets mid-body, then sends the file",
             lambda w: update(w, {cdn: {"sequence": [{"cut_after": 100}, {}]}}) or shell(
                 w, 'h=$(sed "s/^127.0.0.4 /::1 /" /etc/hosts) && echo "$h" >/etc/hosts'), 0,
             [failed % ("vendor", "Couldn't connect to server"),
              failed % ("CDN", "Failure when receiving data from the peer")]),
            ("the vendor stalls, the CDN answers 503, 503, then sends the file", lambda w: update(
                w, {vendor: {"stall_after": 100, "stall_seconds": 60},
                    cdn: {"sequence": [{"status": 503}, {"status": 503}, {}]}}), 0,
             [failed % ("vendor", slow), failed % ("CDN", "HTTP 503"), "(attempt 3/4)\n"]),
            ("the vendor trickles, the CDN sends another file", lambda w: update(
                w, {vendor: {"trickle_rate": 16384}, cdn: {"status": 200}}, filler=1 << 20), 1,
             [error + "Failed to verify file integrity.\n", failed % ("vendor", slow),
              "] [WARN] File from CDN failed verification: size 11 != expected "]),
            ("the vendor's certificate is from an unknown CA, the CDN answers 429 every time",
             lambda w: update(w, {cdn: {"status": 429}}, certificates={w.vendor: "untrusted"}), 1,
             [download, failed % ("vendor", certificate), failed % ("CDN", "HTTP 429"),
              "Retrying CDN download in 5000 ms (attempt 4/4)\n"]),
            ("the vendor's certificate names another host, the CDN redirects to http, then 404s",
             lambda w: update(w, {cdn: {"sequence": [{"redirect": "http://%s%s" % (w.cdn, cdn)},
                                                     {"status": 404}]}},
                              certificates={w.vendor: "wrong-host"}), 1,
             [download, failed % ("vendor", certificate), failed % ("CDN", "HTTP 404"),
              failed % ("CDN", "Unsupported protocol")]),
            ("a full disk during the download",
             lambda w: update(w, jre=False, disk=8 << 20, filler=16 << 20), 1,
             [download, "can't write {w.install_dir}/temp/launcher-package.zip\n"]),
            ("a full disk while unpacking the launcher",
             lambda w: update(w, jre=False, disk=8 << 20, filler=3 << 20), 1,
             [unpack, "] [ERROR] Installing Launcher failed: not enough disk space (need "]),
            ("a full disk while unpacking the runtime",
             lambda w: update(w, disk=8 << 20, filler=4 << 20), 1,
             [unpack, "] [ERROR] Installing JRE failed: tar exited with 2: "]),
            ("a read-only install folder", lambda w: update(w, jre=False) or shell(
                w, 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1"', w.install_dir), 1,
             [download]),
        ]

        def files(w):  # path: hash of its contents; logs, versions and the stand-in's aside
            w.stop_launchers()
            return {str(p.relative_to(w.install_dir)): p.is_file() and hash(p.read_bytes())
                    for p in Path(w.install_dir).rglob("*") if not {"logs", "config"} & set(
                        p.parts) and not p.name.startswith(("stand-in", "launcher-app"))}

        def play(row):  # what the row ends with, what it should end with, and its world
            w = self.world()
            arranged, before = row[1](w) or {}, w.recorded("START") and files(w)
            code, _, errors = w.run(**arranged)
            end = [code, [text for text in row[3] if text.format(w=w) not in errors + w.log()]]
            expected = [row[2], []]
            if before:  # an installed world, started again offline
                w.stop_launchers() or w.rules(offline)
                end += [w.run()[0], w.log().count("] [INFO] App copied to "), files(w)]
                expected += [0, 1, before if row[2] else before | {  # runtime 17.0.2
                    "Contents/runtime/Contents/Home/release": hash(b'JAVA_VERSION="17.0.2"\n')}]
            return end, expected, w.root

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            for row, (end, expected, root) in zip(rows, pool.map(play, rows)):
                with self.subTest(row[0]):  # the world's logs are shown at its end
                    self.assertEqual(end, expected, root)

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
