#include "app/take_writer.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "formats/events_file.h"
#include "formats/printable.h"
#include "formats/wav_format.h"
#include "platform/threads.h"

namespace consynth {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How often the writer looks for blocks: the queue holds about 3 s, so a look now and then
// keeps it nearly empty while costing nothing.
constexpr auto kLookPeriod = 20ms;
// How often what was written is put on the disk itself.
constexpr auto kSyncPeriod = 500ms;

// The events file ends in `FRAME end` for the frames the WAV file holds, padded with spaces
// to a width of its own, so that it can be written over where it stands.
constexpr size_t kEndLineBytes = 24;
struct EndLine {
  char text[kEndLineBytes + 1];
  explicit EndLine(uint64_t frames) {
    const int length = std::snprintf(text, sizeof text, "%" PRIu64 " end", frames);
    std::memset(text + length, ' ', kEndLineBytes - 1 - static_cast<size_t>(length));
    text[kEndLineBytes - 1] = '\n';
    text[kEndLineBytes] = '\0';
  }
};

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  char text[32] = "an unknown date";
  // Only the main thread asks, before any other thread of the program's might.
  if (const std::tm* parts = std::gmtime(&now)) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", parts);
  }
  return text;
}

std::string seconds(uint64_t frames) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(frames) / kSampleRate);
  return text;
}

// A change in a block as the events file has it.
Event toEvent(const TakeBlock& block, const TakeEvent& change) {
  // In the order of TakeEvent::Kind.
  constexpr Event::Kind kKinds[] = {Event::Kind::NoteOn, Event::Kind::Up, Event::Kind::Down,
                                    Event::Kind::BypassOn, Event::Kind::BypassOff};
  static_assert(std::size(kKinds) == static_cast<size_t>(TakeEvent::Kind::BypassOff) + 1);
  Event event;
  event.frame = block.firstFrame + change.offset;
  event.kind = kKinds[static_cast<size_t>(change.kind)];
  event.voice = change.voice;
  event.note = change.note;
  event.patch = change.patch;
  return event;
}

// The lines of the oldest block's events within its first `frames` frames, in the order
// they took effect, as the renderer reads them: a frame's note-ons come before the voices
// render.
std::string eventLines(const TakeQueue& queue, const TakeBlock& block, uint32_t frames) {
  std::string lines;
  char line[64];
  auto add = [&](const char* format, auto... values) {
    const int length = std::snprintf(line, sizeof line, format, values...);
    if (length > 0) lines.append(line, static_cast<size_t>(length));
  };
  if (frames == 0) return lines;
  for (uint32_t i = 0; i < block.gapCount; ++i)
    add("# underrun at frame %" PRIu64 "\n", block.gaps[i]);
  for (uint32_t i = 0; i < block.eventCount; ++i) {
    const TakeEvent& event = queue.event(i);
    if (event.offset >= frames) break;
    lines += formatEvent(toEvent(block, event));
  }
  return lines;
}

}  // namespace

TakeNames takeNames(const std::string& name) {
  std::string base = name;
  if (base.size() >= 4) {
    std::string tail = base.substr(base.size() - 4);
    for (char& c : tail)
      c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (tail == ".wav") base.resize(base.size() - 4);
  }
  return {base + ".wav", base + ".events"};
}

TakeNames partNames(const TakeNames& first, int part) {
  const std::string base = first.wav.substr(0, first.wav.size() - 4) + "-" + std::to_string(part);
  return {base + ".wav", base + ".events"};
}

bool TakeWriter::create(const TakeNames& names, const char* version) {
  firstNames_ = names_ = names;
  queue_.clear();
  closing_.store(false);
  part_ = 1;
  partStart_ = 0;
  frames_ = 0;
  ended_ = false;
  message_.clear();
  head_ = std::string("# consynth ") + version + " take, recorded " + utcNow() + "\n";
  if (makeFiles(head_ + "# Every change to the engine at the frame where it took effect;\n"
                        "# replay with: consynth-render --events THIS_FILE OUT.wav\n")) {
    return true;
  }
  message_ = printable(madeFile_) + ": " + madeReason_;
  return false;
}

// Makes the part's two files, new: the WAV header, and the events file's `head`, then the
// event lines of `history` (the part before's events file), if any, then a `start` and the
// end line at the part's start. False if they cannot be made or written, with neither left
// behind.
bool TakeWriter::makeFiles(const std::string& head, std::istream* history,
                           const std::string& historyName) {
  if (!wav_.create(names_.wav)) {
    madeFile_ = names_.wav;
    madeReason_ = "cannot create: " + wav_.error();
    return false;
  }
  if (!events_.create(names_.events)) {
    madeFile_ = names_.events;
    madeReason_ = "cannot create: " + events_.error();
    wav_.remove();
    return false;
  }
  const auto header = wavHeader(0);
  std::string text = head;
  bool written = wav_.append(header.data(), header.size());
  madeFile_ = names_.wav;
  // The events from the take's start, a block at a time: every line but comments and the
  // last part's own `start` and `end`.
  std::string line;
  while (written && history != nullptr && std::getline(*history, line)) {
    const size_t word = line.find(' ') + 1;
    if (line.empty() || line[0] == '#' || line.compare(word, std::string::npos, "start") == 0 ||
        line.compare(word, std::string::npos, "end") == 0) {
      continue;
    }
    text += line + "\n";
    if (text.size() < 65536) continue;
    madeFile_ = names_.events;
    written = events_.append(text.data(), text.size());
    text.clear();
  }
  if (written && partStart_ > 0) {
    Event start;
    start.kind = Event::Kind::Start;
    start.frame = partStart_;
    text += formatEvent(start);
  }
  eventsEnd_ = events_.size() + text.size();
  text += EndLine(partStart_).text;
  madeFile_ = names_.events;
  written = written && events_.append(text.data(), text.size());
  if (history != nullptr && history->bad()) {
    madeFile_ = historyName;
    madeReason_ = "cannot be read back";
    written = false;
  } else if (!written) {
    madeReason_ = "write failed: " + (madeFile_ == names_.wav ? wav_ : events_).error();
  }
  if (written) return true;
  wav_.remove();
  events_.remove();
  return false;
}

bool TakeWriter::start() {
  try {
    thread_ = std::thread(&TakeWriter::run, this);
  } catch (const std::system_error&) {
    message_ = printable(names_.wav) + ": cannot start writing the take";
    wav_.remove();
    events_.remove();
    return false;
  }
  return true;
}

bool TakeWriter::finish() {
  closing_.store(true, std::memory_order_release);
  if (!thread_.joinable()) return false;
  thread_.join();
  if (!ended_) return true;

  const uint64_t rendered = queue_.rendered.load(std::memory_order_relaxed);
  message_ = printable(lostFile_) + ": " + lostReason_;
  if (frames_ < rendered) {
    message_ += ": the take stops at " + seconds(frames_) + " (frame " + std::to_string(frames_) +
                ") of " + seconds(rendered) + "; the rest was not recorded";
  }
  return false;
}

void TakeWriter::run() {
  platform::nameThisThread("take-writer");
  Clock::time_point nextSync = Clock::now() + kSyncPeriod;
  for (;;) {
    // Once the render thread has stopped, whatever it handed over is in the queue.
    const bool closing = closing_.load(std::memory_order_acquire);
    while (const TakeBlock* block = queue_.front()) {
      writeBlock(*block);
      queue_.pop();
    }
    // After a shortfall the render thread hands nothing more over: the take ends here.
    const TakeShortfall shortfall = queue_.shortfall.load(std::memory_order_acquire);
    if (shortfall != TakeShortfall::None && !ended_ && queue_.front() == nullptr) {
      if (shortfall == TakeShortfall::QueueFull) {
        endShort(names_.wav, "the disk fell behind by more than 3 s", frames_);
      } else {
        endShort(names_.events, "the disk fell behind by more changes than the queue holds",
                 frames_);
      }
    }
    if (closing) break;
    if (Clock::now() >= nextSync) {
      syncToDisk();
      nextSync = Clock::now() + kSyncPeriod;
    }
    std::this_thread::sleep_for(kLookPeriod);
  }
  if (!ended_) complete();
}

// The block's frames, then its events with the end line after them, then the WAV header's
// sizes: at every moment both files hold a whole take up to their common end.
void TakeWriter::writeBlock(const TakeBlock& block) {
  if (ended_) return;  // dropped: the take has ended
  if (frames_ - partStart_ + block.frames > partLimit_ && !nextPart()) return;
  unsigned char bytes[2 * TakeBlock::kMaxFrames * sizeof(float)];
  wavFrameBytes(block.samples, block.frames, bytes);

  const uint64_t before = wav_.size();
  if (!wav_.append(bytes, size_t{block.frames} * kWavBytesPerFrame)) {
    // The frames that made it are kept, and the events up to them.
    const std::string why = "write failed: " + wav_.error();
    const auto whole = static_cast<uint32_t>((wav_.size() - before) / kWavBytesPerFrame);
    const bool kept = putEvents(eventLines(queue_, block, whole), block.firstFrame + whole);
    endShort(names_.wav, why, block.firstFrame + (kept ? whole : 0));
    return;
  }
  if (!putEvents(eventLines(queue_, block, block.frames), block.firstFrame + block.frames)) {
    endShort(names_.events, "write failed: " + events_.error(), block.firstFrame);
    return;
  }
  frames_ = block.firstFrame + block.frames;
  const auto header = wavHeader(static_cast<uint32_t>(frames_ - partStart_));
  if (!wav_.writeAt(0, header.data(), header.size())) {
    endShort(names_.wav, "write failed: " + wav_.error(), frames_);
  }
}

// Writes event lines where the end line stands, and after them the end line at `end`. On
// failure the file is cut back to its old end line, which takes no new room on the disk.
bool TakeWriter::putEvents(std::string lines, uint64_t end) {
  const size_t length = lines.size();
  lines.append(EndLine(end).text, kEndLineBytes);
  if (events_.writeAt(eventsEnd_, lines.data(), lines.size())) {
    eventsEnd_ += length;
    return true;
  }
  events_.truncate(eventsEnd_ + kEndLineBytes);
  events_.writeAt(eventsEnd_, EndLine(frames_).text, kEndLineBytes);
  return false;
}

// What was written so far goes onto the disk itself, where a power cut leaves it.
void TakeWriter::syncToDisk() {
  if (ended_) return;
  if (!wav_.sync()) {
    endShort(names_.wav, "write failed: " + wav_.error(), frames_);
  } else if (!events_.sync()) {
    endShort(names_.events, "write failed: " + events_.error(), frames_);
  }
}

// The take ends at `frames`, short of what was played: both files are cut there and
// completed.
void TakeWriter::endShort(const std::string& file, const std::string& why, uint64_t frames) {
  ended_ = true;
  lostFile_ = file;
  lostReason_ = why;
  frames_ = frames;
  wav_.truncate(kWavHeaderBytes + (frames - partStart_) * kWavBytesPerFrame);
  complete();
}

// The part holds all it may: it is completed, and the take goes on in the next part, under
// the next number whose files do not exist. False, the take ended, if that cannot be.
bool TakeWriter::nextPart() {
  complete();
  if (ended_) return false;  // completing failed, and said why
  const std::string before = names_.events;
  std::ifstream history(before, std::ios::binary);
  std::error_code ec;
  do {
    names_ = partNames(firstNames_, ++part_);
  } while (std::filesystem::exists(names_.wav, ec) || std::filesystem::exists(names_.events, ec));
  partStart_ = frames_;
  const std::string head =
      head_ + "# Part " + std::to_string(part_) + ": goes on from the part before at frame " +
      std::to_string(partStart_) +
      ". Every change to the engine from the\n"
      "# take's start, at the frame where it took effect; the part's sound starts at 'start'.\n"
      "# Replay with: consynth-render --events THIS_FILE OUT.wav\n";
  if (!history) {
    madeFile_ = before;
    madeReason_ = "cannot be read back";
  }
  if (!history || !makeFiles(head, &history, before)) {
    ended_ = true;
    lostFile_ = madeFile_;
    lostReason_ = madeReason_;
    return false;
  }
  return true;
}

// The header's sizes and the end line, trimmed of its padding, all on the disk. Neither
// needs new room.
void TakeWriter::complete() {
  const auto header = wavHeader(static_cast<uint32_t>(frames_ - partStart_));
  bool wavDone = wav_.writeAt(0, header.data(), header.size());
  wavDone = wav_.sync() && wavDone;
  wavDone = wav_.close() && wavDone;

  Event endEvent;
  endEvent.kind = Event::Kind::End;
  endEvent.frame = frames_;
  const std::string end = formatEvent(endEvent);
  bool eventsDone = events_.writeAt(eventsEnd_, end.data(), end.size());
  eventsDone = events_.truncate(eventsEnd_ + end.size()) && eventsDone;
  eventsDone = events_.sync() && eventsDone;
  eventsDone = events_.close() && eventsDone;

  if (ended_) return;  // already said why
  if (!wavDone) {
    ended_ = true;
    lostFile_ = names_.wav;
    lostReason_ = "write failed: " + wav_.error();
  } else if (!eventsDone) {
    ended_ = true;
    lostFile_ = names_.events;
    lostReason_ = "write failed: " + events_.error();
  }
}

}  // namespace consynth
