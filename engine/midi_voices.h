#pragma once

namespace consynth {

/// MIDI note n plays note n + 4, the nearest to concert pitch in the voices' own scale
/// (MIDI 69, A 440 Hz, plays note 73 at about 434.7 Hz, 21 cents flat).
inline constexpr int kMidiNoteOffset = 4;

/// Voices 4 to 9, the ones the keys leave alone, as MIDI note-ons take them: each note-on
/// takes the voice whose last note-on is the oldest, a voice never used before any other,
/// so a seventh held note takes the voice nearest the end of its envelope (every note has
/// the same envelope). Since every note-on on these voices comes from here, that is the
/// voices in turn.
class MidiVoices {
 public:
  static constexpr int kFirst = 4;
  static constexpr int kCount = 6;

  /// The voice for the next note-on.
  int take() {
    const int voice = kFirst + next_;
    next_ = (next_ + 1) % kCount;
    return voice;
  }

  /// None used yet: the next note-on takes voice 4.
  void reset() { next_ = 0; }

 private:
  int next_ = 0;
};

}  // namespace consynth
