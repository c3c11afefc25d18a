#include "tests/support/zip_builder.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace emberdale::test {
namespace {

constexpr std::uint64_t kMaxClassicEntries = 0xFFFF;

// Appends `value` as `count` little-endian bytes.
void Put(std::string& out, std::uint64_t value, int count) {
  for (int i = 0; i < count; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The fields both headers share, from the version needed to the name length and extra length.
void Header(std::string& out, const RawZipEntry& e) {
  Put(out, 20, 2), Put(out, 0, 2), Put(out, e.method, 2), Put(out, 0, 2), Put(out, 0x21, 2);
  Put(out, e.crc, 4), Put(out, e.compressedSize, 4), Put(out, e.uncompressedSize, 4);
  Put(out, e.name.size(), 2), Put(out, 0, 2);
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
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, content.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  const std::uint64_t packed = out.size();
  return {std::move(name), std::move(out), 8, Crc32(content), packed, content.size()};
}

void WriteRawZip(const std::filesystem::path& path, const std::vector<RawZipEntry>& entries,
                 std::uint64_t leadingBytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::uint64_t offset = leadingBytes;
  std::string central;
  for (const RawZipEntry& e : entries) {
    std::string local;
    Put(local, 0x04034b50, 4), Header(local, e), local += e.name;
    file.seekp(static_cast<std::streamoff>(offset));
    file << local << e.payload;
    Put(central, 0x02014b50, 4), Put(central, 20, 2), Header(central, e);
    Put(central, 0, 6), Put(central, e.externalAttributes, 4), Put(central, offset, 4);
    central += e.name;
    offset += local.size() + std::max<std::uint64_t>(e.payload.size(), e.compressedSize);
  }
  const std::uint64_t count = entries.size();
  std::string end;
  if (count > kMaxClassicEntries) {  // ZIP64 end record and its locator
    Put(end, 0x06064b50, 4), Put(end, 44, 8), Put(end, 45, 2), Put(end, 45, 2), Put(end, 0, 8);
    Put(end, count, 8), Put(end, count, 8), Put(end, central.size(), 8), Put(end, offset, 8);
    Put(end, 0x07064b50, 4), Put(end, 0, 4), Put(end, offset + central.size(), 8), Put(end, 1, 4);
  }
  const std::uint64_t classic = std::min(count, kMaxClassicEntries);
  Put(end, 0x06054b50, 4), Put(end, 0, 4), Put(end, classic, 2), Put(end, classic, 2);
  Put(end, central.size(), 4), Put(end, offset, 4), Put(end, 0, 2);
  file.seekp(static_cast<std::streamoff>(offset));
  if (!(file << central << end).flush()) throw std::runtime_error("can't write " + path.string());
}

}  // namespace emberdale::test
