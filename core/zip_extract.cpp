#include "core/zip_extract.h"

#include <zip.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/ascii.h"
#include "core/file_system.h"
#include "core/logging.h"
#include "core/output_file.h"
#include "core/paths.h"
#include "core/read_ahead_source.h"

namespace emberdale::core {
namespace {

using Result = std::expected<void, std::string>;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMaxArchiveBytes = 2048 * kMiB;
constexpr std::uint64_t kFreeSpaceFactor = 3;
constexpr std::uint64_t kMaxEntries = 100'000;
constexpr std::size_t kMaxEntryPathBytes = 1024;
constexpr std::uint64_t kMaxEntryBytes = 500 * kMiB;
constexpr std::uint64_t kMaxCompressionRatio = 100;
constexpr std::uint64_t kMaxTotalBytes = 3072 * kMiB;
constexpr std::uint32_t kDosDirectoryAttribute = 0x10;
// One buffer carries every entry from the inflater to its file.
constexpr std::size_t kCopyBufferBytes = 1024 * 1024;

struct PlannedEntry {
  std::uint32_t index = 0;
  std::string name;
  bool isDirectory = false;
};

struct EntrySizes {
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
};

struct ZipDiscarder {
  void operator()(zip_t* zip) const { zip_discard(zip); }
};

struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipEntryReader = std::unique_ptr<zip_file_t, ZipFileCloser>;

struct SourceFreer {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipSource = std::unique_ptr<zip_source_t, SourceFreer>;

// --- Entry names ---------------------------------------------------------------------------

bool IsJunkComponent(std::string_view component) {
  static constexpr std::string_view kMetadataNames[] = {".ds_store", "thumbs.db", "desktop.ini",
                                                        "__macosx"};
  if (component == ".") return true;
  for (std::string_view junk : kMetadataNames) {
    if (EqualsIgnoringAsciiCase(component, junk)) return true;
  }
  return component.find(':') != std::string_view::npos || component.back() == '.';
}

std::vector<std::string_view> SplitComponents(std::string_view text) {
  std::vector<std::string_view> components;
  while (!text.empty()) {
    const std::size_t slash = text.find('/');
    const std::string_view component = text.substr(0, slash);
    if (!component.empty()) components.push_back(component);
    if (slash == std::string_view::npos) break;
    text.remove_prefix(slash + 1);
  }
  return components;
}

std::string_view LastComponent(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::uint64_t ToMiB(std::uint64_t bytes) {
  return bytes >> 20;
}

// --- Checks before the archive is read -------------------------------------------------------

std::expected<std::uint64_t, std::string> CheckArchiveSize(const std::filesystem::path& archive,
                                                           const std::string& archiveText) {
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(ExtendedLengthPath(archive), error);
  if (error || size == 0) return std::unexpected(std::format("can't read {}", archiveText));
  if (size > kMaxArchiveBytes) {
    return std::unexpected(std::format("archive too large ({} MiB): {}", ToMiB(size), archiveText));
  }
  return size;
}

Result CheckFreeSpace(const std::filesystem::path& destination, std::uint64_t archiveSize) {
  std::error_code error;
  const std::filesystem::space_info space =
      std::filesystem::space(ExtendedLengthPath(destination), error);
  if (error) return {};
  const std::uint64_t needed = kFreeSpaceFactor * archiveSize;
  if (space.available < needed) {
    return std::unexpected(std::format("not enough disk space (need {} MiB, have {} MiB)",
                                       ToMiB(needed), ToMiB(space.available)));
  }
  return {};
}

// --- Reading the archive ---------------------------------------------------------------------

// Owns the archive source and libzip's reader over it; the reader is discarded first.
class ZipReader {
 public:
  zip_t* get() const { return zip_.get(); }

  static std::expected<ZipReader, std::string> Open(const std::filesystem::path& archive,
                                                    std::uint64_t size,
                                                    const std::string& archiveText);

 private:
  std::unique_ptr<ReadAheadSource> source_ = std::make_unique<ReadAheadSource>();
  std::unique_ptr<zip_t, ZipDiscarder> zip_;
};

std::expected<ZipReader, std::string> ZipReader::Open(const std::filesystem::path& archive,
                                                      std::uint64_t size,
                                                      const std::string& archiveText) {
  ZipReader reader;
  if (!reader.source_->Open(ExtendedLengthPath(archive), size)) {
    return std::unexpected(std::format("can't open {}", archiveText));
  }
  zip_error_t error;
  zip_error_init(&error);
  ZipSource source(reader.source_->CreateZipSource(&error));
  if (source) reader.zip_.reset(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
  zip_error_fini(&error);
  if (!reader.zip_) return std::unexpected(std::format("not a valid ZIP archive: {}", archiveText));
  source.release();  // the archive owns its source now
  return reader;
}

std::expected<std::uint64_t, std::string> CountEntries(zip_t* zip, const std::string& archiveText) {
  const zip_int64_t count = zip_get_num_entries(zip, 0);
  if (count <= 0) return std::unexpected(std::format("archive is empty: {}", archiveText));
  if (static_cast<std::uint64_t>(count) > kMaxEntries) {
    return std::unexpected(std::format("archive has too many entries ({})", count));
  }
  return static_cast<std::uint64_t>(count);
}

// --- Planning --------------------------------------------------------------------------------

bool IsDirectoryEntry(zip_t* zip, std::uint32_t index, std::string_view name) {
  if (name.ends_with('/')) return true;
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(zip, index, 0, &system, &attributes) != 0) return false;
  return (attributes & kDosDirectoryAttribute) != 0;
}

std::expected<std::vector<PlannedEntry>, std::string> PlanEntries(zip_t* zip, std::uint64_t count) {
  std::vector<PlannedEntry> plan;
  plan.reserve(count);
  std::string normalised;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    const char* name = zip_get_name(zip, index, ZIP_FL_ENC_RAW);
    if (name == nullptr) continue;
    switch (ClassifyZipEntry(name, normalised)) {
      case ZipEntryKind::Skip:
        continue;
      case ZipEntryKind::Unsafe:
        return std::unexpected(std::format("unsafe entry path in archive: {}", name));
      case ZipEntryKind::Extract:
        break;
    }
    if (normalised.size() > kMaxEntryPathBytes) {
      return std::unexpected(std::format("entry path too long ({} chars)", normalised.size()));
    }
    plan.push_back({index, normalised, IsDirectoryEntry(zip, index, name)});
  }
  return plan;
}

void StripTopLevelFolder(std::vector<PlannedEntry>& plan, const std::string& archiveText) {
  if (plan.empty()) return;
  const std::string top = plan.front().name.substr(0, plan.front().name.find('/'));
  const auto isTop = [&](const PlannedEntry& e) { return e.name == top && e.isDirectory; };
  const auto isInsideTop = [&](const PlannedEntry& e) {
    return e.name.size() > top.size() && e.name.starts_with(top) && e.name[top.size()] == '/';
  };
  if (!std::ranges::all_of(plan, [&](const auto& e) { return isTop(e) || isInsideTop(e); })) {
    return;
  }
  std::erase_if(plan, [&](const PlannedEntry& e) { return e.name == top; });
  for (PlannedEntry& entry : plan) entry.name.erase(0, top.size() + 1);
  logging::Info("Extracting {} without its top-level folder \"{}\"", archiveText, top);
}

// --- Limits of the files to be written -------------------------------------------------------

std::expected<EntrySizes, std::string> ReadEntrySizes(zip_t* zip, const PlannedEntry& entry) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE;
  if (zip_stat_index(zip, entry.index, ZIP_FL_ENC_RAW, &stat) != 0 ||
      (stat.valid & kNeeded) != kNeeded) {
    return std::unexpected(std::format("can't read entry {}", entry.name));
  }
  return EntrySizes{stat.comp_size, stat.size};
}

// Applies the per-entry limits and adds the entry to `bytesPlanned`, the running total.
Result CheckEntryLimits(const EntrySizes& sizes, const std::string& name,
                        std::uint64_t& bytesPlanned) {
  if (sizes.uncompressed > kMaxEntryBytes) {
    return std::unexpected(
        std::format("entry too large ({} MiB): {}", ToMiB(sizes.uncompressed), name));
  }
  if (sizes.compressed != 0 && sizes.uncompressed / sizes.compressed > kMaxCompressionRatio) {
    return std::unexpected(std::format("suspicious compression ratio for {}", name));
  }
  bytesPlanned += sizes.uncompressed;
  if (bytesPlanned > kMaxTotalBytes) {
    return std::unexpected(std::format("extracted size exceeds {} MiB", ToMiB(kMaxTotalBytes)));
  }
  return {};
}

bool IsSelected(const PlannedEntry& entry, const std::string& singleFile) {
  return singleFile.empty() || EqualsIgnoringAsciiCase(LastComponent(entry.name), singleFile);
}

// Runs the writing loop's limit checks over the files it would write, in the same order, so an
// archive that breaks a limit is refused before its first file is written.
Result CheckPlannedFiles(zip_t* zip, const std::vector<PlannedEntry>& plan,
                         const std::string& singleFile) {
  std::uint64_t bytesPlanned = 0;
  for (const PlannedEntry& entry : plan) {
    if (entry.isDirectory || !IsSelected(entry, singleFile)) continue;
    const auto sizes = ReadEntrySizes(zip, entry);
    if (!sizes) return std::unexpected(sizes.error());
    if (auto checked = CheckEntryLimits(*sizes, entry.name, bytesPlanned); !checked) {
      return checked;
    }
    if (!singleFile.empty()) break;
  }
  return {};
}

// --- Writing ---------------------------------------------------------------------------------

// Creates `directory` and any missing parents. The directory itself is tried first: while
// extracting, its parent usually exists, so this costs one mkdir and no status queries.
void MakeDirectoryChain(const std::filesystem::path& directory, std::error_code& error) {
  std::filesystem::create_directory(ExtendedLengthPath(directory), error);
  if (error != std::errc::no_such_file_or_directory) return;
  const std::filesystem::path parent = directory.parent_path();
  if (parent.empty() || parent == directory) return;
  error.clear();
  MakeDirectoryChain(parent, error);
  if (!error) std::filesystem::create_directory(ExtendedLengthPath(directory), error);
}

class PlanWriter {
 public:
  PlanWriter(zip_t* zip, const std::filesystem::path& destination, const ZipExtractOptions& options)
      : zip_(zip),
        destination_(destination),
        options_(options),
        buffer_(std::make_unique_for_overwrite<char[]>(kCopyBufferBytes)) {
    knownDirectories_.insert(destination.native());
  }

  std::expected<std::uint64_t, std::string> Write(const std::vector<PlannedEntry>& plan);

 private:
  Result EnsureDirectory(const std::filesystem::path& directory);
  Result WriteFile(const PlannedEntry& entry, const std::filesystem::path& target);
  bool CopyEntryData(std::uint32_t index, std::uint64_t declaredSize, OutputFile& out);

  zip_t* zip_;
  const std::filesystem::path& destination_;
  const ZipExtractOptions& options_;
  std::unique_ptr<char[]> buffer_;
  // Directories this extraction created or found, so each is asked for only once.
  std::unordered_set<std::string> knownDirectories_;
  std::uint64_t bytesPlanned_ = 0;
};

std::expected<std::uint64_t, std::string> PlanWriter::Write(const std::vector<PlannedEntry>& plan) {
  const std::string& singleFile = options_.singleFile;
  std::uint64_t filesWritten = 0;
  for (const PlannedEntry& entry : plan) {
    if (options_.cancelled && options_.cancelled()) return std::unexpected("cancelled");
    if (!singleFile.empty() && (entry.isDirectory || !IsSelected(entry, singleFile))) continue;
    const std::filesystem::path target =
        destination_ / PathFromUtf8(singleFile.empty() ? entry.name : singleFile);
    if (entry.isDirectory) {
      if (auto made = EnsureDirectory(target); !made) return std::unexpected(made.error());
      continue;
    }
    if (auto written = WriteFile(entry, target); !written) {
      return std::unexpected(written.error());
    }
    ++filesWritten;
    if (options_.progress) options_.progress(filesWritten, plan.size());
    if (!singleFile.empty()) break;
  }
  return filesWritten;
}

Result PlanWriter::EnsureDirectory(const std::filesystem::path& directory) {
  if (knownDirectories_.contains(directory.native())) return {};
  std::error_code error;
  MakeDirectoryChain(directory, error);
  if (error) return std::unexpected(CantCreateMessage(directory, error));
  knownDirectories_.insert(directory.native());
  return {};
}

Result PlanWriter::WriteFile(const PlannedEntry& entry, const std::filesystem::path& target) {
  const auto sizes = ReadEntrySizes(zip_, entry);
  if (!sizes) return std::unexpected(sizes.error());
  if (auto checked = CheckEntryLimits(*sizes, entry.name, bytesPlanned_); !checked) {
    return checked;
  }
  if (auto made = EnsureDirectory(target.parent_path()); !made) return made;
  OutputFile out;
  if (!out.Create(ExtendedLengthPath(target))) {
    return std::unexpected(std::format("can't write {}", PathToUtf8(target)));
  }
  const bool copied = CopyEntryData(entry.index, sizes->uncompressed, out);
  const std::optional<std::uint64_t> sizeOnDisk = out.Size();
  if (!out.Close() || !copied) {
    return std::unexpected(std::format("failed to extract {}", entry.name));
  }
  if (sizeOnDisk != sizes->uncompressed) {
    return std::unexpected(std::format("extracted size mismatch for {}", entry.name));
  }
  return {};
}

// Inflates one entry into `out` through the shared buffer. Stops with false as soon as the entry
// yields more than `declaredSize` bytes, so an archive lying about sizes cannot fill the disk.
// Reading on to the end lets the library verify the entry's CRC and length.
bool PlanWriter::CopyEntryData(std::uint32_t index, std::uint64_t declaredSize, OutputFile& out) {
  ZipEntryReader reader(zip_fopen_index(zip_, index, 0));
  if (!reader) return false;
  char* const buffer = buffer_.get();
  std::uint64_t total = 0;
  std::size_t filled = 0;
  for (;;) {
    const std::uint64_t wanted =
        std::min<std::uint64_t>(kCopyBufferBytes - filled, declaredSize - total + 1);
    const zip_int64_t got = zip_fread(reader.get(), buffer + filled, wanted);
    if (got < 0) return false;
    if (got == 0) break;
    total += static_cast<std::uint64_t>(got);
    if (total > declaredSize) return false;
    filled += static_cast<std::size_t>(got);
    if (filled == kCopyBufferBytes) {
      if (!out.Write({buffer, filled})) return false;
      filled = 0;
    }
  }
  return out.Write({buffer, filled});
}

}  // namespace

ZipEntryKind ClassifyZipEntry(std::string_view name, std::string& normalised) {
  normalised.clear();
  if (name.empty()) return ZipEntryKind::Skip;
  std::string text(name);
  std::ranges::replace(text, '\\', '/');
  if (text.front() == '/') return ZipEntryKind::Unsafe;
  if (text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == ':') return ZipEntryKind::Unsafe;
  const std::vector<std::string_view> components = SplitComponents(text);
  if (components.empty()) return ZipEntryKind::Skip;
  if (std::ranges::find(components, "..") != components.end()) return ZipEntryKind::Unsafe;
  if (EqualsIgnoringAsciiCase(components.front(), "meta-inf")) return ZipEntryKind::Skip;
  if (std::ranges::any_of(components, IsJunkComponent)) return ZipEntryKind::Skip;
  for (std::string_view component : components) {
    if (!normalised.empty()) normalised += '/';
    normalised += component;
  }
  return ZipEntryKind::Extract;
}

Result ExtractZip(const std::filesystem::path& archive, const std::filesystem::path& destination,
                  const ZipExtractOptions& options) {
  const std::string archiveText = PathToUtf8(archive);
  const auto archiveSize = CheckArchiveSize(archive, archiveText);
  if (!archiveSize) return std::unexpected(archiveSize.error());
  if (auto made = CreateDirectories(destination); !made) return made;
  if (auto space = CheckFreeSpace(destination, *archiveSize); !space) return space;
  auto zip = ZipReader::Open(archive, *archiveSize, archiveText);
  if (!zip) return std::unexpected(zip.error());
  const auto count = CountEntries(zip->get(), archiveText);
  if (!count) return std::unexpected(count.error());

  auto plan = PlanEntries(zip->get(), *count);
  if (!plan) return std::unexpected(plan.error());
  if (options.stripTopLevelFolder) StripTopLevelFolder(*plan, archiveText);
  if (auto checked = CheckPlannedFiles(zip->get(), *plan, options.singleFile); !checked) {
    return checked;
  }

  PlanWriter writer(zip->get(), destination, options);
  const auto filesWritten = writer.Write(*plan);
  if (!filesWritten) return std::unexpected(filesWritten.error());
  if (!options.singleFile.empty() && *filesWritten == 0) {
    return std::unexpected(std::format("{} not found in {}", options.singleFile, archiveText));
  }
  logging::Info("Extracted {} ({} files) to {}", archiveText, *filesWritten,
                PathToUtf8(destination));
  return {};
}

}  // namespace emberdale::core
