// Running a shell command and setting the environment, on both builds.
#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace vt::platform {

int RunCommand(const std::string& command, std::string* output) {
#if defined(_WIN32)
    FILE* pipe = _popen(command.c_str(), "r");
#else
    FILE* pipe = popen(command.c_str(), "r");
#endif
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output != nullptr)
            output->append(buffer, n);
#if defined(_WIN32)
    return _pclose(pipe);
#else
    const int status = pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

} // namespace vt::platform
