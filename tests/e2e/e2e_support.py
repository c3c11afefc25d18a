"""Support for end-to-end tests of the shipped updater binary.

Each Scenario is a fresh world in a temporary folder: a home folder, a content root served by the
real HTTPS test server, and the application bundle holding the release binary unchanged. The
updater runs inside scripts/netns_harness.sh (its own mount and network namespace, where the
configured host names reach the test server and only the test CA is trusted), either headless
(output to pipes, no display) or in console mode under a real pseudo-terminal.
"""

import json
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "demo"))

import demo_packages  # noqa: E402

HARNESS = os.path.join(SOURCE_DIR, "scripts", "netns_harness.sh")
MANIFEST_PATH = "/launcher/launcher-manifest.json"
RUN_TIMEOUT_SECONDS = 120
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
        return "end-to-end tests need root for mount and network namespaces"
    probe = subprocess.run(["unshare", "--mount", "--net", "--propagation", "private", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return "can't make mount and network namespaces here"
    return None


def processes_named(name, inside=None):
    """Pids of the processes whose executable's file name is `name` (and, given `inside`, whose
    executable lies below that folder)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if exe.endswith(" (deleted)"):
            exe = exe[: -len(" (deleted)")]
        if os.path.basename(exe) != name:
            continue
        if inside is None or exe.startswith(inside.rstrip("/") + "/"):
            found.append(int(pid))
    return found


def stop_processes_named(name, inside):
    """Ends the processes of that name started from below `inside`: politely first, so the
    stand-in launcher removes its socket and endpoint file, then for sure."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in processes_named(name, inside):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while processes_named(name, inside) and time.monotonic() < deadline:
            time.sleep(0.05)


class Result:
    def __init__(self, code, output, errors):
        self.code = code
        self.output = output  # standard output (with standard error under a terminal)
        self.errors = errors  # standard error when not under a terminal


class Scenario:
    """One fresh world: home, content, bundle, harness work folder."""

    def __init__(self, build_dir, certs_dir):
        self.build_dir = build_dir
        self.root = tempfile.mkdtemp(prefix="emberdale-e2e-")
        self.home = self.path("home")
        self.work = self.path("harness")
        shutil.copytree(certs_dir, os.path.join(self.work, "certs"))
        self.cdn = cache_value(build_dir, "EMBERDALE_CDN_HOST")
        self.vendor = cache_value(build_dir, "EMBERDALE_RUNTIME_VENDOR_HOST")
        self.content = demo_packages.Content(self.path("www"), build_dir, self.cdn, self.vendor)
        self.install_dir = os.path.join(self.home, "Library", "Application Support", "Emberdale")
        self.pointer = os.path.join(self.home, "Library", "Application Support",
                                    "dev.quillfen.updater", "install-path")
        self.app_dir = self.path("app")
        self.exe = None
        self.rules({})

    def path(self, *parts):
        full = os.path.join(self.root, *parts)
        os.makedirs(full, exist_ok=True)
        return full

    def stop_launchers(self):
        """Closes the launchers this scenario started (and only those)."""
        stop_processes_named(LAUNCHER_EXE, self.root)

    def cleanup(self):
        self.stop_launchers()
        shutil.rmtree(self.root, ignore_errors=True)

    # --- what is served and installed ---

    def release(self, launcher="1.0.0", jre="17.0.1", vendor=False, updater_binary=None):
        """Publishes a manifest with these versions; returns the entries."""
        entries = {"launcher": self.content.launcher(launcher)}
        if jre:
            entries["jre"] = self.content.runtime(jre, vendor=vendor)
        entries["updater"] = self.content.updater("1.0.0", updater_binary)
        self.publish(**entries)
        return entries

    def publish(self, launcher, jre=None, updater=None):
        self.content.publish(launcher, jre, updater)

    def install_bundle(self, updater_sha256):
        """The application as the user has it; its data file names the updater package digest."""
        self.exe = demo_packages.make_bundle(self.app_dir, self.content.updater_binary(),
                                             updater_sha256)
        return self.exe

    def rules(self, rules):
        """Misbehaviour of the test server, per path (see content_server.py)."""
        with open(os.path.join(self.work, "control.json"), "w") as f:
            json.dump({"rules": rules}, f)

    # --- running the updater ---

    def environment(self, extra):
        env = {
            "HOME": self.home,
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "EMBERDALE_STAND_IN_SECONDS": "120",
        }
        env.update(extra or {})
        return env

    def command(self, args, exe=None):
        return ["bash", HARNESS, "--build-dir", self.build_dir, "--serve", self.content.root,
                "--work", self.work, "--", exe or self.exe] + list(args)

    def run(self, args=(), env=None, exe=None, while_running=None):
        """Headless: standard output and error are pipes and there is no display."""
        process = subprocess.Popen(self.command(args, exe), env=self.environment(env),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, errors="replace")
        if while_running:
            while_running(process)
        try:
            output, errors = process.communicate(timeout=RUN_TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            output, errors = process.communicate()
            raise AssertionError("the updater did not end within %d s:\n%s%s"
                                 % (RUN_TIMEOUT_SECONDS, output, errors))
        return Result(process.returncode, output, errors)

    def run_in_terminal(self, args=(), env=None, answers=(), exe=None):
        """Console mode under a real pseudo-terminal. `answers` are (prompt text, reply) pairs
        used when the prompt text shows up, in order: a reply is typed, or called when it is a
        function."""
        master, slave = pty.openpty()
        process = subprocess.Popen(self.command(args, exe), env=self.environment(env),
                                   stdin=slave, stdout=slave, stderr=slave, close_fds=True)
        os.close(slave)
        pending = list(answers)
        seen = b""
        deadline = time.monotonic() + RUN_TIMEOUT_SECONDS
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    chunk = b""
                if not chunk and process.poll() is not None:
                    break
                seen += chunk
            if pending and pending[0][0].encode() in seen.split(b"\x00")[-1]:
                prompt, reply = pending.pop(0)
                seen += b"\x00"  # answered up to here
                if callable(reply):
                    reply()
                else:
                    os.write(master, reply.encode())
            if process.poll() is not None and not ready:
                break
        if process.poll() is None:
            process.kill()
            process.wait()
            os.close(master)
            raise AssertionError("the updater did not end within %d s; the terminal showed:\n%s"
                                 % (RUN_TIMEOUT_SECONDS, seen.decode("utf-8", "replace")))
        os.close(master)
        return Result(process.returncode, seen.replace(b"\x00", b"").decode("utf-8", "replace"),
                      "")

    # --- what happened ---

    def read(self, *parts):
        try:
            with open(os.path.join(*parts), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log(self):
        return self.read(self.install_dir, "logs", "EmberdaleUpdater.log")

    def log_lines(self):
        """The log's lines without their time stamps."""
        return [line[22:] if line.startswith("[20") else line for line in self.log().splitlines()]

    def launch_log(self):
        return self.read(self.install_dir, "logs", "launcher_launch.log")

    def record(self):
        """What the stand-in launcher recorded: (kind, value) pairs."""
        pairs = []
        for line in self.read(self.install_dir, "stand-in-launcher.record").splitlines():
            kind, _, value = line.partition(" ")
            pairs.append((kind, value))
        return pairs

    def recorded(self, kind):
        return [value for k, value in self.record() if k == kind]

    def requests(self):
        """The paths the test server was asked for, in order."""
        paths = []
        for line in self.read(self.work, "requests.log").splitlines():
            paths.append(json.loads(line)["path"])
        return paths

    def request_log(self):
        return [json.loads(line) for line in self.read(self.work, "requests.log").splitlines()]

    def clear_requests(self):
        open(os.path.join(self.work, "requests.log"), "w").close()

    def versions(self):
        text = self.read(self.install_dir, "config", "versions.json")
        return json.loads(text) if text else None

    def wait_for_launcher_record(self, kind, count=1, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.recorded(kind)) >= count:
                return True
            time.sleep(0.05)
        return False

    def report(self):
        """Printed when a test fails, so the reason is on the screen."""
        return ("\n--- updater log ---\n" + self.log() + "\n--- launch log ---\n" +
                self.launch_log() + "\n--- server ---\n" + self.read(self.work, "server.out"))
