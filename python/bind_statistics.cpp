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

} // namespace

void BindStatistics(py::module_& m) {
    py::class_<TStatistics>(m, "Statistics",
                            "Sums, cross-product sums and extremes of the selected pixels of one "
                            "image or, added with +, of a series (exact for integer samples). "
                            "Picklable; to_json()/from_json() give the library's statistics "
                            "document.")
        .def_readonly("bands", &TStatistics::Bands, "Bands of the images measured.")
        .def_property_readonly(
            "dtype", [](const TStatistics& s) { return SampleTypeName(s.Type); },
            "Sample type: 'uint8', 'uint16' or 'float32'.")
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
            "The statistics of both series.")
        .def(
            "__iadd__",
            [](TStatistics& a, const TStatistics& b) -> TStatistics& {
                a.Add(b);
                return a;
            },
            py::return_value_policy::reference_internal)
        .def("__eq__", [](const TStatistics& a, const TStatistics& b) { return a == b; })
        .def("to_json", &WriteStatisticsJson, "The statistics as a JSON document.")
        .def_static("from_json", &ReadStatisticsJson, py::arg("text"),
                    "Statistics from the document to_json wrote.")
        .def("__repr__",
             [](const TStatistics& s) {
                 return "<veltrane.Statistics " + std::to_string(s.Bands) + " bands " +
                        SampleTypeName(s.Type) + ", " + std::to_string(s.Count) + " pixels>";
             })
        .def(py::pickle([](const TStatistics& s) { return WriteStatisticsJson(s); },
                        [](const std::string& text) { return ReadStatisticsJson(text); }));
}

} // namespace vt::bindings
