#pragma once

#include "instrument/frame_mixer.h"

namespace consynth {

/// The render thread's front panel: the reverb keys it reads before each run of frames
/// (Up, Down and F5 reach the engine this way, not through the control loop) and the two
/// lines it shows for each buffer. The program's panel is the keyboard and the console;
/// a test puts in its own. Called on the render thread: none of them may block.
struct RenderPanel {
  void* context = nullptr;
  /// The reverb keys now: Up or Down pressed since the previous poll, F5 held.
  FrameKeys (*pollKeys)(void* context) = nullptr;
  /// A buffer is rendered: the controls it ended with and its level monitor, the magnitude
  /// of its first left sample.
  void (*showStatus)(void* context, int lpfnum, int type, double monitor) = nullptr;
  /// The credit after buffer `index` has come: the ring moves on.
  void (*showIndex)(void* context, unsigned index) = nullptr;
  /// A buffer is rendered: its samples, for a level meter. Null: not called.
  void (*showLevels)(void* context, const float* interleaved, unsigned frames) = nullptr;
};

/// Up, Down and F5 from the keyboard; the status line and the ring index line on the
/// console.
RenderPanel consolePanel();

/// Up, Down and F5 from the keyboard; no lines.
RenderPanel keysOnlyPanel();

}  // namespace consynth
