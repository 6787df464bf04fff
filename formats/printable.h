#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace consynth {

/// `text` made safe to show on a terminal: every byte outside printable ASCII becomes \xHH,
/// so input can neither drive the terminal nor hide in a message. Past `maxBytes` of input the rest
/// is cut and "..." marks the cut.
std::string printable(std::string_view text, size_t maxBytes = SIZE_MAX);

/// A word of input as a message quotes it: printable, in single quotes, at most 32 bytes.
std::string quoted(std::string_view word);

}  // namespace consynth
