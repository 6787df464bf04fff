#include "platform/new_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace consynth::platform {

namespace {

HANDLE handleOf(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

constexpr size_t kMaxWrite = 1 << 20;

// Whether `path` is one of the reserved device names (NUL, CON, COM1, also with an
// extension) or a path in the device namespace: the full path of either begins "\\.\".
bool isDevice(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return length > 0 && length < sizeof full && std::strncmp(full, "\\\\.\\", 4) == 0;
}

// A name beside `target` that nothing has yet, created empty.
HANDLE createTemporary(const std::string& target, std::string& name) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned seed = static_cast<unsigned>(GetTickCount64()) ^
                          static_cast<unsigned>(GetCurrentProcessId() << 16) ^
                          (++counter * 2654435761u);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".partial.%06x", seed & 0xFFFFFFu);
    name = target + suffix;
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool NewFile::fail() {
  const DWORD code = GetLastError();
  char text[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  // The system's messages end in ".\r\n"; ours do not.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == '.' || text[length - 1] == ' ')) {
    --length;
  }
  error_ = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  return false;
}

bool NewFile::create(const std::string& path) {
  close();
  // CREATE_NEW: an existing file is never opened.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail();
  handle_ = reinterpret_cast<intptr_t>(file);
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
    handle_ = reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
    ownsHandle_ = false;
    direct_ = true;
    return true;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (isDevice(path) || (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
    return openDirect(path);
  }
  return openTemporary(path);
}

bool NewFile::openDirect(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail();
  handle_ = reinterpret_cast<intptr_t>(file);
  ownsHandle_ = true;
  direct_ = true;
  return true;
}

bool NewFile::openTemporary(const std::string& path) {
  const std::string target = detail::resolveSymlinks(path);
  const DWORD attributes = GetFileAttributesA(target.c_str());
  // The rename would replace a file that may not be written.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return fail();
  }
  std::string name;
  const HANDLE file = createTemporary(target, name);
  if (file == INVALID_HANDLE_VALUE) return fail();
  handle_ = reinterpret_cast<intptr_t>(file);
  ownsHandle_ = true;
  direct_ = false;
  path_ = name;
  target_ = target;
  return true;
}

bool NewFile::isTerminal() const {
  // The NUL device is a character device too; only a console has a console mode.
  DWORD mode = 0;
  return handle_ != -1 && GetConsoleMode(handleOf(handle_), &mode) != 0;
}

bool NewFile::append(const void* bytes, size_t count) {
  return writeAll(bytes, count, !direct_, size_);
}

bool NewFile::writeAt(uint64_t offset, const void* bytes, size_t count) {
  return writeAll(bytes, count, true, offset);
}

bool NewFile::writeAll(const void* bytes, size_t count, bool positional, uint64_t offset) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(count < kMaxWrite ? count : kMaxWrite);
    const bool ok =
        WriteFile(handleOf(handle_), at, chunk, &written, positional ? &where : nullptr) != 0;
    offset += written;
    size_ = positional ? std::max<uint64_t>(size_, offset) : size_ + written;
    if (!ok) return fail();
    if (written == 0) {
      SetLastError(ERROR_DISK_FULL);
      return fail();
    }
    at += written;
    count -= written;
  }
  return true;
}

bool NewFile::truncate(uint64_t size) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(handleOf(handle_), FileEndOfFileInfo, &end, sizeof end)) {
    return fail();
  }
  size_ = size;
  return true;
}

bool NewFile::sync() {
  return FlushFileBuffers(handleOf(handle_)) != 0 || fail();
}

bool NewFile::commit() {
  if (!close()) {
    remove();
    return false;
  }
  if (target_.empty()) return true;
  if (!MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    fail();
    remove();
    return false;
  }
  path_.clear();
  target_.clear();
  return true;
}

bool NewFile::close() {
  if (handle_ == -1) return true;
  const HANDLE file = handleOf(handle_);
  handle_ = -1;
  if (!ownsHandle_) return true;
  return CloseHandle(file) != 0 || fail();
}

void NewFile::remove() {
  close();
  if (!path_.empty()) DeleteFileA(path_.c_str());
  path_.clear();
  target_.clear();
}

}  // namespace consynth::platform
