#pragma once

#include <atomic>
#include <cstdint>
#include <istream>
#include <string>
#include <thread>

#include "engine/take_queue.h"
#include "formats/wav_format.h"
#include "platform/new_file.h"

namespace consynth {

/// Where a take goes: NAME.wav and NAME.events, from the NAME given to --record less a
/// trailing ".wav".
struct TakeNames {
  std::string wav;
  std::string events;
};
TakeNames takeNames(const std::string& name);

/// Where part `part` (2 on) of the take in `first` goes: NAME-2.wav and NAME-2.events.
TakeNames partNames(const TakeNames& first, int part);

/// Writes a take as the render thread hands it over: the sound to a WAV file in the
/// renderer's form, every change to the engine to an events file that the renderer replays
/// to the same sound, bit for bit. Runs on a thread of its own, so the sound never waits
/// for the disk.
///
/// Both files hold a whole take at every moment: after each buffer the WAV header counts
/// its frames and the events file ends in an `end` line at the same frame, so a take cut
/// short by a kill is complete up to its last buffer; twice a second both go onto the disk
/// itself, so a power cut leaves them complete up to that. Should the disk fail or fall
/// behind by the whole queue, the take ends at the last frame both files hold.
///
/// A take longer than a WAV file holds goes on in parts: NAME-2.wav and NAME-2.events, then
/// -3 and so on (a number whose files exist is passed over). Each part's events file holds
/// every change from the take's start and a `start` line where the part's sound starts, so
/// that it replays to the part's WAV file on its own.
class TakeWriter {
 public:
  /// Creates both files, new, with their headers: `version` and the date head the events.
  /// False if either exists or cannot be made; message() says which and why, and neither
  /// is left behind.
  bool create(const TakeNames& names, const char* version);

  /// Where the render thread hands the take over.
  TakeQueue& queue() { return queue_; }

  /// Starts writing on a thread of its own. False (the files removed) if it cannot start.
  bool start();

  /// Once the render thread has stopped: writes what it handed over, completes both files
  /// and stops the thread. True when the take is whole; else message() says in one line
  /// what was lost and why.
  bool finish();

  const std::string& message() const { return message_; }

  /// Ends each part after at most `frames` frames instead of the most a WAV file holds: for
  /// the tests. Before create.
  void limitPartsTo(uint64_t frames) { partLimit_ = frames; }

 private:
  void run();
  void writeBlock(const TakeBlock& block);
  bool putEvents(std::string lines, uint64_t end);
  void syncToDisk();
  void endShort(const std::string& file, const std::string& why, uint64_t frames);
  void complete();
  bool makeFiles(const std::string& head, std::istream* history = nullptr,
                 const std::string& historyName = "");
  bool nextPart();

  TakeQueue queue_;
  TakeNames firstNames_;
  TakeNames names_;   ///< the part being written
  std::string head_;  ///< what heads each part's events file: the version and the date
  uint64_t partLimit_ = kMaxWavFrames;  ///< at least a take block's frames
  platform::NewFile wav_;
  platform::NewFile events_;
  std::thread thread_;
  std::atomic<bool> closing_{false};

  // The writer thread's own while it runs.
  int part_ = 1;
  uint64_t partStart_ = 0;  ///< the frame where the part's sound starts
  uint64_t frames_ = 0;     ///< the frame where both files end
  uint64_t eventsEnd_ = 0;  ///< where the events file's end line starts
  bool ended_ = false;      ///< the take ended short; what comes is dropped
  std::string lostFile_;    ///< why it ended short: the file ...
  std::string lostReason_;  ///< ... and what befell it
  std::string madeFile_;    ///< why makeFiles failed: the file ...
  std::string madeReason_;  ///< ... and what befell it
  std::string message_;
};

}  // namespace consynth
