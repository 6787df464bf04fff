#include "platform/new_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace consynth::platform {

namespace {

// The temporary being written, for SIGINT, SIGTERM or SIGHUP to remove on their way out.
// Written only while those signals cannot find it half-done (see registerTemporary).
char pendingTemporary[4096];
volatile std::sig_atomic_t havePendingTemporary = 0;

void removeTemporaryAndStop(int signal) {
  if (havePendingTemporary) unlink(pendingTemporary);
  // The handler was reset on entry: this ends the process as the signal would have.
  raise(signal);
}

void removeTemporaryOnSignals() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndStop;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void registerTemporary(const std::string& path) {
  havePendingTemporary = 0;
  if (path.size() >= sizeof pendingTemporary) return;
  std::memcpy(pendingTemporary, path.c_str(), path.size() + 1);
  havePendingTemporary = 1;
  removeTemporaryOnSignals();
}

}  // namespace

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
  ownsHandle_ = true;
  direct_ = false;
  size_ = 0;
  path_ = path;
  target_.clear();
  return true;
}

bool NewFile::replace(const std::string& path) {
  target_.empty() ? void(close()) : remove();
  size_ = 0;
  path_.clear();
  if (path == "-") {
    handle_ = STDOUT_FILENO;
    ownsHandle_ = false;
    direct_ = true;
    return true;
  }
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) return fail();
  return exists && !S_ISREG(status.st_mode) ? openDirect(path) : openTemporary(path);
}

bool NewFile::openDirect(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail();
  handle_ = fd;
  ownsHandle_ = true;
  direct_ = true;
  return true;
}

bool NewFile::openTemporary(const std::string& path) {
  const std::string target = detail::resolveSymlinks(path);
  struct stat status {};
  const bool exists = ::stat(target.c_str(), &status) == 0;
  // The rename would replace a file that may not be written, so ask as opening it would.
  if (exists && ::access(target.c_str(), W_OK) != 0) return fail();

  // A signal that came between making the file and registering it would leave it behind:
  // held until then, it finds it registered.
  sigset_t ending;
  sigset_t before;
  sigemptyset(&ending);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&ending, signal);
  pthread_sigmask(SIG_BLOCK, &ending, &before);
  std::string name = target + ".partial.XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd >= 0) registerTemporary(name);
  const int madeError = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = madeError;
  if (fd < 0) return fail();
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  handle_ = fd;
  ownsHandle_ = true;
  direct_ = false;
  path_ = name;
  target_ = target;
  // mkstemp makes the file private; give it the replaced file's owner and permissions, or
  // those a new file gets. Only root may give a file away: for others that step fails.
  if (exists) {
    if (fchown(fd, status.st_uid, status.st_gid) != 0) {
    }
    fchmod(fd, status.st_mode & 0777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  return true;
}

bool NewFile::isTerminal() const {
  return handle_ >= 0 && isatty(static_cast<int>(handle_)) != 0;
}

bool NewFile::append(const void* bytes, size_t count) {
  return writeAll(bytes, count, !direct_, size_);
}

bool NewFile::writeAt(uint64_t offset, const void* bytes, size_t count) {
  return writeAll(bytes, count, true, offset);
}

bool NewFile::writeAll(const void* bytes, size_t count, bool positional, uint64_t offset) {
  const int fd = static_cast<int>(handle_);
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written =
        positional ? ::pwrite(fd, at, count, static_cast<off_t>(offset)) : ::write(fd, at, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return fail();
    }
    at += written;
    offset += static_cast<uint64_t>(written);
    count -= static_cast<size_t>(written);
    size_ = positional ? std::max(size_, offset) : size_ + static_cast<uint64_t>(written);
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

bool NewFile::commit() {
  if (!close()) {
    remove();
    return false;
  }
  if (target_.empty()) return true;
  if (::rename(path_.c_str(), target_.c_str()) != 0) {
    fail();
    remove();
    return false;
  }
  havePendingTemporary = 0;
  path_.clear();
  target_.clear();
  return true;
}

bool NewFile::close() {
  if (handle_ < 0) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (!ownsHandle_) return true;
  return ::close(fd) == 0 || fail();
}

void NewFile::remove() {
  close();
  if (!path_.empty()) ::unlink(path_.c_str());
  if (!target_.empty()) havePendingTemporary = 0;
  path_.clear();
  target_.clear();
}

}  // namespace consynth::platform
