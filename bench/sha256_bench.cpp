// Throughput of FileSha256 on a large file of random data, next to `openssl dgst -sha256` and
// `sha256sum` on the same file, plus the in-memory speed of the two block functions.
//
//   sha256_bench [size in MiB, default 1024] [runs, default 3]
//
// The file is written to a fresh folder in the temporary directory (TMPDIR or /tmp) and removed
// at the end. The page cache is warmed first; every figure is the best of the runs, and the
// methods take turns within each run so that background load hits them alike.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <format>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "core/sha256_compress.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::Sha256;

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kInMemoryBytes = 64 * kMiB;

struct Method {
  std::string name;
  std::function<std::string()> digest;  // empty text on failure
  double bestSeconds = 1e300;
  double bestCpuSeconds = 1e300;
  std::string lastDigest = {};
};

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "sha256_bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

bool WriteRandomFile(const fs::path& file, std::size_t bytes) {
  std::ofstream out(file, std::ios::binary);
  std::mt19937_64 random(2024);
  std::vector<std::uint64_t> chunk(kMiB / sizeof(std::uint64_t));
  for (std::size_t written = 0; written < bytes && out; written += kMiB) {
    for (std::uint64_t& word : chunk) word = random();
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(std::min(kMiB, bytes - written)));
  }
  return static_cast<bool>(out.flush());
}

// The first word of a command's standard output (the digest for sha256sum; for openssl, which
// prints "SHA2-256(file)= digest", the last word).
std::string RunDigestCommand(const std::string& command, bool lastWord) {
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return {};
  std::string output;
  char buffer[512];
  while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
    output.append(buffer, got);
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  if (lastWord) return output.substr(output.rfind(' ') + 1);
  return output.substr(0, output.find(' '));
}

// The same loop as FileSha256, reading through an ifstream instead of read(2).
std::string IfstreamSha256(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  const auto buffer = std::make_unique<char[]>(kMiB);
  Sha256 hasher;
  while (in) {
    in.read(buffer.get(), static_cast<std::streamsize>(kMiB));
    hasher.Update(std::string_view(buffer.get(), static_cast<std::size_t>(in.gcount())));
    if (in.bad()) return {};
  }
  return hasher.FinishHex();
}

// CPU time (user and system) of this process plus that of its waited-for children.
double CpuSeconds() {
  timespec own{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &own);
  rusage children{};
  ::getrusage(RUSAGE_CHILDREN, &children);
  const auto toSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return own.tv_sec + own.tv_nsec / 1e9 + toSeconds(children.ru_utime) +
         toSeconds(children.ru_stime);
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ReportInMemory() {
  std::vector<std::uint8_t> data(kInMemoryBytes);
  std::mt19937_64 random(1);
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(random());
  const std::size_t blocks = data.size() / emberdale::core::kSha256BlockSize;
  emberdale::core::Sha256State state{};
  const double portableStart = CpuSeconds();
  emberdale::core::CompressSha256BlocksPortable(state, data.data(), blocks);
  const double chosenStart = CpuSeconds();
  emberdale::core::CompressSha256Blocks(state, data.data(), blocks);
  const double portable = chosenStart - portableStart;
  const double dispatched = CpuSeconds() - chosenStart;
  std::printf(
      "in memory, %zu MiB, CPU time: portable block function %.0f MiB/s, chosen (%s) %.0f MiB/s\n",
      kInMemoryBytes / kMiB, kInMemoryBytes / kMiB / portable,
      emberdale::core::Sha256AccelerationAvailable() ? "SHA extensions" : "portable",
      kInMemoryBytes / kMiB / dispatched);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t sizeMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  if (sizeMiB == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: %s [size in MiB] [runs]\n", argv[0]);
    return 2;
  }

  ReportInMemory();

  TempFolder folder;
  if (folder.path().empty()) {
    std::fprintf(stderr, "can't create a folder in %s\n", fs::temp_directory_path().c_str());
    return 1;
  }
  const fs::path file = folder.path() / "random.bin";
  if (!WriteRandomFile(file, sizeMiB * kMiB)) {
    std::fprintf(stderr, "can't write %s\n", file.c_str());
    return 1;
  }
  std::printf("file: %s, %zu MiB, best of %d runs, page cache warm\n", file.c_str(), sizeMiB, runs);

  const std::string quoted = "'" + file.string() + "'";
  std::vector<Method> methods = {
      {"FileSha256 (read(2))", [&] { return emberdale::core::FileSha256(file, {}).value_or(""); }},
      {"same loop over ifstream", [&] { return IfstreamSha256(file); }},
      {"openssl dgst -sha256",
       [&] { return RunDigestCommand("openssl dgst -sha256 " + quoted, true); }},
      {"sha256sum", [&] { return RunDigestCommand("sha256sum " + quoted, false); }},
  };

  // Warm the page cache (and check that everything agrees) before timing.
  RunDigestCommand("cat " + quoted + " > /dev/null; echo x", false);
  for (int run = 0; run < runs; ++run) {
    for (Method& method : methods) {
      const double cpuBefore = CpuSeconds();
      const double seconds = Seconds([&] { method.lastDigest = method.digest(); });
      method.bestCpuSeconds = std::min(method.bestCpuSeconds, CpuSeconds() - cpuBefore);
      method.bestSeconds = std::min(method.bestSeconds, seconds);
    }
  }

  // Wall time suffers when other programs load the machine; CPU time much less so.
  const double reference = methods[0].bestSeconds;
  const double cpuReference = methods[0].bestCpuSeconds;
  std::printf("%-26s %20s %20s  %s\n", "", "wall clock", "CPU time", "FileSha256 time / its time");
  bool agree = true;
  for (const Method& method : methods) {
    const double size = static_cast<double>(sizeMiB);
    std::printf("%-26s %7.0f MiB/s %6.3f s %7.0f MiB/s %6.3f s  wall %.2fx, CPU %.2fx  %s\n",
                method.name.c_str(), size / method.bestSeconds, method.bestSeconds,
                size / method.bestCpuSeconds, method.bestCpuSeconds, reference / method.bestSeconds,
                cpuReference / method.bestCpuSeconds, method.lastDigest.substr(0, 16).c_str());
    agree = agree && method.lastDigest == methods[0].lastDigest && !method.lastDigest.empty();
  }
  std::printf("digests %s\n", agree ? "agree" : "DIFFER");
  const double size = static_cast<double>(sizeMiB);
  std::printf("FIGURE hashing ours=%.0fMiB/s peer=%.0fMiB/s(openssl) ratio=%.2f goal=>=1.0\n",
              size / methods[0].bestSeconds, size / methods[2].bestSeconds,
              methods[2].bestSeconds / methods[0].bestSeconds);
  return agree ? 0 : 1;
}
