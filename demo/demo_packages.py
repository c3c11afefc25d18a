"""Builds the packages, the manifest and the application bundle that the demo and the end-to-end
tests serve and run: a launcher package (ZIP) holding the stand-in launcher, a Java runtime
package (tar.gz) whose bin/java is a script, an updater package (ZIP) holding an updater binary,
and "Emberdale Updater.app" laid out as the updater expects its bundle. Nothing here is committed;
everything is made from the build output. The demo pads the launcher and runtime packages with
incompressible filler so that their downloads take visible time; the tests keep them small.
Python standard library only.
"""

import gzip
import hashlib
import io
import json
import os
import shutil
import stat
import tarfile
import zipfile

BUNDLE_NAME = "Emberdale Updater.app"
UPDATER_EXE = "EmberdaleUpdater"
LAUNCHER_EXE = "EmberdaleLauncher"
WINDOW_MODULE = "EmberdaleWindow.so"  # built next to the updater; loaded when there is a display
ICON = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "app",
                    "resources", "EmberdaleUpdater.png")

JAVA_SCRIPT = """#!/bin/sh
echo "stand-in java $*"
"""


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def filler(name, size):
    """`size` bytes that don't compress, the same for the same name every time."""
    return hashlib.shake_128(name.encode()).digest(size)


def _zip_file(archive, name, data, mode=0o644, compress=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
    info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = compress
    archive.writestr(info, data)


def make_launcher_package(path, launcher_binary, version, filler_bytes=0):
    """A launcher package: Contents/MacOS/EmberdaleLauncher plus a version file (and a filler
    file of `filler_bytes`, stored, when asked)."""
    with open(launcher_binary, "rb") as f:
        binary = f.read()
    with zipfile.ZipFile(path, "w") as archive:
        _zip_file(archive, "Contents/MacOS/" + LAUNCHER_EXE, binary, 0o755)
        _zip_file(archive, "Contents/Resources/launcher-version.txt", version + "\n")
        if filler_bytes:
            _zip_file(archive, "Contents/Resources/demo-filler.bin",
                      filler("launcher-" + version, filler_bytes), compress=zipfile.ZIP_STORED)
        _zip_file(archive, "__MACOSX/._Contents", b"junk the extractor skips")
    return path


def make_runtime_package(path, version, wrapper=True, filler_bytes=0):
    """A Java runtime package; with `wrapper`, everything sits in one top folder jdk-VERSION/.
    With `filler_bytes`, a filler file of that size, gzip-stored rather than compressed."""
    top = "jdk-" + version + "/" if wrapper else ""
    files = {
        top + "bin/java": (JAVA_SCRIPT.encode(), 0o644),
        top + "lib/jspawnhelper": (b"#!/bin/sh\nexit 0\n", 0o644),
        top + "lib/libjli.so": (b"not really a library", 0o644),
        top + "release": (('JAVA_VERSION="' + version + '"\n').encode(), 0o644),
    }
    if filler_bytes:
        files[top + "lib/demo-filler.bin"] = (filler("jre-" + version, filler_bytes), 0o644)
    # Built the same way every time (gzip without a time stamp), so a release made again has the
    # same digest.
    level = 0 if filler_bytes else 9
    with open(path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0,
                                                compresslevel=level) as compressed:
        with tarfile.open(fileobj=compressed, mode="w") as archive:
            for name, (data, mode) in sorted(files.items()):
                info = tarfile.TarInfo(name)
                info.size = len(data)
                info.mode = mode
                info.mtime = 1767225600
                archive.addfile(info, io.BytesIO(data))
    return path


def make_updater_package(path, updater_binary):
    """An updater package: the updater binary inside a bundle folder."""
    with open(updater_binary, "rb") as f:
        binary = f.read()
    with zipfile.ZipFile(path, "w") as archive:
        _zip_file(archive, BUNDLE_NAME + "/Contents/MacOS/" + UPDATER_EXE, binary, 0o755)
    return path


def make_bundle(folder, updater_binary, updater_package_sha256):
    """The application bundle: the updater executable, its window module and icon, and the digest
    of the package it came in."""
    bundle = os.path.join(folder, BUNDLE_NAME)
    shutil.rmtree(bundle, ignore_errors=True)
    macos = os.path.join(bundle, "Contents", "MacOS")
    data = os.path.join(bundle, "Contents", "Resources", "data")
    os.makedirs(macos)
    os.makedirs(data)
    exe = os.path.join(macos, UPDATER_EXE)
    shutil.copy2(updater_binary, exe)
    os.chmod(exe, 0o755)
    module = os.path.join(os.path.dirname(updater_binary), WINDOW_MODULE)
    if os.path.exists(module):
        shutil.copy2(module, macos)
    shutil.copy2(ICON, os.path.dirname(data))
    with open(os.path.join(data, "updater_sha256.txt"), "w") as f:
        f.write(updater_package_sha256 + "\n")
    return exe


def entry(url, package, version, vendor_url=None, sha256=None, size=None):
    """A manifest entry for a package file served at `url`."""
    info = {
        "version": version,
        "url": url,
        "sha256": sha256 or sha256_of(package),
        "size": size if size is not None else os.path.getsize(package),
    }
    if vendor_url:
        info["vendorUrl"] = vendor_url
    return info


def manifest_text(launcher, jre=None, updater=None):
    mac = {"launcher": launcher}
    if jre is not None:
        mac["jre"] = jre
    if updater is not None:
        mac["updater"] = updater
    return json.dumps({"schema": 1, "mac": mac}, indent=2) + "\n"


class Content:
    """A content root laid out as the CDN serves it, with the usual packages of one release."""

    def __init__(self, root, build_dir, cdn_host, vendor_host=None):
        self.root = root
        self.build_dir = build_dir
        self.cdn_host = cdn_host
        self.vendor_host = vendor_host
        # Bytes of incompressible filler in the launcher and runtime packages (the demo's).
        self.launcher_filler_bytes = 0
        self.runtime_filler_bytes = 0
        os.makedirs(os.path.join(root, "launcher"), exist_ok=True)

    def url(self, relative, host=None):
        return "https://" + (host or self.cdn_host) + "/" + relative

    def path(self, relative):
        full = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        return full

    def updater_binary(self):
        return os.path.join(self.build_dir, "app", UPDATER_EXE)

    def launcher(self, version):
        relative = "packages/launcher-" + version + ".zip"
        package = make_launcher_package(
            self.path(relative), os.path.join(self.build_dir, "demo", LAUNCHER_EXE), version,
            self.launcher_filler_bytes)
        return entry(self.url(relative), package, version)

    def runtime(self, version, vendor=False):
        relative = "packages/jre-" + version + ".tar.gz"
        package = make_runtime_package(self.path(relative), version,
                                       filler_bytes=self.runtime_filler_bytes)
        vendor_url = self.url("vendor/" + relative, self.vendor_host) if vendor else None
        if vendor:
            shutil.copy(package, self.path("vendor/" + relative))
        return entry(self.url(relative), package, version, vendor_url)

    def updater(self, version, binary=None):
        relative = "packages/updater-" + version + ".zip"
        package = make_updater_package(self.path(relative), binary or self.updater_binary())
        return entry(self.url(relative), package, version)

    def publish(self, launcher, jre=None, updater=None):
        with open(self.path("launcher/launcher-manifest.json"), "w") as f:
            f.write(manifest_text(launcher, jre, updater))
