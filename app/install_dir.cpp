#include "app/install_dir.h"

#include "app/path_helpers.h"
#include "posix/install_pointer.h"

// Never destroyed: a thread may still log (and so read it) while another one runs the exit
// handlers.
std::string& g_installDir = *new std::string;

namespace {

constexpr const char* kPointerLocation =
    "/Library/Application Support/dev.quillfen.updater/install-path";
constexpr const char* kDefaultInstallLocation = "/Library/Application Support/Emberdale";

}  // namespace

std::string InstallPointerPath() {
  return GetHomeDir() + kPointerLocation;
}

std::string DefaultInstallDir() {
  return GetHomeDir() + kDefaultInstallLocation;
}

std::string ReadInstallPointer() {
  return emberdale::posix::ReadInstallPointer(InstallPointerPath()).value_or(std::string{});
}

std::string GetInstallDir() {
  if (g_installDir.empty()) g_installDir = ReadInstallPointer();
  if (g_installDir.empty()) g_installDir = DefaultInstallDir();
  return g_installDir;
}
