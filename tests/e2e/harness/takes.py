"""Takes (--record NAME): reading their WAV and events files, replaying them with
consynth-render, and comparing them and the renderer's output with what was heard."""

import array
import os
import subprocess

from .capture import RATE
from .checks import check
from .scenario import read


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def read_wav(path):
    """The float samples of a WAV file's data chunk, as far as its header counts them; None
    if the file is not a whole RIFF/WAVE file with a float data chunk."""
    data = read(path, "rb", b"")
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    at = 12
    while at + 8 <= len(data):
        size = int.from_bytes(data[at + 4:at + 8], "little")
        if data[at:at + 4] == b"data":
            if at + 8 + size > len(data):
                return None
            samples = array.array("f")
            samples.frombytes(data[at + 8:at + 8 + size])
            return samples
        at += 8 + size + (size & 1)
    return None


def differing(a, b):
    """How many samples differ, or -1 if the lengths do."""
    return sum(1 for x, y in zip(a, b) if x != y) if len(a) == len(b) else -1


class Renderer:
    """consynth-render from the program's own build (tools/ beside app/), run the way the
    program is: through the emulator, or under Wine with Windows paths."""

    def __init__(self, program, emulator=(), wine=False):
        path = os.path.join(os.path.dirname(os.path.dirname(program)), "tools",
                            "consynth-render.exe" if wine else "consynth-render")
        self.command = ["wine", path] if wine else [*emulator, path]
        self.file = windows_path if wine else str

    def run(self, *args):
        return subprocess.run(self.command + list(args), capture_output=True, timeout=120)

    def render(self, events, out, frames=None):
        length = [] if frames is None else ["--frames", str(frames)]
        return self.run("--events", self.file(events), *length, self.file(out))


class Take:
    """The files of a take recorded with --record BASE: BASE.wav and BASE.events."""

    def __init__(self, base):
        self.base = base

    def events(self):
        return read(self.base + ".events", missing="")

    def underruns(self):
        """The frames where the output ran dry, as the take marks them."""
        return [int(line.split()[-1]) for line in self.events().splitlines()
                if line.startswith("# underrun at frame ")]

    def note_frames(self, voices):
        """The frames where the note-ons on `voices` took effect, in order."""
        return [int(words[0]) for words in map(str.split, self.events().splitlines())
                if len(words) > 2 and words[1] == "noteon" and int(words[2]) in voices]

    def check(self, renderer, what, frames=None):
        """The WAV file must be the offline render of the events file, bit for bit over its
        whole length: without `frames`, the render ends at the events file's own 'end'.
        Returns the take's samples (None if unreadable)."""
        take = read_wav(self.base + ".wav")
        check(take is not None, f"{what}: the WAV file opens")
        replay = self.base + ".replay.wav"
        rendered = renderer.render(self.base + ".events", replay, frames)
        check(rendered.returncode == 0, f"{what}: the events file replays (exit code "
              f"{rendered.returncode}: {rendered.stderr.decode(errors='replace')[:200].strip()})")
        if take is None or rendered.returncode != 0:
            return take
        again = read_wav(replay) or []
        check(differing(take, again) == 0, f"{what}: {len(take) // 2} frames "
              f"({len(take) / 2 / RATE:.2f} s), the offline render of its events bit for bit "
              f"({differing(take, again)} samples differ, {len(again) // 2} frames replayed)")
        return take


def check_exact_sound(scenario, renderer, capture, onset, note_on="0 noteon 0 36"):
    """The first note, as heard from frame `onset`, must be the engine's output sample for
    sample: nothing dropped, repeated or altered between the render thread and the
    speaker."""
    frames = 2 * RATE
    rendered = renderer.render(scenario.write("note.events", note_on + "\n"),
                               scenario.path("note.wav"), frames)
    expected = read_wav(scenario.path("note.wav")) if rendered.returncode == 0 else None
    heard = capture.part(onset, onset + frames)
    check(expected is not None and differing(heard, expected) == 0,
          f"the first note as heard equals the offline render bit for bit over {frames} frames "
          f"({differing(heard, expected or [])} samples differ)")


# How far from the frame its take marks a gap may be heard, in frames. The mark is the first
# frame of the buffer the output played after running dry, and the gap is heard just before
# it, or within it where a server ran dry in the middle of a buffer: a few buffers' slack.
UNDERRUN_MARK_SLACK = 4096


def first_difference(a, b):
    """The first frame (8 bytes) at which two byte strings of frames differ over their common
    length, or None; found by halving, so that each comparison runs at memcmp's pace."""
    common = min(len(a), len(b)) // 8
    if a[:8 * common] == b[:8 * common]:
        return None
    same, differs = 0, common  # a and b agree on frames [0, same), not on [0, differs)
    while differs - same > 1:
        middle = (same + differs) // 2
        if a[8 * same:8 * middle] == b[8 * same:8 * middle]:
            same = middle
        else:
            differs = middle
    return same


def check_heard_take(capture, take, started, escape, seconds, underruns=(), unmarked=False):
    """From the first sound on, what the server played is the take, sample for sample, up
    to the moment of Escape, over more than `seconds`: nothing lost, repeated or altered.
    Silence that the take has not may stand between its frames only where the output ran
    dry and the take marks it (`underruns`, its frames), or, with `unmarked`, anywhere (a
    layer below the output ran dry out of its sight): each such gap is reported."""
    capture.reach(escape)
    heard_from = capture.onset(capture.frame_at(started), 0.0)
    kept_from = next((i // 2 for i, sample in enumerate(take) if sample != 0.0), None)
    if not check(heard_from is not None and kept_from is not None,
                 "sound in the take and in the recording"):
        return
    heard = capture.part(heard_from, capture.frame_at(escape)).tobytes()
    kept = take[2 * kept_from:].tobytes()
    marks_left, silence, runs = list(underruns), bytes(8), []
    at, parted_at = 0, None  # at: the frame reached in `heard`, `sum(runs)` ahead of `kept`
    while (parted := first_difference(heard[8 * at:], kept[8 * (at - sum(runs)):])) is not None:
        at += parted
        run = 0
        while heard[8 * (at + run):8 * (at + run + 1)] == silence:
            run += 1
        frame = kept_from + at - sum(runs)  # the take's frame that the silence came before
        mark = min(marks_left, key=lambda mark: abs(mark - frame), default=None)
        marked = mark is not None and abs(mark - frame) <= UNDERRUN_MARK_SLACK
        if run == 0 or not (marked or unmarked):
            parted_at = (at, frame, "silence" if run else "other sound")
            break
        if marked:
            marks_left.remove(mark)
        runs.append(run)
        at += run
    length = min(len(heard) // 8, len(kept) // 8 + sum(runs))
    parts = (f", but from {parted_at[0] / RATE:.3f} s (the take's frame {parted_at[1]}) it "
             f"played {parted_at[2]}" if parted_at else "")
    marks = (f"; the take marks underruns at frames {list(underruns)}"
             if underruns and parted_at else "")
    silences = (f", with {len(runs)} gaps of silence where the device ran dry, the longest "
                f"{1000 * max(runs) / RATE:.1f} ms" if runs else "")
    check(length > seconds * RATE and parted_at is None,
          f"the sound server played the take bit for bit over {length / RATE:.2f} s"
          f"{silences}{parts}{marks}")
