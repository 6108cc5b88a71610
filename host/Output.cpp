// Output names and part files.
#include "host/Output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace vt::host {

namespace {

std::string PartNameOf(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path p(target);
    return (p.parent_path() / ("." + p.stem().string() + ".part" + std::to_string(getpid()) + "-" +
                               std::to_string(counter++) + p.extension().string()))
        .string();
}

} // namespace

TOutputName SplitOutputName(const std::string& name) {
    TOutputName n{name, ""};
    const size_t open = name.rfind('[');
    if (!name.empty() && name.back() == ']' && open != std::string::npos && open > 0) {
        n.File = name.substr(0, open);
        n.Options = name.substr(open);
    }
    return n;
}

TPartFile::TPartFile(const std::string& target)
    : TargetPath(target), PartPath(PartNameOf(target)), Registration(PartPath) {}

TPartFile::~TPartFile() {
    if (!Committed) {
        std::error_code ignored;
        std::filesystem::remove(PartPath, ignored);
    }
}

void TPartFile::Commit() {
    std::error_code error;
    std::filesystem::rename(PartPath, TargetPath, error);
    if (error)
        throw std::runtime_error("cannot write " + TargetPath + ": " + error.message());
    Committed = true;
}

void WriteWholeFile(TPartFile& part, const std::string& text) {
    FILE* file = std::fopen(part.Part().c_str(), "wb");
    if (file == nullptr)
        throw std::runtime_error("cannot write " + part.Target() + ": " + std::strerror(errno));
    const bool written =
        std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    const int error = errno;
    if (std::fclose(file) != 0 || !written)
        throw std::runtime_error("cannot write " + part.Target() + ": " +
                                 std::strerror(written ? errno : error));
}

} // namespace vt::host
