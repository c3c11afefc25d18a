#include "app/desktop_host.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/install_dir.h"
#include "app/path_helpers.h"
#include "app/progress.h"
#include "core/ui_text.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::Component;
using emberdale::core::Failure;
using emberdale::core::Language;
using emberdale::core::PendingUpdate;
using emberdale::core::Step;
using emberdale::core::UiTextFor;
using emberdale::test::ChildResult;
using emberdale::test::ChildStdout;
using emberdale::test::RunInChild;
using emberdale::test::StoredEntry;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;
using emberdale::test::WriteRawZip;

const emberdale::core::UiStrings& kEnglish = UiTextFor(Language::English);
constexpr int kAccepted = 10;
constexpr int kDeclined = 20;
constexpr const char* kErrorTag = "\n\x1b[38;2;255;107;107m[\u2716 ERROR]\x1b[0m ";

// Runs `body` in a child whose standard output is a terminal, so the host's console output is
// what the user would see; the log goes into `logDir`.
ChildResult OnTerminal(const fs::path& logDir, const std::function<int()>& body,
                       const std::string& input = "") {
  return RunInChild(
      [&] {
        g_installDir = logDir.native();
        return body();
      },
      ChildStdout::Terminal, input);
}

class DesktopHostTest : public ::testing::Test {
 protected:
  TempDir dir_;
  MacUpdaterHost host_{"/Users/x/Games"};
};

TEST_F(DesktopHostTest, EachStepShowsItsTextAndBarOrNothing) {
  struct Row {
    Step step;
    std::optional<Component> component;
    const char* text;  // nullptr: nothing is shown
    int percent;
  };
  const Row rows[] = {
      {Step::Preparing, std::nullopt, kEnglish.preparing, -1},
      {Step::CheckingForUpdates, std::nullopt, kEnglish.checkingUpdates, 0},
      {Step::ManifestReceived, std::nullopt, kEnglish.updateDataReceived, 100},
      {Step::ManifestUnavailable, std::nullopt,
       "Could not check for updates\nTrying to start the installed version", 100},
      {Step::DownloadingUpdater, std::nullopt, kEnglish.downloadingUpdate, 0},
      {Step::InstallingUpdater, std::nullopt, kEnglish.installingUpdate, -1},
      {Step::DownloadingComponent, Component::Launcher, kEnglish.downloadingLauncher, 0},
      {Step::DownloadingComponent, Component::Jre, kEnglish.downloadingJava, 0},
      {Step::InstallingComponent, Component::Launcher, kEnglish.installingLauncher, -1},
      {Step::InstallingComponent, Component::Jre, kEnglish.installingJava, -1},
      {Step::CheckingComponents, std::nullopt, nullptr, 0},
      {Step::UpdatingComponents, Component::Jre, nullptr, 0},
      {Step::ComponentsFinished, std::nullopt, nullptr, 0},
      {Step::NoUpdatesRequired, std::nullopt, nullptr, 0},
      {Step::RemovingTempFiles, std::nullopt, nullptr, 0},
      {static_cast<Step>(99), std::nullopt, nullptr, 0},
  };
  for (const Row& row : rows) {
    const ChildResult run = OnTerminal(dir_.path(), [&] {
      host_.ReportStep(row.step, row.component, 42);  // the engine's percent is not shown
      return 0;
    });
    const std::string expected = row.text ? ConsoleStatusLine(row.text, row.percent) : "";
    EXPECT_EQ(run.output, expected) << "step " << static_cast<int>(row.step);
  }
}

TEST_F(DesktopHostTest, DownloadProgressIsLabelledWithTheComponent) {
  const ChildResult run = OnTerminal(dir_.path(), [&] {
    host_.DownloadProgress(Component::Jre, 10, 50)(1048576, 2097152);
    host_.DownloadProgress(std::nullopt, 10, 50)(2097152, 2097152);
    return 0;
  });
  EXPECT_EQ(run.output,
            ConsoleStatusLine("Downloading Java...\n1.00 / 2.00 MB (50%)", 50) +
                ConsoleStatusLine("Downloading an update...\n2.00 / 2.00 MB (100%)", 100));
}

TEST_F(DesktopHostTest, EachFailureShowsItsErrorAndInstallFailureNamesTheFolder) {
  const std::pair<Failure, std::string> rows[] = {
      {Failure::ComponentUnavailable, kEnglish.offlineAndNotInstalled},
      {Failure::DownloadFailed, "Failed to download update files."},
      {Failure::VerificationFailed, "Failed to verify file integrity."},
      {Failure::InstallFailed, "Failed to extract files.\n\nPath: /Users/x/Games"},
  };
  for (const auto& [failure, text] : rows) {
    const ChildResult run = OnTerminal(dir_.path(), [&] {
      host_.ReportFailure(failure, Component::Jre);
      return 0;
    });
    EXPECT_EQ(run.errors, kErrorTag + text + "\n") << static_cast<int>(failure);
  }
  const ChildResult unknown = OnTerminal(dir_.path(), [&] {
    host_.ReportFailure(static_cast<Failure>(7), std::nullopt);
    return 0;
  });
  EXPECT_EQ(unknown.errors, "");
}

TEST_F(DesktopHostTest, ComponentUpdatesAreListedAndCanBeDeclined) {
  std::vector<PendingUpdate> updates(2);
  updates[0].component = Component::Launcher;  // not installed yet
  updates[0].target.version = "2.1.0";
  updates[0].target.size = 13107200;
  updates[1].component = Component::Jre;
  updates[1].installedVersion = "17.0.2";
  updates[1].target.version = "21.0.1";
  updates[1].target.size = 41943040;
  const ChildResult run = OnTerminal(
      dir_.path(), [&] { return host_.ConfirmUpdates(updates) ? kAccepted : kDeclined; }, "n\n");
  EXPECT_EQ(run.exitCode, kDeclined);
  EXPECT_EQ(run.output,
            "\n\x1b[1mUpdates Available\x1b[0m\n"
            "The following updates are required before launch:\n"
            "  \u2022 Emberdale Launcher: not installed \u2192 2.1.0 (12.50 MB)\n"
            "  \u2022 Java: 17.0.2 \u2192 21.0.1 (40.00 MB)\n"
            "\n\u279c Install updates? [Y/n]: Update cancelled.\n");
}

TEST_F(DesktopHostTest, SelfUpdateNamesTheRunningVersion) {
  emberdale::core::UpdateInfo update;
  update.version = "1.2.0";
  update.size = 524288;
  const ChildResult run = OnTerminal(
      dir_.path(), [&] { return host_.ConfirmSelfUpdate(update) ? kAccepted : kDeclined; }, "\n");
  EXPECT_EQ(run.exitCode, kAccepted);
  EXPECT_EQ(run.output,
            "\n\x1b[1mUpdate Available\x1b[0m\n"
            "The following updates are required before launch:\n"
            "  \u2022 Emberdale Updater: 1.0.0 \u2192 1.2.0 (0.50 MB)\n"
            "\n\u279c Install updates? [Y/n]: ");
}

TEST_F(DesktopHostTest, FixedTexts) {
  EXPECT_EQ(GetUserAgent(), "Emberdale-Updater/1.0.0 (macOS)");
  EXPECT_EQ(ManifestUrl(),
            std::string("https://") + EMBERDALE_CDN_HOST + "/launcher/launcher-manifest.json");
  EXPECT_EQ(MacUpdaterHost::DownloadText(std::nullopt), kEnglish.downloadingUpdate);
  EXPECT_EQ(MacUpdaterHost("/Users/x/Games/").InstallRoot(), fs::path("/Users/x/Games/"));
}

TEST_F(DesktopHostTest, InstalledJavaIsARegularFileAfterLinks) {
  MacUpdaterHost host(dir_.path().native());
  const fs::path java = fs::path(JavaHome(dir_.path().native())) / "bin" / "java";
  EXPECT_FALSE(host.IsInstalled(Component::Jre));
  fs::create_directories(java);
  EXPECT_FALSE(host.IsInstalled(Component::Jre)) << "a directory";
  fs::remove(java);
  fs::create_symlink("java-real", java);
  EXPECT_FALSE(host.IsInstalled(Component::Jre)) << "a dangling link";
  WriteFile(java.parent_path() / "java-real", "");
  EXPECT_TRUE(host.IsInstalled(Component::Jre)) << "a link to a regular file";
}

TEST_F(DesktopHostTest, InstalledLauncherIsTheExecutableInContentsMacOS) {
  MacUpdaterHost host(dir_.path().native());
  EXPECT_FALSE(host.IsInstalled(Component::Launcher));
  WriteFile(dir_ / "Contents" / "MacOS" / "EmberdaleLauncher", "");
  EXPECT_TRUE(host.IsInstalled(Component::Launcher));
}

TEST_F(DesktopHostTest, LauncherPackageWithoutTheExecutableFails) {
  const fs::path install = dir_ / "install";
  const fs::path package = dir_ / "launcher.zip";
  WriteRawZip(package, {StoredEntry("Contents/Info.plist", "<plist/>"),
                        StoredEntry("Contents/MacOS/OtherProgram", "x")});
  MacUpdaterHost host(install.native());
  const auto installed = host.InstallComponent(Component::Launcher, package, 0, 100);
  ASSERT_FALSE(installed.has_value());
  EXPECT_EQ(installed.error(), "EmberdaleLauncher not found in the package");
}

TEST_F(DesktopHostTest, InstalledLauncherExecutableGetsMode0755) {
  const fs::path install = dir_ / "install";
  const fs::path package = dir_ / "launcher.zip";
  WriteRawZip(package, {StoredEntry("Contents/Info.plist", "<plist/>"),
                        StoredEntry("Contents/MacOS/EmberdaleLauncher", "#!/bin/sh\n")});
  MacUpdaterHost host(install.native());
  const auto installed = host.InstallComponent(Component::Launcher, package, 0, 100);
  ASSERT_TRUE(installed.has_value()) << installed.error();
  struct stat status {};
  ASSERT_EQ(stat((install / "Contents" / "MacOS" / "EmberdaleLauncher").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_TRUE(host.IsInstalled(Component::Launcher));
}

}  // namespace
