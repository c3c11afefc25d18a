#include "app/app_links.h"

#include <atomic>

#include "app/arguments.h"
#include "core/app_link.h"
#include "posix/process_list.h"

std::optional<std::string> g_pendingAppLink;
std::mutex g_appLinkMutex;

namespace {
constexpr const char* kLauncherProcessName = "EmberdaleLauncher";
constexpr const char* kOpenLink = "emberdale://open";

// Set by a hand-over that looked for a launcher and found none; taken by the launch sequence.
std::atomic<bool> g_noLauncherAtHandOver{false};
}  // namespace

std::optional<std::string> PendingAppLink() {
  const std::lock_guard lock(g_appLinkMutex);
  if (g_pendingAppLink) return g_pendingAppLink;
  return emberdale::core::FindAppLink(g_arguments);
}

bool IsLauncherAlreadyRunning() {
  return emberdale::posix::IsProcessRunning(kLauncherProcessName);
}

bool HandOverToRunningLauncher(const std::string& installDir) {
  std::optional<std::string> link = PendingAppLink();
  if (!link) {
    if (!IsLauncherAlreadyRunning()) {
      g_noLauncherAtHandOver = true;
      return false;
    }
    link = kOpenLink;
  }
  return emberdale::core::ForwardAppLink(installDir, *link);
}

bool IsLauncherRunningAfterHandOver() {
  return !g_noLauncherAtHandOver.exchange(false) && IsLauncherAlreadyRunning();
}
