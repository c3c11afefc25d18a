#include "core/update_run.h"

#include <algorithm>
#include <cctype>

namespace emberdale::core {
namespace {

char ToLowerAscii(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

std::string_view ComponentLogName(Component component) {
  return component == Component::Jre ? "JRE" : "Launcher";
}

std::string PackageExtension(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const std::size_t slash = url.rfind('/');
  std::string name(slash == std::string_view::npos ? url : url.substr(slash + 1));
  std::ranges::transform(name, name.begin(), ToLowerAscii);
  for (std::string_view extension : {".tar.gz", ".tgz", ".zip", ".gz"}) {
    if (name.ends_with(extension)) return std::string(extension);
  }
  return {};
}

std::filesystem::path TempDir(const std::filesystem::path& root) {
  return root / "temp";
}

}  // namespace emberdale::core
