#!/usr/bin/env python3
"""The updater's main job against a local demo content server.

Builds a demo release (launcher, Java runtime and updater packages, and the manifest) from the
build output, serves it over HTTPS inside a private network namespace where the product's CDN
host name points at the local server, and runs the updater twice with a demo home folder:
first a fresh install that starts the (stand-in) launcher, then - after the launcher is closed -
a start that finds everything up to date. The launcher and runtime packages are tens of megabytes
and served at a modest speed, so the progress can be watched. With a display (DISPLAY set) the
updater runs without a terminal and shows its window; otherwise it runs in console mode in a
terminal, or headless.

Usage: scripts/demo.py BUILD_DIR
"""

import os
import shutil
import subprocess
import sys
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "demo"))

import world as demo  # noqa: E402

LAUNCHER_FILLER_BYTES = 30 << 20
RUNTIME_FILLER_BYTES = 40 << 20
DOWNLOAD_RATE = 8 << 20  # bytes per second, for each package download
FIRST_START_HINTS = {
    "window": "choose the install folder in the window, then watch its progress",
    "console": "answer the question below",
    "headless": "no display and no terminal: the update is accepted on its own",
}


def say(text):
    print("\n\x1b[1m== %s\x1b[0m" % text if sys.stdout.isatty() else "\n== %s" % text, flush=True)


def presentation():
    if os.environ.get("DISPLAY"):
        return "window"
    return "console" if sys.stdin.isatty() and sys.stdout.isatty() else "headless"


def display_environment():
    """What the updater needs to reach the display from the demo user's home."""
    env = {"DISPLAY": os.environ["DISPLAY"]}
    xauthority = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
    if os.path.isfile(xauthority):
        env["XAUTHORITY"] = xauthority
    return env


def throttle(world, entries):
    """Serves every package of the release at DOWNLOAD_RATE."""
    urls = [entry[key] for entry in entries.values() for key in ("url", "vendorUrl") if key in entry]
    world.rules({urllib.parse.urlsplit(url).path: {"trickle_rate": DOWNLOAD_RATE} for url in urls})


def run_updater(world, mode):
    env = display_environment() if mode == "window" else {}
    if mode == "console":
        return subprocess.run(world.command([]), env=world.environment(env)).returncode
    code, output, errors = world.run(env=env)
    sys.stdout.write(output)
    sys.stderr.write(errors)
    return code


def main():
    build_dir = os.path.abspath(sys.argv[1])
    problem = demo.harness_problem()
    if problem:
        sys.exit("demo: " + problem)
    mode = presentation()

    certs = demo.make_certs(build_dir)
    world = demo.World(build_dir, certs)
    shutil.rmtree(certs)
    try:
        world.content.launcher_filler_bytes = LAUNCHER_FILLER_BYTES
        world.content.runtime_filler_bytes = RUNTIME_FILLER_BYTES
        entries = world.release(launcher="1.0.0", jre="17.0.1", vendor=True)
        throttle(world, entries)
        say("Serving a demo release on https://%s/ (launcher 1.0.0, Java 17.0.1) at %d MB/s"
            % (world.cdn, DOWNLOAD_RATE >> 20))
        print("Home folder of the demo user: " + world.home)

        say("First start: a fresh install (%s)" % FIRST_START_HINTS[mode])
        first = run_updater(world, mode)
        print("Exit code: %d" % first)
        if first == 0:
            world.wait_for_launcher_record("SERVING")
            print("The launcher was started with: " + " ".join(world.recorded("ENV")[:4]) + " ...")

        say("The player closes the launcher, then starts Emberdale again")
        world.stop_launchers()
        second = run_updater(world, mode)
        print("Exit code: %d" % second)

        say("The updater's log (%s)" % os.path.join(world.install_dir, "logs",
                                                     "EmberdaleUpdater.log"))
        sys.stdout.write(world.log())
        return 0 if first == 0 and second == 0 else 1
    finally:
        world.cleanup()


if __name__ == "__main__":
    sys.exit(main())
