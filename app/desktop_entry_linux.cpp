#include "app/desktop_entry_linux.h"

#include <cerrno>
#include <cstdlib>
#include <format>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "app/path_helpers.h"
#include "core/paths.h"
#include "posix/process.h"

namespace {

using emberdale::core::PathToUtf8;

constexpr std::string_view kDesktopFileName = "emberdale-updater.desktop";
// The table's names are the updater's window title and the launcher component; the entry starts
// the game as a whole, which the install message calls Emberdale.
constexpr std::string_view kEntryName = "Emberdale";
constexpr std::string_view kSchemeMimeType = "x-scheme-handler/emberdale";
constexpr std::string_view kDefaultsGroup = "[Default Applications]";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr const char* kDesktopDatabaseTool = "update-desktop-database";

// A base folder of the XDG layout: the variable when it holds an absolute path (relative ones are
// to be ignored), else the fallback below the home folder.
std::filesystem::path XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  return std::filesystem::path(GetHomeDir()) / fallback;
}

// The path as one argument of the Exec key, as stored in the file: inside double quotes ", `, $
// and \ get a backslash and % is doubled (a field code otherwise); the key file's own escapes
// for backslashes and control characters apply on top.
std::string ExecArgument(std::string_view path) {
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  quoted += '"';
  std::string stored;
  for (const char c : quoted) {
    switch (c) {
      case '\\':
        stored += "\\\\";
        break;
      case '\n':
        stored += "\\n";
        break;
      case '\t':
        stored += "\\t";
        break;
      case '\r':
        stored += "\\r";
        break;
      default:
        stored += c;
    }
  }
  return stored;
}

// GLib checks that the program of an Exec line exists before it turns %% into %, so a path with a
// percent sign would make the whole entry invalid there: such a path is started through env.
std::string ExecLine(const std::string& executable) {
  const std::string program = ExecArgument(executable);
  return (executable.find('%') == std::string::npos ? program : "env " + program) + " %u";
}

std::string DesktopEntryText(const std::filesystem::path& executable) {
  return std::format(
      "[Desktop Entry]\nType=Application\nName={}\nExec={}\nMimeType={};\nNoDisplay=false\n"
      "Terminal=false\nCategories=Game;\n",
      kEntryName, ExecLine(PathToUtf8(executable)), kSchemeMimeType);
}

// The key of a "key=value" line, without surrounding blanks.
std::string KeyOf(std::string_view line) {
  return Trim(line.substr(0, line.find('=')));
}

// The mimeapps.list text with `entry` (a whole line) as the scheme's default: written right after
// the first defaults group header (a group is added at the end when there is none), earlier
// defaults of the scheme left out, every other line kept as it was.
std::string WithSchemeDefault(std::string_view text, const std::string& entry) {
  std::string merged;
  bool inDefaults = false;
  bool written = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string trimmed = Trim(line);
    if (trimmed.starts_with('[')) inDefaults = trimmed == kDefaultsGroup;
    if (inDefaults && !trimmed.starts_with('[') && KeyOf(trimmed) == kSchemeMimeType) continue;
    merged.append(line) += '\n';
    if (inDefaults && trimmed.starts_with('[') && !written) {
      merged += entry;
      written = true;
    }
  }
  if (!written) {
    if (!merged.empty() && !merged.ends_with("\n\n")) merged += '\n';
    merged.append(kDefaultsGroup).append("\n").append(entry);
  }
  return merged;
}

std::expected<std::string, std::string> ReadIfPresent(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) && !ec) return std::string();
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (ec || !in.is_open() || in.bad()) {
    return std::unexpected(std::format("can't read {}", PathToUtf8(path)));
  }
  return text;
}

std::expected<void, std::string> WriteAtomically(const std::filesystem::path& path,
                                                 std::string_view text) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);  // the write below reports it
  const std::filesystem::path temp = path.native() + std::string(kTempSuffix);
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush()) {
    const int error = errno;
    std::filesystem::remove(temp, ec);
    return std::unexpected(std::format("can't write {}: {}", PathToUtf8(temp),
                                       std::generic_category().message(error)));
  }
  out.close();
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return std::unexpected(std::format("can't replace {}: {}", PathToUtf8(path), ec.message()));
  }
  return {};
}

// The file a symbolic link (as dotfile managers keep mimeapps.list) points to, so the rename
// replaces the file and keeps the link.
std::filesystem::path LinkTarget(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(path, ec)) return path;
  const std::filesystem::path target = std::filesystem::canonical(path, ec);
  return ec ? path : target;
}

std::expected<void, std::string> MakeDefaultHandler() {
  const std::filesystem::path list =
      LinkTarget(XdgFolder("XDG_CONFIG_HOME", ".config") / "mimeapps.list");
  const auto text = ReadIfPresent(list);
  if (!text) return std::unexpected(text.error());
  return WriteAtomically(
      list, WithSchemeDefault(*text, std::format("{}={}\n", kSchemeMimeType, kDesktopFileName)));
}

}  // namespace

std::expected<std::filesystem::path, std::string> RegisterAppLinkHandler(
    const std::filesystem::path& executable) {
  if (GetHomeDir().empty()) return std::unexpected("no home folder");
  const std::filesystem::path folder = XdgFolder("XDG_DATA_HOME", ".local/share") / "applications";
  const std::filesystem::path entry = folder / kDesktopFileName;
  if (auto written = WriteAtomically(entry, DesktopEntryText(executable)); !written) {
    return std::unexpected(written.error());
  }
  if (auto made = MakeDefaultHandler(); !made) return std::unexpected(made.error());
  if (emberdale::posix::CommandExists(kDesktopDatabaseTool)) {
    (void)emberdale::posix::Run({kDesktopDatabaseTool, folder.native()}, {});
  }
  return entry;
}
