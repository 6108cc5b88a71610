// Containers that save to and load from streams, and through a buffered file stream to and
// from named files.
#pragma once

#include "image/LinarBitmap.h"

#include <string>

namespace vt {

class TBaseStream;

class TStreamClass : public TAssignObject {
public:
    VT_CLASS_NAME(TStreamClass)

    // Writes this object to Stream; the base writes nothing.
    virtual void SaveToStream(TBaseStream* Stream);
    // Reads this object from Stream; the base reads nothing.
    virtual void LoadFromStream(TBaseStream* Stream);
    // Creates (or empties) the file and saves into it through a buffered stream; raises the
    // stream classes' EInOutError when the file cannot be opened or written, and whatever
    // SaveToStream raises. The file is closed on every exit; when SaveToStream raises, the
    // bytes it wrote are still written out and its error is the one reported.
    virtual void SaveToFile(const std::string& FileName);
    // Opens the existing file for reading and loads from it through a buffered stream; raises
    // EInOutError when the file cannot be opened or read, and whatever LoadFromStream raises.
    // The file is closed on every exit.
    virtual void LoadFromFile(const std::string& FileName);
};

} // namespace vt
