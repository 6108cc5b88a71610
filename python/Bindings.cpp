// The helpers the binding files share (Bindings.h): arrays as the engine's views, selections,
// the fit's normalised options, threads, and the translation of the engine's exceptions.
#include "Bindings.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace vt::bindings {

namespace {

TSampleType TypeOf(const py::array& a) {
    if (py::isinstance<py::array_t<uint8_t>>(a))
        return TSampleType::UInt8;
    if (py::isinstance<py::array_t<uint16_t>>(a))
        return TSampleType::UInt16;
    if (py::isinstance<py::array_t<float>>(a))
        return TSampleType::Float32;
    if (py::isinstance<py::array_t<int8_t>>(a))
        return TSampleType::Int8;
    if (py::isinstance<py::array_t<int16_t>>(a))
        return TSampleType::Int16;
    if (py::isinstance<py::array_t<int32_t>>(a))
        return TSampleType::Int32;
    if (py::isinstance<py::array_t<uint32_t>>(a))
        return TSampleType::UInt32;
    if (py::isinstance<py::array_t<double>>(a))
        return TSampleType::Float64;
    throw py::type_error("the stretch takes uint8, uint16, float32, int8, int16, int32, uint32 "
                         "or float64 samples in native byte order, not " +
                         py::str(a.dtype()).cast<std::string>());
}

} // namespace

// ---- Arrays as views -----------------------------------------------------------------------

py::array AsArray(const py::handle& h, const char* what) {
    if (!py::isinstance<py::array>(h))
        throw py::type_error(std::string(what) + " must be a NumPy array, not " +
                             py::str(py::type::of(h).attr("__name__")).cast<std::string>());
    return py::reinterpret_borrow<py::array>(h);
}

TImageView ViewOf(const py::array& a, bool writable) {
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error("an image is an H x W or H x W x N array, not one of " +
                              std::to_string(a.ndim()) + " dimensions");
    TImageView v;
    v.Type = TypeOf(a);
    v.Height = a.shape(0);
    v.Width = a.shape(1);
    v.Bands = a.ndim() == 3 ? static_cast<int>(a.shape(2)) : 1;
    if (a.ndim() == 3 && (a.shape(2) < 1 || a.shape(2) > MaxBands))
        throw py::value_error("images have 1 to " + std::to_string(MaxBands) + " bands, not " +
                              std::to_string(a.shape(2)));
    if (v.Width == 0 || v.Height == 0)
        throw py::value_error("the image has no pixels");
    v.RowStride = a.strides(0);
    v.PixelStride = a.strides(1);
    v.BandStride = a.ndim() == 3 ? a.strides(2) : static_cast<int64_t>(a.itemsize());
    if (writable && !a.writeable())
        throw py::value_error("the output array is read-only");
    v.Data = const_cast<void*>(a.data());
    return v;
}

void CheckFits(const TImageView& v, int bands, TSampleType type, const char* what) {
    if (v.Bands != bands || v.Type != type)
        throw py::value_error(std::string(what) + " for " + std::to_string(bands) + "-band " +
                              SampleTypeName(type) + " images, not " + std::to_string(v.Bands) +
                              "-band " + SampleTypeName(v.Type));
}

// ---- Python's protocols ---------------------------------------------------------------------

py::array_t<double> ArrayOf(const double* values, size_t count) {
    py::array_t<double> a(static_cast<py::ssize_t>(count));
    std::copy(values, values + count, a.mutable_data());
    return a;
}

py::array_t<double> ArrayOf(const double* values, size_t rows, size_t columns) {
    py::array_t<double> a({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)});
    std::copy(values, values + rows * columns, a.mutable_data());
    return a;
}

std::string PathOf(const py::object& path) {
    if (!py::isinstance<py::str>(path) && !py::isinstance<py::bytes>(path) &&
        !py::hasattr(path, "__fspath__"))
        throw py::type_error("path must be str, bytes or os.PathLike, not " +
                             py::str(py::type::of(path).attr("__name__")).cast<std::string>());
    return py::module_::import("os").attr("fsdecode")(path).cast<std::string>();
}

// ---- Selections ----------------------------------------------------------------------------

TPySelection::TPySelection(const py::array& image, const py::tuple& sample, const py::object& mask,
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

void CheckSelection(const TImageView& image, const TSelection& selection) {
    static const uint8_t zeros[MaxBands * 8] = {};
    TImageView stand = image;
    stand.Data = const_cast<uint8_t*>(zeros);
    stand.PixelStride = stand.RowStride = 0;
    stand.BandStride = static_cast<int64_t>(SampleBytes(image.Type));
    TSelection s = selection;
    if (s.Every >= 1)
        s.Every = std::max<int64_t>({image.Width, image.Height, 1});
    MeasureStatistics(stand, s);
}

// ---- Options -------------------------------------------------------------------------------

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
    for (size_t b = 0; b < static_cast<size_t>(MaxBands) && b < mean.size(); ++b)
        f.TargetMean[b] = mean[b];
    for (size_t b = 0; b < static_cast<size_t>(MaxBands) && b < sigma.size(); ++b)
        f.TargetSigma[b] = sigma[b];
    f.Space = ColourSpaceNamed(text("space"));
    if (f.Space == TColourSpace::Matrix) {
        const auto m = o["matrix"].cast<std::vector<std::vector<double>>>();
        f.SpaceMatrix = TAffineMap(3);
        for (size_t r = 0; r < 3; ++r)
            for (size_t c = 0; c < 4; ++c)
                f.SpaceMatrix.M[r][c] = m.at(r).at(c);
    }
    for (const int b : o["keep"].cast<std::vector<int>>())
        f.Keep.Add(b);
    if (!o["clip"].is_none()) {
        const auto clip = o["clip"].cast<std::pair<double, double>>();
        f.Clip = true;
        f.ClipLow = clip.first;
        f.ClipHigh = clip.second;
    }
    return f;
}

TRunOptions RunOf(int threads) {
    if (threads < 0 || threads > 256)
        throw py::value_error("threads is a number from 0 to 256 (0: the processor's threads)");
    TRunOptions run;
    run.Threads = threads;
    // Between parts the call looks for signals, so that Ctrl-C stops a long stretch: the
    // KeyboardInterrupt comes out of the call, which has written nothing it returns.
    run.Progress = [](double) {
        py::gil_scoped_acquire hold;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        return true;
    };
    return run;
}

// ---- Errors --------------------------------------------------------------------------------

void RegisterExceptions() {
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
}

} // namespace vt::bindings
