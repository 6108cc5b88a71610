// veltrane._core's Transform: a fitted stretch, its application to arrays (in the band order
// its pairing reads), its no-data value, and the command line's transform documents and files.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>

namespace vt::bindings {

namespace {

// A transform recording the no-data value of the selection it was fitted to (the value as the
// sample type holds it), as FitStretch records its own; raises ValueError for a value that is
// not a sample of the type.
TBandTransform WithNoData(TBandTransform t, double value) {
    TImageView stand;
    stand.Width = stand.Height = 1;
    stand.Bands = t.Bands;
    stand.Type = t.Type;
    TSelection s;
    s.HasNoData = true;
    s.NoData = value;
    CheckSelection(stand, s);
    t.HasNoData = true;
    t.NoData =
        t.Type == TSampleType::Float32 ? static_cast<double>(static_cast<float>(value)) : value;
    return t;
}

} // namespace

void BindTransform(py::module_& m) {
    py::class_<TPyTransform>(m, "Transform",
                             "A fitted stretch: one affine map of the bands. apply() maps "
                             "arrays through it; to_json()/save() give the command line's "
                             "transform files. Picklable.")
        .def_property_readonly(
            "bands", [](const TPyTransform& t) { return t.T.Bands; }, "Bands it maps.")
        .def_property_readonly(
            "dtype", [](const TPyTransform& t) { return SampleTypeName(t.T.Type); },
            "Sample type it was fitted to.")
        .def_property_readonly(
            "method",
            [](const TPyTransform& t) {
                const TStretchMethod method = t.T.Options.Method;
                return method == TStretchMethod::Offset      ? "offset"
                       : method == TStretchMethod::ScaleOnly ? "scale-only"
                                                             : "target";
            },
            "'offset', 'scale-only' or 'target'.")
        .def_property_readonly(
            "clipped", [](const TPyTransform& t) { return t.T.Options.Clip; },
            "Whether saturation is part of it (float outputs are then clamped to 0..1).")
        .def_property_readonly(
            "matrix",
            [](const TPyTransform& t) {
                // Rows and columns in the array's band order.
                const int n = t.T.Bands;
                const bool r = t.IsReversed();
                py::array_t<double> a({n, n + 1});
                auto w = a.mutable_unchecked<2>();
                for (int out = 0; out < n; ++out) {
                    const int o = r ? n - 1 - out : out;
                    for (int in = 0; in < n; ++in)
                        w(out, in) = t.T.Weight(o, r ? n - 1 - in : in);
                    w(out, n) = t.T.Constant(o);
                }
                return a;
            },
            "N x (N + 1): output band b = row b's weights times the input bands plus its last "
            "element, bands in the array's order.")
        .def_property_readonly(
            "nodata",
            [](const TPyTransform& t) -> py::object {
                if (!t.T.HasNoData)
                    return py::none();
                return py::float_(t.T.NoData);
            },
            "The no-data value of the selection it was fitted to (None without one): apply() "
            "leaves those pixels alone unless told another value.")
        .def(
            "_with_nodata",
            [](const TPyTransform& t, double value) {
                return TPyTransform{WithNoData(t.T, value)};
            },
            py::arg("value"))
        .def_property_readonly(
            "statistics",
            [](const TPyTransform& t) {
                return t.IsReversed() ? ReversedStatistics(t.T.Statistics) : t.T.Statistics;
            },
            "The statistics it was fitted to (bands in the array's order).")
        .def(
            "_apply",
            [](const TPyTransform& t, const py::array& source, const py::array& target,
               const py::object& nodata, int threads) {
                const TImageView from = ViewOf(source, t.IsReversed());
                const TImageView to = ViewOf(target, t.IsReversed(), true);
                CheckFits(from, t.T.Bands, t.T.Type, "the transform");
                // The transform's own no-data value unless told another.
                TSelection marks = NoDataOf(t.T);
                if (!nodata.is_none()) {
                    marks.HasNoData = true;
                    marks.NoData = nodata.cast<double>();
                }
                SetThreads(threads);
                py::gil_scoped_release free;
                const TImageView plain = ViewOf(target);
                if (t.IsReversed() && ThreeBytePixels(plain) && !marks.HasNoData) {
                    // Bytes in the plug-in's order take the engine's fastest pass.
                    CopySwapped(ViewOf(source), plain);
                    ApplyStretch(t.T, plain, plain);
                    CopySwapped(plain, plain);
                    return;
                }
                ApplyStretch(t.T, from, to, &marks);
            },
            py::arg("source"), py::arg("target"), py::arg("nodata"), py::arg("threads"))
        .def(
            "to_json", [](const TPyTransform& t) { return WriteTransformJson(t.T); },
            "The transform as the command line's JSON document.")
        .def_static(
            "from_json",
            [](const std::string& text) { return TPyTransform{ReadTransformJson(text)}; },
            py::arg("text"), "A transform from a JSON document (the command line's too).")
        .def(
            "save",
            [](const TPyTransform& t, const std::string& path) { SaveTransform(t.T, path); },
            py::arg("path"), "Writes the transform file (what --save-transform writes).")
        .def_static(
            "load", [](const std::string& path) { return TPyTransform{LoadTransform(path)}; },
            py::arg("path"), "Reads a transform file (what veltrane apply --transform reads).")
        .def("__eq__",
             [](const TPyTransform& a, const TPyTransform& b) {
                 return WriteTransformJson(a.T) == WriteTransformJson(b.T);
             })
        .def("__repr__",
             [](const TPyTransform& t) {
                 return "<veltrane.Transform " + std::to_string(t.T.Bands) + " bands " +
                        SampleTypeName(t.T.Type) + ">";
             })
        .def(py::pickle(
            [](const TPyTransform& t) { return WriteTransformJson(t.T); },
            [](const std::string& text) { return TPyTransform{ReadTransformJson(text)}; }));
}

} // namespace vt::bindings
