#pragma once

#include <windows.h>

#include <cstdint>

namespace consynth {

/// A counting semaphore on the Win32 kernel object: the credit counter between the audio
/// device's completion callback and the render thread. ReleaseSemaphore is safe to call from
/// a waveOut callback, and the kernel object never loses a wake-up.
struct Win32Semaphore {
  HANDLE handle = nullptr;

  Win32Semaphore(int32_t initial, int32_t maximum)
      : handle(CreateSemaphoreA(nullptr, initial, maximum, nullptr)) {}
  ~Win32Semaphore() {
    if (handle) CloseHandle(handle);
  }
  Win32Semaphore(const Win32Semaphore&) = delete;
  Win32Semaphore& operator=(const Win32Semaphore&) = delete;

  bool valid() const { return handle != nullptr; }
  void acquire() { WaitForSingleObject(handle, INFINITE); }
  void release() { ReleaseSemaphore(handle, 1, nullptr); }
};

}  // namespace consynth
