// Console facts on Windows.
#include "platform/Console.h"

#include "platform/Win32.h"

#include <io.h>

namespace vt::platform {

bool IsTerminal(int stream) noexcept {
    return _isatty(stream) != 0;
}

int TerminalWidth() noexcept {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

} // namespace vt::platform
