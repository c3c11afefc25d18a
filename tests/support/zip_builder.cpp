#include "tests/support/zip_builder.h"

#include <zlib.h>

#include <fstream>
#include <stdexcept>

namespace emberdale::test {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kVersion = 20;
constexpr std::uint16_t kZip64Version = 45;
constexpr std::uint64_t kMaxClassicEntries = 0xFFFF;
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kDosDate = (1 << 5) | 1;  // 1980-01-01

class LittleEndian {
 public:
  LittleEndian& U16(std::uint64_t v) { return Put(v, 2); }
  LittleEndian& U32(std::uint64_t v) { return Put(v, 4); }
  LittleEndian& U64(std::uint64_t v) { return Put(v, 8); }
  LittleEndian& Bytes(std::string_view text) {
    out_.append(text);
    return *this;
  }
  std::string& text() { return out_; }

 private:
  LittleEndian& Put(std::uint64_t v, int count) {
    for (int i = 0; i < count; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  std::string out_;
};

std::uint32_t Narrow(std::uint64_t value) {
  if (value > 0xFFFFFFFFu) throw std::runtime_error("raw ZIP field too large");
  return static_cast<std::uint32_t>(value);
}

void Header(LittleEndian& out, const RawZipEntry& e) {
  out.U16(kVersion).U16(0).U16(e.method).U16(kDosTime).U16(kDosDate).U32(e.crc);
  out.U32(Narrow(e.compressedSize)).U32(Narrow(e.uncompressedSize)).U16(e.name.size()).U16(0);
}

}  // namespace

std::uint32_t Crc32(std::string_view data, std::uint32_t crc) {
  return static_cast<std::uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

RawZipEntry StoredEntry(std::string name, std::string content) {
  RawZipEntry entry;
  entry.name = std::move(name);
  entry.crc = Crc32(content);
  entry.compressedSize = entry.uncompressedSize = content.size();
  entry.payload = std::move(content);
  return entry;
}

RawZipEntry DeflatedEntry(std::string name, std::string_view content, int blocks) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, content.size()) + 64 * blocks + 64, '\0');
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const std::size_t piece = content.size() / blocks + 1;
  for (std::size_t offset = 0; offset < content.size() || offset == 0; offset += piece) {
    const std::string_view part = content.substr(offset, piece);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
    stream.avail_in = static_cast<uInt>(part.size());
    const bool last = offset + piece >= content.size();
    if (deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH) == Z_STREAM_ERROR) {
      throw std::runtime_error("deflate failed");
    }
    if (last) break;
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  RawZipEntry entry;
  entry.name = std::move(name);
  entry.method = 8;
  entry.crc = Crc32(content);
  entry.compressedSize = out.size();
  entry.uncompressedSize = content.size();
  entry.payload = std::move(out);
  return entry;
}

RawZipEntry DirectoryEntry(std::string name) {
  RawZipEntry entry;
  entry.name = std::move(name);
  entry.externalAttributes = 0x10;
  return entry;
}

void WriteRawZip(const std::filesystem::path& path, const std::vector<RawZipEntry>& entries,
                 std::uint64_t leadingBytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::uint64_t offset = leadingBytes;
  LittleEndian central;
  for (const RawZipEntry& e : entries) {
    LittleEndian local;
    local.U32(kLocalHeaderSignature);
    Header(local, e);
    local.Bytes(e.name).Bytes(e.payload);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(local.text().data(), static_cast<std::streamsize>(local.text().size()));
    central.U32(kCentralHeaderSignature).U16(kVersion);
    Header(central, e);
    central.U16(0).U16(0).U16(0).U32(e.externalAttributes).U32(Narrow(offset)).Bytes(e.name);
    offset += local.text().size() - e.payload.size() +
              std::max<std::uint64_t>(e.payload.size(), e.compressedSize);
  }
  const std::uint64_t centralOffset = offset;
  const std::uint64_t centralSize = central.text().size();
  const std::uint64_t count = entries.size();
  LittleEndian end;
  if (count > kMaxClassicEntries) {
    end.U32(kZip64EndSignature).U64(44).U16(kZip64Version).U16(kZip64Version).U32(0).U32(0);
    end.U64(count).U64(count).U64(centralSize).U64(centralOffset);
    end.U32(kZip64LocatorSignature).U32(0).U64(centralOffset + centralSize).U32(1);
  }
  const std::uint64_t classicCount = std::min(count, kMaxClassicEntries);
  end.U32(kEndSignature).U16(0).U16(0).U16(classicCount).U16(classicCount);
  end.U32(Narrow(centralSize)).U32(Narrow(centralOffset)).U16(0);
  file.seekp(static_cast<std::streamoff>(centralOffset));
  file.write(central.text().data(), static_cast<std::streamsize>(centralSize));
  file.write(end.text().data(), static_cast<std::streamsize>(end.text().size()));
  if (!file.flush()) throw std::runtime_error("can't write " + path.string());
}

}  // namespace emberdale::test
