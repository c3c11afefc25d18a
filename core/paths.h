// Path text conversions. On this platform paths are native byte strings holding UTF-8, so all
// three are identities; they mark the places where a platform with other path types converts.
// File-system calls take ExtendedLengthPath(p), messages show PathToUtf8(p), and archive entry
// names become paths through PathFromUtf8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace emberdale::core {

std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path PathFromUtf8(std::string_view text);
std::filesystem::path ExtendedLengthPath(const std::filesystem::path& path);

}  // namespace emberdale::core
