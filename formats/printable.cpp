#include "formats/printable.h"

namespace consynth {

std::string printable(std::string_view text, size_t maxBytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool cut = text.size() > maxBytes;
  if (cut) text = text.substr(0, maxBytes);
  std::string out;
  out.reserve(text.size() + 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  if (cut) out += "...";
  return out;
}

std::string quoted(std::string_view word) {
  std::string out(1, '\'');
  out += printable(word, 32);
  out += '\'';
  return out;
}

}  // namespace consynth
