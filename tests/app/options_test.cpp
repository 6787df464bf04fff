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

// Each value a new option takes, as the options record holds it.
TEST(Options, TheOutputConsoleAndMidiOptionsTakeTheirValues) {
  EXPECT_EQ(parse({"--device", "hw:1"}).options.device, "hw:1");
  EXPECT_EQ(parse({"--device=plughw:CARD=Headphones"}).options.device, "plughw:CARD=Headphones");
  EXPECT_EQ(parse({}).options.device, "");
  EXPECT_EQ(parse({}).options.gainDecibels, 0.0);
  EXPECT_EQ(parse({"--gain", "-12"}).options.gainDecibels, -12.0);
  EXPECT_EQ(parse({"--gain=+6"}).options.gainDecibels, 6.0);
  EXPECT_EQ(parse({"--gain", "-40.0"}).options.gainDecibels, -40.0);
  EXPECT_EQ(parse({"--gain", "-.5"}).options.gainDecibels, -0.5);
  EXPECT_EQ(parse({"--midi-channel", "16"}).options.midiChannel, 16);
  EXPECT_EQ(parse({"--midi-channel=1"}).options.midiChannel, 1);
  EXPECT_EQ(parse({}).options.midiChannel, 0);
  const Options flags = parse({"--headless", "--list-devices"}).options;
  EXPECT_TRUE(flags.headless && flags.listDevices);
  EXPECT_TRUE(parse({"--quiet"}).options.quiet);
  EXPECT_TRUE(parse({"--meter", "--record", "jam"}).options.meter);
}

// What is wrong is said in one line that names the option and quotes the value.
TEST(Options, WrongValuesAndContradictionsAreRefusedWithAClearMessage) {
  struct Case {
    std::vector<const char*> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--device"}, "--device needs a value"},
      {{"--device", ""}, "--device needs an output's NAME (--list-devices shows them)"},
      {{"--device", "--headless"},
       "--device needs an output's NAME (--list-devices shows them), "
       "not '--headless'"},
      {{"--gain", "20"}, "--gain takes decibels from -40 to +6, not '20'"},
      {{"--gain", "x"}, "--gain takes decibels from -40 to +6, not 'x'"},
      {{"--gain", "6.01"}, "not '6.01'"},
      {{"--gain", "-40.5"}, "not '-40.5'"},
      {{"--gain", "1e1"}, "not '1e1'"},
      {{"--gain", "nan"}, "not 'nan'"},
      {{"--gain", ""}, "not ''"},
      {{"--gain", "."}, "not '.'"},
      {{"--gain", "--6"}, "not '--6'"},
      {{"--gain", "1.2.3"}, "not '1.2.3'"},
      {{"--midi-channel", "0"}, "--midi-channel takes a channel from 1 to 16, not '0'"},
      {{"--midi-channel", "17"}, "not '17'"},
      {{"--midi-channel", "x"}, "not 'x'"},
      {{"--midi-channel", "+1"}, "not '+1'"},
      {{"--midi-channel", "001"}, "not '001'"},
      {{"--headless", "--quiet"}, "--headless prints nothing: it takes no --quiet"},
      {{"--meter", "--headless"}, "--headless prints nothing: it takes no --meter"},
      {{"--quiet", "--meter"}, "--quiet and --meter: choose one"},
      {{"--no-midi", "--midi-channel", "2"}, "--midi-channel with --no-midi"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(parse(c.args).error.find(c.error), std::string::npos)
        << c.args.front() << ": " << parse(c.args).error;
  }
}

}  // namespace
}  // namespace consynth
