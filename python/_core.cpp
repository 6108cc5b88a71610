// veltrane._core: the stretch engine for NumPy arrays. Arrays are read and written where they
// lie, whatever their strides; the engine's passes run without the interpreter's lock. The
// friendly interface (option names, defaults, checks) is veltrane/__init__.py over this; each
// class and group of functions is bound in a file of its own (bind_*.cpp, Bindings.h).
#include "Bindings.h"

PYBIND11_MODULE(_core, m) {
    namespace b = vt::bindings;
    m.doc() = "The stretch engine for NumPy arrays (the building blocks of the veltrane package; "
              "use the functions of veltrane itself).";

    // Classes before the functions whose signatures name them.
    b::RegisterExceptions();
    b::BindOptions(m);
    b::BindStatistics(m);
    b::BindTransform(m);
    b::BindAxes(m);
    b::BindRanges(m);
    b::BindClip(m);
    b::BindFit(m);
    b::BindFunctions(m);
}
