#include "tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace consynth {

namespace {

#ifdef _WIN32
constexpr int kDirectFlags = O_WRONLY | O_BINARY;
#else
constexpr int kDirectFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
#endif

bool isTerminal(int fd) {
#ifdef _WIN32
  // The NUL device is a character device too; only a console has a console mode.
  DWORD mode = 0;
  return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
#else
  return isatty(fd) != 0;
#endif
}

// Whether `path` is one of Windows' reserved device names (NUL, CON, COM1, also with an
// extension) or a path in the device namespace: the full path of either begins "\\.\".
bool isWindowsDevice(const std::string& path) {
#ifdef _WIN32
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return length > 0 && length < sizeof full && std::strncmp(full, "\\\\.\\", 4) == 0;
#else
  (void)path;
  return false;
#endif
}

// The file a chain of symlinks ends at, existing or not; `path` itself if it is no symlink.
std::string resolveSymlinks(std::string path) {
  namespace fs = std::filesystem;
  for (int hop = 0; hop < 40; ++hop) {  // stat() has refused a loop already
    std::error_code ec;
    const fs::path link = fs::read_symlink(path, ec);
    if (ec) break;
    path = link.is_absolute() ? link.string() : (fs::path(path).parent_path() / link).string();
  }
  return path;
}

// The temporary being written, for Ctrl-C or a termination signal to remove on its way out.
// Written only while those signals cannot find it half-done (see registerTemporary).
char pendingTemporary[4096];
volatile std::sig_atomic_t havePendingTemporary = 0;

#ifndef _WIN32
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
#endif

void registerTemporary(const std::string& path) {
  havePendingTemporary = 0;
  if (path.size() >= sizeof pendingTemporary) return;
  std::memcpy(pendingTemporary, path.c_str(), path.size() + 1);
  havePendingTemporary = 1;
#ifndef _WIN32
  removeTemporaryOnSignals();
#endif
}

}  // namespace

bool OutputFile::fail(const char* what, int errorNumber) {
  error_ = std::string(what) + ": " + std::strerror(errorNumber);
  return false;
}

bool OutputFile::open(const std::string& path) {
  discard();
  bool opened = false;
  if (path == "-") {
    fd_ = 1;
    ownsFd_ = false;
#ifdef _WIN32
    _setmode(fd_, _O_BINARY);
#endif
    opened = true;
  } else if (isWindowsDevice(path)) {
    opened = openDirect(path);
  } else {
    struct stat status {};
    const bool exists = ::stat(path.c_str(), &status) == 0;
    if (!exists && errno != ENOENT) return fail("cannot write", errno);
    opened = exists && !S_ISREG(status.st_mode) ? openDirect(path) : openTemporary(path);
  }
  if (!opened) return false;
  // Audio bytes would reach the terminal as control sequences.
  if (isTerminal(fd_)) {
    discard();
    error_ = "cannot write: audio is not written to a terminal";
    return false;
  }
  return true;
}

bool OutputFile::openDirect(const std::string& path) {
  fd_ = ::open(path.c_str(), kDirectFlags);
  if (fd_ < 0) return fail("cannot write", errno);
  ownsFd_ = true;
  return true;
}

bool OutputFile::openTemporary(const std::string& path) {
  target_ = resolveSymlinks(path);
  struct stat status {};
  const bool exists = ::stat(target_.c_str(), &status) == 0;
  // The rename would replace a file that may not be written, so ask as opening it would.
  if (exists && ::access(target_.c_str(), W_OK) != 0) return fail("cannot write", errno);

  std::string name = target_ + ".partial.XXXXXX";
  fd_ = mkstemp(name.data());
  if (fd_ < 0) return fail("cannot write", errno);
  ownsFd_ = true;
  temporary_ = name;
  registerTemporary(temporary_);
#ifdef _WIN32
  _setmode(fd_, _O_BINARY);
#else
  // mkstemp makes the file private; give it the replaced file's owner and permissions, or
  // those a new file gets. Only root may give a file away: for others that step fails.
  if (exists) {
    if (fchown(fd_, status.st_uid, status.st_gid) != 0) {
    }
    fchmod(fd_, status.st_mode & 0777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
  }
#endif
  return true;
}

bool OutputFile::write(const void* bytes, size_t count) {
  constexpr size_t kMaxChunk = 1 << 20;
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const auto written = ::write(fd_, at, static_cast<unsigned>(std::min(count, kMaxChunk)));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return fail("write failed", written < 0 ? errno : ENOSPC);
    at += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool OutputFile::commit() {
  if (ownsFd_ && fd_ >= 0) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
      fail("write failed", errno);
      discard();
      return false;
    }
  }
  fd_ = -1;
  if (temporary_.empty()) return true;
  std::error_code ec;
  std::filesystem::rename(temporary_, target_, ec);
  if (ec) {
    error_ = "cannot write: " + ec.message();
    discard();
    return false;
  }
  havePendingTemporary = 0;
  temporary_.clear();
  return true;
}

void OutputFile::discard() {
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ownsFd_ = false;
  if (!temporary_.empty()) {
    std::remove(temporary_.c_str());
    havePendingTemporary = 0;
    temporary_.clear();
  }
}

}  // namespace consynth
