#include "app/ad_hoc_sign.h"

#include <string>
#include <vector>

#include "app/app_log.h"
#include "app/path_helpers.h"
#include "posix/process.h"

void AdHocSign(const std::filesystem::path& target) {
  // Nothing to sign on Linux: executables carry no signature that the system checks.
}

void AdHocSignWith(const std::string& tool, const std::filesystem::path& target) {
  const std::vector<std::string> argv = {tool, "--force", "--sign", "-", target.string()};
  emberdale::posix::RunOptions options;
  options.captureOutput = true;
  options.captureStderr = true;
  const auto result = emberdale::posix::Run(argv, options);
  if (!result) {
    Log("[WARN] Can't run codesign: " + result.error());
  } else if (result->exitCode != 0) {
    Log("[WARN] codesign " + target.string() + " failed: " + Trim(result->output));
  }
}
