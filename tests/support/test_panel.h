#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/render_panel.h"

namespace consynth {

/// One line the render thread showed: a status line, or (index >= 0) an index line.
struct PanelLine {
  int index = -1;
  int lpfnum = 0;
  int type = 0;
  double monitor = 0.0;
};

/// The panel the engine's render thread uses in the tests: it plays the keys `keys` gives
/// for each poll (counted from 0) and records the lines.
class TestPanel {
 public:
  std::function<FrameKeys(int poll)> keys = [](int) { return FrameKeys{}; };

  RenderPanel panel() { return {this, poll, status, index}; }

  std::vector<PanelLine> lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

  int statusLines() { return count(false); }
  int indexLines() { return count(true); }

  /// Waits until at least that many lines were shown; gives up after a generous while, so
  /// a fault shows as a failed expectation rather than a hung test.
  void waitFor(int statusLines, int indexLines) {
    using namespace std::chrono_literals;
    for (int i = 0; i < 1000 && (count(false) < statusLines || count(true) < indexLines); ++i)
      std::this_thread::sleep_for(5ms);
  }

 private:
  static FrameKeys poll(void* self) {
    auto& panel = *static_cast<TestPanel*>(self);
    return panel.keys(panel.polls_++);  // the render thread's alone while it runs
  }
  static void status(void* self, int lpfnum, int type, double monitor) {
    static_cast<TestPanel*>(self)->add({-1, lpfnum, type, monitor});
  }
  static void index(void* self, unsigned index) {
    static_cast<TestPanel*>(self)->add({static_cast<int>(index)});
  }
  void add(const PanelLine& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(line);
  }
  int count(bool indexLines) {
    std::lock_guard<std::mutex> guard(mutex_);
    int n = 0;
    for (const PanelLine& line : lines_)
      n += (line.index >= 0) == indexLines;
    return n;
  }

  std::mutex mutex_;
  std::vector<PanelLine> lines_;
  int polls_ = 0;
};

}  // namespace consynth
