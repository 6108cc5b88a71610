// What the binding files of veltrane._core share: arrays as the engine's views, the selection's
// keywords, the fit's normalised options, the Python-side objects that wrap the engine's, the
// translation of the engine's exceptions, and one Bind function a file. Private to python/.
#pragma once

#include "stretch/StretchEngine.h"
#include "stretch/StretchTransform.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>

namespace vt::bindings {

namespace py = pybind11;

// ---- Arrays as views -----------------------------------------------------------------------

// H x W (one band) or H x W x N samples, as the engine's view of them (bands in the array's
// order); raises TypeError for another sample type and ValueError for other dimensions.
// Writable refuses a read-only array.
TImageView ViewOf(const py::array& a, bool writable = false);

// h as an array, or TypeError naming what it was meant to be.
py::array AsArray(const py::handle& h, const char* what);

// ValueError unless the view has the band count and sample type an object was made for; what
// names the object with its verb ("the transform is", "the axes are").
void CheckFits(const TImageView& v, int bands, TSampleType type, const char* what);

// ---- Selections ----------------------------------------------------------------------------

// Which pixels count, as the interface's keywords give them; keeps the mask's view alive.
struct TPySelection {
    TSelection Selection;
    TImageView Mask;
    py::object MaskArray;

    TPySelection(const py::array& image, const py::tuple& sample, const py::object& mask,
                 int64_t every, const py::object& nodata);
};

// The engine's refusals of a selection, before anything is written: its checks on a stand-in
// of the image's size whose every pixel is one zero sample (no strides), so that they cost a
// pixel whatever the size.
void CheckSelection(const TImageView& image, const TSelection& selection);

// ---- Options -------------------------------------------------------------------------------

// The fit's options from the interface's normalised keywords (the dict _fit_request returns):
// method "offset", "scale-only" or "target"; basis; pairing; targets (16 values each, not a
// number where unset); space name; matrix (3 x 4 or None); keep (a bit a band); clip (None or
// (low, high)).
TFitOptions FitOptionsOf(const py::dict& o);

// How one call runs: its threads (ValueError outside 0..256), for this call alone, stopped by
// a pending signal (Ctrl-C raises KeyboardInterrupt).
TRunOptions RunOf(int threads);

// ---- The objects ---------------------------------------------------------------------------

// A fitted transform.
struct TPyTransform {
    TBandTransform T;
};

// Principal axes with the fit's options.
struct TPyAxes {
    TPrincipalAxes Axes;
};

// The saturation's histogram.
struct TPyClip {
    TClipHistogram Histogram;
};

// ---- Python's protocols ---------------------------------------------------------------------

// Numbers as a NumPy array of float64 (one dimension, or rows x columns).
py::array_t<double> ArrayOf(const double* values, size_t count);
py::array_t<double> ArrayOf(const double* values, size_t rows, size_t columns);

// A file name from str, bytes or os.PathLike; TypeError for anything else.
std::string PathOf(const py::object& path);

// == by equal(a, b) between objects of the class, NotImplemented for other objects (so that
// t == None is False rather than a TypeError).
template <class T, class TEqual> void DefEquality(py::class_<T>& c, TEqual equal) {
    c.def("__eq__", [equal](const T& a, const T& b) { return equal(a, b); });
    c.def("__eq__", [](const T&, const py::object&) {
        return py::reinterpret_borrow<py::object>(py::handle(Py_NotImplemented));
    });
}

// 0 + a is a, so that sum() pools a list of the class's objects; NotImplemented otherwise.
template <class T> void DefSumStart(py::class_<T>& c) {
    c.def("__radd__", [](const T& a, const py::object& other) -> py::object {
        if (py::isinstance<py::int_>(other) && !py::isinstance<py::bool_>(other) &&
            other.cast<py::int_>().equal(py::int_(0)))
            return py::cast(a);
        return py::reinterpret_borrow<py::object>(py::handle(Py_NotImplemented));
    });
}

// ---- The module, one part a file -------------------------------------------------------------

// The engine's refusals (EStretch) raise ValueError; its other errors (files) raise OSError.
void RegisterExceptions();

void BindOptions(py::module_& m);    // bind_options.cpp: _fit_request, ..., _option_table
void BindStatistics(py::module_& m); // bind_statistics.cpp: Statistics
void BindTransform(py::module_& m);  // bind_transform.cpp: Transform
void BindAxes(py::module_& m);       // bind_axes.cpp: Axes
void BindRanges(py::module_& m);     // bind_ranges.cpp: ComponentRanges
void BindClip(py::module_& m);       // bind_clip.cpp: ClipHistogram
void BindFit(py::module_& m);        // bind_fit.cpp: Fit
void BindFunctions(py::module_& m);  // bind_functions.cpp: statistics, fit, stretch, ...

} // namespace vt::bindings
