// UniqueFile: the sole owner of one C stream, closed when the owner dies. The close's result is
// not reported: an owner that needs to know whether its data arrived flushes before.
#pragma once

#include <cstdio>
#include <memory>

namespace emberdale::core {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace emberdale::core
