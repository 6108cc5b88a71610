// veltrane._core's ClipHistogram: the saturation's histogram of a transform's outputs over a
// series, measured in passes and merged from pieces; it pickles as the library's document.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>

namespace vt::bindings {

void BindClip(py::module_& m) {
    py::class_<TPyClip>(m, "ClipHistogram",
                        "The saturation's histogram of a transform's outputs over a series: "
                        "while needs_pass, measure() every piece (or measure pieces into "
                        "empty() copies and merge() them), then finish_pass(); clipped() is "
                        "the saturated transform. Integer samples take one pass, floats two. "
                        "Picklable.")
        .def(py::init([](const TPyTransform& t, double low, double high) {
                 return TPyClip{TClipHistogram(t.T, low, high), t.IsReversed()};
             }),
             py::arg("transform"), py::arg("low"), py::arg("high"),
             "A histogram saturating the fraction low of the selected pixels at the bottom of "
             "each band and high at the top.")
        .def_property_readonly(
            "needs_pass", [](const TPyClip& c) { return c.Histogram.NeedsPass(); },
            "Whether another pass over the series is needed.")
        .def(
            "empty",
            [](const TPyClip& c) {
                return TPyClip{c.Histogram.Empty(), c.IsReversed};
            },
            "A copy in the same pass with nothing counted.")
        .def(
            "merge",
            [](TPyClip& c, const TPyClip& other) {
                if (other.IsReversed != c.IsReversed)
                    throw py::value_error("the histograms are of other transforms");
                c.Histogram.Merge(other.Histogram);
            },
            py::arg("other"), "Adds another copy's counts of the same pass.")
        .def(
            "finish_pass", [](TPyClip& c) { c.Histogram.FinishPass(); },
            "Ends a pass over the series.")
        .def(
            "clipped", [](const TPyClip& c) { return TPyTransform{c.Histogram.Clipped()}; },
            "The saturated transform (after the last pass).")
        .def("_measure",
             [](TPyClip& c, const py::array& image, const py::tuple& sample, const py::object& mask,
                int64_t every, const py::object& nodata, int threads) {
                 const TImageView v = ViewOf(image, c.IsReversed);
                 TPySelection s(image, sample, mask, every, nodata);
                 SetThreads(threads);
                 py::gil_scoped_release free;
                 c.Histogram.Measure(v, s.Selection);
             })
        .def(py::pickle(
            [](const TPyClip& c) {
                return py::make_tuple(WriteClipHistogramJson(c.Histogram), c.IsReversed);
            },
            [](const py::tuple& s) {
                if (s.size() != 2)
                    throw py::value_error("not the state of a saturation histogram");
                return TPyClip{ReadClipHistogramJson(s[0].cast<std::string>()), s[1].cast<bool>()};
            }));
}

} // namespace vt::bindings
