// The root object of every class with identity: a virtual destructor and the runtime class name.
#pragma once

namespace vt {

// Classes report their own name so that messages such as "Cannot assign TFloatMap to TBitmap"
// can name the runtime classes of the objects involved.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    virtual const char* ClassName() const { return "TObject"; }
};

// Declares the ClassName override of a class; used once in every class body.
#define VT_CLASS_NAME(Name)                                                                        \
    const char* ClassName() const override {                                                       \
        return #Name;                                                                              \
    }

} // namespace vt
