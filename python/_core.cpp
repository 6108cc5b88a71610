// veltrane._core: the stretch engine for NumPy arrays. Arrays are read and written where they
// lie, whatever their strides; the engine's passes run without the interpreter's lock. The
// friendly interface (option names, defaults, checks) is veltrane/__init__.py over this.
#include "streams/Json.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchOptions.h"
#include "stretch/StretchTransform.h"
#include "stretch/TransformFile.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace vt;

namespace {

// ---- Arrays as views -----------------------------------------------------------------------

TSampleType TypeOf(const py::array& a) {
    if (py::isinstance<py::array_t<uint8_t>>(a))
        return TSampleType::UInt8;
    if (py::isinstance<py::array_t<uint16_t>>(a))
        return TSampleType::UInt16;
    if (py::isinstance<py::array_t<float>>(a))
        return TSampleType::Float32;
    throw py::type_error("the stretch takes uint8, uint16 or float32 samples in native byte "
                         "order, not " +
                         py::str(a.dtype()).cast<std::string>());
}

py::array AsArray(const py::handle& h, const char* what) {
    if (!py::isinstance<py::array>(h))
        throw py::type_error(std::string(what) + " must be a NumPy array, not " +
                             py::str(py::type::of(h).attr("__name__")).cast<std::string>());
    return py::reinterpret_borrow<py::array>(h);
}

// H x W (one band) or H x W x N samples, as the engine's view of them. Reversed presents three
// bands last to first (a negative band stride): the plug-in's pairing sees a file's RGB pixels
// as it sees the host's BGR ones.
TImageView ViewOf(const py::array& a, bool reversed = false, bool writable = false) {
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error("an image is an H x W or H x W x N array, not one of " +
                              std::to_string(a.ndim()) + " dimensions");
    TImageView v;
    v.Type = TypeOf(a);
    v.Height = a.shape(0);
    v.Width = a.shape(1);
    v.Bands = a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1;
    if (a.ndim() == 3 && (a.shape(2) < 1 || a.shape(2) > MaxBands))
        throw py::value_error("images have 1 to 16 bands, not " + std::to_string(a.shape(2)));
    if (v.Width == 0 || v.Height == 0)
        throw py::value_error("the image has no pixels");
    v.RowStride = a.strides(0);
    v.PixelStride = a.strides(1);
    v.BandStride = a.ndim() == 3 ? a.strides(2) : static_cast<int64_t>(a.itemsize());
    if (writable && !a.writeable())
        throw py::value_error("the output array is read-only");
    v.Data = const_cast<void*>(a.data());
    if (reversed && v.Bands == 3) {
        v.Data = v.At(0, 0, 2);
        v.BandStride = -v.BandStride;
    }
    return v;
}

// Which pixels count, as the interface's keywords give them; keeps the mask's view alive.
struct TPySelection {
    TSelection Selection;
    TImageView Mask;
    py::object MaskArray;

    TPySelection(const py::array& image, const py::tuple& sample, const py::object& mask,
                 int64_t every, const py::object& nodata) {
        if (sample.size() != 4)
            throw py::value_error("sample is a rectangle (x, y, w, h)");
        Selection.X = sample[0].cast<int64_t>();
        Selection.Y = sample[1].cast<int64_t>();
        Selection.Width = sample[2].cast<int64_t>();
        Selection.Height = sample[3].cast<int64_t>();
        Selection.Every = every;
        if (!nodata.is_none()) {
            Selection.HasNoData = true;
            Selection.NoData = nodata.cast<double>();
        }
        if (!mask.is_none()) {
            const py::array m = AsArray(mask, "mask");
            if (!py::isinstance<py::array_t<uint8_t>>(m) && !py::isinstance<py::array_t<bool>>(m))
                throw py::type_error("the mask is a uint8 or bool array, not " +
                                     py::str(m.dtype()).cast<std::string>());
            if (m.ndim() != 2 || m.shape(0) != image.shape(0) || m.shape(1) != image.shape(1))
                throw py::value_error("the mask must be a 2-D array of the image's height and "
                                      "width");
            MaskArray = m;
            Mask.Data = const_cast<void*>(m.data());
            Mask.Height = m.shape(0);
            Mask.Width = m.shape(1);
            Mask.Bands = 1;
            Mask.Type = TSampleType::UInt8;
            Mask.RowStride = m.strides(0);
            Mask.PixelStride = m.strides(1);
            Mask.BandStride = 1;
            Selection.Mask = &Mask;
        }
    }
};

// ---- Options -------------------------------------------------------------------------------

// The fit's options from the interface's normalised keywords: method "offset", "scale-only"
// or "target"; basis; pairing; targets (16 values each, not a number where unset); space
// name; matrix (3 x 4 or None); keep (a bit a band); clip (None or (low, high)).
TFitOptions FitOptionsOf(const py::dict& o) {
    TFitOptions f;
    const auto text = [&](const char* key) { return o[key].cast<std::string>(); };
    const std::string method = text("method");
    f.Method = method == "offset"       ? TStretchMethod::Offset
               : method == "scale-only" ? TStretchMethod::ScaleOnly
                                        : TStretchMethod::Target;
    f.Basis =
        text("basis") == "covariance" ? TStretchBasis::Covariance : TStretchBasis::Correlation;
    f.Pairing = text("pairing") == "direct" ? TBandPairing::Direct : TBandPairing::Plugin;
    const auto mean = o["target_mean"].cast<std::vector<double>>();
    const auto sigma = o["target_sigma"].cast<std::vector<double>>();
    for (size_t b = 0; b < MaxBands && b < mean.size(); ++b)
        f.TargetMean[b] = mean[b];
    for (size_t b = 0; b < MaxBands && b < sigma.size(); ++b)
        f.TargetSigma[b] = sigma[b];
    f.Space = ColourSpaceNamed(text("space"));
    if (f.Space == TColourSpace::Matrix) {
        const auto m = o["matrix"].cast<std::vector<std::vector<double>>>();
        f.SpaceMatrix.Size = 3;
        for (size_t r = 0; r < 3; ++r)
            for (size_t c = 0; c < 4; ++c)
                f.SpaceMatrix.M[r][c] = m.at(r).at(c);
    }
    f.Keep = o["keep"].cast<uint32_t>();
    if (!o["clip"].is_none()) {
        const auto clip = o["clip"].cast<std::pair<double, double>>();
        f.Clip = true;
        f.ClipLow = clip.first;
        f.ClipHigh = clip.second;
    }
    return f;
}

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
    o["target_mean"] = std::vector<double>(f.TargetMean, f.TargetMean + MaxBands);
    o["target_sigma"] = std::vector<double>(f.TargetSigma, f.TargetSigma + MaxBands);
    o["space"] = ColourSpaceName(f.Space);
    py::list matrix;
    for (int row = 0; row < 3; ++row)
        matrix.append(std::vector<double>(f.SpaceMatrix.M[row], f.SpaceMatrix.M[row] + 4));
    o["matrix"] = f.Space == TColourSpace::Matrix ? py::object(matrix) : py::none();
    o["keep"] = f.Keep;
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

// The statistics of three bands last to first (what a reversed view measures).
TStatistics ReversedStatistics(const TStatistics& s) {
    if (s.Bands != 3)
        return s;
    TStatistics r = s;
    const int n = s.Bands;
    for (int a = 0; a < n; ++a) {
        r.Sum[a] = s.Sum[n - 1 - a];
        r.RealSum[a] = s.RealSum[n - 1 - a];
        r.Lowest[a] = s.Lowest[n - 1 - a];
        r.Highest[a] = s.Highest[n - 1 - a];
        for (int b = a; b < n; ++b) {
            r.Product[a][b] = s.Product[n - 1 - b][n - 1 - a];
            r.RealProduct[a][b] = s.RealProduct[n - 1 - b][n - 1 - a];
        }
    }
    return r;
}

// True for an array of three 8-bit bands packed pixel by pixel (any row stride): the layout of
// the engine's fastest passes, when the bytes lie in the plug-in's order.
bool ThreeBytePixels(const TImageView& v) {
    return v.Type == TSampleType::UInt8 && v.Bands == 3 && v.BandStride == 1 && v.PixelStride == 3;
}

// Target := Source with the outer bands of every pixel exchanged (in place when they are one
// view): three 8-bit bands in the plug-in's order, as the command line holds them.
void CopySwapped(const TImageView& source, const TImageView& target) {
    const bool same = source.Data == target.Data && source.RowStride == target.RowStride &&
                      source.PixelStride == target.PixelStride &&
                      source.BandStride == target.BandStride;
    for (int64_t y = 0; y < source.Height; ++y) {
        uint8_t* to = target.At(0, y, 0);
        if (same) {
            for (int64_t x = 0; x < source.Width; ++x, to += 3)
                std::swap(to[0], to[2]);
            continue;
        }
        for (int64_t x = 0; x < source.Width; ++x, to += 3) {
            const uint8_t* from = source.At(x, y, 0);
            const uint8_t a = from[0], b = from[source.BandStride], c = from[2 * source.BandStride];
            to[0] = c;
            to[1] = b;
            to[2] = a;
        }
    }
}

// The engine's refusals of a selection, before anything is written: its checks on a stand-in
// of the image's size whose every pixel is one zero sample (no strides), so that they cost a
// pixel whatever the size.
void CheckSelection(const TImageView& image, const TSelection& selection) {
    static const uint8_t zeros[MaxBands * 4] = {};
    TImageView stand = image;
    stand.Data = const_cast<uint8_t*>(zeros);
    stand.PixelStride = stand.RowStride = 0;
    stand.BandStride = static_cast<int64_t>(SampleBytes(image.Type));
    TSelection s = selection;
    if (s.Every >= 1)
        s.Every = std::max<int64_t>({image.Width, image.Height, 1});
    MeasureStatistics(stand, s);
}

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

// ---- The objects ---------------------------------------------------------------------------

// A fitted transform; Reversed when it sees an array's three bands last to first.
struct TPyTransform {
    TBandTransform T;
    bool IsReversed() const { return ReadsBandsReversed(T.Options.Pairing, T.Bands); }
};

struct TPyAxes {
    TPrincipalAxes Axes;
    bool IsReversed() const { return ReadsBandsReversed(Axes.Options.Pairing, Axes.Bands); }
};

struct TPyClip {
    TClipHistogram Histogram;
    bool IsReversed;
};

void CheckFits(const TImageView& v, int bands, TSampleType type, const char* what) {
    if (v.Bands != bands || v.Type != type)
        throw py::value_error(std::string(what) + " is for " + std::to_string(bands) + "-band " +
                              SampleTypeName(type) + " images, not " + std::to_string(v.Bands) +
                              "-band " + SampleTypeName(v.Type));
}

// An axes object through pickling: a transform document carries its bands, order, rows,
// options and statistics; the fractions go beside it.
py::tuple AxesState(const TPyAxes& a) {
    TBandTransform t = TBandTransform::Identity(a.Axes.Bands, a.Axes.Type);
    for (int j = 0; j < a.Axes.Bands; ++j)
        t.Order[j] = a.Axes.Order[j];
    t.Map = a.Axes.Map;
    t.Options = a.Axes.Options;
    t.Statistics = a.Axes.Statistics;
    std::vector<double> fractions(a.Axes.Fraction, a.Axes.Fraction + a.Axes.Bands);
    return py::make_tuple(WriteTransformJson(t), fractions);
}

TPyAxes AxesOfState(const py::tuple& state) {
    if (state.size() != 2)
        throw py::value_error("not the state of principal axes");
    const TBandTransform t = ReadTransformJson(state[0].cast<std::string>());
    const auto fractions = state[1].cast<std::vector<double>>();
    if (fractions.size() != static_cast<size_t>(t.Bands))
        throw py::value_error("not the state of principal axes");
    TPyAxes a;
    a.Axes.Bands = t.Bands;
    a.Axes.Type = t.Type;
    for (int j = 0; j < t.Bands; ++j) {
        a.Axes.Order[j] = t.Order[j];
        a.Axes.Fraction[j] = fractions[static_cast<size_t>(j)];
    }
    a.Axes.Map = t.Map;
    a.Axes.Options = t.Options;
    a.Axes.Statistics = t.Statistics;
    return a;
}

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

void SetThreads(int threads) {
    if (threads < 0 || threads > 256)
        throw py::value_error("threads is a number from 0 to 256 (0: the processor's threads)");
    SetStretchThreads(threads);
}

} // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The stretch engine for NumPy arrays (the building blocks of the veltrane package; "
              "use the functions of veltrane itself).";

    // The engine's refusals are wrong values; everything else from the library is an error
    // of the system (files that cannot be read or written).
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const EStretch& e) {
            PyErr_SetString(PyExc_ValueError, e.Message.c_str());
        } catch (const Exception& e) {
            PyErr_SetString(PyExc_OSError, e.Message.c_str());
        }
    });

    m.def("_fit_request", &FitRequest, py::arg("json"), py::arg("bands"),
          "The fit's options read by the engine's table (for the interface's functions).");
    m.def("_selection_request", &SelectionRequest, py::arg("json"),
          "The selection's options read by the engine's table (for the interface's functions).");

    m.def("_option_table", &StretchOptionsJson,
          "The engine's table of options as JSON (command-line name, key, kind, help).");

    m.def("set_threads", &SetThreads, py::arg("threads"),
          "Threads of the passes over the pixels (process-wide): 0 the processor's, 1 the "
          "calling thread only.");

    // ---- Statistics ----
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

    // ---- Transform ----
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

    // ---- Axes and ranges ----
    py::class_<TPyAxes>(m, "Axes",
                        "The principal axes of pooled statistics with the fit's options: the "
                        "input of component_ranges and build. Picklable.")
        .def_property_readonly(
            "bands", [](const TPyAxes& a) { return a.Axes.Bands; }, "Bands.")
        .def_property_readonly(
            "fractions",
            [](const TPyAxes& a) {
                return std::vector<double>(a.Axes.Fraction, a.Axes.Fraction + a.Axes.Bands);
            },
            "Each component's share of the variance (largest first).")
        .def(py::pickle(&AxesState, &AxesOfState));

    py::class_<TComponentRanges>(m, "ComponentRanges",
                                 "Each principal component's extremes over selected pixels; "
                                 "ranges of the pieces of a series pool with + (in the series' "
                                 "order). Picklable.")
        .def_readonly("bands", &TComponentRanges::Bands, "Components.")
        .def_property_readonly(
            "lowest",
            [](const TComponentRanges& r) {
                return std::vector<double>(r.Lowest, r.Lowest + r.Bands);
            },
            "Each component's lowest value (inf when nothing was selected).")
        .def_property_readonly(
            "highest",
            [](const TComponentRanges& r) {
                return std::vector<double>(r.Highest, r.Highest + r.Bands);
            },
            "Each component's highest value (-inf when nothing was selected).")
        .def("__add__",
             [](const TComponentRanges& a, const TComponentRanges& b) {
                 TComponentRanges r = a;
                 r.Add(b);
                 return r;
             })
        .def(
            "__iadd__",
            [](TComponentRanges& a, const TComponentRanges& b) -> TComponentRanges& {
                a.Add(b);
                return a;
            },
            py::return_value_policy::reference_internal)
        .def(py::pickle(
            [](const TComponentRanges& r) {
                return py::make_tuple(r.Bands, std::vector<double>(r.Lowest, r.Lowest + r.Bands),
                                      std::vector<double>(r.Highest, r.Highest + r.Bands));
            },
            [](const py::tuple& s) {
                const int bands = s[0].cast<int>();
                const auto low = s[1].cast<std::vector<double>>();
                const auto high = s[2].cast<std::vector<double>>();
                if (bands < 1 || bands > MaxBands || low.size() != static_cast<size_t>(bands) ||
                    high.size() != low.size())
                    throw py::value_error("not the state of component ranges");
                TComponentRanges r(bands);
                for (int k = 0; k < bands; ++k) {
                    r.Lowest[k] = low[static_cast<size_t>(k)];
                    r.Highest[k] = high[static_cast<size_t>(k)];
                }
                return r;
            }));

    // ---- Saturation ----
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

    // ---- The passes ----
    m.def(
        "statistics",
        [](const py::array& image, const py::tuple& sample, const py::object& mask, int64_t every,
           const py::object& nodata, int threads) {
            const TImageView v = ViewOf(image);
            TPySelection s(image, sample, mask, every, nodata);
            SetThreads(threads);
            py::gil_scoped_release free;
            return MeasureStatistics(v, s.Selection);
        },
        py::arg("image"), py::arg("sample"), py::arg("mask"), py::arg("every"), py::arg("nodata"),
        py::arg("threads"), "The statistics of the selected pixels (veltrane.statistics).");

    m.def(
        "fit",
        [](const py::array& image, const py::dict& options, const py::tuple& sample,
           const py::object& mask, int64_t every, const py::object& nodata, int threads) {
            const TFitOptions o = FitOptionsOf(options);
            const TImageView probe = ViewOf(image);
            const TImageView v =
                ViewOf(image, ReadsBandsReversed(PairingFor(o, probe.Bands), probe.Bands));
            TPySelection s(image, sample, mask, every, nodata);
            SetThreads(threads);
            py::gil_scoped_release free;
            return TPyTransform{FitStretch(v, s.Selection, o)};
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
            const TImageView probe = ViewOf(source);
            const bool reversed = ReadsBandsReversed(PairingFor(o, probe.Bands), probe.Bands);
            const TImageView from = ViewOf(source, reversed), to = ViewOf(target, reversed, true);
            const TImageView plain = ViewOf(target);
            TPySelection s(source, sample, mask, every, nodata);
            TSelection marks; // what the application leaves alone
            marks.HasNoData = s.Selection.HasNoData;
            marks.NoData = s.Selection.NoData;
            SetThreads(threads);
            py::gil_scoped_release free;
            if (reversed && ThreeBytePixels(plain)) {
                // The command line's own way with 8-bit RGB: the bytes exchanged in the
                // output, where the fit and the application run their fastest passes in
                // place, and exchanged back.
                CheckSelection(plain, s.Selection);
                CopySwapped(ViewOf(source), plain);
                try {
                    const TBandTransform t = FitStretch(plain, s.Selection, o);
                    ApplyStretch(t, plain, plain, &marks);
                } catch (...) {
                    CopySwapped(plain, plain);
                    throw;
                }
                CopySwapped(plain, plain);
                return;
            }
            const TBandTransform t = FitStretch(from, s.Selection, o);
            ApplyStretch(t, from, to, &marks);
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
            const TFitOptions o = FitOptionsOf(options);
            const bool r = ReadsBandsReversed(PairingFor(o, statistics.Bands), statistics.Bands);
            return TPyAxes{FitAxes(r ? ReversedStatistics(statistics) : statistics, o)};
        },
        py::arg("statistics"), py::arg("options"),
        "The principal axes of statistics in the bands' order (veltrane.axes).");

    m.def(
        "component_ranges",
        [](const py::array& image, const TPyAxes& axes, const py::tuple& sample,
           const py::object& mask, int64_t every, const py::object& nodata, int threads) {
            const TImageView v = ViewOf(image, axes.IsReversed());
            CheckFits(v, axes.Axes.Bands, axes.Axes.Type, "the axes are");
            TPySelection s(image, sample, mask, every, nodata);
            SetThreads(threads);
            py::gil_scoped_release free;
            return MeasureComponentRanges(v, s.Selection, axes.Axes);
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
            const TImageView v = ViewOf(image, t.IsReversed());
            CheckFits(v, t.T.Bands, t.T.Type, "the transform");
            TPySelection s(image, sample, mask, every, nodata);
            SetThreads(threads);
            py::gil_scoped_release free;
            return TPyTransform{ClipStretch(t.T, v, s.Selection, low, high)};
        },
        py::arg("transform"), py::arg("image"), py::arg("low"), py::arg("high"), py::arg("sample"),
        py::arg("mask"), py::arg("every"), py::arg("nodata"), py::arg("threads"),
        "The transform saturated over one image's selected pixels.");
}
