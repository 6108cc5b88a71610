// Running another program through the shell, for the tools, the benchmarks and the end-to-end
// tests.
#pragma once

#include <string>

namespace vt::platform {

// Runs Command with the system's shell and waits for it. Returns its exit status, or -1 when
// it could not be started or did not exit normally. When Output is given, it receives what the
// command wrote to its standard output.
int RunCommand(const std::string& command, std::string* output = nullptr);

} // namespace vt::platform
