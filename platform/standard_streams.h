#pragma once

namespace consynth::platform {

/// Makes sure standard input, output and error are open, on the null device where they were
/// closed, so no descriptor the program opens later takes their place. Call first thing.
void openStandardStreams();

/// Whether standard error is a terminal, which someone watches.
bool standardErrorIsTerminal();

}  // namespace consynth::platform
