// veltrane._core's ClipHistogram: the saturation's histogram of a transform's outputs over a
// series, measured in passes and merged from pieces; it pickles as the library's document.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>

namespace vt::bindings {

namespace {

const char* const ClipDoc = R"doc(The saturation's histogram of a transform's outputs over a series.

Saturates the fraction `low` of the selected pixels at the bottom of each output band and
`high` at the top, counted over every piece of a series: while ``needs_pass``, ``measure()``
every piece (or measure pieces into ``empty()`` copies, anywhere, and ``merge()`` them), then
``finish_pass()``; ``clipped()`` is then the saturated transform. Integer samples take one
pass, floats two. Counts are exact, so any cut of the series gives the whole's histogram.
Picklable (the library's histogram document).

Parameters
----------
transform : Transform
    The transform whose outputs are saturated (``veltrane.build``'s, say).
low, high : float
    Fractions of the selected pixels saturated at each end: at least 0, together below 1.

Attributes
----------
needs_pass : bool
    Whether another pass over the series is needed.

Raises
------
ValueError
    When the fractions are out of range.

See Also
--------
veltrane.fit : the same with ``clip=`` over one image.
)doc";

const char* const InitDoc = R"doc(A histogram saturating the fractions low and high of the outputs.

The fraction low of the selected pixels is saturated at the bottom of each band and high at
the top (the class's documentation tells how the passes go).

Parameters
----------
transform : Transform
    The transform whose outputs are saturated.
low, high : float
    Fractions saturated at each end: at least 0, together below 1.

Raises
------
ValueError
    When the fractions are out of range.
)doc";

const char* const EmptyDoc = R"doc(A copy in the same pass with nothing counted.

Returns
-------
ClipHistogram
    A histogram to ``measure()`` one piece into and ``merge()`` back.
)doc";

const char* const MergeDoc = R"doc(Adds another copy's counts of the same pass.

Parameters
----------
other : ClipHistogram
    An ``empty()`` copy of this histogram (of this pass) with pieces measured into it.

Raises
------
ValueError
    When other is of another transform, fractions or pass.
)doc";

const char* const ClippedDoc = R"doc(The saturated transform.

Returns
-------
Transform
    The transform with the saturation found over the series.

Raises
------
ValueError
    When passes remain (``needs_pass``).
)doc";

} // namespace

void BindClip(py::module_& m) {
    py::class_<TPyClip>(m, "ClipHistogram", ClipDoc)
        .def(py::init([](const TPyTransform& t, double low, double high) {
                 return TPyClip{TClipHistogram(t.T, low, high)};
             }),
             py::arg("transform"), py::arg("low"), py::arg("high"), InitDoc)
        .def_property_readonly(
            "needs_pass", [](const TPyClip& c) { return c.Histogram.NeedsPass(); },
            "Whether another pass over the series is needed.")
        .def(
            "empty", [](const TPyClip& c) { return TPyClip{c.Histogram.Empty()}; }, EmptyDoc)
        .def(
            "merge", [](TPyClip& c, const TPyClip& other) { c.Histogram.Merge(other.Histogram); },
            py::arg("other"), MergeDoc)
        .def(
            "finish_pass", [](TPyClip& c) { c.Histogram.FinishPass(); },
            "Ends a pass over the series.")
        .def(
            "clipped", [](const TPyClip& c) { return TPyTransform{c.Histogram.Clipped()}; },
            ClippedDoc)
        .def("_measure",
             [](TPyClip& c, const py::array& image, const py::tuple& sample, const py::object& mask,
                int64_t every, const py::object& nodata, int threads) {
                 const TImageView v = ViewOf(image);
                 TPySelection s(image, sample, mask, every, nodata);
                 const TRunOptions run = RunOf(threads);
                 py::gil_scoped_release free;
                 c.Histogram.Measure(v, s.Selection, run);
             })
        .def(py::pickle(
            [](const TPyClip& c) { return WriteClipHistogramJson(c.Histogram); },
            [](const std::string& text) { return TPyClip{ReadClipHistogramJson(text)}; }));
}

} // namespace vt::bindings
