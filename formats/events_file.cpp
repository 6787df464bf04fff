#include "formats/events_file.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "formats/printable.h"
#include "formats/wav_format.h"
#include "synth/voice.h"

namespace consynth {

namespace {

using Words = std::vector<std::string_view>;

// What the lines before tell about the next one.
struct ParseState {
  bool anyEvent = false;
  uint64_t lastFrame = 0;
  bool upSeen = false;    // on lastFrame
  bool downSeen = false;  // on lastFrame
  bool ended = false;     // an `end` came
  bool started = false;   // a `start` came ...
  uint64_t start = 0;     // ... at this frame
};

// Splits a line into whitespace-separated words, dropping anything after '#'.
Words words(std::string_view line) {
  if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
  }
  Words result;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
      ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r')
      ++j;
    if (j > i) result.push_back(line.substr(i, j - i));
    i = j;
  }
  return result;
}

// Parses the whole word as a number in `base`; false on any stray character or overflow.
template <typename T>
bool parseWhole(std::string_view word, T& value, int base = 10) {
  if (word.empty()) return false;
  const char* end = word.data() + word.size();
  const auto [ptr, ec] = std::from_chars(word.data(), end, value, base);
  return ec == std::errc() && ptr == end;
}

bool parsePatch(std::string_view word, uint32_t& patch) {
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    return parseWhole(word.substr(2), patch, 16);
  }
  return parseWhole(word, patch);
}

bool isDigits(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// One reader per event kind: each checks the words after the frame number, fills in
// `event` and returns an error message, empty when the line is good.

std::string parseNoteOn(const Words& w, Event& event, ParseState&) {
  if (w.size() < 4 || w.size() > 5) return "expected: FRAME noteon VOICE NOTE [PATCH]";
  event.kind = Event::Kind::NoteOn;
  if (!isDigits(w[2]) || !parseWhole(w[2], event.voice) || event.voice >= kVoiceCount) {
    return "voice must be 0 to " + std::to_string(kVoiceCount - 1);
  }
  if (!parseWhole(w[3], event.note)) return "note must be a signed 32-bit decimal";
  event.patch = kKeyPatch;
  if (w.size() == 5 && !parsePatch(w[4], event.patch)) {
    return "patch must be an unsigned 32-bit decimal or 0x-hex number";
  }
  return {};
}

// `up` and `down`: one of each per frame, as the render thread polls each key once a frame.
std::string parseStep(const Words& w, Event& event, ParseState& state) {
  const bool up = w[1] == "up";
  const std::string name = up ? "'up'" : "'down'";
  if (w.size() != 2) return "unexpected text after " + name;
  bool& seen = up ? state.upSeen : state.downSeen;
  if (seen) return "a second " + name + " on one frame";
  seen = true;
  event.kind = up ? Event::Kind::Up : Event::Kind::Down;
  return {};
}

std::string parseBypass(const Words& w, Event& event, ParseState&) {
  if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return "expected: FRAME f5 on|off";
  event.kind = (w[2] == "on") ? Event::Kind::BypassOn : Event::Kind::BypassOff;
  return {};
}

// `start`: the sound kept begins at this frame. Once only.
std::string parseStart(const Words& w, Event& event, ParseState& state) {
  if (w.size() != 2) return "unexpected text after 'start'";
  if (state.started) return "a second 'start'";
  event.kind = Event::Kind::Start;
  state.started = true;
  state.start = event.frame;
  return {};
}

// `end`: the render stops before this frame. Nothing may follow it.
std::string parseEnd(const Words& w, Event& event, ParseState& state) {
  if (w.size() != 2) return "unexpected text after 'end'";
  if (event.frame - state.start > kMaxWavFrames) {
    if (!state.started) {
      return "'end' beyond frame " + std::to_string(kMaxWavFrames) + ", the most a WAV file holds";
    }
    return "'end' more than " + std::to_string(kMaxWavFrames) +
           " frames after 'start', the most a WAV file holds";
  }
  event.kind = Event::Kind::End;
  state.ended = true;
  return {};
}

struct EventKind {
  std::string_view word;
  std::string (*parse)(const Words&, Event&, ParseState&);
};

constexpr EventKind kEventKinds[] = {
    {"noteon", parseNoteOn}, {"up", parseStep},     {"down", parseStep},
    {"f5", parseBypass},     {"start", parseStart}, {"end", parseEnd},
};

// Reads one line's event, if it holds one, into `events`; returns an error message, empty
// when the line is good.
std::string parseLine(std::string_view line, ParseState& state, std::vector<Event>& events) {
  const Words w = words(line);
  if (w.empty()) return {};

  Event event;
  if (state.ended) return "nothing may follow 'end'";
  if (!isDigits(w[0])) return "expected a frame number, found " + quoted(w[0]);
  if (!parseWhole(w[0], event.frame)) return "frame number out of range";
  if (state.anyEvent && event.frame < state.lastFrame) {
    return "frame " + std::to_string(event.frame) + " comes before frame " +
           std::to_string(state.lastFrame);
  }
  if (!state.anyEvent || event.frame != state.lastFrame) state.upSeen = state.downSeen = false;
  state.anyEvent = true;
  state.lastFrame = event.frame;

  if (w.size() < 2) return "missing event after the frame number";
  for (const EventKind& kind : kEventKinds) {
    if (w[1] != kind.word) continue;
    std::string error = kind.parse(w, event, state);
    if (error.empty()) events.push_back(event);
    return error;
  }
  return "unknown event " + quoted(w[1]);
}

EventsParse failed(uint64_t line, std::string message) {
  EventsParse parse;
  parse.error = std::move(message);
  parse.errorLine = line;
  return parse;
}

}  // namespace

EventsParse parseEvents(std::istream& in) {
  // Editors on Windows may begin a UTF-8 text file with a byte order mark.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

  EventsParse parse;
  ParseState state;
  // A line is read into this fixed buffer, so memory stays small whatever the input.
  std::string buffer(kMaxEventsLineBytes + 1, '\0');
  for (uint64_t lineNumber = 1;; ++lineNumber) {
    in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) return failed(0, "read error");
    if (in.fail()) {
      if (in.eof() && in.gcount() == 0) break;
      return failed(lineNumber,
                    "line longer than " + std::to_string(kMaxEventsLineBytes) + " bytes");
    }
    // The count includes the '\n', except on a last line that lacks one.
    std::string_view line(buffer.data(), static_cast<size_t>(in.gcount()) - (in.eof() ? 0 : 1));
    if (lineNumber == 1 && line.starts_with(kByteOrderMark)) line.remove_prefix(3);
    std::string error = parseLine(line, state, parse.events);
    if (!error.empty()) return failed(lineNumber, std::move(error));
    if (in.eof()) break;
  }
  return parse;
}

std::string formatEvent(const Event& event) {
  char line[64];
  const char* word = "";
  switch (event.kind) {
    case Event::Kind::NoteOn:
      std::snprintf(line, sizeof line, "%" PRIu64 " noteon %d %" PRId32 " 0x%08" PRIX32 "\n",
                    event.frame, event.voice, event.note, event.patch);
      return line;
    case Event::Kind::Up:
      word = "up";
      break;
    case Event::Kind::Down:
      word = "down";
      break;
    case Event::Kind::BypassOn:
      word = "f5 on";
      break;
    case Event::Kind::BypassOff:
      word = "f5 off";
      break;
    case Event::Kind::Start:
      word = "start";
      break;
    case Event::Kind::End:
      word = "end";
      break;
  }
  std::snprintf(line, sizeof line, "%" PRIu64 " %s\n", event.frame, word);
  return line;
}

}  // namespace consynth
