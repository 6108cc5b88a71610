// veltrane._core's functions: the passes over arrays (statistics, fit, stretch, the steps of a
// fit in pieces and the saturation of one image), each checked before it writes anything and
// run without the interpreter's lock.
#include "Bindings.h"

namespace vt::bindings {

void BindFunctions(py::module_& m) {
    m.def(
        "statistics",
        [](const py::array& image, const py::tuple& sample, const py::object& mask, int64_t every,
           const py::object& nodata, int threads, bool lab) {
            const TImageView v = ViewOf(image);
            TPySelection s(image, sample, mask, every, nodata);
            const TRunOptions run = RunOf(threads);
            py::gil_scoped_release free;
            return lab ? MeasureLabStatistics(v, s.Selection, run)
                       : MeasureStatistics(v, s.Selection, run);
        },
        py::arg("image"), py::arg("sample"), py::arg("mask"), py::arg("every"), py::arg("nodata"),
        py::arg("threads"), py::arg("lab"),
        "The statistics of the selected pixels, or of their L*a*b* values (veltrane.statistics).");

    m.def(
        "fit",
        [](const py::array& image, const py::dict& options, const py::tuple& sample,
           const py::object& mask, int64_t every, const py::object& nodata, int threads) {
            const TFitOptions o = FitOptionsOf(options);
            const TImageView v = ViewOf(image);
            TPySelection s(image, sample, mask, every, nodata);
            const TRunOptions run = RunOf(threads);
            py::gil_scoped_release free;
            return TPyTransform{FitStretch(v, s.Selection, o, run)};
        },
        py::arg("image"), py::arg("options"), py::arg("sample"), py::arg("mask"), py::arg("every"),
        py::arg("nodata"), py::arg("threads"),
        "The transform the options fit to the selected pixels (veltrane.fit).");

    m.def(
        "stretch",
        [](const py::array& source, const py::array& target, const py::dict& options,
           const py::tuple& sample, const py::object& mask, int64_t every, const py::object& nodata,
           int threads) {
            const TFitOptions o = FitOptionsOf(options);
            const TImageView from = ViewOf(source), to = ViewOf(target, true);
            TPySelection s(source, sample, mask, every, nodata);
            TSelection marks; // what the application leaves alone
            marks.HasNoData = s.Selection.HasNoData;
            marks.NoData = s.Selection.NoData;
            const TRunOptions run = RunOf(threads);
            py::gil_scoped_release free;
            const TBandTransform t = FitStretch(from, s.Selection, o, run);
            ApplyStretch(t, from, to, &marks, run);
        },
        py::arg("source"), py::arg("target"), py::arg("options"), py::arg("sample"),
        py::arg("mask"), py::arg("every"), py::arg("nodata"), py::arg("threads"),
        "Fits source's selected pixels and maps every pixel into target (veltrane.stretch).");

    m.def(
        "fit_target",
        [](const TStatistics& statistics, const py::dict& options) {
            return TPyTransform{FitTarget(statistics, FitOptionsOf(options))};
        },
        py::arg("statistics"), py::arg("options"), "The target method from statistics alone.");

    m.def(
        "axes",
        [](const TStatistics& statistics, const py::dict& options) {
            return TPyAxes{FitAxes(statistics, FitOptionsOf(options))};
        },
        py::arg("statistics"), py::arg("options"),
        "The principal axes of statistics in the bands' order (veltrane.axes).");

    m.def(
        "component_ranges",
        [](const py::array& image, const TPyAxes& axes, const py::tuple& sample,
           const py::object& mask, int64_t every, const py::object& nodata, int threads) {
            const TImageView v = ViewOf(image);
            CheckFits(v, axes.Axes.Bands, axes.Axes.Type, "the axes are");
            TPySelection s(image, sample, mask, every, nodata);
            const TRunOptions run = RunOf(threads);
            py::gil_scoped_release free;
            return MeasureComponentRanges(v, s.Selection, axes.Axes, run);
        },
        py::arg("image"), py::arg("axes"), py::arg("sample"), py::arg("mask"), py::arg("every"),
        py::arg("nodata"), py::arg("threads"),
        "The components' extremes over the selected pixels (veltrane.component_ranges).");

    m.def(
        "build",
        [](const TPyAxes& axes, const TComponentRanges& ranges) {
            return TPyTransform{BuildStretch(axes.Axes, ranges)};
        },
        py::arg("axes"), py::arg("ranges"),
        "The transform of axes and pooled ranges (veltrane.build).");

    m.def(
        "clip",
        [](const TPyTransform& t, const py::array& image, double low, double high,
           const py::tuple& sample, const py::object& mask, int64_t every, const py::object& nodata,
           int threads) {
            const TImageView v = ViewOf(image);
            CheckFits(v, t.T.Bands, t.T.Type, "the transform is");
            TPySelection s(image, sample, mask, every, nodata);
            const TRunOptions run = RunOf(threads);
            py::gil_scoped_release free;
            return TPyTransform{ClipStretch(t.T, v, s.Selection, low, high, run)};
        },
        py::arg("transform"), py::arg("image"), py::arg("low"), py::arg("high"), py::arg("sample"),
        py::arg("mask"), py::arg("every"), py::arg("nodata"), py::arg("threads"),
        "The transform saturated over one image's selected pixels.");
}

} // namespace vt::bindings
