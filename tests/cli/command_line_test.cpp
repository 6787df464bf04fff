// Both programs' command lines are read through one table-driven reader.

#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace consynth::cli {
namespace {

struct Choices {
  bool quiet = false;
  bool help = false;
  std::optional<std::string> name;
};

std::string takeName(Choices& c, const std::string& value) {
  if (value == "bad") return "--name cannot be bad";
  c.name = value;
  return {};
}

constexpr Option<Choices> kTable[] = {
    {"--quiet", nullptr, "say nothing", setFlag<Choices, &Choices::quiet>},
    {"--name", "NAME", "the name\nof the thing", takeName},
    {"--help", nullptr, "help", setFlag<Choices, &Choices::help>},
};

struct Case {
  std::vector<const char*> args;
  std::string error;  // "" when the line is good
  std::optional<std::string> name = std::nullopt;
  std::vector<std::string> operands = {};
};

TEST(CommandLine, ReadsBothValueFormsAndReportsTheFirstFault) {
  const Case cases[] = {
      {{"--name", "a"}, "", "a"},
      {{"--name=a=b"}, "", "a=b"},
      {{"--name="}, "", ""},
      {{"--name", "-5"}, "", "-5"},  // a value may look like an option
      {{"-h", "x", "-"}, "", std::nullopt, {"x", "-"}},
      {{"--name"}, "--name needs a value"},
      {{"--quiet=1"}, "--quiet takes no value"},
      {{"--name", "a", "--name=b"}, "--name given more than once"},
      {{"--quiet", "--quiet"}, "--quiet given more than once"},
      {{"--loud", "--name"}, "unknown option '--loud'"},
      {{"--name", "bad"}, "--name cannot be bad"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Choices choices;
    const Reading reading =
        read<Choices>(kTable, static_cast<int>(argv.size()), argv.data(), choices);
    SCOPED_TRACE(c.args.front());
    EXPECT_EQ(reading.error, c.error);
    if (c.error.empty()) {
      EXPECT_EQ(choices.name, c.name);
      EXPECT_EQ(reading.operands, c.operands);
    }
  }
}

TEST(CommandLine, DescribesEachOptionInOneColumn) {
  EXPECT_EQ(describe<Choices>(kTable),
            "  --quiet         say nothing\n"
            "  --name NAME     the name\n"
            "                  of the thing\n"
            "  -h, --help      help\n");
}

}  // namespace
}  // namespace consynth::cli
