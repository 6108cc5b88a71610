// Running a shell command on Windows.
#include "platform/Process.h"

#include <cstdio>

namespace vt::platform {

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = _popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output != nullptr)
            output->append(buffer, n);
    return _pclose(pipe);
}

} // namespace vt::platform
