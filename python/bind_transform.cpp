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

const char* const TransformDoc = R"doc(A fitted stretch: one affine map of the bands.

Made by ``veltrane.fit``, ``veltrane.build`` or ``ClipHistogram.clipped``, or read by
``Transform.from_json`` and ``Transform.load``. ``apply()`` maps arrays of its band count and
sample type through it. ``to_json()`` and ``save()`` give the command line's transform files,
so a transform saved here applies with ``veltrane apply --transform`` and one saved by
``--save-transform`` applies here. Picklable; ``==`` compares the documents.

Attributes
----------
bands : int
    Bands it maps.
dtype : {'uint8', 'uint16', 'float32', 'int8', 'int16', 'int32', 'uint32', 'float64'}
    Sample type it was fitted to.
method : {'offset', 'scale-only', 'target'}
    The method of its fit.
clipped : bool
    Whether saturation is part of it (float outputs are then clamped to 0..1).
matrix : ndarray of float64, shape (N, N + 1)
    Output band b is row b's weights times the input bands plus its last element, bands in
    the array's order.
nodata : float or None
    The no-data value of the selection it was fitted to; ``apply()`` leaves those pixels
    alone unless told another value.
statistics : Statistics
    The statistics it was fitted to (bands in the array's order; for the 'lab' space the
    float64 statistics of the pixels' L*, a*, b* values).
space : {'rgb', 'ycbcr', 'yiq', 'matrix', 'lab'} or None
    The colour space of its fit. A 'lab' transform converts each pixel to L*a*b*, maps it
    through `matrix` (in L*, a*, b* units) and converts it back to sRGB.

See Also
--------
veltrane.fit, veltrane.stretch, veltrane.build
)doc";

const char* const ToJsonDoc = R"doc(The transform as the command line's JSON document.

Returns
-------
str
    The document, which ``Transform.from_json`` and ``veltrane apply --transform`` read.
)doc";

const char* const FromJsonDoc = R"doc(A transform from a JSON document.

Parameters
----------
text : str
    A transform document (``to_json()``'s, or a file the command line wrote).

Returns
-------
Transform
    The transform it holds.

Raises
------
ValueError
    When text is not a transform document.
)doc";

const char* const SaveDoc = R"doc(Writes the transform file (what ``--save-transform`` writes).

Parameters
----------
path : str
    The file to write.

Raises
------
OSError
    When the file cannot be written.
)doc";

const char* const LoadDoc = R"doc(Reads a transform file.

The file ``--save-transform`` writes and ``veltrane apply --transform`` reads.

Parameters
----------
path : str
    The file to read.

Returns
-------
Transform
    The transform it holds.

Raises
------
OSError
    When the file cannot be read.
ValueError
    When it is not a transform document.
)doc";

} // namespace

void BindTransform(py::module_& m) {
    py::class_<TPyTransform> c(m, "Transform", TransformDoc);
    c.def_property_readonly(
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
            "space",
            [](const TPyTransform& t) -> py::object {
                if (t.T.Options.Space == TColourSpace::None)
                    return py::none();
                return py::str(ColourSpaceName(t.T.Options.Space));
            },
            "The colour space of its fit ('rgb', 'ycbcr', 'yiq', 'matrix' or 'lab'; None for "
            "the bands as stored). A 'lab' transform maps L*a*b* values: its matrix is in "
            "L*, a*, b* units, between the conversion of each pixel to L*a*b* and back.")
        .def_property_readonly(
            "clipped", [](const TPyTransform& t) { return t.T.Options.Clip; },
            "Whether saturation is part of it (float outputs are then clamped to 0..1).")
        .def_property_readonly(
            "matrix",
            [](const TPyTransform& t) {
                // Rows and columns in the array's band order.
                const int n = t.T.Bands;
                py::array_t<double> a({n, n + 1});
                auto w = a.mutable_unchecked<2>();
                for (int out = 0; out < n; ++out) {
                    for (int in = 0; in < n; ++in)
                        w(out, in) = t.T.Weight(out, in);
                    w(out, n) = t.T.Constant(out);
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
            "statistics", [](const TPyTransform& t) { return t.T.ViewStatistics(); },
            "The statistics it was fitted to (bands in the array's order).")
        .def(
            "_apply",
            [](const TPyTransform& t, const py::array& source, const py::array& target,
               const py::object& nodata, int threads) {
                const TImageView from = ViewOf(source);
                const TImageView to = ViewOf(target, true);
                CheckFits(from, t.T.Bands, t.T.Type, "the transform is");
                // The transform's own no-data value unless told another.
                TSelection marks = NoDataOf(t.T);
                if (!nodata.is_none()) {
                    marks.HasNoData = true;
                    marks.NoData = nodata.cast<double>();
                }
                const TRunOptions run = RunOf(threads);
                py::gil_scoped_release free;
                ApplyStretch(t.T, from, to, &marks, run);
            },
            py::arg("source"), py::arg("target"), py::arg("nodata"), py::arg("threads"))
        .def(
            "to_json", [](const TPyTransform& t) { return WriteTransformJson(t.T); }, ToJsonDoc)
        .def_static(
            "from_json",
            [](const std::string& text) { return TPyTransform{ReadTransformJson(text)}; },
            py::arg("text"), FromJsonDoc)
        .def(
            "save",
            [](const TPyTransform& t, const py::object& path) { SaveTransform(t.T, PathOf(path)); },
            py::arg("path"), SaveDoc)
        .def_static(
            "load",
            [](const py::object& path) { return TPyTransform{LoadTransform(PathOf(path))}; },
            py::arg("path"), LoadDoc)
        .def("__repr__",
             [](const TPyTransform& t) {
                 return "<veltrane.Transform " + std::to_string(t.T.Bands) + " bands " +
                        SampleTypeName(t.T.Type) + ">";
             })
        .def(py::pickle(
            [](const TPyTransform& t) { return WriteTransformJson(t.T); },
            [](const std::string& text) { return TPyTransform{ReadTransformJson(text)}; }));
    DefEquality(c, [](const TPyTransform& a, const TPyTransform& b) {
        return WriteTransformJson(a.T) == WriteTransformJson(b.T);
    });
}

} // namespace vt::bindings
