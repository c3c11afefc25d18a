"""A demo world for the shipped updater binary, used by scripts/demo.py and the end-to-end tests.

A World is a fresh temporary folder holding a home folder, a content root served by the real
HTTPS content server, and the application bundle holding the release binary unchanged. The
updater runs inside scripts/netns_harness.sh: its own mount and network namespace, where the
configured host names reach the content server and only a test CA is trusted.
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

import demo_packages

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
HARNESS = os.path.join(SOURCE_DIR, "scripts", "netns_harness.sh")
LAUNCHER_EXE = "EmberdaleLauncher"


def cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise KeyError(name)


def harness_problem():
    """Why the harness can't run here, or None."""
    if os.geteuid() != 0:
        return "needs root for mount and network namespaces"
    probe = subprocess.run(["unshare", "--mount", "--net", "--propagation", "private", "true"],
                           capture_output=True)
    return "can't make mount and network namespaces here" if probe.returncode else None


def make_certs(build_dir):
    """A temporary folder with a test CA and a server certificate for the configured hosts."""
    certs = tempfile.mkdtemp(prefix="emberdale-certs-")
    hosts = [cache_value(build_dir, name) for name in
             ("EMBERDALE_CDN_HOST", "EMBERDALE_SOURCE_HOST", "EMBERDALE_RUNTIME_VENDOR_HOST")]
    subprocess.run(["bash", os.path.join(HERE, "make_test_ca.sh"), certs] + hosts, check=True)
    return certs


def wait_until(done, timeout):
    """Polls `done` until it holds or `timeout` seconds have passed; returns whether it holds."""
    deadline = time.monotonic() + timeout
    while not done() and time.monotonic() < deadline:
        time.sleep(0.02)
    return bool(done())


def processes_named(name, inside):
    """Pids of the processes whose executable is called `name` and lies below `inside`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.readlink("/proc/%s/exe" % pid).removesuffix(" (deleted)")
        except OSError:
            continue
        if os.path.basename(exe) == name and exe.startswith(inside.rstrip("/") + "/"):
            found.append(int(pid))
    return found


class World:
    """One fresh world: home, content, bundle, harness work folder."""

    run_timeout = None  # seconds

    def __init__(self, build_dir, certs_dir):
        self.build_dir = build_dir
        self.root = tempfile.mkdtemp(prefix="emberdale-world-")
        self.home = self.path("home")
        self.work = self.path("harness")
        shutil.copytree(certs_dir, os.path.join(self.work, "certs"))
        self.cdn = cache_value(build_dir, "EMBERDALE_CDN_HOST")
        self.vendor = cache_value(build_dir, "EMBERDALE_RUNTIME_VENDOR_HOST")
        self.content = demo_packages.Content(self.path("www"), build_dir, self.cdn, self.vendor)
        self.install_dir = os.path.join(self.home, "Library", "Application Support", "Emberdale")
        self.exe = None

    def path(self, *parts):
        full = os.path.join(self.root, *parts)
        os.makedirs(full, exist_ok=True)
        return full

    def release(self, launcher="1.0.0", jre="17.0.1", vendor=False, updater_binary=None,
                bundle_sha256=None):
        """Publishes a release and installs the application bundle as the user has it; its data
        file names the updater package it shipped in (by default this release's). Returns the
        manifest entries."""
        entries = {"launcher": self.content.launcher(launcher),
                   "jre": self.content.runtime(jre, vendor=vendor),
                   "updater": self.content.updater("1.0.0", updater_binary)}
        self.content.publish(**entries)
        self.exe = demo_packages.make_bundle(self.path("app"), self.content.updater_binary(),
                                             bundle_sha256 or entries["updater"]["sha256"])
        return entries

    def command(self, args, exe=None):
        return ["bash", HARNESS, "--build-dir", self.build_dir, "--serve", self.content.root,
                "--work", self.work, "--", exe or self.exe] + list(args)

    def run(self, args=(), env=None, command=None, during=None):
        """Runs the updater without a terminal; returns its exit code, output and errors.
        `during()` is called while it runs."""
        process = subprocess.Popen(command or self.command(args), env=self.environment(env),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, errors="replace")
        during and during()
        output, errors = process.communicate(timeout=self.run_timeout)
        return process.returncode, output, errors

    def environment(self, extra=None):
        env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "LANG": "C.UTF-8", "EMBERDALE_STAND_IN_SECONDS": "120"}
        env.update(extra or {})
        return env

    def rules(self, rules, certificates=None):
        """Misbehaviour of the content server, per path, and the certificates it shows, per host
        (see content_server.py)."""
        with open(os.path.join(self.work, "control.json"), "w") as f:
            json.dump({"rules": rules, "certificates": certificates or {}}, f)

    def read(self, *parts):
        try:
            with open(os.path.join(self.install_dir, *parts), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log(self):
        return self.read("logs", "EmberdaleUpdater.log")

    def recorded(self, kind):
        """What the stand-in launcher recorded under `kind` (START, ARG, ENV, SERVING, LINK)."""
        lines = self.read("stand-in-launcher.record").splitlines()
        return [line.partition(" ")[2] for line in lines if line.partition(" ")[0] == kind]

    def wait_for_launcher_record(self, kind, count=1, timeout=30):
        return wait_until(lambda: len(self.recorded(kind)) >= count, timeout)

    def stop_launchers(self):
        """Ends the launchers started in this world (and only those): politely first, so the
        stand-in launcher removes its socket and endpoint file, then for sure."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            for pid in processes_named(LAUNCHER_EXE, self.root):
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            wait_until(lambda: not processes_named(LAUNCHER_EXE, self.root), 5)

    def cleanup(self):
        self.stop_launchers()
        shutil.rmtree(self.root, ignore_errors=True)
