"""Crash safety: the shipped binary killed (tests/support/kill_shim.c) before its N-th call of each
function that changes files or starts programs, then started offline (a whole previous install
starts, or none if there was none) and online (the new release starts, is recorded, nothing is
left behind). Usage: this BUILD_DIR. N: every one with KILL_MATRIX_FULL=1, else the first, the last
and every KILL_MATRIX_STEP-th (default 6); KILL_MATRIX_JOBS (default 6) worlds at once."""

import json, os, shutil, sys, threading, time, unittest
from pathlib import Path

import updater_e2e_test as e2e
from updater_e2e_test import setUpModule  # noqa: F401 (certificates; skips without root)

ENV = os.environ.get
SCENARIOS = [("first install", False, {}), ("launcher update", True, {"launcher": "1.1.0"}),
             ("runtime update", True, {"jre": "17.0.2"}), ("self-update", True, {"updater": 1})]


class Scene(e2e.TestWorld):
    """A world in a scenario's starting state, saved so that every kill point starts from it."""

    def __init__(self, installed, new):
        super().__init__(e2e.BUILD_DIR, e2e.CERTS)
        old = self.release()
        installed and self.check("prepare", True)
        old_exe, new_exe = Path(self.exe).read_bytes(), Path(self.path("new"), "EmberdaleUpdater")
        new_exe.write_bytes(old_exe + b"\0newer")
        self.new = {"launcher": self.content.launcher(new.get("launcher", "1.0.0")),
                    "jre": self.content.runtime(new.get("jre", "17.0.1")),
                    "updater": self.content.updater("1.0.0", new.get("updater") and new_exe)}
        self.content.publish(**self.new)
        self.binaries = {old["updater"]["sha256"]: old_exe, self.new["updater"]["sha256"]:
                         new_exe.read_bytes() if new.get("updater") else old_exe}
        self.whole_new = (new.get("launcher", "1.0.0") + "\n", 'JAVA_VERSION="%s"\n' % new.get(
            "jre", "17.0.1"), True, self.binaries[self.new["updater"]["sha256"]])
        self.previous = self.on_disk() if installed else None
        for folder in ("home", "app"):
            shutil.copytree(self.path(folder), self.path("saved", folder), dirs_exist_ok=True)

    def on_disk(self):
        java = Path(self.install_dir, "Contents/runtime/Contents/Home/bin/java")
        return (self.read("Contents/Resources/launcher-version.txt"),
                self.read("Contents/runtime/Contents/Home/release"),
                os.access(java, os.X_OK) or not java.exists(), Path(self.exe).read_bytes())

    def shim_run(self, **env):
        code = self.run(env=dict(env, LD_PRELOAD=e2e.BUILD_DIR + "/tests/libkill_shim.so",
                                 KILL_SHIM_EXE="EmberdaleUpdater"))[0]
        return self.stop_launchers() or code

    def check(self, what, start, allowed=None):
        code, _, errors = self.run(env={"EMBERDALE_STAND_IN_SECONDS": "10"})
        started = self.wait_for_launcher_record("START", 1, 5 if code == 0 else 0)
        started and os.remove(self.install_dir + "/stand-in-launcher.record")
        self.stop_launchers()
        if (code, started) != ((0, True) if start else (1, False)) or (
                started and allowed and self.on_disk() not in allowed):
            raise AssertionError("%s: exit code %d, launcher started: %s, files %r %s" % (
                what, code, started, self.on_disk()[:3], errors.strip()[-300:]))

    def survives(self, kill):
        for folder in ("home", "app"):
            shutil.rmtree(self.path(folder))
            shutil.copytree(self.path("saved", folder), os.path.join(self.root, folder))
        self.killed = self.shim_run(KILL_SHIM_AT=kill) == 128 + 9  # SIGKILL, as the harness says
        self.rules({e2e.MANIFEST: {"status": 503}})
        self.check("offline", self.previous is not None or self.on_disk() == self.whole_new,
                   (self.previous, self.whole_new))
        self.rules({})
        self.check("online", True, (self.whole_new,))
        recorded = json.loads(self.read("config", "versions.json"))
        found = (self.binaries.get(recorded.pop("updater_archive_sha256")), recorded,
                 Path(self.home, "Applications/Emberdale Updater.app").is_dir(),
                 [str(p) for folder in ("home", "app") for p in Path(self.root, folder).rglob("*")
                  if p.parent.name == "temp" or p.suffix in (".backup", ".new", ".tmp")
                  or "staging" in p.name])
        expected = (Path(self.exe).read_bytes(), {c: {key: self.new[c][key] for key in (
            "sha256", "version")} for c in ("launcher", "jre")}, True, [])
        if found != expected:
            raise AssertionError("online: versions.json, app copied, left behind: %r" % (
                found[1:],) + (" (its updater is not on disk)" if found[0] != expected[0] else ""))


class KillMatrixTest(unittest.TestCase):
    def test_every_kill_point_keeps_a_whole_install(self):
        table, faults, began = [], [], time.time()
        for name, installed, new in SCENARIOS:
            scenes = [Scene(installed, new) for _ in range(int(ENV("KILL_MATRIX_JOBS", "6")))]
            file = Path(scenes[0].path("counts"), "counts")
            scenes[0].shim_run(KILL_SHIM_COUNTS=str(file))
            counts = [(f, int(c)) for f, c in map(str.split, file.read_text().splitlines())]
            killed = []  # (function, whether the kill came) of each kill point
            step = 1 if ENV("KILL_MATRIX_FULL") == "1" else int(ENV("KILL_MATRIX_STEP", "6"))
            tasks = [(f, n) for f, calls in counts for n in range(1, calls + 1)
                     if n in (1, calls) or n % step == 0]

            def work(scene, share):
                for function, n in share:
                    try:
                        scene.survives("%s:%d" % (function, n))
                    except Exception as problem:  # noqa: BLE001 (a fault at this kill point)
                        faults.append("%s, kill at %s:%d: %s" % (name, function, n, problem))
                    killed.append((function, scene.killed))
            threads = [threading.Thread(target=work, args=(scene, tasks[k::len(scenes)]))
                       for k, scene in enumerate(scenes)]
            [thread.start() for thread in threads]
            [thread.join() or scene.cleanup() for thread, scene in zip(threads, scenes)]
            table += [(name, f, sum(k[0] == f for k in killed), killed.count((f, True)))
                      for f, _ in counts]
        header = ("scenario", "function", "tried", "killed")
        print("\n" + "".join("%-16s %-13s %6s %7s\n" % row for row in [header] + table), end="")
        print("%d kill points in %.0f s" % (sum(row[2] for row in table), time.time() - began))
        self.assertTrue(table and all(row[3] for row in table if row[2]), "a kill that never came")
        self.assertFalse(faults, "\n".join(sorted(faults)))


if __name__ == "__main__":
    e2e.BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
