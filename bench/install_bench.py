"""A first install against the same work done by hand, and the updater's peak memory.

Release-sized packages (bench/install_packages.py) are served by nginx on loopback inside the
end-to-end harness. Each round runs, in alternating order, with dirty pages synced first and in
folders of its own that are removed only at the end (about 1.2 GB each on the disk meanwhile):
  ours:  the shipped updater's first install, from its exec to the launcher's start (the
         updater's watch of the started launcher is not counted);
  peer:  curl -o && sha256sum && unzip -q && curl -o && sha256sum && tar -xzf, with the same
         server, certificate check and disk.
Prints the median of the rounds, the updater's peak RSS (the largest of its own and its
children's, from wait4) beside that of the pipeline's largest process, and the same install with
packages twice as large.

  install_bench.py BUILD_DIR [--rounds N]      (as root: the harness needs namespaces)
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "demo"))
import demo_packages  # noqa: E402
import install_packages  # noqa: E402
import world as demo  # noqa: E402

# Runs a command, then prints its start time, exit code and peak RSS (KiB) to the file named first.
TIMED = r"""
import os, sys, time
start = time.time()
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
with open(sys.argv[1], "w") as f:
    f.write("%r %d %d\n" % (start, os.waitstatus_to_exitcode(status), usage.ru_maxrss))
"""

PIPELINE = r"""
set -e
start=$(date +%s.%N)
curl -s -o "$1/l.zip" "$2"
sha256sum "$1/l.zip" >/dev/null
unzip -q "$1/l.zip" -d "$1/launcher"
curl -s -o "$1/j.tar.gz" "$3"
sha256sum "$1/j.tar.gz" >/dev/null
mkdir "$1/jre"
tar -xzf "$1/j.tar.gz" -C "$1/jre"
end=$(date +%s.%N)
echo "$start $end" >"$1/times"
"""


class NginxWorld(demo.World):
    """Served by nginx; in a PID namespace of its own, where launchers elsewhere don't count.

    Its files are removed only when the benchmark ends (remove_finished): on ext4 without a
    journal, creating files within a minute or so of a large deletion is several times slower, so
    a round must not follow the previous round's clean-up."""

    finished = []

    def cleanup(self):
        self.stop_launchers()
        NginxWorld.finished.append(self.root)

    @staticmethod
    def remove_finished():
        for root in NginxWorld.finished:
            shutil.rmtree(root, ignore_errors=True)

    def command(self, args, exe=None):
        command = super().command(args, exe)
        command.insert(2, "--nginx")
        return ["unshare", "-pf", "--mount-proc"] + command

    def publish(self, launcher, runtime):
        entries = {}
        for key, package, name, version in ((
                "launcher", launcher, "packages/launcher-1.0.0.zip", "1.0.0"),
                ("jre", runtime, "packages/jre-17.0.1.tar.gz", "17.0.1")):
            os.link(package, self.content.path(name))
            entries[key] = demo_packages.entry(self.content.url(name), package, version,
                                               sha256=digest(package))
        entries["updater"] = self.content.updater("1.0.0")
        self.content.publish(**entries)
        self.exe = demo_packages.make_bundle(self.path("app"), self.content.updater_binary(),
                                             entries["updater"]["sha256"])
        return entries


def digest(package, known={}):
    if package not in known:
        known[package] = demo_packages.sha256_of(package)
    return known[package]


def ours(build_dir, certs, launcher, runtime):
    """(seconds from exec to the launcher's start, peak RSS in MiB) of one first install."""
    w = NginxWorld(build_dir, certs)
    try:
        w.publish(launcher, runtime)
        stamp = w.path("stamp") + "/times"
        subprocess.run(["sync"], check=True)
        code, _, errors = w.run(command=w.command(
            ["-c", TIMED, stamp, w.exe], sys.executable))
        start, status, rss = open(stamp).read().split()
        if code or int(status) or not w.recorded("START"):
            raise SystemExit("the updater failed (%s):\n%s\n%s" % (status, errors, w.log()))
        record = os.path.join(w.install_dir, "stand-in-launcher.record")
        return os.stat(record).st_mtime - float(start), int(rss) / 1024
    finally:
        w.cleanup()


def by_hand(build_dir, certs, launcher, runtime):
    w = NginxWorld(build_dir, certs)
    try:
        entries = w.publish(launcher, runtime)
        out = w.path("by-hand")
        stamp = w.path("stamp") + "/times"
        subprocess.run(["sync"], check=True)
        code, _, errors = w.run(command=w.command(
            ["-c", TIMED, stamp, "/bin/bash", "-c", PIPELINE, "pipeline", out,
             entries["launcher"]["url"], entries["jre"]["url"]], sys.executable))
        _, status, rss = open(stamp).read().split()
        if code or int(status):
            raise SystemExit("the pipeline failed:\n" + errors)
        start, end = map(float, open(os.path.join(out, "times")).read().split())
        return end - start, int(rss) / 1024
    finally:
        w.cleanup()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    build_dir = os.path.abspath(options.build_dir)
    if demo.harness_problem():
        raise SystemExit("install_bench: " + demo.harness_problem())
    stand_in = os.path.join(build_dir, "demo", demo_packages.LAUNCHER_EXE)
    certs = demo.make_certs(build_dir)
    try:
        x1 = install_packages.packages(1, stand_in)
        x2 = install_packages.packages(2, stand_in)
        times, peers, rss, peer_rss = [], [], [], []
        for n in range(options.rounds):
            runs = [lambda: ours(build_dir, certs, *x1), lambda: by_hand(build_dir, certs, *x1)]
            results = [run() for run in (runs if n % 2 == 0 else runs[::-1])]
            (seconds, peak), (peer, peer_peak) = results if n % 2 == 0 else results[::-1]
            times.append(seconds)
            peers.append(peer)
            rss.append(peak)
            peer_rss.append(peer_peak)
            print("round %d: ours %.2f s (peak RSS %.1f MiB), by hand %.2f s (largest process "
                  "%.1f MiB)" % (n + 1, seconds, peak, peer, peer_peak), flush=True)
        big_seconds, big_rss = ours(build_dir, certs, *x2)
        sizes = [os.path.getsize(p) / 1e6 for p in x1]
        print("packages: launcher %.0f MB, runtime %.0f MB (twice as large: %.2f s, peak RSS "
              "%.1f MiB)" % (sizes[0], sizes[1], big_seconds, big_rss))
        median, peer = statistics.median(times), statistics.median(peers)
        print("FIGURE first-install ours=%.2fs peer=%.2fs ratio=%.2f goal=<=0.5"
              % (median, peer, median / peer))
        print("FIGURE install-peak-rss ours=%.1fMiB peer=%.1fMiB(largest-by-hand-process) "
              "ratio=%.2f goal=<=16MiB" % (max(rss), max(peer_rss), max(rss) / max(peer_rss)))
        print("FIGURE install-peak-rss-2x ours=%.1fMiB peer=- ratio=- goal=<=16MiB" % big_rss)
    finally:
        NginxWorld.remove_finished()
        shutil.rmtree(certs)


if __name__ == "__main__":
    main()
