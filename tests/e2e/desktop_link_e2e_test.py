"""End-to-end: after a first install, an emberdale:// link opened as a desktop opens it (xdg-open
hands it to GLib) starts the copied updater through its desktop entry and reaches the running
launcher. Needs root, xdg-open, gio, desktop-file-validate. Usage: this BUILD_DIR [unittest args]
"""

import os, shutil, subprocess, sys, tempfile, unittest  # noqa: E401

import e2e_support
from e2e_support import Scenario

BUILD_DIR = None
OTHER_LINES = ["[Default Applications]", "text/html=browser.desktop", "[Added Associations]",
               "image/png=viewer.desktop;"]


class DesktopLinkTest(unittest.TestCase):
    def test_a_link_opened_by_the_desktop_reaches_the_running_launcher(self):
        tools = [t for t in ("xdg-open", "gio", "desktop-file-validate") if not shutil.which(t)]
        if e2e_support.harness_problem() or tools:
            self.skipTest(e2e_support.harness_problem() or "missing: " + " ".join(tools))
        with tempfile.TemporaryDirectory() as no_certs:  # the harness makes them
            w = Scenario(BUILD_DIR, no_certs)
        self.addCleanup(w.cleanup)
        # A home whose path needs every quoting rule of an Exec line (the install folder stays
        # outside it, named by the pointer file).
        old_home, w.home = w.home, w.path('the "home" of $USER at 100%u `x` a\\b')
        w.pointer = w.pointer.replace(old_home, w.home)
        mimeapps = os.path.join(w.path(w.home, ".config"), "mimeapps.list")
        for path, text in ((w.pointer, w.install_dir), (mimeapps, "\n".join(
                OTHER_LINES[:2] + ["x-scheme-handler/emberdale=old.desktop"] + OTHER_LINES[2:]))):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text + "\n")
        w.install_bundle(w.release()["updater"]["sha256"])
        result = w.run()
        self.assertEqual(result.code, 0, result.errors + w.report())
        self.assertTrue(w.wait_for_launcher_record("SERVING"), w.report())
        entry = os.path.join(w.home, ".local/share/applications/emberdale-updater.desktop")
        checked = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual((checked.returncode, checked.stdout), (0, ""), w.read(entry))

        link = "emberdale://join/desktop-42"
        opened = subprocess.run(["xdg-open", link], capture_output=True, text=True, timeout=60,
                                env=w.environment({"XDG_CURRENT_DESKTOP": "GNOME"}))
        self.assertEqual(opened.returncode, 0, opened.stderr)
        self.assertTrue(w.wait_for_launcher_record("LINK"), w.report())
        self.assertEqual(w.recorded("LINK"), [link])
        lines = w.read(mimeapps).splitlines()
        self.assertEqual([line for line in lines if line in OTHER_LINES], OTHER_LINES)
        self.assertNotIn("x-scheme-handler/emberdale=old.desktop", lines)


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
