// Extraction speed and memory of ExtractZip against unzip and bsdtar on the same packages, in the
// same run.
//
// Two packages are made once with `zip` and kept under /tmp/emberdale-zip-bench: "8000" (8,000
// files, about 250 MB: text and incompressible data, several folder levels, with folder entries)
// and "100000" (100,000 small files and no folder entries: the most entries an archive may have).
// Each round extracts a package with every extractor into a fresh folder on the same file system
// (the archive warm in the page cache, dirty pages synced before each run, a different extractor
// first in each round). Every extraction runs in a child process of its own (ExtractZip in a
// forked copy of this program), so wall time, CPU time (user + system, the steadier figure on a
// busy machine) and peak resident memory are the child's alone; the best of the rounds counts.
//
//   zip_extract_bench [rounds=3] [all|ExtractZip|unzip|bsdtar] [work folders] [packages]
// Work folders and packages are comma-separated lists; by default the work folders are
// /tmp/emberdale-zip-bench/runs (on /) and /dev/shm/emberdale-zip-bench (a tmpfs), and the packages
// are 8000,100000. A work folder on another file system than the cache gets a copy of the archive,
// so the archive and the outputs share a file system.
//
// Besides a table per package and folder, each comparison with bsdtar is printed as one line for
// scripts, with the file system's type in the name (peak memory in MiB, times in seconds):
//   FIGURE zip<package>-<fs>-<wall|cpu|rss> ours=<ExtractZip> peer=<bsdtar> ratio=<ours/peer>
// The peak memory of a child that does nothing is printed as `baseline rss`: it is part of every
// child's figure (the forked copy of this program, or what a child had before it ran the tool).
//
// Note: on ext4 without a journal the inode allocator skips inodes freed within the last minute or
// so, and each skip costs time; runs right after a large deletion on the same file system (this
// benchmark's own clean-up included) are slower for every extractor.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
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
#include <ranges>
#include <string>
#include <vector>

#include "core/zip_extract.h"
#include "posix/process.h"

namespace {

namespace fs = std::filesystem;
using emberdale::posix::Run;
using emberdale::posix::RunOptions;

const fs::path kCache = "/tmp/emberdale-zip-bench";

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

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  for (const auto part : std::views::split(text, ',')) {
    if (!part.empty()) items.emplace_back(part.begin(), part.end());
  }
  return items;
}

// --- The packages --------------------------------------------------------------------------

struct PackageShape {
  std::string name;
  int textFiles, textMin, textSpread;  // text files of textMin + [0, textSpread) bytes
  int dataFiles, dataMin, dataSpread;  // incompressible files likewise
  bool folderEntries;                  // whether the archive lists folders as entries of their own
};

const PackageShape kShapes[] = {
    {"8000", 7'200, 512, 23'000, 800, 4096, 400'000, true},
    {"100000", 99'000, 256, 3'000, 1'000, 4096, 60'000, false},
};

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

fs::path ArchiveOf(const PackageShape& shape) {
  return kCache /
         (shape.name == "8000" ? "package.zip" : std::format("package-{}.zip", shape.name));
}

fs::path MakePackage(const PackageShape& shape) {
  const fs::path archive = ArchiveOf(shape);
  const fs::path done = fs::path(archive).replace_extension(".done");
  if (fs::exists(done)) return archive;
  std::printf("Making the package %s (once)...\n", archive.c_str());
  const fs::path source = kCache / "source";
  fs::remove_all(source);
  std::mt19937 random(2024);
  for (int i = 0; i < shape.textFiles; ++i) {
    const std::string text = Text(random, shape.textMin + random() % shape.textSpread);
    WriteFile(source / FolderFor(random) / std::format("File{}.java", i), text);
  }
  for (int i = 0; i < shape.dataFiles; ++i) {
    const std::string data = Noise(random, shape.dataMin + random() % shape.dataSpread);
    WriteFile(source / FolderFor(random) / std::format("lib{}.so", i), data);
  }
  fs::remove(archive);
  RunOrFail({"zip", shape.folderEntries ? "-qr" : "-qrD", archive.native(), "package"},
            source.native());
  fs::remove_all(source);
  std::ofstream{done};
  return archive;
}

void WarmPageCache(const fs::path& archive) {
  std::ifstream in(archive, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
  }
}

// --- Measuring -----------------------------------------------------------------------------

struct Figures {
  double wall = 1e9, cpu = 1e9, rssMiB = 1e9;
  void KeepBest(const Figures& other) {
    wall = std::min(wall, other.wall), cpu = std::min(cpu, other.cpu);
    rssMiB = std::min(rssMiB, other.rssMiB);
  }
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs `work` in a forked child, which ends with its result as exit code, and measures the child.
Figures MeasureChild(const std::string& what, const std::function<int()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) Fail("can't fork");
  if (child == 0) _exit(work());
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) Fail("wait4 failed");
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(std::format("{} failed", what));
  return {wall, Seconds(usage.ru_utime) + Seconds(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// In the child: runs a tool with its standard output discarded.
int Exec(std::vector<std::string> argv) {
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  execvp(args[0], args.data());
  return 127;
}

struct Extractor {
  std::string name;
  std::function<int(const fs::path& archive, const fs::path& into)> extract;  // in the child
  Figures best;
};

std::vector<Extractor> Extractors(const std::string& only) {
  std::vector<Extractor> extractors = {
      {"ExtractZip",
       [](const fs::path& from, const fs::path& into) {
         const auto result = emberdale::core::ExtractZip(from, into, {});
         if (!result) std::fprintf(stderr, "ExtractZip: %s\n", result.error().c_str());
         return result ? 0 : 1;
       },
       {}},
      {"unzip",
       [](const fs::path& from, const fs::path& into) {
         return Exec({"unzip", "-q", from.native(), "-d", into.native()});
       },
       {}},
      {"bsdtar",
       [](const fs::path& from, const fs::path& into) {
         return Exec({"bsdtar", "-xf", from.native(), "-C", into.native()});
       },
       {}},
  };
  if (only != "all") {
    std::erase_if(extractors, [&](const Extractor& e) { return e.name != only; });
    if (extractors.empty()) Fail(std::format("no extractor named {}", only));
  }
  return extractors;
}

void Summarise(const fs::path& into, std::uint64_t& files, std::uint64_t& bytes) {
  files = bytes = 0;
  for (const auto& item : fs::recursive_directory_iterator(into)) {
    if (!item.is_regular_file()) continue;
    ++files;
    bytes += item.file_size();
  }
}

std::string FileSystemType(const fs::path& folder) {
  struct statfs info {};
  if (statfs(folder.c_str(), &info) != 0) return "unknown";
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53:
      return "ext4";
    case 0x01021994:
      return "tmpfs";
    case 0x9123683E:
      return "btrfs";
    case 0x58465342:
      return "xfs";
    default:
      return std::format("fs{:x}", static_cast<unsigned long>(info.f_type));
  }
}

bool SameFileSystem(const fs::path& a, const fs::path& b) {
  struct stat first {
  }, second{};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev;
}

// Extracts `archive` in every round with every extractor under `work` (kept until the caller
// removes it: the file system's inode allocator slows down for a while after many deletions,
// which would penalise whichever extractor ran next) and prints the figures.
void Compare(const PackageShape& shape, fs::path archive, const fs::path& work, int rounds,
             const std::string& only) {
  const std::string label = std::format("zip{}-{}", shape.name, FileSystemType(work));
  if (!SameFileSystem(archive, work)) {
    const fs::path copy = work / archive.filename();
    fs::copy_file(archive, copy, fs::copy_options::overwrite_existing);
    archive = copy;
  }
  WarmPageCache(archive);
  std::vector<Extractor> extractors = Extractors(only);
  std::uint64_t expectedFiles = 0, expectedBytes = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t turn = 0; turn < extractors.size(); ++turn) {  // a different one first
      Extractor& extractor = extractors[(turn + round) % extractors.size()];
      const fs::path into = work / std::format("{}-{}-{}", shape.name, extractor.name, round + 1);
      fs::create_directories(into);
      sync();
      const Figures figures =
          MeasureChild(extractor.name, [&] { return extractor.extract(archive, into); });
      extractor.best.KeepBest(figures);
      std::uint64_t files = 0, bytes = 0;
      Summarise(into, files, bytes);
      if (expectedFiles == 0) expectedFiles = files, expectedBytes = bytes;
      if (files != expectedFiles || bytes != expectedBytes) {
        Fail(std::format("{} wrote {} files, {} bytes; expected {}, {}", extractor.name, files,
                         bytes, expectedFiles, expectedBytes));
      }
      std::printf("%s round %d  %-10s %7.3f s  (cpu %.3f s, peak %.1f MiB)\n", label.c_str(),
                  round + 1, extractor.name.c_str(), figures.wall, figures.cpu, figures.rssMiB);
    }
  }
  std::printf("\n%s: %s, %.1f MB, %llu files, %.1f MB extracted; best of %d:\n", label.c_str(),
              archive.c_str(), static_cast<double>(fs::file_size(archive)) / 1e6,
              static_cast<unsigned long long>(expectedFiles),
              static_cast<double>(expectedBytes) / 1e6, rounds);
  for (const Extractor& e : extractors) {
    std::printf("  %-10s %7.3f s wall  %7.3f s cpu  %6.1f MiB peak  %6.1f us cpu per file\n",
                e.name.c_str(), e.best.wall, e.best.cpu, e.best.rssMiB,
                e.best.cpu * 1e6 / static_cast<double>(expectedFiles));
  }
  const auto find = [&](const char* name) {
    return std::ranges::find(extractors, name, &Extractor::name);
  };
  const auto ours = find("ExtractZip"), peer = find("bsdtar");
  if (ours == extractors.end() || peer == extractors.end()) return;
  const auto figure = [&](const char* what, double Figures::*field) {
    std::printf("FIGURE %s-%s ours=%.3f peer=%.3f ratio=%.3f\n", label.c_str(), what,
                ours->best.*field, peer->best.*field, ours->best.*field / peer->best.*field);
  };
  figure("wall", &Figures::wall);
  figure("cpu", &Figures::cpu);
  figure("rss", &Figures::rssMiB);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string only = argc > 2 ? argv[2] : "all";
  std::vector<std::string> folders = SplitList(argc > 3 ? argv[3] : "");
  if (folders.empty()) {
    folders.push_back((kCache / "runs").native());
    if (fs::is_directory("/dev/shm")) folders.emplace_back("/dev/shm/emberdale-zip-bench");
  }
  const std::vector<std::string> packages = SplitList(argc > 4 ? argv[4] : "8000,100000");
  std::vector<std::pair<PackageShape, fs::path>> made;
  for (const std::string& name : packages) {
    const auto shape = std::ranges::find(kShapes, name, &PackageShape::name);
    if (shape == std::end(kShapes)) Fail(std::format("no package named {}", name));
    made.emplace_back(*shape, MakePackage(*shape));
  }
  const Figures idle = MeasureChild("an idle child", [] { return 0; });
  std::printf("baseline rss %.1f MiB\n\n", idle.rssMiB);
  for (const fs::path work : folders) {
    fs::remove_all(work);
    fs::create_directories(work);
    for (const auto& [shape, archive] : made) Compare(shape, archive, work, rounds, only);
    fs::remove_all(work);
  }
  return 0;
}
