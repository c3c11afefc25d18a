#include "core/zip_extract.h"

#include <zip.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
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
// Inflated data travels from the reading thread to the writing one in this many batches of this
// size; a batch also ends after this many pieces (many small files, or empty ones).
constexpr std::size_t kBatchCount = 4;
constexpr std::uint32_t kBatchBytes = 128 * 1024;
constexpr std::size_t kMaxPiecesPerBatch = 1024;

struct PlannedEntry {
  std::uint32_t index = 0;
  bool isDirectory = false;
  std::string_view name;  // in its plan's `names`
};

// The folders and files to make, in archive order. Their names share one buffer: an archive may
// hold 100,000 entries, and a string of its own for each would take as much again as the
// archive's directory. The buffer is a vector, so moving a plan leaves the names where they are.
struct Plan {
  std::vector<char> names;
  std::vector<PlannedEntry> entries;
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

// The room the plan's names can take: a normalised name is never longer than the stored one, and
// one longer than kMaxEntryPathBytes is refused. Reserved at once, the buffer is spared the copies
// of growing, which for 100,000 names briefly hold it twice over.
std::size_t StoredNameBytes(zip_t* zip, std::uint64_t count) {
  std::size_t bytes = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(zip, static_cast<std::uint32_t>(i), ZIP_FL_ENC_RAW);
    if (name != nullptr) bytes += std::min(std::strlen(name), kMaxEntryPathBytes);
  }
  return bytes;
}

std::expected<Plan, std::string> PlanEntries(zip_t* zip, std::uint64_t count) {
  Plan plan;
  plan.entries.reserve(count);
  plan.names.reserve(StoredNameBytes(zip, count));
  std::vector<std::uint32_t> nameEnds;
  nameEnds.reserve(count);
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
    plan.entries.push_back({index, IsDirectoryEntry(zip, index, name), {}});
    plan.names.insert(plan.names.end(), normalised.begin(), normalised.end());
    nameEnds.push_back(static_cast<std::uint32_t>(plan.names.size()));
  }
  // The views are made last: should a name have been longer after all, the buffer moved.
  std::uint32_t start = 0;
  for (std::size_t i = 0; i < plan.entries.size(); ++i) {
    plan.entries[i].name = {plan.names.data() + start, nameEnds[i] - start};
    start = nameEnds[i];
  }
  return plan;
}

void StripTopLevelFolder(std::vector<PlannedEntry>& plan, const std::string& archiveText) {
  if (plan.empty()) return;
  const std::string_view top = plan.front().name.substr(0, plan.front().name.find('/'));
  const auto isTop = [&](const PlannedEntry& e) { return e.name == top && e.isDirectory; };
  const auto isInsideTop = [&](const PlannedEntry& e) {
    return e.name.size() > top.size() && e.name.starts_with(top) && e.name[top.size()] == '/';
  };
  if (!std::ranges::all_of(plan, [&](const auto& e) { return isTop(e) || isInsideTop(e); })) {
    return;
  }
  std::erase_if(plan, [&](const PlannedEntry& e) { return e.name == top; });
  for (PlannedEntry& entry : plan) entry.name.remove_prefix(top.size() + 1);
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
Result CheckEntryLimits(const EntrySizes& sizes, std::string_view name,
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
//
// Two threads share the writing. A reading thread inflates the files to be written, in plan
// order, into a few fixed batches; the calling thread makes the folders and files, in plan order
// too, and writes the batches' data into them. So the calling thread meets the entries just as a
// single thread would (it asks `cancelled` and reports progress), and memory stays at the batches
// whatever the archive holds.

// How the reading of a file entry ended, told with its last piece.
enum class ReadOutcome : std::uint8_t {
  Complete,  // all of its data, as much as it declared
  Refused,   // before any data: its statistics can't be read or it breaks a limit
  Failed,    // reading, inflating or the CRC check failed, or it yielded more than it declared
  Short,     // it ended before its declared size
};

// Part or all of one file entry's inflated data, in a batch's buffer.
struct Piece {
  std::size_t at = 0;  // the entry's position in the plan
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  bool last = false;  // the entry's data ends here, and `outcome` tells how
  ReadOutcome outcome = ReadOutcome::Complete;
};

struct Batch {
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kBatchBytes);
  std::uint32_t used = 0;
  std::vector<Piece> pieces;
  std::string refusal;  // the message of a piece with the outcome Refused
};
using BatchPtr = std::unique_ptr<Batch>;

// The batches on their way between the two threads: filled ones to the writer, emptied ones back.
// The reader closes it after its last batch, the writer when it stops early; once it is closed the
// reader gets no more batches and the writer only the filled ones still waiting.
class BatchChannel {
 public:
  // Null once the channel is closed. Batches are made as the reader needs them, up to
  // kBatchCount, so that a small archive does not reserve the memory of a large one.
  BatchPtr TakeEmptied() {
    {
      const std::scoped_lock lock(mutex_);
      if (closed_) return nullptr;
      if (emptied_.empty() && made_ < kBatchCount) {
        ++made_;
        return std::make_unique<Batch>();
      }
    }
    return Take(emptied_, false);
  }
  // Null once the channel is closed and no filled batch is left.
  BatchPtr TakeFilled() { return Take(filled_, true); }
  void PutFilled(BatchPtr batch) { Put(filled_, std::move(batch)); }
  void PutEmptied(BatchPtr batch) {
    batch->used = 0;
    batch->pieces.clear();
    Put(emptied_, std::move(batch));
  }
  void Close() {
    {
      const std::scoped_lock lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  BatchPtr Take(std::deque<BatchPtr>& from, bool evenWhenClosed) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !from.empty(); });
    if (from.empty() || (closed_ && !evenWhenClosed)) return nullptr;
    BatchPtr batch = std::move(from.front());
    from.pop_front();
    return batch;
  }
  void Put(std::deque<BatchPtr>& to, BatchPtr batch) {
    {
      const std::scoped_lock lock(mutex_);
      to.push_back(std::move(batch));
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<BatchPtr> emptied_;
  std::deque<BatchPtr> filled_;
  std::size_t made_ = 0;
  bool closed_ = false;
};

// The reading thread's work: inflates each file entry to be written, in plan order, applying the
// limits again on the way. It stops after the first entry that does not read completely, since the
// writer stops there too.
class EntryReader {
 public:
  EntryReader(zip_t* zip, const std::vector<PlannedEntry>& plan, const std::string& singleFile,
              BatchChannel& channel)
      : zip_(zip), plan_(plan), singleFile_(singleFile), channel_(channel) {}

  // Reads until the plan is done, an entry fails or the channel is closed; then closes it.
  void Run();

 private:
  bool Read(std::size_t at);
  bool Begin(std::size_t at);
  bool End(ReadOutcome outcome, std::string refusal = {});
  bool Ship();

  zip_t* zip_;
  const std::vector<PlannedEntry>& plan_;
  const std::string& singleFile_;
  BatchChannel& channel_;
  BatchPtr batch_;
  std::uint64_t bytesPlanned_ = 0;
};

void EntryReader::Run() {
  batch_ = channel_.TakeEmptied();
  for (std::size_t at = 0; batch_ && at < plan_.size(); ++at) {
    const PlannedEntry& entry = plan_[at];
    if (entry.isDirectory || !IsSelected(entry, singleFile_)) continue;
    if (!Read(at) || !singleFile_.empty()) break;
  }
  if (batch_ && !batch_->pieces.empty()) channel_.PutFilled(std::move(batch_));
  channel_.Close();
}

// Inflates one entry into pieces. Stops it as Failed as soon as it yields more than it declared,
// so an archive lying about sizes cannot fill the disk; reading on to the end lets the library
// verify the entry's CRC and length. True when the entry read completely.
bool EntryReader::Read(std::size_t at) {
  const PlannedEntry& entry = plan_[at];
  if (!Begin(at)) return false;
  const auto sizes = ReadEntrySizes(zip_, entry);
  if (!sizes) return End(ReadOutcome::Refused, sizes.error());
  if (auto checked = CheckEntryLimits(*sizes, entry.name, bytesPlanned_); !checked) {
    return End(ReadOutcome::Refused, std::move(checked.error()));
  }
  ZipEntryReader reader(zip_fopen_index(zip_, entry.index, 0));
  if (!reader) return End(ReadOutcome::Failed);
  std::uint64_t total = 0;
  for (;;) {
    if (batch_->used == kBatchBytes && !Begin(at)) return false;
    const std::uint64_t wanted =
        std::min<std::uint64_t>(kBatchBytes - batch_->used, sizes->uncompressed - total + 1);
    const zip_int64_t got = zip_fread(reader.get(), batch_->buffer.get() + batch_->used, wanted);
    if (got < 0) return End(ReadOutcome::Failed);
    if (got == 0) break;
    total += static_cast<std::uint64_t>(got);
    if (total > sizes->uncompressed) return End(ReadOutcome::Failed);
    batch_->pieces.back().length += static_cast<std::uint32_t>(got);
    batch_->used += static_cast<std::uint32_t>(got);
  }
  return End(total == sizes->uncompressed ? ReadOutcome::Complete : ReadOutcome::Short);
}

// Starts a piece of the entry at `at`, in a new batch when this one is full. False when the
// writer has stopped.
bool EntryReader::Begin(std::size_t at) {
  if ((batch_->used == kBatchBytes || batch_->pieces.size() == kMaxPiecesPerBatch) && !Ship()) {
    return false;
  }
  batch_->pieces.push_back({at, batch_->used});
  return true;
}

// Ends the entry's last piece with `outcome`. The data of a failed piece is dropped: what the
// entry yielded before its failure was detected reaches its file only in earlier, full batches.
bool EntryReader::End(ReadOutcome outcome, std::string refusal) {
  Piece& piece = batch_->pieces.back();
  piece.last = true;
  piece.outcome = outcome;
  if (outcome == ReadOutcome::Failed) batch_->used -= std::exchange(piece.length, 0);
  batch_->refusal = std::move(refusal);
  return outcome == ReadOutcome::Complete;
}

bool EntryReader::Ship() {
  channel_.PutFilled(std::move(batch_));
  batch_ = channel_.TakeEmptied();
  return batch_ != nullptr;
}

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

// The calling thread's work: makes the folders and files of the plan, in order, and writes the
// data the reader passes on into them.
class PlanWriter {
 public:
  PlanWriter(const std::filesystem::path& destination, const ZipExtractOptions& options,
             BatchChannel& channel)
      : destination_(destination), options_(options), channel_(channel) {
    knownDirectories_.insert(destination.native());
  }

  std::expected<std::uint64_t, std::string> Write(const std::vector<PlannedEntry>& plan);

 private:
  Result EnsureDirectory(const std::filesystem::path& directory);
  Result WriteFile(std::size_t at, const PlannedEntry& entry, const std::filesystem::path& target);
  const Piece* NextPiece();

  const std::filesystem::path& destination_;
  const ZipExtractOptions& options_;
  BatchChannel& channel_;
  BatchPtr batch_;
  std::size_t nextPiece_ = 0;
  // Directories this extraction created or found, so each is asked for only once.
  std::unordered_set<std::string> knownDirectories_;
};

std::expected<std::uint64_t, std::string> PlanWriter::Write(const std::vector<PlannedEntry>& plan) {
  const std::string& singleFile = options_.singleFile;
  std::uint64_t filesWritten = 0;
  for (std::size_t at = 0; at < plan.size(); ++at) {
    const PlannedEntry& entry = plan[at];
    if (options_.cancelled && options_.cancelled()) return std::unexpected("cancelled");
    if (!singleFile.empty() && (entry.isDirectory || !IsSelected(entry, singleFile))) continue;
    const std::filesystem::path target =
        destination_ / PathFromUtf8(singleFile.empty() ? entry.name : singleFile);
    if (entry.isDirectory) {
      if (auto made = EnsureDirectory(target); !made) return std::unexpected(made.error());
      continue;
    }
    if (auto written = WriteFile(at, entry, target); !written) {
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

// Writes the pieces of the entry at `at` as `target`. The file's size is what the reader counted:
// this thread alone writes the file, through one descriptor, after truncating it.
Result PlanWriter::WriteFile(std::size_t at, const PlannedEntry& entry,
                             const std::filesystem::path& target) {
  const Piece* piece = NextPiece();
  if (piece != nullptr && piece->at == at && piece->outcome == ReadOutcome::Refused) {
    return std::unexpected(batch_->refusal);
  }
  if (auto made = EnsureDirectory(target.parent_path()); !made) return made;
  OutputFile out;
  if (!out.Create(ExtendedLengthPath(target))) {
    return std::unexpected(std::format("can't write {}", PathToUtf8(target)));
  }
  bool copied = true;
  ReadOutcome outcome = ReadOutcome::Failed;  // unless the entry's last piece arrives
  while (piece != nullptr && piece->at == at) {
    copied = copied && out.Write({batch_->buffer.get() + piece->offset, piece->length});
    if (piece->last) {
      outcome = piece->outcome;
      break;
    }
    piece = NextPiece();
  }
  if (!out.Close() || !copied || outcome == ReadOutcome::Failed) {
    return std::unexpected(std::format("failed to extract {}", entry.name));
  }
  if (outcome == ReadOutcome::Short) {
    return std::unexpected(std::format("extracted size mismatch for {}", entry.name));
  }
  return {};
}

// The reader's next piece, or null when none will come.
const Piece* PlanWriter::NextPiece() {
  while (!batch_ || nextPiece_ == batch_->pieces.size()) {
    if (batch_) channel_.PutEmptied(std::move(batch_));
    batch_ = channel_.TakeFilled();
    nextPiece_ = 0;
    if (!batch_) return nullptr;
  }
  return &batch_->pieces[nextPiece_++];
}

// Writes the plan with the reader on a thread of its own, which has the archive to itself until
// it ends. Returns the number of files written.
std::expected<std::uint64_t, std::string> WritePlan(zip_t* zip,
                                                    const std::vector<PlannedEntry>& plan,
                                                    const std::filesystem::path& destination,
                                                    const ZipExtractOptions& options) {
  BatchChannel channel;
  std::thread reading;
  try {
    reading = std::thread([&] { EntryReader(zip, plan, options.singleFile, channel).Run(); });
  } catch (const std::system_error& error) {
    return std::unexpected(std::format("can't start the extraction thread: {}", error.what()));
  }
  const struct Joiner {
    BatchChannel& channel;
    std::thread& thread;
    ~Joiner() {
      channel.Close();  // wakes a reader waiting for a batch the writer no longer returns
      thread.join();
    }
  } joiner{channel, reading};
  return PlanWriter(destination, options, channel).Write(plan);
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
  if (options.stripTopLevelFolder) StripTopLevelFolder(plan->entries, archiveText);
  if (auto checked = CheckPlannedFiles(zip->get(), plan->entries, options.singleFile); !checked) {
    return checked;
  }

  const auto filesWritten = WritePlan(zip->get(), plan->entries, destination, options);
  if (!filesWritten) return std::unexpected(filesWritten.error());
  if (!options.singleFile.empty() && *filesWritten == 0) {
    return std::unexpected(std::format("{} not found in {}", options.singleFile, archiveText));
  }
  logging::Info("Extracted {} ({} files) to {}", archiveText, *filesWritten,
                PathToUtf8(destination));
  return {};
}

}  // namespace emberdale::core
