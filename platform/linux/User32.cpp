// The user32 substitute for Linux: MessageBoxA as a console dialog on the controlling
// terminal, or answered by a handler that the host installs.
#include "platform/Win32.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex HandlerLock;
TMessageBoxHandler Handler = nullptr;
void* HandlerContext = nullptr;

bool IsQuestion(UINT type) {
    return (type & 0x0Fu) == MB_YESNOCANCEL || (type & 0x0Fu) == MB_YESNO;
}

// Asks on /dev/tty; returns -1 when there is no terminal to ask on.
int AskOnTerminal(LPCSTR text, LPCSTR caption, UINT type) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr)
        return -1;
    const UINT buttons = type & 0x0Fu;
    std::fprintf(tty, "\n[%s] %s\n", caption ? caption : "", text ? text : "");
    int answer = IDOK;
    char line[64];
    for (;;) {
        if (buttons == MB_YESNOCANCEL)
            std::fputs("(y)es, (n)o or (c)ancel? ", tty);
        else if (buttons == MB_YESNO)
            std::fputs("(y)es or (n)o? ", tty);
        else if (buttons == MB_OKCANCEL)
            std::fputs("(o)k or (c)ancel? ", tty);
        else
            std::fputs("Press Enter to continue. ", tty);
        std::fflush(tty);
        if (std::fgets(line, sizeof line, tty) == nullptr) {
            answer = (buttons == MB_OK) ? IDOK : (buttons == MB_YESNO ? IDNO : IDCANCEL);
            break;
        }
        const char c = line[0];
        if (buttons == MB_OK) {
            answer = IDOK;
            break;
        }
        if ((c == 'y' || c == 'Y') && (buttons == MB_YESNOCANCEL || buttons == MB_YESNO)) {
            answer = IDYES;
            break;
        }
        if ((c == 'n' || c == 'N') && (buttons == MB_YESNOCANCEL || buttons == MB_YESNO)) {
            answer = IDNO;
            break;
        }
        if ((c == 'o' || c == 'O') && buttons == MB_OKCANCEL) {
            answer = IDOK;
            break;
        }
        if ((c == 'c' || c == 'C') && (buttons == MB_YESNOCANCEL || buttons == MB_OKCANCEL)) {
            answer = IDCANCEL;
            break;
        }
    }
    std::fclose(tty);
    return answer;
}

} // namespace

VT_PLATFORM_API void VtSetMessageBoxHandler(TMessageBoxHandler handler, void* context) {
    std::lock_guard<std::mutex> lock(HandlerLock);
    Handler = handler;
    HandlerContext = context;
}

VT_PLATFORM_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    TMessageBoxHandler handler;
    void* context;
    {
        std::lock_guard<std::mutex> lock(HandlerLock);
        handler = Handler;
        context = HandlerContext;
    }
    if (handler != nullptr)
        return handler(context, owner, text, caption, type);
    const int answer = AskOnTerminal(text, caption, type);
    if (answer >= 0)
        return answer;
    // No terminal: a notice is still shown on standard error; a question is cancelled.
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    return IsQuestion(type) || (type & 0x0Fu) == MB_OKCANCEL ? IDCANCEL : IDOK;
}
