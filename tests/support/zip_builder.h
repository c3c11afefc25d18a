// Writes ZIP archives byte by byte, so tests can make archives that lie: declared sizes or CRCs
// that do not match the data, names no archiver would write, and declared data left as a hole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace emberdale::test {

struct RawZipEntry {
  std::string name, payload;  // the payload is stored right after the local header
  std::uint16_t method = 0;   // 0 stored, 8 deflated
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0, uncompressedSize = 0;  // data: max(payload, compressedSize)
  std::uint32_t externalAttributes = 0;                    // 0x10: a DOS directory
};

RawZipEntry StoredEntry(std::string name, std::string content);
RawZipEntry DeflatedEntry(std::string name, std::string_view content);
void WriteRawZip(const std::filesystem::path& path, const std::vector<RawZipEntry>& entries);

}  // namespace emberdale::test
