#pragma once

#include <cstddef>
#include <string>

namespace consynth {

/// Where a render's bytes go. A regular file, new or existing, also one reached through
/// symlinks, is written to a temporary file of its own beside the target and renamed over
/// it only when complete: a failed run leaves the target as it was, and a replaced file
/// keeps its permissions. Anything else that exists (a terminal, a pipe, a device) is
/// written directly, and "-" is standard output.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { discard(); }

  /// Opens `path` for writing; false, with error() saying why, if it cannot be written.
  bool open(const std::string& path);

  /// Writes all `count` bytes; false, with error() saying why, if they were not.
  bool write(const void* bytes, size_t count);

  /// Completes the file: a temporary is closed and renamed over the target. False, with
  /// error() saying why (and the target untouched), if that fails.
  bool commit();

  /// Gives up: a temporary is removed; a file written directly keeps what it got.
  void discard();

  /// What went wrong, as "cannot write: REASON" or "write failed: REASON".
  const std::string& error() const { return error_; }

 private:
  bool fail(const char* what, int errorNumber);
  bool openDirect(const std::string& path);
  bool openTemporary(const std::string& path);

  int fd_ = -1;
  bool ownsFd_ = false;    ///< false for standard output
  std::string temporary_;  ///< empty when written directly
  std::string target_;     ///< the file the temporary replaces
  std::string error_;
};

}  // namespace consynth
