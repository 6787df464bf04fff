#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace consynth::platform {

/// A file the program writes, from one thread, in one of two ways:
/// - create: a new file, never one that existed before: it fails if anything has the name
///   (a take's files);
/// - replace: the whole of a file, new or not, that takes its name only when complete (a
///   render's output). A regular file, also one reached through symlinks, is written to a
///   temporary file beside it and renamed over it by commit: a failed run leaves it as it
///   was, and a replaced file keeps its permissions. Anything else that exists (a pipe, a
///   device) is written directly, and "-" is standard output. A temporary is removed by
///   remove, and by SIGINT, SIGTERM or SIGHUP on their way out.
/// Each call says whether it did all it was asked; error() then says why not, as "REASON"
/// (e.g. "File exists").
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  /// Closes the file; a replacement never committed is removed.
  ~NewFile() { target_.empty() ? void(close()) : remove(); }

  /// Creates `path`, empty, with the permissions a new file gets.
  bool create(const std::string& path);

  /// Opens `path` to be written whole and replaced by commit (see above).
  bool replace(const std::string& path);

  /// True when the file is a terminal (standard output, or a terminal named by replace).
  bool isTerminal() const;

  /// Appends `count` bytes. On failure some of them may have reached the file: size()
  /// counts those.
  bool append(const void* bytes, size_t count);

  /// Writes `count` bytes from `offset` on, over what is there and past the end if need
  /// be. Within the file it needs no new room on the disk. On failure some bytes may have
  /// been written. Created files only.
  bool writeAt(uint64_t offset, const void* bytes, size_t count);

  /// Cuts the file to its first `size` bytes; appends go on from there. Created files only.
  bool truncate(uint64_t size);

  /// Has the system put everything written so far on the disk itself, where a power cut
  /// leaves it. May take a while.
  bool sync();

  /// Completes the file: closes it and, when it replaces one, gives it its name. False
  /// (the file to be replaced untouched, the temporary removed) if either fails.
  bool commit();

  /// Closes the file, if open.
  bool close();

  /// Gives up: closes the file and deletes what was made (a new file, or the temporary
  /// of a replacement); a file written directly keeps what it got.
  void remove();

  /// The file's length, as far as the writes got.
  uint64_t size() const { return size_; }

  const std::string& error() const { return error_; }

 private:
  bool fail();  ///< takes the reason from the system; returns false
  /// Writes all `count` bytes: at `offset`, or in order where the file is not positional.
  bool writeAll(const void* bytes, size_t count, bool positional, uint64_t offset);
  bool openDirect(const std::string& path);
  bool openTemporary(const std::string& path);

  intptr_t handle_ = -1;    ///< the system's handle of the open file, -1 when closed
  bool ownsHandle_ = true;  ///< false for standard output
  bool direct_ = false;     ///< written in order only: a pipe, a device, standard output
  uint64_t size_ = 0;
  std::string path_;    ///< the file this made, new or temporary; empty when none
  std::string target_;  ///< the file a temporary replaces; empty when none
  std::string error_;
};

namespace detail {
/// The file a chain of symlinks ends at, existing or not; `path` itself if it is no symlink.
std::string resolveSymlinks(std::string path);
}  // namespace detail

}  // namespace consynth::platform
