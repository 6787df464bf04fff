#include <filesystem>
#include <system_error>

#include "platform/new_file.h"

namespace consynth::platform::detail {

std::string resolveSymlinks(std::string path) {
  namespace fs = std::filesystem;
  for (int hop = 0; hop < 40; ++hop) {  // replace() has had stat refuse a loop already
    std::error_code ec;
    const fs::path link = fs::read_symlink(path, ec);
    if (ec) break;
    path = link.is_absolute() ? link.string() : (fs::path(path).parent_path() / link).string();
  }
  return path;
}

}  // namespace consynth::platform::detail
