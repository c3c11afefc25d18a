// Prints what the front end's location helpers answer in this process, one "name=value" line
// each, so tests can start it from a bundle, through a link, or as another user.
#include <cstdio>

#include "app/install_dir.h"
#include "app/path_helpers.h"

int main() {
  std::printf("self_path=%s\n", GetSelfPath().c_str());
  std::printf("self_bundle=%s\n", SelfBundle().c_str());
  std::printf("home_dir=%s\n", GetHomeDir().c_str());
  std::printf("install_dir=%s\n", GetInstallDir().c_str());
  return 0;
}
