// Running a shell command on Linux.
#include "platform/Process.h"

#include <cstdio>
#include <sys/wait.h>

namespace vt::platform {

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output != nullptr)
            output->append(buffer, n);
    const int status = pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace vt::platform
