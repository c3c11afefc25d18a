"""End-to-end tests of the shipped updater binary: the release build, unchanged, run in its own
mount and network namespace against the real HTTPS test server, headless or in console mode under
a real pseudo-terminal. Needs root (namespaces, mounts); skipped with a message otherwise.

Usage: updater_e2e_test.py BUILD_DIR [unittest arguments]
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support
from e2e_support import Scenario

BUILD_DIR = None
CERTS_DIR = None

ENGLISH_OFFLINE = ("Failed to check for updates and the installed Emberdale Launcher was not "
                   "found.\nPlease check your internet connection.")


def setUpModule():
    global CERTS_DIR
    problem = e2e_support.harness_problem()
    if problem:
        raise unittest.SkipTest(problem)
    CERTS_DIR = tempfile.mkdtemp(prefix="emberdale-e2e-certs-")
    hosts = [e2e_support.cache_value(BUILD_DIR, name) for name in
             ("EMBERDALE_CDN_HOST", "EMBERDALE_SOURCE_HOST", "EMBERDALE_RUNTIME_VENDOR_HOST")]
    subprocess.run(["bash", os.path.join(e2e_support.SOURCE_DIR, "demo",
                                         "make_test_ca.sh"), CERTS_DIR] + hosts, check=True)


def tearDownModule():
    if CERTS_DIR:
        shutil.rmtree(CERTS_DIR, ignore_errors=True)


def megabytes(size):
    return "%.2f MB" % (size / 1048576)


class UpdaterTestCase(unittest.TestCase):
    def setUp(self):
        self.world = Scenario(BUILD_DIR, CERTS_DIR)
        self.addCleanup(self.world.cleanup)
        self.addCleanup(self.report_if_failed, self.problems())

    def problems(self):
        result = self._outcome.result
        return len(result.failures) + len(result.errors)

    def report_if_failed(self, problems_before):
        # Runs before the world is removed: print the updater log, the launch log and the
        # server's output of a failed test, so the reason is on the screen.
        if self.problems() > problems_before:
            sys.stderr.write(self.world.report())

    def standard_release(self, **kwargs):
        entries = self.world.release(**kwargs)
        self.world.install_bundle(entries["updater"]["sha256"])
        return entries

    def installed(self):
        """A first install done headless, with the launcher closed again afterwards."""
        entries = self.standard_release()
        result = self.world.run()
        self.assertEqual(result.code, 0, result.errors)
        self.close_launcher()
        self.world.clear_requests()
        return entries

    def close_launcher(self):
        self.world.stop_launchers()

    def assertLogHas(self, *lines):
        log = self.world.log_lines()
        for line in lines:
            self.assertIn(line, log)

    def assertFinished(self, code):
        self.assertEqual(self.world.log_lines()[-2:],
                         ["[INFO] === Emberdale Updater finished (exit code %d) ===" % code, ""])

    def installed_launcher_version(self):
        return self.world.read(self.world.install_dir, "Contents", "Resources",
                               "launcher-version.txt").strip()


class FirstInstallTest(UpdaterTestCase):
    def test_first_install_in_a_terminal_then_an_up_to_date_start(self):
        w = self.world
        entries = self.standard_release()
        result = w.run_in_terminal(["--demo"], answers=[("[Y/n]: ", "\n")])
        self.assertEqual(result.code, 0, result.output)

        # Pointer, versions file, log.
        self.assertEqual(w.read(w.pointer), w.install_dir + "\n")
        self.assertEqual(w.versions(), {
            "jre": {"sha256": entries["jre"]["sha256"], "version": "17.0.1"},
            "launcher": {"sha256": entries["launcher"]["sha256"], "version": "1.0.0"},
            "updater_archive_sha256": entries["updater"]["sha256"]})
        self.assertLogHas(
            "[INFO] Emberdale Updater v1.0.0 (macOS)",
            "[INFO] Install dir: " + w.install_dir,
            "[INFO] Arguments: '--demo'",
            "[INFO] Created initial versions.json with updater SHA256: " +
            entries["updater"]["sha256"],
            "[INFO] Loading configuration from: https://%s/launcher/launcher-manifest.json" % w.cdn,
            "[INFO] Updater is up to date (package sha256 %s...)" % entries["updater"]["sha256"][:8],
            "[INFO] Downloaded and verified launcher-package.zip from CDN",
            "[INFO] Downloaded and verified jre-package.tar.gz from CDN",
            "[INFO] Launcher 1.0.0 installed",
            "[INFO] JRE 17.0.1 installed",
            "[INFO] App copied to " + os.path.join(w.home, "Applications", "Emberdale Updater.app"))
        self.assertFinished(0)

        # What the terminal showed (the terminal turns each line feed into CR LF).
        output = result.output.replace("\r\n", "\n")
        self.assertIn("\x1b[1mUpdates Available\x1b[0m\nThe following updates are required before "
                      "launch:\n  \u2022 Emberdale Launcher: not installed \u2192 1.0.0 (%s)\n  \u2022 Java: "
                      "not installed \u2192 17.0.1 (%s)\n\n\u279c Install updates? [Y/n]: "
                      % (megabytes(entries["launcher"]["size"]), megabytes(entries["jre"]["size"])),
                      output)
        self.assertIn("\x1b[38;2;109;141;255m[" + "\u2588" * 20 + "] 100%\x1b[0m Checking for "
                      "updates... Update data received\n", output)
        launcher_mb = megabytes(entries["launcher"]["size"]).split()[0]
        self.assertIn("] 100%%\x1b[0m Downloading the launcher... %s / %s MB (100%%)\n"
                      % (launcher_mb, launcher_mb), output)
        self.assertIn("\r\x1b[KInstalling Java...\nEmberdale has been added to your Applications "
                      "folder (~/Applications). Open it from there, from Launchpad or with "
                      "Spotlight.\n\r\x1b[KStarting the launcher...\n", output)

        # Installed files: the runtime hoisted out of its top folder and made executable.
        java = os.path.join(w.install_dir, "Contents", "runtime", "Contents", "Home", "bin", "java")
        self.assertEqual(os.stat(java).st_mode & 0o777, 0o755)
        self.assertTrue(os.path.isfile(os.path.join(
            w.home, "Applications", "Emberdale Updater.app", "Contents", "MacOS", "EmberdaleUpdater")))
        self.assertEqual(os.listdir(os.path.join(w.install_dir, "temp")), [])

        # The launcher: arguments, working directory and environment, in order.
        self.assertTrue(w.wait_for_launcher_record("SERVING"))
        self.assertEqual(w.recorded("ARG"), ["--demo"])
        self.assertEqual(w.recorded("CWD"), [w.install_dir])
        java_home = os.path.join(w.install_dir, "Contents", "runtime", "Contents", "Home")
        env = w.recorded("ENV")
        self.assertEqual(env[:5], [
            "SKIKO_RENDER_API=METAL", "SKIKO_FALLBACK_RENDER_API=SOFTWARE",
            "EMBERDALE_LAUNCHER_MODE=normal", "EMBERDALE_HOME=" + w.install_dir,
            "JAVA_HOME=" + java_home])
        self.assertEqual(env[5], "PATH=" + java_home + "/bin:" + w.environment({})["PATH"])
        self.assertTrue(w.launch_log().startswith("--- Emberdale Launcher started "))
        self.assertIn(" by Emberdale Updater 1.0.0 ---\nExecutable: " + w.install_dir +
                      "/Contents/MacOS/EmberdaleLauncher\nJAVA_HOME: " + java_home + "\n\n",
                      w.launch_log())

        # Requests: the user agent, and a manifest query that bypasses caches.
        manifest_request = w.request_log()[0]
        self.assertEqual(manifest_request["path"], "/launcher/launcher-manifest.json")
        self.assertRegex(manifest_request["query"], r"^t=\d{10}$")
        self.assertEqual(manifest_request["headers"].get("User-Agent"),
                         "Emberdale-Updater/1.0.0 (macOS)")

        # The player closes the launcher and starts again: nothing to download.
        self.close_launcher()
        w.clear_requests()
        again = w.run()
        self.assertEqual(again.code, 0, again.errors)
        self.assertEqual(w.requests(), ["/launcher/launcher-manifest.json"])
        self.assertLogHas("[INFO] Launcher: 1.0.0 -> up to date", "[INFO] JRE: 17.0.1 -> up to date")
        self.assertEqual(w.log().count("Created initial versions.json"), 1)
        self.assertEqual(w.log().count("App copied to"), 1)
        self.assertFinished(0)

    def test_the_user_declines(self):
        self.standard_release()
        result = self.world.run_in_terminal(answers=[("[Y/n]: ", "n\n")])
        self.assertEqual(result.code, 1)
        self.assertIn("Update cancelled.\r\n", result.output)
        self.assertLogHas("[INFO] Update cancelled.", "[INFO] The user declined the component updates")
        self.assertFinished(1)
        self.assertFalse(os.path.exists(os.path.join(self.world.install_dir, "Contents")))
        self.assertEqual(self.world.recorded("START"), [])


    def test_ctrl_c_at_the_question_backs_out(self):
        w = self.world
        self.standard_release()

        def interrupt():
            for pid in e2e_support.processes_named("EmberdaleUpdater", w.root):
                os.kill(pid, signal.SIGINT)

        result = w.run_in_terminal(answers=[("[Y/n]: ", interrupt)])
        self.assertEqual(result.code, 1)
        self.assertIn("Update cancelled.\r\n", result.output)
        self.assertLogHas("[INFO] The user declined the component updates")
        self.assertEqual(w.recorded("START"), [])


class ComponentUpdateTest(UpdaterTestCase):
    def test_a_launcher_update_keeps_the_installed_runtime(self):
        w = self.world
        self.installed()
        entries = w.release(launcher="1.1.0")
        w.clear_requests()
        result = w.run()
        self.assertEqual(result.code, 0, result.errors)
        self.assertIn("/packages/launcher-1.1.0.zip", w.requests())
        self.assertNotIn("/packages/jre-17.0.1.tar.gz", w.requests())
        self.assertEqual(self.installed_launcher_version(), "1.1.0")
        self.assertTrue(os.path.isfile(os.path.join(
            w.install_dir, "Contents", "runtime", "Contents", "Home", "bin", "java")))
        self.assertEqual(w.versions()["launcher"]["sha256"], entries["launcher"]["sha256"])
        self.assertTrue(w.wait_for_launcher_record("START", 2))

    def test_a_package_with_a_wrong_digest_installs_nothing(self):
        w = self.world
        self.installed()
        entries = w.release(launcher="1.1.0")
        entries["launcher"]["sha256"] = "ab" * 32
        w.publish(**entries)
        result = w.run()
        self.assertEqual(result.code, 1)
        self.assertIn("[\u2716 ERROR] Failed to verify file integrity.", result.errors)
        self.assertIn("[WARN] File from CDN failed verification: sha256 ", w.log())
        self.assertEqual(self.installed_launcher_version(), "1.0.0")
        self.assertEqual(w.versions()["launcher"]["version"], "1.0.0")
        self.assertEqual(os.listdir(os.path.join(w.install_dir, "temp")), [])

        # Next time, offline, the old version still starts.
        w.rules({"/launcher/launcher-manifest.json": {"status": 503}})
        offline = w.run()
        self.assertEqual(offline.code, 0, offline.errors)
        self.assertTrue(w.wait_for_launcher_record("START", 2))

    def test_the_vendor_mirror_down_falls_back_to_the_cdn(self):
        w = self.world
        self.standard_release(vendor=True)
        w.rules({"/vendor/packages/jre-17.0.1.tar.gz": {"status": 500}})
        result = w.run()
        self.assertEqual(result.code, 0, result.errors)
        log = w.log_lines()
        start = log.index("[INFO] Downloading from vendor: https://%s/vendor/packages/jre-17.0.1.tar.gz"
                          % w.vendor)
        self.assertEqual(log[start:start + 4], [
            log[start], "[WARN] Download from vendor failed: HTTP 500",
            "[INFO] Falling back to the next source",
            "[INFO] Downloading from CDN: https://%s/packages/jre-17.0.1.tar.gz" % w.cdn])
        self.assertLogHas("[INFO] Downloaded and verified jre-package.tar.gz from CDN")


class ManifestTest(UpdaterTestCase):
    def test_a_manifest_that_fails_three_times_then_answers(self):
        self.standard_release()
        self.world.rules({"/launcher/launcher-manifest.json": {"fail_times": 3, "fail_status": 503}})
        result = self.world.run()
        self.assertEqual(result.code, 0, result.errors)
        for attempt in (1, 2, 3):
            self.assertLogHas("[WARN] Manifest download failed (attempt %d/4): HTTP 503" % attempt)
        self.assertNotIn("attempt 4/4", self.world.log())
        self.assertLogHas("[INFO] Launcher 1.0.0 installed")

    def test_offline_with_everything_installed_starts_the_launcher(self):
        w = self.world
        self.installed()
        w.rules({"/launcher/launcher-manifest.json": {"status": 503}})
        result = w.run()
        self.assertEqual(result.code, 0, result.errors)
        self.assertLogHas("[ERROR] Manifest unavailable after 4 attempts",
                          "[INFO] Launcher: 1.0.0, no usable manifest entry -> using the installed copy",
                          "[INFO] JRE: 17.0.1, no usable manifest entry -> using the installed copy")
        self.assertTrue(w.wait_for_launcher_record("START", 2))

    def test_offline_with_nothing_installed_fails(self):
        self.standard_release()
        self.world.rules({"/launcher/launcher-manifest.json": {"status": 503}})
        result = self.world.run()
        self.assertEqual(result.code, 1)
        self.assertIn(ENGLISH_OFFLINE, result.errors)
        self.assertLogHas("[ERROR] Launcher: no usable manifest entry and not installed",
                          "[ERROR] " + ENGLISH_OFFLINE.split("\n")[0])
        self.assertFinished(1)

    def test_a_manifest_over_five_mebibytes_is_refused(self):
        w = self.world
        self.standard_release()
        manifest = os.path.join(w.content.root, "launcher", "launcher-manifest.json")
        with open(manifest) as f:
            text = f.read().rstrip("\n")
        padding = 5 * 1024 * 1024 + 1 - len(text.encode())
        with open(manifest, "w") as f:
            f.write(text + " " * padding)
        self.assertEqual(os.path.getsize(manifest), 5 * 1024 * 1024 + 1)
        result = w.run()
        self.assertEqual(result.code, 1)
        self.assertLogHas("[WARN] Manifest download failed (attempt 4/4): response larger than "
                          "5242880 bytes")

    def test_a_manifest_naming_a_foreign_host_is_refused(self):
        w = self.world
        entries = self.standard_release()
        entries["launcher"]["url"] = "https://downloads.evil.example/launcher-1.0.0.zip"
        w.publish(**entries)
        result = w.run()
        self.assertEqual(result.code, 1)
        self.assertLogHas("[WARN] Invalid manifest (attempt 1/4): launcher entry is missing or invalid")
        self.assertNotIn("/launcher-1.0.0.zip", "".join(w.requests()))


class InterruptTest(UpdaterTestCase):
    def test_sigint_during_a_download_cancels_and_leaves_no_partial_package(self):
        w = self.world
        self.standard_release()
        w.rules({"/packages/launcher-1.0.0.zip": {"trickle_rate": 20000}})

        def interrupt_once_downloading(process):
            deadline = time.monotonic() + 60
            while "/packages/launcher-1.0.0.zip" not in w.requests():
                self.assertLess(time.monotonic(), deadline, "the download never started")
                time.sleep(0.05)
            time.sleep(0.5)
            for pid in e2e_support.processes_named("EmberdaleUpdater", w.root):
                os.kill(pid, signal.SIGINT)

        result = w.run(while_running=interrupt_once_downloading)
        self.assertEqual(result.code, 1)
        self.assertFinished(1)
        self.assertFalse(os.path.exists(os.path.join(w.install_dir, "temp", "launcher-package.zip")))
        self.assertEqual(w.recorded("START"), [])

        w.rules({})
        again = w.run()
        self.assertEqual(again.code, 0, again.errors)
        self.assertEqual(os.listdir(os.path.join(w.install_dir, "temp")), [])


class SelfUpdateTest(UpdaterTestCase):
    def new_updater_binary(self, content):
        path = os.path.join(self.world.path("new-updater"), "EmberdaleUpdater")
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, 0o755)
        return path

    def test_the_new_updater_takes_over_with_the_same_arguments(self):
        w = self.world
        with open(w.content.updater_binary(), "rb") as f:
            new_binary = f.read() + b"\0a newer build"
        entries = w.release(updater_binary=self.new_updater_binary(new_binary))
        w.install_bundle("0" * 64)  # the bundle shipped another updater package
        result = w.run(["--keep-me"])
        self.assertEqual(result.code, 0, result.errors)
        log = w.log_lines()
        self.assertEqual(log.count("[INFO] Arguments: '--keep-me'"), 2)
        self.assertLogHas("[INFO] Updater update available: 1.0.0 (package sha256 00000000... -> %s...)"
                          % entries["updater"]["sha256"][:8],
                          "[INFO] Updater replaced; starting the new version",
                          "[INFO] Updater is up to date (package sha256 %s...)"
                          % entries["updater"]["sha256"][:8])
        with open(w.exe, "rb") as f:
            self.assertEqual(f.read(), new_binary)
        self.assertFalse(os.path.exists(w.exe + ".backup"))
        self.assertTrue(w.wait_for_launcher_record("START"))
        self.assertEqual(w.recorded("ARG"), ["--keep-me"])

    def test_a_new_updater_that_cannot_start_is_rolled_back(self):
        w = self.world
        entries = w.release(updater_binary=self.new_updater_binary(b"not a program\n"))
        w.install_bundle("0" * 64)
        with open(w.exe, "rb") as f:
            old_binary = f.read()
        result = w.run()
        self.assertEqual(result.code, 0, result.errors)
        self.assertLogHas("[ERROR] Can't start the new updater: Exec format error; restoring the "
                          "previous one",
                          "[WARN] Couldn't apply the updater update; continuing with the current version")
        with open(w.exe, "rb") as f:
            self.assertEqual(f.read(), old_binary)
        self.assertFalse(os.path.exists(w.exe + ".backup"))
        self.assertEqual(w.versions()["updater_archive_sha256"], "0" * 64)
        self.assertNotEqual(entries["updater"]["sha256"], "0" * 64)


class AppLinkTest(UpdaterTestCase):
    def test_a_link_is_handed_to_the_running_launcher(self):
        w = self.world
        self.standard_release()
        self.assertEqual(w.run().code, 0)
        self.assertTrue(w.wait_for_launcher_record("SERVING"))
        w.clear_requests()
        result = w.run(["emberdale://join/abc"])
        self.assertEqual(result.code, 0, result.errors)
        self.assertTrue(w.wait_for_launcher_record("LINK"))
        self.assertEqual(w.recorded("LINK"), ["emberdale://join/abc"])
        self.assertEqual(w.requests(), [])  # no update was attempted
        self.assertEqual(w.log_lines()[-1], "[INFO] App link handed to the running launcher")

    def test_an_open_request_goes_to_a_running_launcher(self):
        w = self.world
        self.standard_release()
        self.assertEqual(w.run().code, 0)
        self.assertTrue(w.wait_for_launcher_record("SERVING"))
        result = w.run()
        self.assertEqual(result.code, 0, result.errors)
        self.assertTrue(w.wait_for_launcher_record("LINK"))
        self.assertEqual(w.recorded("LINK"), ["emberdale://open"])

    def test_a_link_reaches_a_newly_started_launcher_exactly_once(self):
        w = self.world
        self.standard_release()
        result = w.run(["emberdale://join/xyz", "-psn_0_1", "-p", "emberdale://x\ty"])
        self.assertEqual(result.code, 0, result.errors)
        self.assertTrue(w.wait_for_launcher_record("SERVING"))
        self.assertEqual(w.recorded("ARG"), ["emberdale://join/xyz", "-p", "emberdale://x\ty"])
        self.assertLogHas("[INFO] Arguments: 'emberdale://join/xyz' '-p' 'emberdale://x\ty'")

    def test_an_unusable_endpoint_is_logged_and_the_update_goes_on(self):
        w = self.world
        self.installed()
        long_path = "/" + "p" * 103
        with open(os.path.join(w.install_dir, "launcher-app-link.endpoint"), "w") as f:
            f.write(long_path + "\n")
        result = w.run(["emberdale://join/abc"])
        self.assertEqual(result.code, 0, result.errors)
        self.assertLogHas("[WARN] App link endpoint path is unusable: " + long_path)
        self.assertTrue(w.wait_for_launcher_record("START", 2))

    def test_a_launcher_that_runs_but_does_not_listen_blocks_the_update(self):
        w = self.world
        self.standard_release()
        impostor = os.path.join(w.path("impostor"), "EmberdaleLauncher")
        shutil.copy("/bin/sleep", impostor)
        sleeper = subprocess.Popen([impostor, "60"])
        self.addCleanup(sleeper.wait)
        self.addCleanup(sleeper.kill)
        result = w.run()
        self.assertEqual(result.code, 1)
        self.assertIn("Emberdale Launcher is already running.\nClose it before updating.",
                      result.errors)
        self.assertFinished(1)


class LaunchFailureTest(UpdaterTestCase):
    def test_a_launcher_that_ends_at_once_without_java(self):
        w = self.world
        self.standard_release()
        result = w.run(env={"EMBERDALE_STAND_IN_MODE": "jvm-fail"})
        self.assertEqual(result.code, 1)
        self.assertIn("Failed to start Emberdale Launcher.\n(Status: exit code 1)\n\nJava was not "
                      "found. Delete this folder and start Emberdale again:\n" + w.install_dir +
                      "\n\nLog: ", result.errors)
        self.assertIn("Error: Failed to find JVM", result.errors)
        self.assertRegex(w.log(), r"\[INFO\] Launcher binary: ELF ")
        self.assertLogHas("[INFO] Java binary: POSIX shell script, ASCII text executable")
        self.assertFinished(1)

    def test_a_noexec_install_volume_is_refused(self):
        w = self.world
        self.standard_release()
        volume = w.path("noexec")
        target = os.path.join(volume, "Emberdale")
        os.makedirs(os.path.dirname(w.pointer))
        with open(w.pointer, "w") as f:
            f.write(target + "\n")
        script = 'mount -t tmpfs -o noexec tmpfs "$1" && shift && exec "$@"'
        process = subprocess.run(
            w.command(["-c", script, "sh", volume, w.exe], exe="/bin/sh"),
            env=w.environment({}), stdin=subprocess.DEVNULL, capture_output=True, text=True,
            timeout=e2e_support.RUN_TIMEOUT_SECONDS)
        self.assertEqual(process.returncode, 1, process.stderr)
        self.assertIn("This drive is mounted with programs disabled (noexec), so Java and "
                      "Emberdale Launcher can't run from it.", process.stderr)
        self.assertIn("\n\nPath: " + target, process.stderr)


class StartupTest(UpdaterTestCase):
    def test_a_garbage_pointer_counts_as_a_first_start(self):
        w = self.world
        self.standard_release()
        os.makedirs(os.path.dirname(w.pointer))
        with open(w.pointer, "wb") as f:
            f.write(b"Games/Emberdale\r\n\xff\xfe\0/etc\n")
        result = w.run()
        self.assertEqual(result.code, 0, result.errors)
        self.assertEqual(w.read(w.pointer), w.install_dir + "\n")

    def test_an_install_folder_that_cannot_be_created(self):
        w = self.world
        self.standard_release()
        blocker = os.path.join(w.root, "not-a-folder")
        with open(blocker, "w") as f:
            f.write("a file where a folder should be\n")
        os.makedirs(os.path.dirname(w.pointer))
        with open(w.pointer, "w") as f:
            f.write(blocker + "/Emberdale\n")
        result = w.run()
        self.assertEqual(result.code, 1)
        self.assertIn("Failed to create the Emberdale folder.\n\nPath: " + blocker + "/Emberdale",
                      result.errors)


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
