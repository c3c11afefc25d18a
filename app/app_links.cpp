#include "app/app_links.h"

#include "app/arguments.h"
#include "core/app_link.h"
#include "posix/process_list.h"

std::optional<std::string> g_pendingAppLink;
std::mutex g_appLinkMutex;

namespace {
constexpr const char* kLauncherProcessName = "EmberdaleLauncher";
constexpr const char* kOpenLink = "emberdale://open";
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
    if (!IsLauncherAlreadyRunning()) return false;
    link = kOpenLink;
  }
  return emberdale::core::ForwardAppLink(installDir, *link);
}
