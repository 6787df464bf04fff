#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace consynth::platform {

/// A file the program makes for itself and writes from one thread. It is never one that
/// existed before: creating it fails if anything has that name. Each call says whether it
/// did all it was asked; error() then says why not, as "REASON" (e.g. "File exists").
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { close(); }

  /// Creates `path`, empty, with the permissions a new file gets.
  bool create(const std::string& path);

  /// Appends `count` bytes. On failure some of them may have reached the file: size()
  /// counts those.
  bool append(const void* bytes, size_t count);

  /// Writes `count` bytes from `offset` on, over what is there and past the end if need
  /// be. Within the file it needs no new room on the disk. On failure some bytes may have
  /// been written.
  bool writeAt(uint64_t offset, const void* bytes, size_t count);

  /// Cuts the file to its first `size` bytes; appends go on from there.
  bool truncate(uint64_t size);

  /// Has the system put everything written so far on the disk itself, where a power cut
  /// leaves it. May take a while.
  bool sync();

  /// Closes the file, if open.
  bool close();

  /// Closes the file and deletes it: for one made moments ago that is not wanted after all.
  void remove();

  /// The file's length, as far as the writes got.
  uint64_t size() const { return size_; }

  const std::string& error() const { return error_; }

 private:
  bool fail();  ///< takes the reason from the system; returns false

  intptr_t handle_ = -1;  ///< the system's handle of the open file, -1 when closed
  uint64_t size_ = 0;
  std::string path_;
  std::string error_;
};

}  // namespace consynth::platform
