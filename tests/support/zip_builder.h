// Writes ZIP archives byte by byte, so tests can make archives that lie: declared sizes or CRCs
// that do not match the data, names no archiver would write, more entries than the classic end
// record holds (ZIP64 then), and declared data or leading gaps left as holes of a sparse file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace emberdale::test {

struct RawZipEntry {
  std::string name;
  std::string payload;       // the bytes after the local header
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;  // the data takes max(this, payload size) bytes
  std::uint64_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0;  // 0x10: a DOS directory
};

RawZipEntry StoredEntry(std::string name, std::string content);
RawZipEntry DeflatedEntry(std::string name, std::string_view content);

// Writes the archive after `leadingBytes` left as a hole, as in a self-extracting archive.
void WriteRawZip(const std::filesystem::path& path, const std::vector<RawZipEntry>& entries,
                 std::uint64_t leadingBytes = 0);

}  // namespace emberdale::test
