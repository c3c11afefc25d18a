#include "app/arguments.h"

#include <string_view>

std::vector<std::string> g_arguments;

std::vector<std::string> SavedArguments(int argc, const char* const* argv) {
  std::vector<std::string> saved;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!arg.starts_with("-psn")) saved.emplace_back(arg);
  }
  return saved;
}
