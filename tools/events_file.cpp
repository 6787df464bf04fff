#include "tools/events_file.h"

#include <charconv>
#include <sstream>
#include <string_view>

#include "audio/frame_mixer.h"
#include "synth/voice.h"

namespace consynth {

namespace {

// Splits a line into whitespace-separated words, dropping anything after '#'.
std::vector<std::string_view> words(std::string_view line) {
  if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
  }
  std::vector<std::string_view> result;
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

}  // namespace

EventsParse parseEvents(std::istream& in) {
  EventsParse parse;
  std::string line;
  int lineNumber = 0;
  uint64_t lastFrame = 0;
  bool upSeen = false;    // on lastFrame
  bool downSeen = false;  // on lastFrame

  const auto fail = [&](std::string message) {
    parse.events.clear();
    parse.error = std::move(message);
    parse.errorLine = lineNumber;
    return parse;
  };

  while (std::getline(in, line)) {
    ++lineNumber;
    const std::vector<std::string_view> w = words(line);
    if (w.empty()) continue;

    Event event;
    if (!isDigits(w[0])) return fail("expected a frame number, found '" + std::string(w[0]) + "'");
    if (!parseWhole(w[0], event.frame)) return fail("frame number out of range");
    if (!parse.events.empty() && event.frame < lastFrame) {
      return fail("frame " + std::string(w[0]) + " comes before frame " +
                  std::to_string(lastFrame));
    }
    if (parse.events.empty() || event.frame != lastFrame) upSeen = downSeen = false;
    lastFrame = event.frame;

    if (w.size() < 2) return fail("missing event after the frame number");
    const std::string_view kind = w[1];
    if (kind == "noteon") {
      if (w.size() < 4 || w.size() > 5) return fail("expected: FRAME noteon VOICE NOTE [PATCH]");
      event.kind = Event::Kind::NoteOn;
      if (!isDigits(w[2]) || !parseWhole(w[2], event.voice) || event.voice >= kVoiceCount) {
        return fail("voice must be 0 to " + std::to_string(kVoiceCount - 1));
      }
      if (!parseWhole(w[3], event.note)) return fail("note must be a signed 32-bit decimal");
      event.patch = kKeyPatch;
      if (w.size() == 5 && !parsePatch(w[4], event.patch)) {
        return fail("patch must be an unsigned 32-bit decimal or 0x-hex number");
      }
    } else if (kind == "up" || kind == "down") {
      if (w.size() != 2) return fail("unexpected text after '" + std::string(kind) + "'");
      bool& seen = (kind == "up") ? upSeen : downSeen;
      if (seen) return fail("a second '" + std::string(kind) + "' on one frame");
      seen = true;
      event.kind = (kind == "up") ? Event::Kind::Up : Event::Kind::Down;
    } else if (kind == "f5") {
      if (w.size() != 3 || (w[2] != "on" && w[2] != "off"))
        return fail("expected: FRAME f5 on|off");
      event.kind = (w[2] == "on") ? Event::Kind::BypassOn : Event::Kind::BypassOff;
    } else {
      return fail("unknown event '" + std::string(kind) + "'");
    }
    parse.events.push_back(event);
  }
  if (in.bad()) {
    lineNumber = 0;
    return fail("read error");
  }
  return parse;
}

}  // namespace consynth
