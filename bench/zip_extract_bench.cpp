// Extraction speed of ExtractZip against unzip and bsdtar on the same package, in the same run.
//
// The package (about 8,000 files and 250 MB: text and incompressible data, several folder levels)
// is made once with `zip -q -r` and kept under /tmp/emberdale-zip-bench. Each round extracts it
// with every extractor into a fresh folder on the same file system (the archive warm in the page
// cache, dirty pages synced before each run, a different extractor first in each round); the best
// of the rounds counts, by wall-clock time and by CPU time (the latter steadier on a busy machine).
//
//   zip_extract_bench [rounds=3] [all|ExtractZip|unzip|bsdtar] [work folder]
// A work folder elsewhere (for example on a tmpfs) gets a copy of the archive, so the archive and
// the outputs still share a file system.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <format>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/zip_extract.h"
#include "posix/process.h"

namespace {

namespace fs = std::filesystem;
using emberdale::posix::Run;
using emberdale::posix::RunOptions;

const fs::path kCache = "/tmp/emberdale-zip-bench";
constexpr int kTextFiles = 7'200;
constexpr int kDataFiles = 800;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "zip_extract_bench: %s\n", message.c_str());
  std::exit(1);
}

void RunOrFail(const std::vector<std::string>& argv, const std::string& directory = {}) {
  RunOptions options;
  options.workingDirectory = directory;
  options.captureOutput = true;
  options.captureStderr = true;
  const auto ran = Run(argv, options);
  if (!ran) Fail(ran.error());
  if (ran->exitCode != 0)
    Fail(std::format("{} exited with {}: {}", argv[0], ran->exitCode, ran->output));
}

// Source-like text: words and numbers, compressing about four to one.
std::string Text(std::mt19937& random, std::size_t size) {
  static const char* const kWords[] = {"public", "static",   "final",   "class", "return", "import",
                                       "java",   "lang",     "String",  "value", "index",  "buffer",
                                       "module", "launcher", "runtime", "if",    "else",   "for"};
  std::string text;
  text.reserve(size + 32);
  while (text.size() < size) {
    text += kWords[random() % std::size(kWords)];
    text += (random() % 9 == 0) ? std::format(" {};\n", random() % 100000) : " ";
  }
  text.resize(size);
  return text;
}

std::string Noise(std::mt19937& random, std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    const std::uint32_t word = random();
    std::copy_n(reinterpret_cast<const char*>(&word), 4, data.data() + i);
  }
  return data;
}

void WriteFile(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A runtime-like tree: modules with packages nested three to five levels deep.
fs::path FolderFor(std::mt19937& random) {
  fs::path folder =
      fs::path("package") / "Contents" / "Home" / std::format("mod{:02}", random() % 40);
  const int depth = 1 + static_cast<int>(random() % 3);
  for (int level = 0; level < depth; ++level) folder /= std::format("pkg{}", random() % 6);
  return folder;
}

fs::path MakePackage() {
  const fs::path archive = kCache / "package.zip";
  const fs::path done = kCache / "package.done";
  if (fs::exists(done)) return archive;
  std::printf("Making the package under %s (once)...\n", kCache.c_str());
  fs::remove_all(kCache);
  std::mt19937 random(2024);
  std::uint64_t bytes = 0;
  for (int i = 0; i < kTextFiles; ++i) {
    const std::string text = Text(random, 512 + random() % 23'000);
    bytes += text.size();
    WriteFile(kCache / FolderFor(random) / std::format("File{}.java", i), text);
  }
  for (int i = 0; i < kDataFiles; ++i) {
    const std::string data = Noise(random, 4096 + random() % 400'000);
    bytes += data.size();
    WriteFile(kCache / FolderFor(random) / std::format("lib{}.so", i), data);
  }
  RunOrFail({"zip", "-q", "-r", archive.native(), "package"}, kCache.native());
  fs::remove_all(kCache / "package");
  std::ofstream(done) << bytes << "\n";
  return archive;
}

void WarmPageCache(const fs::path& archive) {
  std::ifstream in(archive, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
  }
}

struct Extractor {
  std::string name;
  std::function<void(const fs::path& archive, const fs::path& into)> extract;
  double best = 1e9;
  double bestCpu = 1e9;
};

// CPU seconds (user + system) used so far by this process and by its waited-for children.
double CpuSeconds() {
  double total = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    for (const timeval& t : {usage.ru_utime, usage.ru_stime}) {
      total += static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    }
  }
  return total;
}

void Summarise(const fs::path& into, std::uint64_t& files, std::uint64_t& bytes) {
  files = bytes = 0;
  for (const auto& item : fs::recursive_directory_iterator(into)) {
    if (!item.is_regular_file()) continue;
    ++files;
    bytes += item.file_size();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string only = argc > 2 ? argv[2] : "all";
  fs::path archive = MakePackage();
  // The outputs are all kept until the end: the file system's inode allocator slows down for a
  // while after many deletions, which would penalise whichever extractor ran next.
  const fs::path work = argc > 3 ? fs::path(argv[3]) : kCache / "runs";
  fs::remove_all(work);
  fs::create_directories(work);
  if (argc > 3) {  // keep the archive on the same file system as the outputs
    fs::copy_file(archive, work / "package.zip");
    archive = work / "package.zip";
  }
  WarmPageCache(archive);
  std::vector<Extractor> extractors = {
      {"ExtractZip",
       [](const fs::path& from, const fs::path& into) {
         const auto result = emberdale::core::ExtractZip(from, into, {});
         if (!result) Fail(result.error());
       }},
      {"unzip",
       [](const fs::path& from, const fs::path& into) {
         RunOrFail({"unzip", "-q", from.native(), "-d", into.native()});
       }},
      {"bsdtar",
       [](const fs::path& from, const fs::path& into) {
         RunOrFail({"bsdtar", "-xf", from.native(), "-C", into.native()});
       }},
  };
  if (only != "all") {
    std::erase_if(extractors, [&](const Extractor& e) { return e.name != only; });
    if (extractors.empty()) Fail(std::format("no extractor named {}", only));
  }
  std::uint64_t expectedFiles = 0, expectedBytes = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t turn = 0; turn < extractors.size();
         ++turn) {  // a different one first each round
      Extractor& extractor = extractors[(turn + round) % extractors.size()];
      const fs::path into = work / std::format("{}-{}", extractor.name, round + 1);
      fs::create_directories(into);
      sync();
      const double cpuStart = CpuSeconds();
      const auto start = std::chrono::steady_clock::now();
      extractor.extract(archive, into);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double cpu = CpuSeconds() - cpuStart;
      extractor.best = std::min(extractor.best, seconds);
      extractor.bestCpu = std::min(extractor.bestCpu, cpu);
      std::uint64_t files = 0, bytes = 0;
      Summarise(into, files, bytes);
      if (expectedFiles == 0) expectedFiles = files, expectedBytes = bytes;
      if (files != expectedFiles || bytes != expectedBytes) {
        Fail(std::format("{} wrote {} files, {} bytes; expected {}, {}", extractor.name, files,
                         bytes, expectedFiles, expectedBytes));
      }
      std::printf("round %d  %-10s %7.3f s  (cpu %.3f s)\n", round + 1, extractor.name.c_str(),
                  seconds, cpu);
    }
  }
  fs::remove_all(work);
  std::printf("\npackage: %s, %.1f MB, %llu files, %.1f MB extracted\n", archive.c_str(),
              static_cast<double>(fs::file_size(kCache / "package.zip")) / 1e6,
              static_cast<unsigned long long>(expectedFiles),
              static_cast<double>(expectedBytes) / 1e6);
  std::printf("best of %d:\n", rounds);
  for (const Extractor& e : extractors) {
    std::printf("  %-10s %7.3f s wall  %7.3f s cpu\n", e.name.c_str(), e.best, e.bestCpu);
  }
  if (extractors.size() < 3) return 0;
  const auto ratios = [&](const char* what, double Extractor::*field) {
    const double ours = extractors[0].*field, unzip = extractors[1].*field,
                 bsdtar = extractors[2].*field;
    std::printf("%s ratios: unzip/ExtractZip %.2f, bsdtar/ExtractZip %.2f, unzip/bsdtar %.2f\n",
                what, unzip / ours, bsdtar / ours, unzip / bsdtar);
  };
  ratios("wall", &Extractor::best);
  ratios("cpu ", &Extractor::bestCpu);
  return 0;
}
