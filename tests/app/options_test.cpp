// The live program's own options: what they accept beyond the reader's rules.

#include "app/options.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace consynth {
namespace {

CommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "consynth");
  return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(Options, RecordTakesAFileNameButNeverAFolder) {
  EXPECT_EQ(parse({"--record=jam"}).options.record, "jam");
  EXPECT_EQ(parse({"--record", "jam.wav"}).options.record, "jam.wav");
  const std::string folder = std::filesystem::temp_directory_path().string();
  for (const std::string& name :
       {std::string(""), std::string(".wav"), std::string("."), std::string("takes/"), folder}) {
    const CommandLine line = parse({"--record", name.c_str()});
    EXPECT_NE(line.error.find("--record needs a file NAME"), std::string::npos) << name;
  }
  EXPECT_EQ(parse({"stray"}).error, "unexpected argument 'stray'");
  EXPECT_TRUE(parse({"--no-midi", "-h"}).options.help);
}

}  // namespace
}  // namespace consynth
