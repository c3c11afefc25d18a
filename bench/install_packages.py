"""Release-sized packages for the install benchmark, made once and kept under /var/tmp.

The launcher package is a ZIP of about 8,000 files (source-like text that compresses about four
to one, and incompressible libraries) holding the stand-in launcher, about 250 MB at scale 1; the
runtime package is a .tar.gz of a JDK-like tree (a large modules file, libraries, text), about
200 MB at scale 1. Scale 2 doubles every file's size, not the number of files. The content is the
same for the same scale every time.
"""

import hashlib
import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
import demo_packages  # noqa: E402

CACHE = "/var/tmp/emberdale-install-bench"
WORDS = ("public static final class return import java lang String value index buffer module "
         "launcher runtime if else for while new this null true false void int long").split()


def _text(rng, size):
    """Source-like text: words and numbers."""
    words = []
    length = 0
    while length < size:
        word = rng.choice(WORDS) if rng.random() > 0.1 else "%d;\n" % rng.randrange(100000)
        words.append(word)
        length += len(word) + 1
    return " ".join(words).encode()[:size]


def _noise(name, size):
    return hashlib.shake_256(name.encode()).digest(size)


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def _launcher_tree(top, scale, stand_in):
    rng = random.Random(2024)
    corpus = _text(rng, 4 << 20)
    for i in range(7200):
        folder = "Contents/Resources/lib/mod%02d/pkg%d/pkg%d" % (i % 40, i % 6, i % 5)
        size = (512 + rng.randrange(16000)) * scale
        start = rng.randrange(len(corpus) - size)
        _write(os.path.join(top, folder, "File%d.java" % i), corpus[start:start + size])
    for i in range(800):
        folder = "Contents/Resources/jars/group%d" % (i % 20)
        _write(os.path.join(top, folder, "lib%d.jar" % i),
               _noise("jar%d" % i, (4096 + rng.randrange(560000)) * scale))
    macos = os.path.join(top, "Contents", "MacOS")
    os.makedirs(macos)
    shutil.copy2(stand_in, os.path.join(macos, demo_packages.LAUNCHER_EXE))
    _write(os.path.join(top, "Contents/Resources/launcher-version.txt"), b"1.0.0\n")


def _runtime_tree(top, scale):
    rng = random.Random(17)
    corpus = _text(rng, 4 << 20)
    home = os.path.join(top, "jdk-17.0.1")
    _write(os.path.join(home, "bin", "java"), demo_packages.JAVA_SCRIPT.encode())
    _write(os.path.join(home, "release"), b'JAVA_VERSION="17.0.1"\n')
    _write(os.path.join(home, "lib", "modules"), _noise("modules", (120 << 20) * scale))
    for i in range(300):
        _write(os.path.join(home, "lib", "lib%d.so" % i),
               _noise("so%d" % i, (8192 + rng.randrange(500000)) * scale))
    for i in range(1200):
        size = (1024 + rng.randrange(60000)) * scale
        start = rng.randrange(len(corpus) - size)
        _write(os.path.join(home, "legal", "mod%d" % (i % 70), "LICENSE%d" % i),
               corpus[start:start + size])


def packages(scale, stand_in):
    """(launcher.zip, jre.tar.gz) for `scale`, made when missing."""
    folder = os.path.join(CACHE, "x%d" % scale)
    launcher, runtime = os.path.join(folder, "launcher.zip"), os.path.join(folder, "jre.tar.gz")
    if os.path.exists(os.path.join(folder, "done")):
        return launcher, runtime
    print("Making the x%d packages under %s (once)..." % (scale, folder), flush=True)
    shutil.rmtree(folder, ignore_errors=True)
    tree = os.path.join(folder, "tree")
    _launcher_tree(os.path.join(tree, "launcher"), scale, stand_in)
    subprocess.run(["zip", "-q", "-r", "-X", launcher, "Contents"],
                   cwd=os.path.join(tree, "launcher"), check=True)
    _runtime_tree(os.path.join(tree, "runtime"), scale)
    subprocess.run(["tar", "-czf", runtime, "--sort=name", "--mtime=@1767225600", "jdk-17.0.1"],
                   cwd=os.path.join(tree, "runtime"), check=True)
    shutil.rmtree(tree)
    open(os.path.join(folder, "done"), "w").close()
    return launcher, runtime


if __name__ == "__main__":
    for made in packages(int(sys.argv[2]) if len(sys.argv) > 2 else 1, sys.argv[1]):
        print(made, os.path.getsize(made))
