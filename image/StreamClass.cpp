// Persistence of containers through streams and files.
#include "image/StreamClass.h"

#include "streams/BufStream.h"

namespace vt {

void TStreamClass::SaveToStream(TBaseStream*) {}
void TStreamClass::LoadFromStream(TBaseStream*) {}

namespace {

// Runs Operation on a buffered file stream and releases the stack on every exit. When the
// operation raises, its error is the one reported, and the release still flushes and closes.
template <typename TOperation>
void WithBufferedFile(const std::string& fileName, bool write, TOperation operation) {
    TBufferedStream* stream = OpenBufferedFile(fileName, write);
    try {
        operation(stream);
    } catch (...) {
        try {
            FreeChain(stream);
        } catch (...) {
            // The first error is the one the caller needs to see.
        }
        throw;
    }
    FreeChain(stream);
}

} // namespace

void TStreamClass::SaveToFile(const std::string& FileName) {
    WithBufferedFile(FileName, true, [this](TBaseStream* stream) { SaveToStream(stream); });
}

void TStreamClass::LoadFromFile(const std::string& FileName) {
    WithBufferedFile(FileName, false, [this](TBaseStream* stream) { LoadFromStream(stream); });
}

} // namespace vt
