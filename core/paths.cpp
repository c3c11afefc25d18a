#include "core/paths.h"

namespace emberdale::core {

std::string PathToUtf8(const std::filesystem::path& path) {
  return path.native();
}

std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::string(text));
}

std::filesystem::path ExtendedLengthPath(const std::filesystem::path& path) {
  return path;
}

}  // namespace emberdale::core
