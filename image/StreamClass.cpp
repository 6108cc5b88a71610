// Persistence of containers through streams and files.
#include "image/StreamClass.h"

namespace vt {

void TStreamClass::SaveToStream(TBaseStream*) {}
void TStreamClass::LoadFromStream(TBaseStream*) {}

// Filled in with the buffered file streams.
void TStreamClass::SaveToFile(const std::string&) { throw EInOutError("Not available yet"); }
void TStreamClass::LoadFromFile(const std::string&) { throw EInOutError("Not available yet"); }

} // namespace vt
