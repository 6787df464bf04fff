#include "instrument/event_replay.h"

#include <algorithm>

namespace consynth {

void renderEvents(FrameMixer& mixer, const std::vector<Event>& events, uint64_t frames,
                  const FrameSink& sink) {
  constexpr uint32_t kBlockFrames = 4096;
  float block[2 * kBlockFrames];
  size_t next = 0;  // first event not yet applied
  bool bypass = false;

  for (uint64_t start = 0; start < frames; start += kBlockFrames) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kBlockFrames, frames - start));
    // Render in runs from one event frame to the next: the keys of an event frame act on
    // the first frame of its run, the bypass holds for the whole run.
    for (uint32_t i = 0; i < count;) {
      const uint64_t frame = start + i;
      FrameKeys keys;
      for (; next < events.size() && events[next].frame == frame; ++next) {
        const Event& e = events[next];
        switch (e.kind) {
          case Event::Kind::NoteOn:
            mixer.voices[e.voice].noteOn(e.note, e.patch);
            break;
          case Event::Kind::Up:
            keys.upPressed = true;
            break;
          case Event::Kind::Down:
            keys.downPressed = true;
            break;
          case Event::Kind::BypassOn:
            bypass = true;
            break;
          case Event::Kind::BypassOff:
            bypass = false;
            break;
          case Event::Kind::Start:  // the caller keeps the frames from here on
          case Event::Kind::End:    // the caller's frame count says where to stop
            break;
        }
      }
      keys.bypass = bypass;
      uint32_t run = count - i;
      if (next < events.size() && events[next].frame < start + count) {
        run = static_cast<uint32_t>(events[next].frame - frame);
      }
      mixer.renderFrames(keys, block + 2 * i, run);
      i += run;
    }
    if (!sink(block, count)) return;
  }
}

}  // namespace consynth
