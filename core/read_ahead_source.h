// The archive file as libzip reads it: a seekable, read-only libzip source over an InputFile.
// Reads go through one 256 KiB read-ahead buffer, so the many small reads of headers and
// compressed data do not cost a system call each; reads of 64 KiB and more go straight to the
// file.
//
// Contract: Open once, then CreateZipSource once. The object must outlive the archive opened over
// the source: libzip calls back into it until the archive is discarded or closed, and freeing the
// source leaves the object alone. Used by one thread at a time (the one using the archive). A
// failed read reaches libzip as ZIP_ER_READ with the system's error number.
#pragma once

#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <memory>

#include "core/input_file.h"

namespace emberdale::core {

class ReadAheadSource {
 public:
  ReadAheadSource();
  ~ReadAheadSource();
  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  // Opens `path`, whose size the caller has found to be `size` bytes: reads stop there. False
  // when the file can't be opened.
  [[nodiscard]] bool Open(const std::filesystem::path& path, std::uint64_t size);

  // A new libzip source reading this object, or null with `error` set. The caller owns it until
  // an archive opened over it takes it over.
  [[nodiscard]] zip_source_t* CreateZipSource(zip_error_t* error);

 private:
  // Reads up to `count` bytes at the absolute `offset`; fewer only at the end of the archive.
  // Returns the number of bytes read, or -1 on a read error.
  std::int64_t ReadAt(std::uint64_t offset, char* buffer, std::uint64_t count);
  // libzip's entry point: answers one command of the source protocol for the object at `context`.
  static zip_int64_t Callback(void* context, void* data, zip_uint64_t length,
                              zip_source_cmd_t command);

  InputFile file_;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::unique_ptr<char[]> ahead_;  // aheadCapacity_ bytes: the archive's size, up to a limit
  std::size_t aheadCapacity_ = 0;
  std::uint64_t aheadStart_ = 0;
  std::size_t aheadLength_ = 0;
  zip_error_t error_;
};

}  // namespace emberdale::core
