#pragma once

// Stand-ins for the platform layer, linked into the tests in place of the real one: an
// audio device whose playing the test controls, the control loop's keyboard as a script, a
// recording console and real files on a disk whose failures the test controls. (The render
// thread's keys and lines go through its panel.)

#include <set>
#include <string>
#include <vector>

#include "platform/keyboard.h"

namespace consynth::fake {

enum class DeviceMode {
  OpenFails,  ///< no device: open returns null, or a device that plays when asked to keep time
  Plays,      ///< a player thread finishes one queued buffer per `periodMs`
  RealTime,   ///< ... each when its frames have played, by the clock
  Stalls,     ///< takes buffers and never gives one back, like a frozen sound server
};

struct DeviceOptions {
  DeviceMode mode = DeviceMode::Plays;
  int periodMs = 1;
  /// Finished buffers the player holds back until the test lets them go (-1: no limit).
  int allowedCompletions = -1;
  /// Delay between marking a buffer done and calling back, to widen that window.
  int callbackDelayMs = 0;
  /// The shortest period the device takes.
  unsigned periodFrames = 64;
};

/// Resets the fake device for the next test.
void configureDevice(const DeviceOptions& options);

/// Lets `count` more buffers finish (with DeviceOptions::allowedCompletions).
void allowCompletions(int count);

struct DeviceRecord {
  int opens = 0;
  int closes = 0;
  int writesAccepted = 0;
  int writesRefused = 0;
  int completions = 0;
  /// Completion calls that found the engine's credits already gone.
  int callbacksWithoutCredits = 0;
  /// Buffers with a non-zero sample among those the device took to play.
  int soundingBuffers = 0;
};
DeviceRecord deviceRecord();

/// The keys held during each poll of the control loop, poll 0 first. The control loop
/// tests Escape before the first poll and after each, and the k-th test of Escape reads
/// entry k; the other keys read the entry of the poll in progress. Past the end of the
/// script Escape is down.
void scriptKeyboard(std::vector<std::set<platform::Key>> polls);

/// How often `key` was queried since the script was set.
int keyQueries(platform::Key key);

/// Everything printed since the last call, which clears it.
std::string takeConsoleText();

/// The disk as the files the program makes see it.
struct DiskOptions {
  /// Bytes that all appends together may still add before they fail as on a full disk, the
  /// last one in part (-1: no limit).
  long long room = -1;
  /// Writes and syncs wait while this is set, as on a disk that has stopped answering.
  bool stalled = false;
};
void configureDisk(const DiskOptions& options);
/// Lets a stalled disk go on.
void resumeDisk();

/// MIDI input: how often it was opened and closed since the last call, which clears both.
struct MidiRecord {
  int opens = 0;
  int closes = 0;
};
MidiRecord takeMidiRecord();

/// A MIDI note-on on `channel` (0 to 15), as the MIDI input hands it over; false while the
/// input is not open.
bool sendMidiNoteOn(int channel, int note);

}  // namespace consynth::fake
