// veltrane._core's Fit: the engine's fit driver, which veltrane.fit and veltrane.dask.fit
// drive over an image or over the chunks of a series, pass by pass; it pickles as its
// document, so that pieces travel between worker processes.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>

namespace vt::bindings {

namespace {

TSelection NoDataSelection(const py::object& nodata) {
    TSelection s;
    if (!nodata.is_none()) {
        s.HasNoData = true;
        s.NoData = nodata.cast<double>();
    }
    return s;
}

const char* const PassNames[] = {"statistics", "ranges", "clip", "done"};

} // namespace

void BindFit(py::module_& m) {
    py::class_<TStretchFit>(m, "Fit",
                            "The fit as passes over the pieces of a series (veltrane.dask.fit).")
        .def(py::init([](const py::dict& options, int bands, const std::string& dtype,
                         const py::object& nodata) {
                 return TStretchFit(FitOptionsOf(options), bands, SampleTypeNamed(dtype),
                                    NoDataSelection(nodata));
             }),
             py::arg("options"), py::arg("bands"), py::arg("dtype"), py::arg("nodata"))
        .def_static(
            "_of_statistics",
            [](const py::dict& options, const TStatistics& statistics, const py::object& nodata) {
                return TStretchFit(FitOptionsOf(options), statistics, NoDataSelection(nodata));
            },
            py::arg("options"), py::arg("statistics"), py::arg("nodata"))
        .def_property_readonly(
            "needs_pass", [](const TStretchFit& f) { return f.NeedsPass(); },
            "Whether another pass over the series is needed.")
        .def_property_readonly(
            "pass_name", [](const TStretchFit& f) { return PassNames[static_cast<int>(f.Pass())]; },
            "'statistics', 'ranges', 'clip' or 'done'.")
        .def_property_readonly(
            "statistics", [](const TStretchFit& f) { return f.Statistics(); },
            "The statistics measured so far (bands in the array's order).")
        .def(
            "empty", [](const TStretchFit& f) { return f.Empty(); },
            "A copy in the same pass with nothing measured, to measure a piece apart.")
        .def(
            "merge", [](TStretchFit& f, const TStretchFit& other) { f.Merge(other); },
            py::arg("other"), "Adds a piece's measures (pieces in the series' order).")
        .def(
            "finish_pass", [](TStretchFit& f) { f.FinishPass(); }, "Ends a pass over the series.")
        .def(
            "transform", [](const TStretchFit& f) { return TPyTransform{f.Result()}; },
            "The fitted transform, once no pass is needed.")
        .def("_measure",
             [](TStretchFit& f, const py::array& image, const py::tuple& sample,
                const py::object& mask, int64_t every, const py::object& nodata, int threads) {
                 const TImageView v = ViewOf(image);
                 TPySelection s(image, sample, mask, every, nodata);
                 f.Run = RunOf(threads);
                 py::gil_scoped_release free;
                 f.Measure(v, s.Selection);
             })
        .def(py::pickle([](const TStretchFit& f) { return WriteStretchFitJson(f); },
                        [](const std::string& text) { return ReadStretchFitJson(text); }));
}

} // namespace vt::bindings
