// ctest-labels: quick;root
// Unpacking and installing packages made with the real tar and zip. Rows that need root (mounts in
// a private mount namespace, an immutable file) are skipped without it.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include "posix/component_install.h"
#include "posix/executable_replace.h"
#include "posix/package_unpack.h"
#include "posix/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using test::Tree;

// Packs `files` (added to the folder archive.src; "->x": a link to x) with tar or zip as the
// archive's name says; with neither in the name, or a first file without a name, that file is it.
fs::path Package(const fs::path& archive, const Tree& files) {
  const fs::path src = archive.native() + ".src";
  fs::create_directories(src);
  for (const auto& [name, content] : files) {
    fs::create_directories((src / name).parent_path());
    if (content.starts_with("->")) fs::create_symlink(content.substr(2), src / name);
    if (!content.starts_with("->") && !name.empty()) test::WriteFile(src / name, content);
  }
  std::string name = archive.filename();
  for (char& c : name) c = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
  const bool tar = name.contains("tar") || name.contains("gz"), zip = name.contains("zip");
  const bool raw = files.empty() || files.begin()->first.empty() || !(tar || zip);
  if (raw && !files.empty()) test::WriteFile(archive, files.begin()->second);
  if (raw) return archive;
  EXPECT_TRUE(test::Shell(std::format("cd '{}' && {} '{}' .", src.native(),
                                      tar ? "tar -czf" : "zip -qry", archive.native())));
  return archive;
}
// The files under dir (links followed): their content, '*' after it when anyone may run them.
Tree Files(const fs::path& dir) {
  Tree files;
  for (auto [name, content] : test::ReadTree(dir)) {
    if (content.size() > 65536) content = std::format("{} bytes", content.size());
    const fs::perms all = fs::perms(0111), mode = fs::status(dir / name).permissions();
    if (content != "<dir>") files[name] = content + ((mode & all) == all ? "*" : "");
  }
  return files;
}

// An installation as the updater finds it, in a folder of its own.
struct Place {
  Place() {
    // clang-format off
    for (const auto& [name, content] : Tree{{"app/EmberdaleUpdater", "old binary"},
             {"install/Contents/MacOS/EmberdaleLauncher", "old"},
             {"install/Contents/old-only", "old"}, {"install/config/versions.json", "{}"},
             {"install/Contents/runtime/Contents/Home/bin/java", "old"}}) {
      test::WriteFile(root / name, content);
    }  // clang-format on
    fs::create_directories(work);
  }
  // A tmpfs at temp/`setup`; "exfat": the updater on an exFAT volume (no hard links), "exfat
  // full" a big one on a full one; "immutable": the updater can't be replaced. Empty, or why not.
  std::string Prepare(const std::string& setup) {
    if (setup == "immutable") {
      const bool made = test::Shell("chattr +i " + (root / "app/EmberdaleUpdater").native());
      return made ? "" : "chattr +i failed (needs root)";
    }
    if (setup.empty()) return "";
    const bool exfat = setup.starts_with("exfat");
    if (exfat) mount = std::make_unique<test::ExfatMount>(root / "exfat");
    if (!exfat) mount = std::make_unique<test::TmpfsMount>(temp / setup);
    if (!exfat || !mount->error().empty()) return mount->error();
    const bool full = setup == "exfat full";  // 1 MiB left: too little to copy 2 MiB
    test::WriteFile(root / "exfat/EmberdaleUpdater",
                    full ? std::string(2 << 20, 'o') : "old binary");
    struct statvfs volume {};
    if (full && statvfs((root / "exfat").c_str(), &volume) == 0) {
      test::WriteFile(root / "exfat/filler",
                      std::string(volume.f_bavail * volume.f_frsize - (1 << 20), 'f'));
    }
    return "";
  }
  // Installs the package as a launcher, a runtime, or else as the updater at root/`what`.
  std::expected<void, std::string> Install(const std::string& what, const fs::path& package) {
    if (what == "launcher") return InstallLauncherPackage(package, root / "install", work);
    if (what != "runtime") return ReplaceExecutable(root / what, package, work / "unpacked");
    return InstallRuntimePackage(package, root / "install/Contents/runtime/Contents/Home", work,
                                 [&](auto pause) { pauses.push_back(pause); });
  }
  test::TempDir temp;
  std::unique_ptr<test::ScopedMount> mount;
  fs::path root = temp / "root", work = temp / "w\\b";  // tar must take "\\" as it is
  std::vector<std::chrono::milliseconds> pauses;
};

TEST(InstallTest, InstallGivesTheNewTreeOrLeavesTheOldOne) {
  const Tree one{{"Contents/MacOS/EmberdaleLauncher", "new"}};
  Tree launcher = one, newLauncher{{"install/Contents/MacOS/EmberdaleLauncher", "new"},
                                   {"install/Contents/old-only", "-"}};
  launcher["extras/readme"] = newLauncher["install/extras/readme"] = "new";
  Tree bundled = launcher, newBundled = newLauncher;
  bundled["Contents/runtime/bundled"] = newBundled["install/Contents/runtime/bundled"] = "new";
  const std::string exe = "app/EmberdaleUpdater", home = "install/Contents/runtime/Contents/Home/",
                    jre = "jdk-21.0.2+13-jre/", onExfat = "exfat/EmberdaleUpdater";
  newBundled[home + "bin/java"] = "-";
  const Tree newExe{{exe, "new*"}, {exe + ".backup", "old binary"}}, u{{"u", "new"}};
  struct Row {
    std::string what, package;  // what: "launcher", "runtime", or the updater's place
    Tree files, changes = {};   // changes to the place's files once installed; "-": removed
    std::string error = "", setup = "";  // error: {0} the place's temp; setup: see Place::Prepare
    std::size_t pauses = 0;              // 250 ms each
  };
  std::string skipped;
  const std::string xdev = ": Invalid cross-device link", busy = ": Device or resource busy",
                    contents = "{0}/root/install/Contents";
  // clang-format off
  for (const Row& row : std::vector<Row>{
           {"launcher", "L.TAR.GZ", launcher, newLauncher},
           {"launcher", "My #1 Games?/Launcher.Zip", bundled, newBundled},
           {"runtime", "j.tgz",
            {{jre + "bin/java", "new"}, {jre + "lib/jspawnhelper", "h"},
             {jre + "bin/linked", "->../../../../../config/versions.json"},
             {jre + "lib/libjli.dylib", "l"}},
            {{home + "bin/java", "new*"}, {home + "lib/jspawnhelper", "h*"},
             {home + "bin/linked", "{}"}, {home + "lib/libjli.dylib", "l"}}},
           {exe, "updater-package", u, newExe},
           {exe, "C#/Emberdale/temp/updater-package.zip",
            {{"EmberdaleUpdater/README", "a folder"}, {"u/MacOS/EmberdaleUpdater", "new"}}, newExe},
           {onExfat, "u", u, {{onExfat, "new*"}, {onExfat + ".backup", "old binary*"}}, "",
            "exfat"},
           {"launcher", "l.zip", {{"__MACOSX/._x", "x"}}, {}, "the launcher package is empty"},
           {"launcher", "l.tar.zip", one, {}, "not a valid ZIP archive: {0}/l.tar.zip"},
           {"launcher", "l.tgz.part", one, {}, "unsupported package type: l.tgz.part"},
           {"launcher", "l.tgz", {{"", "no gzip"}}, {}, "tar exited with 2: \ngzip: stdin: not in "
            "gzip format\ntar: Child returned status 1\ntar: Error is not recoverable: exiting "
            "now\n"},
           {"launcher", "l.tgz", one, {}, "can't move " + contents + " aside" + xdev, "w\\b"},
           {"launcher", "l.tgz", one, {}, "can't move " + contents + " into place" + xdev,
            "w\\b/staging-launcher"},
           {"launcher", "l.tgz", one, {}, "can't carry the runtime over to " + contents + busy,
            "root/install/Contents/runtime"},
           {"runtime", "j.tgz", {{"jdk/Contents/Home/bin/java", "new"}}, {},
            "JRE archive layout not recognized: bin/java not found"},
           {"runtime", "j.zip", {{"bin/java", "new"}}, {}, "can't move the new Home into place" +
            busy, "w\\b/staging-jre", 19},
           {exe, "u.zip", {{"u/Other", "x"}}, {}, "the package doesn't contain EmberdaleUpdater"},
           {exe, "u.gz", u, {}, "unsupported package type: u.gz"},
           {exe, "u", {}, {}, "can't stage the new binary: No such file or directory"},
           {exe, "u", u, {}, "can't replace {0}/root/" + exe + ": Operation not permitted",
            "immutable"},
           {onExfat, "u", u, {}, "can't back up {0}/root/" + onExfat + ": No space left on device",
            "exfat full"}}) {
    // clang-format on
    SCOPED_TRACE(row.what + " from " + row.package + " " + row.setup);
    Place place;
    const std::string why = place.Prepare(row.setup), temp = place.temp.path();
    if (!why.empty()) skipped = why;
    if (!why.empty()) continue;
    const fs::path updater = place.root / row.what;
    const char* staging = row.what == "launcher" ? "staging-launcher" : "unpacked";
    test::WriteFile(place.work / (row.what == "runtime" ? "staging-jre" : staging) / "stale", "");
    const Tree before = Files(place.root);
    const auto result = place.Install(row.what, Package(place.temp / row.package, row.files));
    if (row.setup == "immutable") (void)posix::Run({"chattr", "-i", updater}, {});
    EXPECT_EQ(result.error_or(""), std::vformat(row.error, std::make_format_args(temp)));
    Tree expected = before;
    for (const auto& [name, content] : row.changes) expected[name] = content;
    std::erase_if(expected, [](const auto& file) { return file.second == "-"; });
    EXPECT_EQ(Files(place.root), expected);
    EXPECT_EQ(place.pauses, std::vector(row.pauses, std::chrono::milliseconds(250)));
    if (row.pauses > 0) EXPECT_EQ(Files(place.work / "staging-jre"), Tree());
    if (result) EXPECT_TRUE(fs::is_empty(place.work)) << "staging, backups, leftovers removed";
  }
  if (!skipped.empty()) GTEST_SKIP() << "rows that need root were skipped: " << skipped;
}

}  // namespace
}  // namespace emberdale::posix
