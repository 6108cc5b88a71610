// veltrane._core's Axes: the principal axes of pooled statistics with the fit's options, the
// first step of a fit in pieces; they pickle as a transform document and their fractions.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>
#include <vector>

namespace vt::bindings {

namespace {

// An axes object through pickling: a transform document carries its bands, order, rows,
// options and statistics; the fractions go beside it.
py::tuple AxesState(const TPyAxes& a) {
    TBandTransform t = TBandTransform::Identity(a.Axes.Bands, a.Axes.Type);
    t.Order = a.Axes.Order;
    t.Map = a.Axes.Map;
    t.Options = a.Axes.Options;
    t.Statistics = a.Axes.Statistics;
    const std::vector<double>& fractions = a.Axes.Fraction;
    return py::make_tuple(WriteTransformJson(t), fractions);
}

TPyAxes AxesOfState(const py::tuple& state) {
    if (state.size() != 2)
        throw py::value_error("not the state of principal axes");
    const TBandTransform t = ReadTransformJson(state[0].cast<std::string>());
    const auto fractions = state[1].cast<std::vector<double>>();
    if (fractions.size() != static_cast<size_t>(t.Bands))
        throw py::value_error("not the state of principal axes");
    TPyAxes a;
    a.Axes.Bands = t.Bands;
    a.Axes.Type = t.Type;
    a.Axes.Order = t.Order;
    a.Axes.Fraction = fractions;
    a.Axes.Map = t.Map;
    a.Axes.Options = t.Options;
    a.Axes.Statistics = t.Statistics;
    return a;
}

const char* const AxesDoc = R"doc(The principal axes of (pooled) statistics with the fit's options.

The first step of a fit in pieces, made by ``veltrane.axes``: the input of
``veltrane.component_ranges`` (measured over each piece) and of ``veltrane.build``.
Picklable, so that the pieces may be measured in other processes.

Attributes
----------
bands : int
    Bands of the images it is for.
fractions : list of float
    Each component's share of the variance, largest first.

See Also
--------
veltrane.axes, veltrane.component_ranges, veltrane.build
)doc";

} // namespace

void BindAxes(py::module_& m) {
    py::class_<TPyAxes>(m, "Axes", AxesDoc)
        .def_property_readonly(
            "bands", [](const TPyAxes& a) { return a.Axes.Bands; }, "Bands.")
        .def_property_readonly(
            "fractions",
            [](const TPyAxes& a) {
                return ArrayOf(a.Axes.Fraction.data(), a.Axes.Fraction.size());
            },
            "Each component's share of the variance (largest first).")
        .def(py::pickle(&AxesState, &AxesOfState));
}

} // namespace vt::bindings
