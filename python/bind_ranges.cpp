// veltrane._core's ComponentRanges: each principal component's extremes over selected pixels,
// pooled with + in a series' order and picklable.
#include "Bindings.h"

#include <vector>

namespace vt::bindings {

namespace {

const char* const RangesDoc = R"doc(Each principal component's extremes over selected pixels.

Made by ``veltrane.component_ranges`` for one image or piece; the ranges of the pieces of a
series pool with ``+`` (in the series' order) into the ranges of the whole, which
``veltrane.build`` takes. Picklable.

Attributes
----------
bands : int
    Components (the bands of the images measured).
lowest : list of float
    Each component's lowest value (inf when nothing was selected).
highest : list of float
    Each component's highest value (-inf when nothing was selected).

See Also
--------
veltrane.component_ranges, veltrane.build
)doc";

} // namespace

void BindRanges(py::module_& m) {
    py::class_<TComponentRanges> c(m, "ComponentRanges", RangesDoc);
    c.def_readonly("bands", &TComponentRanges::Bands, "Components.")
        .def_property_readonly(
            "lowest",
            [](const TComponentRanges& r) { return ArrayOf(r.Lowest.data(), r.Lowest.size()); },
            "Each component's lowest value (inf when nothing was selected).")
        .def_property_readonly(
            "highest",
            [](const TComponentRanges& r) { return ArrayOf(r.Highest.data(), r.Highest.size()); },
            "Each component's highest value (-inf when nothing was selected).")
        .def("__add__",
             [](const TComponentRanges& a, const TComponentRanges& b) {
                 TComponentRanges r = a;
                 r.Add(b);
                 return r;
             })
        .def(
            "__iadd__",
            [](TComponentRanges& a, const TComponentRanges& b) -> TComponentRanges& {
                a.Add(b);
                return a;
            },
            py::return_value_policy::reference_internal)
        .def(py::pickle(
            [](const TComponentRanges& r) {
                return py::make_tuple(r.Bands, std::vector<double>(r.Lowest),
                                      std::vector<double>(r.Highest));
            },
            [](const py::tuple& s) {
                const int bands = s[0].cast<int>();
                const auto low = s[1].cast<std::vector<double>>();
                const auto high = s[2].cast<std::vector<double>>();
                if (bands < 1 || bands > MaxBands || low.size() != static_cast<size_t>(bands) ||
                    high.size() != low.size())
                    throw py::value_error("not the state of component ranges");
                TComponentRanges r(bands);
                for (int k = 0; k < bands; ++k) {
                    r.Lowest[k] = low[static_cast<size_t>(k)];
                    r.Highest[k] = high[static_cast<size_t>(k)];
                }
                return r;
            }));
    DefSumStart(c);
}

} // namespace vt::bindings
