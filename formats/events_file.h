#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace consynth {

/// One line of an events file: something the keyboard would do at a given frame.
struct Event {
  enum class Kind { NoteOn, Up, Down, BypassOn, BypassOff, Start, End };

  uint64_t frame = 0;
  Kind kind = Kind::NoteOn;
  int voice = 0;       ///< NoteOn only
  int32_t note = 0;    ///< NoteOn only
  uint32_t patch = 0;  ///< NoteOn only
};

/// The longest line an events file may hold, in bytes, not counting its '\n'.
inline constexpr size_t kMaxEventsLineBytes = 4096;

/// Result of reading an events file: the events in file order, or the first error found
/// (`errorLine` is 1-based; 0 when the error is not tied to a line). A message escapes any
/// input it quotes, so it is safe to print.
struct EventsParse {
  std::vector<Event> events;
  std::string error;
  uint64_t errorLine = 0;

  bool ok() const { return error.empty(); }

  /// The frame of the closing `end` event, where the render stops; nothing if there is none.
  std::optional<uint64_t> endFrame() const {
    if (events.empty() || events.back().kind != Event::Kind::End) return std::nullopt;
    return events.back().frame;
  }

  /// The frame of the `start` event, where the sound kept begins; 0 if there is none.
  uint64_t startFrame() const {
    for (const Event& event : events) {
      if (event.kind == Event::Kind::Start) return event.frame;
    }
    return 0;
  }
};

/// Reads events in the text form
///   FRAME noteon VOICE NOTE [PATCH] | FRAME up | FRAME down | FRAME f5 on | FRAME f5 off
///   | FRAME start | FRAME end
/// one per line, '#' starting a comment. Frames must not go backwards, a frame may hold
/// at most one `up` and one `down`, a `start` (where the sound kept begins: the frames
/// before it are rendered, for the state they leave, but not kept) comes at most once, and an
/// `end` (where a render stops, at most a WAV file's frames after the start) comes last. A UTF-8
/// byte order mark before the first line is skipped; a line longer than kMaxEventsLineBytes is an
/// error.
EventsParse parseEvents(std::istream& in);

/// The line, '\n' included, that parseEvents reads back as `event`: the form a recorder
/// writes.
std::string formatEvent(const Event& event);

}  // namespace consynth
