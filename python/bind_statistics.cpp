// veltrane._core's Statistics: the sums, cross-product sums and extremes of selected pixels,
// which pool with + and pickle as the library's statistics document.
#include "Bindings.h"

#include "stretch/TransformFile.h"

#include <string>

namespace vt::bindings {

namespace {

// Per band values of statistics as a list.
template <class TGet> py::list PerBand(const TStatistics& s, const TGet& get) {
    py::list l;
    for (int b = 0; b < s.Bands; ++b)
        l.append(get(b));
    return l;
}

py::list Matrix(const TStatistics& s, double (TStatistics::*f)(int, int) const noexcept) {
    py::list rows;
    for (int a = 0; a < s.Bands; ++a) {
        py::list row;
        for (int b = 0; b < s.Bands; ++b)
            row.append((s.*f)(a, b));
        rows.append(row);
    }
    return rows;
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
mean : list of float
    Each band's mean.
lowest, highest : list of float
    Each band's lowest and highest sample (inf and -inf when nothing was selected).
covariance : list of list of float
    Population covariances of the bands.
correlation : list of list of float
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
    py::class_<TStatistics>(m, "Statistics", StatisticsDoc)
        .def_readonly("bands", &TStatistics::Bands, "Bands of the images measured.")
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
            "Population covariances of the bands (rows of lists).")
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
        .def("__eq__", [](const TStatistics& a, const TStatistics& b) { return a == b; })
        .def("to_json", &WriteStatisticsJson, ToJsonDoc)
        .def_static("from_json", &ReadStatisticsJson, py::arg("text"), FromJsonDoc)
        .def("__repr__",
             [](const TStatistics& s) {
                 return "<veltrane.Statistics " + std::to_string(s.Bands) + " bands " +
                        SampleTypeName(s.Type) + ", " + std::to_string(s.Count) + " pixels>";
             })
        .def(py::pickle([](const TStatistics& s) { return WriteStatisticsJson(s); },
                        [](const std::string& text) { return ReadStatisticsJson(text); }));
}

} // namespace vt::bindings
