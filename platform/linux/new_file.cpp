#include "platform/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace consynth::platform {

bool NewFile::fail() {
  error_ = std::strerror(errno);
  return false;
}

bool NewFile::create(const std::string& path) {
  close();
  // O_EXCL: an existing file, or a symlink to anywhere, is never opened.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return fail();
  handle_ = fd;
  size_ = 0;
  path_ = path;
  return true;
}

bool NewFile::append(const void* bytes, size_t count) {
  return writeAt(size_, bytes, count);
}

bool NewFile::writeAt(uint64_t offset, const void* bytes, size_t count) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written =
        ::pwrite(static_cast<int>(handle_), at, count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return fail();
    }
    at += written;
    offset += static_cast<uint64_t>(written);
    count -= static_cast<size_t>(written);
    size_ = std::max(size_, offset);
  }
  return true;
}

bool NewFile::truncate(uint64_t size) {
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0) return fail();
  size_ = size;
  return true;
}

bool NewFile::sync() {
  return ::fdatasync(static_cast<int>(handle_)) == 0 || fail();
}

bool NewFile::close() {
  if (handle_ < 0) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  return ::close(fd) == 0 || fail();
}

void NewFile::remove() {
  close();
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace consynth::platform
