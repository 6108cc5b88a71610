// The persistent-object base.
#include "rtl/Classes.h"

#include <string>

namespace vt {

void TPersistent::Assign(TPersistent* Source) {
    if (Source == nullptr)
        AssignError(nullptr);
    Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) {
    if (Dest == nullptr)
        throw EConvertError(std::string("Cannot assign ") + ClassName() + " to nil");
    Dest->AssignError(this);
}

void TPersistent::AssignError(const TObject* Source) const {
    throw EConvertError(std::string("Cannot assign ") + (Source ? Source->ClassName() : "nil") +
                        " to " + ClassName());
}

} // namespace vt
