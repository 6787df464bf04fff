#pragma once

#include <charconv>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// The command lines of both programs, read from a table of their options: each option is
// one row, which says what its value is called, what the help says of it and what taking it
// does. `--name value` and `--name=value` are the same; `-h` is `--help`.

namespace consynth::cli {

/// One option of a program whose choices are gathered in an `Options` record.
template <class Options>
struct Option {
  const char* name;   ///< "--record"
  const char* value;  ///< what its value is called in the help ("NAME"); null: it takes none
  const char* help;   ///< its lines in --help; each '\n' starts another
  /// Takes the option (with its value, "" for one that takes none) into `options`; returns
  /// what is wrong, or "".
  std::string (*take)(Options& options, const std::string& value);
};

/// The `take` of an option that takes no value and sets `flag`.
template <class Options, bool Options::*flag>
std::string setFlag(Options& options, const std::string&) {
  options.*flag = true;
  return {};
}

/// Reads `text` into `value` where it is a whole number written in digits alone (no sign,
/// space or exponent) that `value`'s type holds; false for anything else.
template <class Whole>
bool readWhole(std::string_view text, Whole& value) {
  const char* end = text.data() + text.size();
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

/// A command line as read: what is wrong with it ("" when nothing), and the arguments that
/// are not options, in order.
struct Reading {
  std::string error;
  std::vector<std::string> operands;
};

namespace detail {

/// An argument split into what it names and the value given after '=', if any.
struct Argument {
  std::string name;
  std::string value;
  bool hasValue = false;
  bool isOption = false;  ///< starts with '-' and is not "-" alone (standard input or output)
};
Argument split(const char* argument);

/// The lines --help shows for one option: its name and value, its first help line beside
/// them from `column` on, the rest beneath.
std::string helpLines(const char* name, const char* value, const char* help, size_t column);

/// Where the help lines start: two spaces past the longest name and value, at least 18.
size_t helpColumn(std::span<const char* const> names, std::span<const char* const> values);

std::string unknownOption(const char* argument);

}  // namespace detail

/// Reads argv[1] on into `options` through `table`, stopping at the first thing wrong: an
/// option not in the table, one given twice, a value missing or not wanted, or what the
/// option's own `take` refuses.
template <class Options>
Reading read(std::span<const Option<Options>> table, int argc, const char* const* argv,
             Options& options) {
  Reading reading;
  std::vector<bool> seen(table.size());
  for (int i = 1; i < argc && reading.error.empty(); ++i) {
    detail::Argument argument = detail::split(argv[i]);
    if (!argument.isOption) {
      reading.operands.push_back(argv[i]);
      continue;
    }
    size_t row = 0;
    while (row < table.size() && argument.name != table[row].name)
      ++row;
    if (row == table.size()) {
      reading.error = detail::unknownOption(argv[i]);
      continue;
    }
    const Option<Options>& option = table[row];
    if (seen[row]) {
      reading.error = argument.name + " given more than once";
    } else if (option.value == nullptr && argument.hasValue) {
      reading.error = argument.name + " takes no value";
    } else if (option.value != nullptr && !argument.hasValue && i + 1 >= argc) {
      reading.error = argument.name + " needs a value";
    } else {
      if (option.value != nullptr && !argument.hasValue) argument.value = argv[++i];
      seen[row] = true;
      reading.error = option.take(options, argument.value);
    }
  }
  return reading;
}

/// Every option's lines for --help, in the table's order, their help in one column.
template <class Options>
std::string describe(std::span<const Option<Options>> table) {
  std::vector<const char*> names;
  std::vector<const char*> values;
  for (const Option<Options>& option : table) {
    names.push_back(option.name);
    values.push_back(option.value);
  }
  const size_t column = detail::helpColumn(names, values);
  std::string text;
  for (const Option<Options>& option : table)
    text += detail::helpLines(option.name, option.value, option.help, column);
  return text;
}

}  // namespace consynth::cli
