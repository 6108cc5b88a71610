// Console facts on Linux.
#include "platform/Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vt::platform {

bool IsTerminal(int stream) noexcept {
    return isatty(stream) == 1;
}

int TerminalWidth() noexcept {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace vt::platform
