// Writes ZIP archives byte by byte, so tests can make archives that lie: declared sizes or CRCs
// that do not match the stored data, names no archiver would write, more entries than fit in the
// classic end record (a ZIP64 end record is written then), and declared payloads or leading gaps
// that stay holes in a sparse file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace emberdale::test {

// One entry as both its headers describe it.
struct RawZipEntry {
  std::string name;
  std::string payload;       // the bytes stored after the local header
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint32_t crc = 0;
  // Declared sizes; the data takes max(payload size, compressedSize) bytes, a hole past the
  // payload.
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0;  // 0x10 marks a directory for DOS
};

// Honest entries.
RawZipEntry StoredEntry(std::string name, std::string content);
RawZipEntry DeflatedEntry(std::string name, std::string_view content);

// Writes the archive after `leadingBytes` zero bytes left as a hole (the offsets account for them,
// as in a self-extracting archive).
void WriteRawZip(const std::filesystem::path& path, const std::vector<RawZipEntry>& entries,
                 std::uint64_t leadingBytes = 0);

}  // namespace emberdale::test
