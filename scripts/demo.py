#!/usr/bin/env python3
"""The updater's main job against a local demo content server.

Builds a demo release (launcher, Java runtime and updater packages, and the manifest) from the
build output, serves it over HTTPS inside a private network namespace where the product's CDN
host name points at the local server, and runs the updater twice with a demo home folder:
first a fresh install that starts the (stand-in) launcher, then - after the launcher is closed -
a start that finds everything up to date.

Usage: scripts/demo.py BUILD_DIR
"""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "demo"))

import world as demo  # noqa: E402


def say(text):
    print("\n\x1b[1m== %s\x1b[0m" % text if sys.stdout.isatty() else "\n== %s" % text, flush=True)


def run_updater(world, interactive):
    command = world.command([])
    env = world.environment()
    if interactive:
        return subprocess.run(command, env=env).returncode
    result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True)
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    return result.returncode


def main():
    build_dir = os.path.abspath(sys.argv[1])
    problem = demo.harness_problem()
    if problem:
        sys.exit("demo: " + problem)
    interactive = sys.stdin.isatty() and sys.stdout.isatty()

    certs = demo.make_certs(build_dir)
    world = demo.World(build_dir, certs)
    shutil.rmtree(certs)
    try:
        world.release(launcher="1.0.0", jre="17.0.1", vendor=True)
        say("Serving a demo release on https://%s/ (launcher 1.0.0, Java 17.0.1)" % world.cdn)
        print("Home folder of the demo user: " + world.home)

        say("First start: a fresh install" + (" (answer the question below)" if interactive else ""))
        first = run_updater(world, interactive)
        print("Exit code: %d" % first)
        if first == 0:
            world.wait_for_launcher_record("SERVING")
            print("The launcher was started with: " + " ".join(world.recorded("ENV")[:4]) + " ...")

        say("The player closes the launcher, then starts Emberdale again")
        world.stop_launchers()
        second = run_updater(world, interactive)
        print("Exit code: %d" % second)

        say("The updater's log (%s)" % os.path.join(world.install_dir, "logs",
                                                     "EmberdaleUpdater.log"))
        sys.stdout.write(world.log())
        return 0 if first == 0 and second == 0 else 1
    finally:
        world.cleanup()


if __name__ == "__main__":
    sys.exit(main())
