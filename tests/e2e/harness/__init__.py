"""The end-to-end harness: a scenario's directory and environment, the servers it plays into,
the recording of what was heard, the terminals the program runs in, and takes."""

from .capture import RATE, Capture
from .checks import check, figure
from .scenario import (Scenario, child_pid, cpu_seconds, process_state, read, read_when_there,
                       stat, tty_state, wait_for)
from .servers import JackServer, MidiSender, PipeWireServer, SoundServer
from .takes import Renderer, Take, check_exact_sound, check_heard_take, read_wav, windows_path
from .terminals import (HANG_GUARD, HELP, HELP_CRLF, STATUS, STATUS_AND_INDEX, ConsoleRun, Kitty,
                        TmuxRun, TmuxShell, check_stop_and_fg, keep_status, start_xvfb)
