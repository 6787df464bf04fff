#include "platform/device_names.h"

#include <algorithm>
#include <cstdio>

namespace consynth::platform {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameLetters(char a, char b) {
  return lower(a) == lower(b);
}

bool contains(std::string_view name, std::string_view part) {
  return std::search(name.begin(), name.end(), part.begin(), part.end(), sameLetters) != name.end();
}

bool equal(std::string_view name, std::string_view other) {
  return std::equal(name.begin(), name.end(), other.begin(), other.end(), sameLetters);
}

// A name in single quotes, bytes outside printable ASCII as \xHH.
std::string quoted(std::string_view text) {
  std::string result = "'";
  for (const char c : text) {
    if (c >= ' ' && c <= '~') {
      result += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      result += escaped;
    }
  }
  return result + "'";
}

std::string range(size_t count) {
  if (count == 0) return "there is none";
  if (count == 1) return "there is one, 0";
  return "they are 0 to " + std::to_string(count - 1);
}

}  // namespace

DeviceChoice chooseDevice(std::string_view wanted, const std::vector<std::string>& names) {
  DeviceChoice choice;
  if (!wanted.empty() && wanted.find_first_not_of("0123456789") == std::string_view::npos) {
    if (wanted.size() <= 9 && static_cast<size_t>(std::stoi(std::string(wanted))) < names.size()) {
      choice.index = std::stoi(std::string(wanted));
    } else {
      choice.error =
          "no output device numbered " + std::string(wanted) + ": " + range(names.size());
    }
    return choice;
  }
  std::vector<size_t> matches;
  for (size_t i = 0; i < names.size(); ++i) {
    if (equal(names[i], wanted)) {
      choice.index = static_cast<int>(i);
      return choice;
    }
    if (!wanted.empty() && contains(names[i], wanted)) matches.push_back(i);
  }
  if (matches.size() == 1) {
    choice.index = static_cast<int>(matches.front());
  } else if (matches.empty()) {
    choice.error = "no output device's name has " + quoted(wanted) + " in it";
  } else {
    choice.error = quoted(wanted) + " is in the names of " + std::to_string(matches.size()) +
                   " output devices (";
    for (size_t i = 0; i < matches.size(); ++i)
      choice.error +=
          (i > 0 ? ", " : "") + std::to_string(matches[i]) + " " + quoted(names[matches[i]]);
    choice.error += "): give more of the name, or the number";
  }
  return choice;
}

}  // namespace consynth::platform
