#include "core/read_ahead_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace emberdale::core {
namespace {

// The archive is read ahead in blocks of this size; reads at least kDirectReadBytes long bypass
// the read-ahead buffer.
constexpr std::size_t kReadAheadBytes = 256 * 1024;
constexpr std::size_t kDirectReadBytes = 64 * 1024;

}  // namespace

ReadAheadSource::ReadAheadSource() {
  zip_error_init(&error_);
}

ReadAheadSource::~ReadAheadSource() {
  zip_error_fini(&error_);
}

bool ReadAheadSource::Open(const std::filesystem::path& path, std::uint64_t size) {
  size_ = size;
  aheadCapacity_ = static_cast<std::size_t>(std::min<std::uint64_t>(size, kReadAheadBytes));
  ahead_ = std::make_unique_for_overwrite<char[]>(aheadCapacity_);
  return file_.Open(path);
}

zip_source_t* ReadAheadSource::CreateZipSource(zip_error_t* error) {
  return zip_source_function_create(&ReadAheadSource::Callback, this, error);
}

std::int64_t ReadAheadSource::ReadAt(std::uint64_t offset, char* buffer, std::uint64_t count) {
  std::uint64_t done = 0;
  while (done < count && offset + done < size_) {
    const std::uint64_t at = offset + done;
    const std::uint64_t wanted = count - done;
    if (at >= aheadStart_ && at < aheadStart_ + aheadLength_) {
      const std::uint64_t skip = at - aheadStart_;
      const std::uint64_t take = std::min<std::uint64_t>(wanted, aheadLength_ - skip);
      std::memcpy(buffer + done, ahead_.get() + skip, take);
      done += take;
    } else if (wanted >= kDirectReadBytes) {  // large reads go straight to the caller
      const std::int64_t got = file_.ReadAt(at, buffer + done, wanted);
      if (got <= 0) return got < 0 ? -1 : static_cast<std::int64_t>(done);
      done += static_cast<std::uint64_t>(got);
    } else {
      const std::int64_t got = file_.ReadAt(at, ahead_.get(), aheadCapacity_);
      if (got <= 0) return got < 0 ? -1 : static_cast<std::int64_t>(done);
      aheadStart_ = at;
      aheadLength_ = static_cast<std::size_t>(got);
    }
  }
  return static_cast<std::int64_t>(done);
}

zip_int64_t ReadAheadSource::Callback(void* context, void* data, zip_uint64_t length,
                                      zip_source_cmd_t command) {
  ReadAheadSource& source = *static_cast<ReadAheadSource*>(context);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      source.position_ = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::int64_t got = source.ReadAt(source.position_, static_cast<char*>(data), length);
      if (got < 0) {
        zip_error_set(&source.error_, ZIP_ER_READ, errno);
        return -1;
      }
      source.position_ += static_cast<std::uint64_t>(got);
      return got;
    }
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t to = zip_source_seek_compute_offset(source.position_, source.size_, data,
                                                            length, &source.error_);
      if (to < 0) return -1;
      source.position_ = static_cast<std::uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(source.position_);
    case ZIP_SOURCE_STAT: {
      if (length < sizeof(zip_stat_t)) {
        zip_error_set(&source.error_, ZIP_ER_INVAL, 0);
        return -1;
      }
      zip_stat_t* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->size = source.size_;
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source.error_, data, length);
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                            ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS,
                                            ZIP_SOURCE_ACCEPT_EMPTY, -1);
    case ZIP_SOURCE_ACCEPT_EMPTY:  // an empty file is no archive
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:  // the object belongs to whoever created the source
      return 0;
    default:
      zip_error_set(&source.error_, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace emberdale::core
