"""Options, markers and fixtures of the end-to-end tests (the harness is in harness/).

A program ending in .exe is the Windows build: then only windows/ is collected, else all but
windows/. Under --emulator only the tests marked `emulator` run; `tsan` tests need
--tsan-program, `soak` tests --soak."""

import os
import re
import shlex
import signal
import subprocess
from contextlib import closing
from pathlib import Path

import pytest

import harness
from harness.checks import pytest_runtest_makereport, pytest_terminal_summary  # noqa: F401

HERE = Path(__file__).resolve().parent


def pytest_addoption(parser):
    group, env = parser.getgroup("consynth"), os.environ.get
    release = str(HERE.parents[1] / "build/release/app/consynth")
    group.addoption("--program", default=env("CONSYNTH_E2E_PROGRAM", release),
                    help="the program to play (default: the release build); a .exe under Wine")
    group.addoption("--tsan-program", help="its ThreadSanitizer build, for the tsan tests")
    group.addoption("--emulator", default=env("CONSYNTH_E2E_EMULATOR", ""),
                    help="a command to run the program through (qemu-aarch64): those tests only")
    group.addoption("--presses", type=int, default=int(env("CONSYNTH_E2E_PRESSES", "10")),
                    help="presses of A timed in tmux (default 10)")
    group.addoption("--midi-notes", type=int, default=int(env("CONSYNTH_E2E_MIDI_NOTES", "6")),
                    help="MIDI notes timed (default 6)")
    group.addoption("--soak", type=float, metavar="MINUTES", help="how long the soak plays")
    group.addoption("--soak-period", type=int, action="append", metavar="FRAMES",
                    help="a --period to soak, each for MINUTES (default: 512, then 128)")


def pytest_configure(config):
    if not config.getoption("soak_period"):
        config.option.soak_period = [512, 128]
    def interrupt(*_):
        raise KeyboardInterrupt  # so that a run ended by SIGTERM still tears its tests down
    signal.signal(signal.SIGTERM, interrupt)
    if config.getoption("program").endswith(".exe") and not os.environ.get("DISPLAY"):
        raise pytest.UsageError("the Windows tests need an X display (DISPLAY)")


def pytest_ignore_collect(collection_path, config):
    path, exe = collection_path, config.getoption("program").endswith(".exe")
    if path.name.startswith("test_") and (path.parent == HERE / "windows") != exe:
        return True  # a Windows build's tests are windows/ alone, the others' all but it
    return None


def pytest_collection_modifyitems(config, items):
    for item in items:
        if config.getoption("emulator") and not item.get_closest_marker("emulator"):
            item.add_marker(pytest.mark.skip(reason="under an emulator: the native run tests "
                                                    "the same code"))
        if item.get_closest_marker("tsan") and not config.getoption("tsan_program"):
            item.add_marker(pytest.mark.skip(reason="no --tsan-program"))
        if item.get_closest_marker("soak") and config.getoption("soak") is None:
            item.add_marker(pytest.mark.skip(reason="no --soak MINUTES"))


@pytest.fixture(scope="session")
def program(pytestconfig):
    path = os.path.realpath(pytestconfig.getoption("program"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"no program at {path}: build it, or name it with --program")
    return path


@pytest.fixture(scope="session")
def emulator(pytestconfig):
    return shlex.split(pytestconfig.getoption("emulator"))


@pytest.fixture(scope="session")
def renderer(program, emulator):
    return harness.Renderer(program, emulator, wine=program.endswith(".exe"))


@pytest.fixture
def scenario(request):
    name = re.sub(r"[^\w-]", "-", request.node.name.removeprefix("test_"))
    with closing(harness.Scenario(name)) as scenario:
        yield scenario


@pytest.fixture
def sound_server(scenario):
    return harness.SoundServer(scenario)


@pytest.fixture
def capture(scenario, sound_server):
    return harness.Capture(scenario)


@pytest.fixture
def jack(scenario):
    with closing(harness.JackServer(scenario)) as server:
        yield server


@pytest.fixture
def midi_sender(scenario, jack):
    with closing(harness.MidiSender(scenario)) as sender:
        yield sender


@pytest.fixture
def consynth(scenario, program, emulator):
    """Runs the program with arguments to its end, with no input: its CompletedProcess."""
    return lambda *args: subprocess.run([*emulator, program, *args], env=scenario.env,
                                        stdin=subprocess.DEVNULL, capture_output=True, timeout=10)


@pytest.fixture
def play(scenario, program, emulator):
    """Starts the program in tmux with extra arguments: play("--record", path). `command` is
    a shell command with {} for the program and its arguments (e.g. "{} > file"); `program`
    another build; `name` the tmux session, for more than one run at once."""
    def start(*args, command="{}", program=program, name="e2e"):
        return harness.TmuxRun(scenario, command.format(shlex.join([*emulator, program, *args])),
                               name)
    return start
