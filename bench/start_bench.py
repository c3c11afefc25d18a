#!/usr/bin/env python3
"""How long a start with nothing to update takes, against one `curl -s` of the same manifest.

In a demo world (demo/world.py) with everything installed and up to date, the release build is
started RUNS times, headless, inside the end-to-end harness (scripts/netns_harness.sh: the real
HTTPS content server on loopback, only the test CA trusted) and inside a PID namespace of its own,
where DESKTOP_PROCESSES idle processes stand for a desktop session the launcher scan walks past.
Each start is measured from a CLOCK_MONOTONIC stamp taken in the forked child just before it
execs the updater to the stamp the stand-in launcher takes as main begins (its "CLOCK" record);
the updater's 500 ms watch of the launcher is not counted. Then `curl -s` fetches the same
manifest URL with the same CA bundle RUNS times, each from just before exec to its exit.

Prints two parseable lines, then detail:
  FIGURE no-update-start ours=<ms> peer=<ms> ratio=<x>
  FIGURE no-update-start-to-spawn ours=<ms> peer=<ms> ratio=<x>
The second estimates the moment of the spawn: the launcher's own exec-to-main, measured alone,
is taken off the first.
Wall times are medians; CPU is user + system of the whole process (the updater's includes the
work after the spawn). The stand-in launcher's own exec-to-main is measured alone and shown, so
the part of `ours` that is the launcher's own start can be told apart.

Needs root (namespaces). Usage: bench/start_bench.py BUILD_DIR [RUNS] [DESKTOP_PROCESSES]
"""

import json
import os
import ctypes
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "demo"))

import world as demo  # noqa: E402

MANIFEST_PATH = "/launcher/launcher-manifest.json"
CURL = "/usr/bin/curl"
PR_SET_CHILD_SUBREAPER = 36
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"  # the harness mounts the test CA's bundle here


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def exec_measured(argv, env, stdout=subprocess.DEVNULL):
    """Forks, stamps and execs `argv`; returns (pid, stamp taken just before the exec)."""
    read_end, write_end = os.pipe()
    out = os.open(os.devnull, os.O_WRONLY)
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.dup2(out, 1)
            os.dup2(out, 2)
            stdin = os.open(os.devnull, os.O_RDONLY)
            os.dup2(stdin, 0)
            stamp = now_ns()
            os.write(write_end, str(stamp).encode())
            os.close(write_end)
            os.execve(argv[0], argv, env)
        finally:
            os._exit(127)
    os.close(write_end)
    os.close(out)
    stamp = int(os.read(read_end, 64))
    os.close(read_end)
    return pid, stamp


def wait_measured(pid):
    """(exit code, stamp at the end, CPU seconds) of a child started by exec_measured."""
    _, status, usage = os.wait4(pid, 0)
    return os.waitstatus_to_exitcode(status), now_ns(), usage.ru_utime + usage.ru_stime


def read_record(install_dir, kind):
    try:
        with open(os.path.join(install_dir, "stand-in-launcher.record")) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    return [line.partition(" ")[2] for line in lines if line.partition(" ")[0] == kind]


def stop_launcher(install_dir):
    """Ends the launchers started so far (this process is their reaper) and forgets the record."""
    for pid in map(int, read_record(install_dir, "START")):
        try:
            os.kill(pid, signal.SIGTERM)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
    os.remove(os.path.join(install_dir, "stand-in-launcher.record"))


def reap_orphans():
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass


def start_once(params, log_to):
    """One updater start: (ms from exec to the launcher's main, CPU seconds of the updater)."""
    pid, before = exec_measured([params["exe"]], params["env"])
    code, _, cpu = wait_measured(pid)
    clock = read_record(params["install_dir"], "CLOCK")
    if code != 0 or len(clock) != 1:
        log_to.write("updater exit code %d, launcher records %s\n" % (code, clock))
        with open(os.path.join(params["install_dir"], "logs", "EmberdaleUpdater.log")) as f:
            log_to.write(f.read()[-3000:])
        raise SystemExit("start_bench: the start did not reach the launcher")
    stop_launcher(params["install_dir"])
    reap_orphans()
    return (int(clock[0]) - before) / 1e6, cpu


def curl_once(url, env):
    pid, before = exec_measured([CURL, "-s", "--cacert", CA_BUNDLE, "-o", os.devnull, url], env)
    code, after, cpu = wait_measured(pid)
    if code != 0:
        raise SystemExit("start_bench: curl failed with exit code %d" % code)
    return (after - before) / 1e6, cpu


def launcher_alone_once(params):
    """The stand-in launcher's own exec-to-main, told to end at once."""
    env = dict(params["env"], EMBERDALE_HOME=params["scratch"], EMBERDALE_STAND_IN_MODE="exit:0")
    pid, before = exec_measured([params["launcher"]], env)
    wait_measured(pid)
    clock = read_record(params["scratch"], "CLOCK")
    os.remove(os.path.join(params["scratch"], "stand-in-launcher.record"))
    return (int(clock[0]) - before) / 1e6


def start_desktop(count):
    return [subprocess.Popen(["sleep", "1d"]) for _ in range(count)]


def summary(name, walls, cpus=None):
    text = "  %-28s median %7.2f ms  min %7.2f  max %7.2f" % (
        name, statistics.median(walls), min(walls), max(walls))
    if cpus:
        text += "  cpu median %6.2f ms" % (statistics.median(cpus) * 1e3)
    return text


def inside(params):
    """Runs in the harness and the PID namespace: one install start, then the measured runs."""
    runs = params["runs"]
    # The launchers outlive the updater that started them: this process reaps them.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    desktop = start_desktop(params["desktop"])
    try:
        # First start: installs everything; afterwards there is nothing to update.
        pid, _ = exec_measured([params["exe"]], params["env"])
        if wait_measured(pid)[0] != 0:
            raise SystemExit("start_bench: the installing start failed")
        stop_launcher(params["install_dir"])
        start_once(params, sys.stderr)  # warms the page cache like any later start

        ours, ours_cpu, peer, peer_cpu = [], [], [], []
        for _ in range(runs):  # interleaved, so a busy spell of the machine hits both alike
            wall, cpu = start_once(params, sys.stderr)
            ours.append(wall)
            ours_cpu.append(cpu)
            url = "https://%s%s?t=%d" % (params["cdn"], MANIFEST_PATH, int(time.time()))
            wall, cpu = curl_once(url, params["env"])
            peer.append(wall)
            peer_cpu.append(cpu)
        alone = [launcher_alone_once(params) for _ in range(runs)]
    finally:
        for process in desktop:
            process.kill()
            process.wait()

    ours_ms, peer_ms = statistics.median(ours), statistics.median(peer)
    spawn_ms = ours_ms - statistics.median(alone)
    print("FIGURE no-update-start ours=%.2f peer=%.2f ratio=%.2f"
          % (ours_ms, peer_ms, ours_ms / peer_ms))
    print("FIGURE no-update-start-to-spawn ours=%.2f peer=%.2f ratio=%.2f"
          % (spawn_ms, peer_ms, spawn_ms / peer_ms))
    print("%d runs each, %d idle processes beside them, load average %.2f:"
          % (runs, params["desktop"], os.getloadavg()[0]))
    print(summary("updater, exec to launcher", ours, ours_cpu))
    print(summary("curl -s, exec to exit", peer, peer_cpu))
    print(summary("stand-in launcher alone", alone))
    print("  (updater CPU covers its whole run; its wall time ends where the launcher's main "
          "begins)")
    sys.stdout.flush()


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--inside":
        return inside(json.loads(sys.argv[2]))
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build_dir = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    desktop = int(sys.argv[3]) if len(sys.argv) > 3 else 250
    problem = demo.harness_problem()
    if problem:
        sys.exit("start_bench: " + problem)
    certs = demo.make_certs(build_dir)
    world = demo.World(build_dir, certs)
    shutil.rmtree(certs)
    try:
        world.release()
        params = {
            "exe": world.exe, "env": world.environment(), "install_dir": world.install_dir,
            "cdn": world.cdn, "runs": runs, "desktop": desktop, "scratch": world.path("scratch"),
            "launcher": os.path.join(build_dir, "demo", demo.LAUNCHER_EXE),
        }
        command = ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "--"] + \
            world.command([os.path.abspath(__file__), "--inside", json.dumps(params)],
                          exe=sys.executable)
        return subprocess.run(command, env=world.environment()).returncode
    finally:
        world.cleanup()


if __name__ == "__main__":
    sys.exit(main())
