// veltrane._core's option functions: the fit's and the selection's keywords read by the engine's
// table of options (the command line's rules and messages) and the table itself.
#include "Bindings.h"

#include "streams/Json.h"
#include "stretch/StretchOptions.h"

#include <string>
#include <vector>

namespace vt::bindings {

namespace {

// The fit's keywords, as JSON, read by the engine's table of options and checked against a band
// count (0: not known yet), in the normalised form FitOptionsOf takes.
py::dict FitRequest(const std::string& json, int bands) {
    static const std::vector<std::string> keys = {"offset",      "basis",        "pairing",
                                                  "target_mean", "target_sigma", "space",
                                                  "matrix",      "keep",         "clip"};
    TStretchRequest r;
    try {
        r = ReadStretchRequest(ParseJson(json), &keys);
    } catch (const EJsonError& e) {
        throw EStretch(e.Message);
    }
    if (bands > 0)
        CheckStretchRequest(r, bands, TSampleType::UInt8, 1, 1);
    const TFitOptions& f = r.Fit;
    py::dict o;
    o["method"] = f.Method == TStretchMethod::Offset      ? "offset"
                  : f.Method == TStretchMethod::ScaleOnly ? "scale-only"
                                                          : "target";
    o["basis"] = f.Basis == TStretchBasis::Covariance ? "covariance" : "correlation";
    o["pairing"] = f.Pairing == TBandPairing::Direct ? "direct" : "plugin";
    const auto values = [](const TBandValues& v) {
        std::vector<double> list(v.Size());
        for (size_t b = 0; b < list.size(); ++b)
            list[b] = v[b];
        return list;
    };
    o["target_mean"] = values(f.TargetMean);
    o["target_sigma"] = values(f.TargetSigma);
    o["space"] = ColourSpaceName(f.Space);
    py::list matrix;
    if (f.Space == TColourSpace::Matrix && f.SpaceMatrix.Size == 3)
        for (int row = 0; row < 3; ++row)
            matrix.append(std::vector<double>(f.SpaceMatrix.M[row], f.SpaceMatrix.M[row] + 4));
    o["matrix"] = f.Space == TColourSpace::Matrix ? py::object(matrix) : py::none();
    std::vector<int> keep; // the kept bands, from 0
    for (int b = 0; b <= f.Keep.Highest(); ++b)
        if (f.Keep.Has(b))
            keep.push_back(b);
    o["keep"] = keep;
    o["clip"] = f.Clip ? py::object(py::make_tuple(f.ClipLow, f.ClipHigh)) : py::none();
    return o;
}

// The selection's keywords (sample, every, nodata, threads), as JSON, read by the table: the
// rectangle (-1: to the edge), the step, the no-data value or None, the threads.
py::tuple SelectionRequest(const std::string& json) {
    static const std::vector<std::string> keys = {"sample", "every", "nodata", "threads"};
    TStretchRequest r;
    try {
        r = ReadStretchRequest(ParseJson(json), &keys);
    } catch (const EJsonError& e) {
        throw EStretch(e.Message);
    }
    const TSelection& s = r.Selection;
    return py::make_tuple(py::make_tuple(s.X, s.Y, s.Width, s.Height), s.Every,
                          s.HasNoData ? py::object(py::float_(s.NoData)) : py::none(), r.Threads);
}

} // namespace

void BindOptions(py::module_& m) {
    m.def("_fit_request", &FitRequest, py::arg("json"), py::arg("bands"),
          "The fit's options read by the engine's table (for the interface's functions).");
    m.def("_selection_request", &SelectionRequest, py::arg("json"),
          "The selection's options read by the engine's table (for the interface's functions).");

    m.def("_option_table", &StretchOptionsJson,
          "The engine's table of options as JSON (command-line name, key, kind, help).");
}

} // namespace vt::bindings
