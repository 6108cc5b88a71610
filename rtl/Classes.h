// The runtime's persistent-object base: objects that can be copied into one another through
// Assign and AssignTo (the device bitmap and graphics classes, the abstract string list).
#pragma once

#include "rtl/Object.h"
#include "rtl/SysUtils.h"

namespace vt {

class TPersistent : public TObject {
public:
    VT_CLASS_NAME(TPersistent)

    // Makes this object a copy of Source. The base hands the request to Source's AssignTo
    // and raises EConvertError "Cannot assign <source> to <this>" when nobody handles it.
    virtual void Assign(TPersistent* Source);

protected:
    // Copies this object into Dest; the base refuses with EConvertError.
    virtual void AssignTo(TPersistent* Dest);
    [[noreturn]] void AssignError(const TObject* Source) const;
};

} // namespace vt
