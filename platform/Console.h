// The few console facts the command-line programs need: whether a standard stream is a
// terminal, and how wide it is.
#pragma once

namespace vt::platform {

// Standard stream numbers: 0 input, 1 output, 2 error.
bool IsTerminal(int stream) noexcept;

// Columns of the terminal on standard error, or 80 when it cannot be told.
int TerminalWidth() noexcept;

} // namespace vt::platform
