#include "cli/command_line.h"

#include <algorithm>

#include "formats/printable.h"

namespace consynth::cli::detail {

Argument split(const char* text) {
  Argument argument;
  argument.name = text;
  argument.isOption = argument.name.size() > 1 && argument.name[0] == '-';
  if (argument.name == "-h") argument.name = "--help";
  const size_t equals = argument.name.find('=');
  if (argument.name.starts_with("--") && equals != std::string::npos) {
    argument.value = argument.name.substr(equals + 1);
    argument.name.resize(equals);
    argument.hasValue = true;
  }
  return argument;
}

// "  --record NAME", or "  -h, --help".
std::string nameAndValue(const char* name, const char* value) {
  std::string text = std::string(name) == "--help" ? "  -h, --help" : std::string("  ") + name;
  if (value != nullptr) text += std::string(" ") + value;
  return text;
}

size_t helpColumn(std::span<const char* const> names, std::span<const char* const> values) {
  size_t column = 18;
  for (size_t i = 0; i < names.size(); ++i)
    column = std::max(column, nameAndValue(names[i], values[i]).size() + 2);
  return column;
}

std::string helpLines(const char* name, const char* value, const char* help, size_t column) {
  std::string text = nameAndValue(name, value);
  text += std::string(column - text.size(), ' ');
  const std::string_view lines = help;
  for (size_t at = 0; at <= lines.size();) {
    const size_t end = std::min(lines.find('\n', at), lines.size());
    if (at > 0) text += std::string(column, ' ');
    text += std::string(lines.substr(at, end - at)) + "\n";
    at = end + 1;
  }
  return text;
}

std::string unknownOption(const char* argument) {
  return "unknown option " + quoted(argument);
}

}  // namespace consynth::cli::detail
