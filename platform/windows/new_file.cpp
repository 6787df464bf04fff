#include "platform/new_file.h"

#include <windows.h>

#include <string>

namespace consynth::platform {

namespace {

HANDLE handleOf(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// Writes at `offset` with a positional write, as each write here names its place.
bool writeAtOffset(HANDLE file, uint64_t offset, const char* at, DWORD count, DWORD& written) {
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  written = 0;
  return WriteFile(file, at, count, &written, &where) != 0;
}

constexpr size_t kMaxWrite = 1 << 20;

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
    DWORD written;
    const DWORD chunk = static_cast<DWORD>(count < kMaxWrite ? count : kMaxWrite);
    const bool ok = writeAtOffset(handleOf(handle_), offset, at, chunk, written);
    offset += written;
    if (offset > size_) size_ = offset;
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

bool NewFile::close() {
  if (handle_ == -1) return true;
  const HANDLE file = handleOf(handle_);
  handle_ = -1;
  return CloseHandle(file) != 0 || fail();
}

void NewFile::remove() {
  close();
  if (!path_.empty()) DeleteFileA(path_.c_str());
  path_.clear();
}

}  // namespace consynth::platform
