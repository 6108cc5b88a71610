// The `serve` command: a small HTTP/1.1 server (GET and HEAD) for the web page's files, so that
// a browser on this machine can load the page and its WebAssembly. It serves only regular files
// inside the page's folder and never takes a request body: images stay in the browser.
#pragma once

#include <string>
#include <vector>

namespace vt::host {

// Parses the arguments ([--port N] [--address A] [--root DIR]), serves until SIGINT or SIGTERM
// and returns the exit status, 0 when stopped by a signal. A bad argument, a page that is not
// built and an address or port that cannot be listened on are thrown as exceptions whose
// message says why.
int ServeCommand(const std::vector<std::string>& args);

} // namespace vt::host
