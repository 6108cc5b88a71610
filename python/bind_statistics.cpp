// veltrane._core's Statistics: the sums, cross-product sums and extremes of selected pixels,
// which pool with + and pickle as the library's statistics document.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>

namespace vt::bindings {

namespace {

// Per band values of statistics as an array.
template <class TGet> py::array_t<double> PerBand(const TStatistics& s, const TGet& get) {
    std::vector<double> values(static_cast<size_t>(s.Bands));
    for (int b = 0; b < s.Bands; ++b)
        values[static_cast<size_t>(b)] = get(b);
    return ArrayOf(values.data(), values.size());
}

py::array_t<double> Matrix(const TStatistics& s,
                           double (TStatistics::*f)(int, int) const noexcept) {
    const auto n = static_cast<size_t>(s.Bands);
    std::vector<double> values(n * n);
    for (int a = 0; a < s.Bands; ++a)
        for (int b = 0; b < s.Bands; ++b)
            values[static_cast<size_t>(a) * n + static_cast<size_t>(b)] = (s.*f)(a, b);
    return ArrayOf(values.data(), n, n);
}

const char* const StatisticsDoc = R"doc(Sums, cross-product sums and extremes of selected pixels.

The statistics of one image's selected pixels (``veltrane.statistics``) or, added with ``+``,
of a series of images or pieces of one. Integer samples are summed exactly, so the pieces'
statistics added equal the whole's; float samples are summed with compensation. Picklable;
``to_json()`` and ``Statistics.from_json()`` give the library's statistics document.

Attributes
----------
bands : int
    Bands of the images measured.
dtype : {'uint8', 'uint16', 'float32', 'int8', 'int16', 'int32', 'uint32', 'float64'}
    Sample type of the images measured.
count : int
    Selected pixels.
mean : ndarray of float64, shape (bands,)
    Each band's mean.
lowest, highest : ndarray of float64, shape (bands,)
    Each band's lowest and highest sample (inf and -inf when nothing was selected).
covariance : ndarray of float64, shape (bands, bands)
    Population covariances of the bands.
correlation : ndarray of float64, shape (bands, bands)
    Pearson correlations of the bands (0 where a band is constant).

See Also
--------
veltrane.statistics, veltrane.fit, veltrane.axes
)doc";

const char* const ToJsonDoc = R"doc(The statistics as the library's JSON document.

Returns
-------
str
    The document, which ``Statistics.from_json`` reads.
)doc";

const char* const FromJsonDoc = R"doc(Statistics from the document ``to_json`` wrote.

Parameters
----------
text : str
    A statistics document.

Returns
-------
Statistics
    The statistics it holds.

Raises
------
ValueError
    When text is not a statistics document.
)doc";

} // namespace

void BindStatistics(py::module_& m) {
    py::class_<TStatistics> c(m, "Statistics", StatisticsDoc);
    c.def_readonly("bands", &TStatistics::Bands, "Bands of the images measured.")
        .def_property_readonly(
            "dtype", [](const TStatistics& s) { return SampleTypeName(s.Type); },
            "Sample type: 'uint8', 'uint16', 'float32', 'int8', 'int16', 'int32', 'uint32' or "
            "'float64'.")
        .def_readonly("count", &TStatistics::Count, "Selected pixels.")
        .def_property_readonly(
            "mean",
            [](const TStatistics& s) { return PerBand(s, [&](int b) { return s.Mean(b); }); },
            "Each band's mean.")
        .def_property_readonly(
            "lowest",
            [](const TStatistics& s) { return PerBand(s, [&](int b) { return s.Lowest[b]; }); },
            "Each band's lowest sample (inf when nothing was selected).")
        .def_property_readonly(
            "highest",
            [](const TStatistics& s) { return PerBand(s, [&](int b) { return s.Highest[b]; }); },
            "Each band's highest sample (-inf when nothing was selected).")
        .def_property_readonly(
            "covariance", [](const TStatistics& s) { return Matrix(s, &TStatistics::Covariance); },
            "Population covariances of the bands (bands x bands).")
        .def_property_readonly(
            "correlation",
            [](const TStatistics& s) { return Matrix(s, &TStatistics::Correlation); },
            "Pearson correlations of the bands (0 where a band is constant).")
        .def(
            "__add__",
            [](const TStatistics& a, const TStatistics& b) {
                TStatistics s = a;
                s.Add(b);
                return s;
            },
            "The statistics of both series (ValueError unless their images have one band "
            "count and sample type).")
        .def(
            "__iadd__",
            [](TStatistics& a, const TStatistics& b) -> TStatistics& {
                a.Add(b);
                return a;
            },
            py::return_value_policy::reference_internal)
        .def("to_json", &WriteStatisticsJson, ToJsonDoc)
        .def_static("from_json", &ReadStatisticsJson, py::arg("text"), FromJsonDoc)
        .def("__repr__",
             [](const TStatistics& s) {
                 return "<veltrane.Statistics " + std::to_string(s.Bands) + " bands " +
                        SampleTypeName(s.Type) + ", " + std::to_string(s.Count) + " pixels>";
             })
        .def(py::pickle([](const TStatistics& s) { return WriteStatisticsJson(s); },
                        [](const std::string& text) { return ReadStatisticsJson(text); }));
    DefEquality(c, [](const TStatistics& a, const TStatistics& b) { return a == b; });
    DefSumStart(c);
}

} // namespace vt::bindings
