// ctest-labels: quick;root
// Unpacking and installing packages made with the real tar and zip. Rows that need a second file
// system at one place mount a tmpfs there (root, private mount namespace); skipped without root.
#include <gtest/gtest.h>

#include "posix/component_install.h"
#include "posix/executable_replace.h"
#include "posix/package_unpack.h"
#include "posix/process.h"
#include "tests/support/forked_child.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ReadTree;
using test::Tree;

// Packs `files` (added to the folder archive.src) with `tool`, by default tar or zip after the
// archive's name; "raw" or another name: the first file's content as the package, if any.
fs::path Package(const fs::path& archive, const Tree& files, std::string tool = "") {
  const fs::path src = archive.native() + ".src";
  for (const auto& [name, content] : files) test::WriteFile(src / name, content);
  fs::create_directories(src);
  std::string name = archive.filename();
  for (char& c : name) c = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
  if (tool.empty()) tool = name.ends_with(".zip") ? "zip" : name.ends_with("gz") ? "tar" : "raw";
  if (tool == "raw" && !files.empty()) test::WriteFile(archive, files.begin()->second);
  if (tool == "raw") return archive;
  const auto packed = Run(tool == "zip" ? std::vector<std::string>{"zip", "-qry", archive, "."}
                                        : std::vector<std::string>{"tar", "-czf", archive, "."},
                          {src, true, true});
  EXPECT_TRUE(packed && packed->exitCode == 0) << (packed ? packed->output : packed.error());
  return archive;
}
Tree Files(const fs::path& dir) {
  Tree tree = ReadTree(dir);
  std::erase_if(tree, [](const auto& entry) { return entry.second == "<dir>"; });
  return tree;
}
int Mode(const fs::path& path) {
  return static_cast<int>(fs::symlink_status(path).permissions());
}

TEST(PackageUnpackTest, PackageGivesItsTreeOrWhyNot) {
  test::TempDir dir;
  struct Row {
    std::string name, tool, error;  // error: {0} the archive, {1} the destination
    bool blocked = false;           // a file stands where the destination's folder would be
  };
  int i = 0;
  for (const Row& row : std::vector<Row>{
           {"jre.tgz", "", ""},
           {"JRE.TAR.GZ", "", ""},
           {"Launcher.Zip", "", ""},
           {"My #1 Games?/launcher.zip", "", ""},
           {"package.zip", "tar", "not a valid ZIP archive: {0}"},
           {"package.gz", "", "unsupported package type: package.gz"},
           {"jre.tgz.part", "tar", "unsupported package type: jre.tgz.part"},
           {"jre.tgz", "raw", "tar exited with 2: \ngzip: stdin: not in gzip format\n"},
           {"jre.tgz", "", "can't create {1}: Not a directory", true},
       }) {
    SCOPED_TRACE(row.name);
    const fs::path folder = dir / std::to_string(++i), archive = folder / row.name;
    Package(archive, {{"Contents/Home/bin/java", "java"}, {"Contents/Info.plist", "p"}}, row.tool);
    if (row.blocked) test::WriteFile(folder / "out", "");
    const fs::path out = row.blocked ? folder / "out" / "x" : folder / "out";
    const auto result = ExtractPackage(archive, out);
    const std::string a = archive, o = out,
                      error = std::vformat(row.error, std::make_format_args(a, o));
    EXPECT_TRUE((result ? "" : result.error()).starts_with(error)) << result.error_or("");
    if (row.error.empty()) EXPECT_EQ(ReadTree(out), ReadTree(archive.native() + ".src"));
  }
}

// An installation as the updater finds it, in a folder of its own.
struct Place {
  Place() {
    for (const auto& [name, content] :
         Tree{{"install/Contents/MacOS/EmberdaleLauncher", "old"},
              {"install/Contents/old-only", "old"},
              {"install/Contents/runtime/Contents/Home/bin/java", "old"},
              {"install/config/versions.json", "{}"},
              {"app/EmberdaleUpdater", "old binary"}}) {
      test::WriteFile(root / name, content);
    }
    fs::create_directories(work);
  }
  // Installs the package as a launcher, a runtime, or else as the updater at root/`what`.
  std::expected<void, std::string> Install(const std::string& what, const fs::path& package) {
    if (what == "launcher") return InstallLauncherPackage(package, root / "install", work);
    if (what != "runtime") return ReplaceExecutable(root / what, package, work / "unpacked");
    return InstallRuntimePackage(package, runtime, work,
                                 [&](auto pause) { pauses.push_back(pause); });
  }
  test::TempDir temp;
  fs::path root = temp / "root", work = temp / "work";
  fs::path runtime = root / "install/Contents/runtime/Contents/Home";
  std::vector<std::chrono::milliseconds> pauses;
};

TEST(InstallTest, FailedInstallLeavesEverythingAsItWas) {
  const std::string why = test::EnterPrivateMountNamespace();
  const Tree launcher{{"Contents/MacOS/EmberdaleLauncher", "new"}};
  struct Row {
    std::string what, package;
    Tree files;
    std::string mount, error;  // mount: a tmpfs at that folder of the place; error: {0} its root
    std::size_t pauses = 0;    // 250 ms each; then also the staged runtime is removed
  };
  bool skipped = false;
  for (const Row& row : std::vector<Row>{
           {"launcher",
            "l.zip",
            {{"__MACOSX/Contents/._EmberdaleLauncher", "x"}},
            "",
            "the launcher package is empty"},
           {"launcher", "l.tgz", launcher, "work",
            "can't move {0}/install/Contents aside: Invalid cross-device link"},
           {"launcher", "l.tgz", launcher, "work/staging-launcher",
            "can't move {0}/install/Contents into place: Invalid cross-device link"},
           {"launcher", "l.tgz", launcher, "root/install/Contents/runtime",
            "can't carry the runtime over to {0}/install/Contents: Device or resource busy"},
           {"runtime",
            "j.tgz",
            {{"jdk/Contents/Home/bin/java", "new"}},
            "",
            "JRE archive layout not recognized: bin/java not found"},
           {"runtime",
            "j.zip",
            {{"bin/java", "new"}},
            "work/staging-jre",
            "can't move the new Home into place: Device or resource busy",
            19},
           {"app/EmberdaleUpdater",
            "u.zip",
            {{"u/Other", "x"}},
            "",
            "the package doesn't contain EmberdaleUpdater"},
           {"app/EmberdaleUpdater", "u.gz", {{"u", "x"}}, "", "unsupported package type: u.gz"},
           {"app/EmberdaleUpdater",
            "u",
            {},
            "",
            "can't stage the new binary: No such file or directory"},
           {"install/Contents",
            "u",
            {{"u", "new"}},
            "",
            "can't replace {0}/install/Contents: Is a directory"},
       }) {
    SCOPED_TRACE(row.error);
    if (!row.mount.empty() && !why.empty()) skipped = true;
    if (!row.mount.empty() && !why.empty()) continue;
    Place place;
    const auto mount =
        row.mount.empty() ? nullptr : std::make_unique<test::TmpfsMount>(place.temp / row.mount);
    ASSERT_EQ(mount ? mount->error() : "", "");
    const Tree before = ReadTree(place.root);
    const auto result = place.Install(row.what, Package(place.temp / row.package, row.files));
    const std::string root = place.root;
    EXPECT_EQ(result.error_or("installed"), std::vformat(row.error, std::make_format_args(root)));
    EXPECT_EQ(ReadTree(place.root), before);
    EXPECT_EQ(place.pauses, std::vector(row.pauses, std::chrono::milliseconds(250)));
    if (row.pauses > 0) EXPECT_EQ(Files(place.work / "staging-jre"), Tree());
  }
  if (skipped) GTEST_SKIP() << "rows that mount a tmpfs were skipped: " << why;
}

TEST(InstallTest, LauncherItemsAreSwappedInKeepingTheRuntimeUnlessThePackageHasOne) {
  for (const bool own : {false, true}) {
    Place place;
    Tree files{{"Contents/MacOS/EmberdaleLauncher", "new"}, {"extras/readme", "new"}};
    Tree expected{{"config/versions.json", "{}"},
                  {"Contents/runtime/Contents/Home/bin/java", "old"}};
    if (own) expected = {{"config/versions.json", "{}"}, {"Contents/runtime/bundled", "new"}};
    if (own) files["Contents/runtime/bundled"] = "new";
    for (const auto& file : files) expected.insert(file);
    ASSERT_TRUE(place.Install("launcher", Package(place.temp / (own ? "l.zip" : "l.tgz"), files)));
    EXPECT_EQ(Files(place.root / "install"), expected);
    EXPECT_TRUE(fs::is_empty(place.work)) << "staging and backups are removed";
  }
}

TEST(InstallTest, RuntimeInAWrapperFolderIsHoistedAndMadeExecutableLinksNotFollowed) {
  Place place;
  const fs::path src = place.temp / "j.tgz.src" / "jdk-21.0.2+13-jre", outside = place.temp / "out";
  for (const auto& [name, mode] : {std::pair{"bin/java", 0644},
                                   {"lib/jspawnhelper", 0600},
                                   {"lib/libjli.dylib", 0640},
                                   {"../../out/file", 0600}}) {
    test::WriteFile(src / name, name);
    fs::permissions(src / name, fs::perms(mode));
  }
  fs::permissions(outside, fs::perms(0700));
  fs::create_directory_symlink(outside, src / "lib" / "outside");
  ASSERT_TRUE(place.Install("runtime", Package(place.temp / "j.tgz", {})));
  EXPECT_EQ(Files(place.runtime), (Tree{{"bin/java", "bin/java"},
                                        {"lib/jspawnhelper", "lib/jspawnhelper"},
                                        {"lib/libjli.dylib", "lib/libjli.dylib"}}));
  for (const auto& [name, mode] : {std::pair{"", 0755},
                                   {"bin/java", 0755},
                                   {"lib", 0755},
                                   {"lib/jspawnhelper", 0755},
                                   {"lib/libjli.dylib", 0640}}) {
    EXPECT_EQ(Mode(place.runtime / name), mode) << name;
  }
  EXPECT_EQ(Mode(outside), 0700) << "a linked folder is not followed";
  EXPECT_EQ(Mode(outside / "file"), 0600);
  EXPECT_TRUE(fs::is_empty(place.work));
  EXPECT_TRUE(place.pauses.empty());
}

TEST(InstallTest, UpdaterIsReplacedKeepingABackupToRestoreOrRemove) {
  const Tree deep{{"EmberdaleUpdater/README", "a folder"}, {"u/MacOS/EmberdaleUpdater", "new"}};
  for (const auto& [package, files, volume] :
       std::vector<std::tuple<std::string, Tree, bool>>{{"updater-package", {{"u", "new"}}, false},
                                                        {"u.zip", deep, false},
                                                        {"u", {{"u", "new"}}, true}}) {
    SCOPED_TRACE(package + (volume ? " onto exFAT, which refuses hard links" : ""));
    Place place;
    std::string what = volume ? "exfat/EmberdaleUpdater" : "app/EmberdaleUpdater",
                why = test::EnterPrivateMountNamespace();
    std::unique_ptr<test::ExfatMount> exfat;
    if (volume && why.empty()) exfat = std::make_unique<test::ExfatMount>(place.root / "exfat");
    if (exfat) why = exfat->error();
    if (volume && !why.empty()) GTEST_SKIP() << "needs an exFAT volume: " << why;
    if (volume) test::WriteFile(place.root / what, "old binary");
    const fs::path exe = place.root / what, backup = exe.native() + ".backup";
    test::WriteFile(place.work / "unpacked" / "stale", "");
    ASSERT_TRUE(place.Install(what, Package(place.temp / package, files)));
    EXPECT_EQ(ReadFile(exe), "new");
    if (!volume) EXPECT_EQ(Mode(exe), 0755);
    EXPECT_EQ(ReadFile(backup), "old binary");
    EXPECT_FALSE(fs::exists(exe.native() + ".new") || fs::exists(place.work / "unpacked"));
    RestoreExecutableBackup(exe);
    EXPECT_EQ(ReadFile(exe), "old binary");
    ASSERT_TRUE(place.Install(what, place.temp / package) && fs::exists(backup));
    RemoveExecutableBackup(exe);
    EXPECT_FALSE(fs::exists(backup));
  }
}

TEST(InstallTest, ExecSelfStartsTheNewImageWithTheSameArgumentsAndEnvironment) {
  setenv("EMBERDALE_MARK", "kept", 1);
  const std::vector<std::string> args{
      "-c", R"(tr '\0' '|' </proc/$$/cmdline; echo "$EMBERDALE_MARK")", "two words", ""};
  for (const auto& [exe, output] : std::vector<std::pair<std::string, std::string>>{
           {"/bin/sh", "/bin/sh|-c|" + args[1] + "|two words||kept\n"},
           {"/no/such/program", "ExecSelf failed: No such file or directory\n"}}) {
    const auto child = test::RunInChild(
        [&] {
          std::printf("ExecSelf failed: %s\n", ExecSelf(exe, args).c_str());
          return 3;
        },
        test::ChildStdout::Pipe);
    EXPECT_EQ(child.output, output);
  }
}

}  // namespace
}  // namespace emberdale::posix
