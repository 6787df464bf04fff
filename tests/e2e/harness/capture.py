"""What a null sink played, recorded from its monitor with the moment each frame played."""

import array
import collections
import os
import statistics
import subprocess
import threading
import time

from .checks import check, figure
from .scenario import wait_for

RATE = 44100
# Key to sound by design: up to one poll (32 ms), the ring ahead of the buffer being rendered
# (five buffers, 58 ms) and the sound server's own buffering; about 80 ms measured. A
# control loop polling ten times slower lands near 200 ms.
LATENCY_BOUND_MS = 130
# The chunks that bound when a frame played: long enough that some reach us promptly, short
# enough that the sink's clock drifts by a fraction of a millisecond over it.
BOUND_WINDOW = 2.0


class Capture:
    """Records a null sink's monitor, and maps its frames to the times they played.

    The null sink plays by the clock, so frame f plays at f / RATE + c, for a c that drifts
    slowly: the sink's count of frames runs some hundred parts per million off ours
    (PulseAudio's null sink runs fast, by 100 to 800 ppm, so over two minutes c falls by tens
    of milliseconds). A chunk of the recording reaches us once its last frame has played,
    and later when the recorder or this reader is held up (a loaded machine), never earlier:
    each chunk bounds c from above, and the least bound among the chunks of the next
    BOUND_WINDOW seconds is the best estimate, the drift within them a fraction of a
    millisecond. Only chunks from a frame's own on count, so frames the recorder ever lost
    before it shift nothing."""

    def __init__(self, scenario, sink="e2e", pipewire=False):
        self.samples = array.array("f")
        self.chunks = []  # (arrival time, frames recorded once the chunk is in)
        self.lock = threading.Lock()
        recorder = (["pw-record", "--target", sink, "--rate", "44100", "--channels", "2",
                     "--format", "f32", "--latency", "5ms", "-"] if pipewire else
                    ["parec", "-d", f"{sink}.monitor", "--format=float32le", "--rate=44100",
                     "--channels=2", "--raw", "--latency-msec=5"])
        self.process = scenario.spawn(recorder, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()
        wait_for(lambda: self.frames() > RATE // 10, 10)

    def _read(self):
        pending = b""
        fd = self.process.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                return
            now = time.monotonic()
            data = pending + data
            usable = len(data) - len(data) % 8
            pending = data[usable:]
            with self.lock:
                self.samples.frombytes(data[:usable])
                self.chunks.append((now, len(self.samples) // 2))

    def frames(self):
        with self.lock:
            return len(self.samples) // 2

    def part(self, start, stop):  # interleaved, left first
        with self.lock:
            return self.samples[2 * start:2 * stop]

    def _spans(self):
        """(first frame, end frame, c) for each chunk, c the least bound among the chunks
        that arrived from it on, within BOUND_WINDOW seconds."""
        with self.lock:
            chunks = list(self.chunks)
        spans, window = [], collections.deque()  # (arrival, bound), bounds rising
        for i in range(len(chunks) - 1, -1, -1):
            arrival, end = chunks[i]
            bound = arrival - end / RATE
            while window and window[-1][1] >= bound:
                window.pop()  # a later chunk with a bound no less bounds nothing
            window.append((arrival, bound))
            while window[0][0] > arrival + BOUND_WINDOW:
                window.popleft()
            spans.append((chunks[i - 1][1] if i > 0 else 0, end, window[0][1]))
        return spans[::-1]

    def frame_at(self, when):
        """The frame that played at monotonic time `when` (the end of the recording so far
        if that is later)."""
        for first, end, c in self._spans():
            if c + end / RATE > when:
                return max(first, int((when - c) * RATE))
        return self.frames()

    def reach(self, when, timeout=5):
        """Waits until the recording holds what played at `when`."""
        wait_for(lambda: (self.time_of(self.frames() - 1) or 0) >= when, timeout)

    def time_of(self, frame):
        """When `frame` played, or None if it is not recorded yet."""
        for first, end, c in self._spans():
            if end > frame:
                return c + frame / RATE
        return None

    def level(self, start, stop):
        return max((abs(x) for x in self.part(start, stop)), default=0.0)

    def onset(self, start, threshold):
        """The first frame from `start` on whose level exceeds `threshold`."""
        with self.lock:
            return next((i // 2 for i in range(2 * start, len(self.samples))
                         if abs(self.samples[i]) > threshold), None)

    def last_above(self, start, stop, threshold):
        with self.lock:
            return next((i // 2 for i in range(min(2 * stop, len(self.samples)) - 1,
                                               2 * start - 1, -1)
                         if abs(self.samples[i]) > threshold), None)

    def onset_after(self, sent, wait=1.0):
        """The first frame of a sound that starts after `sent`, over whatever tail was
        sounding. Looked for `wait` seconds later, when the recording reaches well beyond."""
        time.sleep(wait)
        baseline = self.level(self.frame_at(sent - 0.2), self.frame_at(sent))
        return self.onset(self.frame_at(sent - 0.005), max(1e-4, 20 * baseline))

    def gaps(self, start, stop):
        """Frames in which both channels are exactly 0.0, from the first frame after `start`
        that is not, up to `stop`: once a voice has sounded the engine never again puts out
        an exact zero (tails settle on tiny subnormals), so each such frame is a gap that the
        way to the speaker inserted. Returns (gap frames, gaps, longest gap in frames)."""
        data = memoryview(self.part(start, stop)).cast("B").tobytes()
        silence = bytes(8)
        first = next((i for i in range(0, len(data), 8) if data[i:i + 8] != silence), None)
        frames = runs = longest = 0
        at = len(data) if first is None else data.find(silence, first)
        while 0 <= at < len(data):
            if at % 8:  # zero bytes across two frames: look on from the next frame
                at = data.find(silence, at - at % 8 + 8)
                continue
            run = 0
            while data[at:at + 8] == silence:
                run += 1
                at += 8
            frames, runs, longest = frames + run, runs + 1, max(longest, run)
            at = data.find(silence, at)
        return frames, runs, longest

    def shift_to(self, take, started, required=True):
        """How many frames later the recording holds a take's frames, from the first sound
        of both (the take from `started` on, the moment its program started); None if
        either has none, which fails a check where `required`."""
        heard = self.onset(self.frame_at(started), 0.0)
        kept = next((i // 2 for i, sample in enumerate(take) if sample != 0.0), None)
        found = heard is not None and kept is not None
        if required:
            check(found, "sound in the take and in the recording")
        elif not found:
            figure("no sound in the recording to time the take by")
        return heard - kept if found else None

    def check_latency(self, presses, what, unit="presses", bound=LATENCY_BOUND_MS):
        """Latency over (moment the key or note had surely been sent, onset frame) pairs:
        its median must stay within `bound` ms (the design's, by default). Timed from when
        the sending command returned, so that a loaded machine slow to start it counts for
        nothing; the sound is looked for from before it started. Returns the median."""
        latencies = [(self.time_of(onset) - sent) * 1000 for sent, onset in presses
                     if self.time_of(onset) is not None]
        if not latencies:
            return None
        median = statistics.median(latencies)
        figure(f"{what} over {len(latencies)} {unit}: median {median:.1f} ms, "
               f"best {min(latencies):.1f} ms, worst {max(latencies):.1f} ms")
        bound = LATENCY_BOUND_MS if bound is None else bound
        check(median < bound, f"{what}: median {median:.1f} ms, within {bound:.0f} ms")
        return median
