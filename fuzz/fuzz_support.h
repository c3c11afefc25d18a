// What the fuzz targets share: a check whose failure is a finding, and a scratch folder of the
// process's own, removed at exit (in memory where the system has /dev/shm: every execution
// writes there, and some sync what they write).
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

inline const struct Scratch {
  const std::filesystem::path root =
      std::filesystem::path(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") /
      ("emberdale_fuzz." + std::to_string(getpid()));
  Scratch() { std::filesystem::create_directory(root); }
  ~Scratch() { std::filesystem::remove_all(root); }
} kScratch;
