#pragma once

#include <string>
#include <string_view>
#include <vector>

// Choosing an output device from what the user typed, where the system numbers its devices
// (Windows' wave-out devices). No I/O: tested on its own.

namespace consynth::platform {

/// The device `wanted` picks among `names`, the system's devices in the order of their
/// numbers, or why it picks none (`index` -1).
struct DeviceChoice {
  int index = -1;
  std::string error;
};

/// `wanted` picks a device by its number (decimal digits alone) or by a part of its name,
/// letters of either case alike, that no other device's name has; a whole name picks its
/// device even where it is part of another's.
DeviceChoice chooseDevice(std::string_view wanted, const std::vector<std::string>& names);

}  // namespace consynth::platform
