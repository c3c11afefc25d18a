#include "tests/support/zip_builder.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>

namespace emberdale::test {
namespace {

void Put(std::string& out, std::initializer_list<std::pair<std::uint64_t, int>> fields) {
  for (const auto& [value, bytes] : fields) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  }
}

void Header(std::string& out, const RawZipEntry& e) {
  Put(out, {{20, 2}, {0, 2}, {e.method, 2}, {0, 2}, {0x21, 2}, {e.crc, 4}});
  Put(out, {{e.compressedSize, 4}, {e.uncompressedSize, 4}, {e.name.size(), 2}, {0, 2}});
}

std::uint32_t Crc32(std::string_view data) {
  return crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
}

}  // namespace

RawZipEntry StoredEntry(std::string name, std::string content) {
  const std::uint64_t size = content.size();
  return {std::move(name), content, 0, Crc32(content), size, size};
}

RawZipEntry DeflatedEntry(std::string name, std::string_view content) {
  uLongf size = compressBound(content.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(content.data()), content.size(), 9);
  out = out.substr(2, size - 6);  // the raw deflate stream inside zlib's header and checksum
  const std::uint64_t packed = out.size();
  return {std::move(name), std::move(out), 8, Crc32(content), packed, content.size()};
}

void WriteRawZip(const std::filesystem::path& path, const std::vector<RawZipEntry>& entries) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::uint64_t offset = 0;
  std::string central;
  for (const RawZipEntry& e : entries) {
    std::string local;
    Put(local, {{0x04034b50, 4}}), Header(local, e), local += e.name;
    file.seekp(static_cast<std::streamoff>(offset));
    file << local << e.payload;
    Put(central, {{0x02014b50, 4}, {20, 2}}), Header(central, e);
    Put(central, {{0, 6}, {e.externalAttributes, 4}, {offset, 4}}), central += e.name;
    offset += local.size() + std::max<std::uint64_t>(e.payload.size(), e.compressedSize);
  }
  std::string end;
  Put(end, {{0x06054b50, 4}, {0, 4}, {entries.size(), 2}, {entries.size(), 2}});
  Put(end, {{central.size(), 4}, {offset, 4}, {0, 2}});
  file.seekp(static_cast<std::streamoff>(offset));
  file << central << end;
}

}  // namespace emberdale::test
