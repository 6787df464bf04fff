#pragma once

#include <new>

namespace consynth::platform {

/// Static storage for an object that a thread left behind (one held for good by a frozen
/// sound server or a blocked output) may still use while the process exits: the object is
/// built at start-up and never destroyed, so exit's destructors cannot pull it from under
/// that thread.
template <class T>
class NeverDestroyed {
 public:
  NeverDestroyed() { new (storage_) T(); }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;

  T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &**this; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace consynth::platform
