// kestrune_find._native: the whole find in C++ (mask, edge scan, search,
// evidence) on the core's kernels, with the interpreter lock released from
// the first pixel read to the last find; it is held only to read the
// arguments and to build the result. Nothing is shared between calls but the
// kernels' read-only tables: the buffers are per thread.
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "kestrune/dispatch/masking.hpp"
#include "kestrune/edges/edges.hpp"
#include "kestrune/module/function.hpp"
#include "kestrune/module/gil.hpp"
#include "kestrune/module/numbers.hpp"
#include "kestrune/module/pyref.hpp"
#include "kestrune/simd/level.hpp"
#include "scan.hpp"
#include "search.hpp"

namespace kestrune::find {

namespace {

// How the runs are read from the edge points: gaps narrower than this many
// unset pixels are joined, and runs on lines this close are linked; pieces
// of a line at most kBridge pixels apart (a cable, a finger or a thin bar
// across a ball) are linked too. Wider, a ball's pieces keep enough of its
// outline each to be found from one of them.
constexpr std::int32_t kGap = 2;
constexpr std::int32_t kLink = 3;
constexpr std::int32_t kBridge = 10;

// ---------------------------------------------------------------------------
// The options object: attributes read by name, each checked for its type and
// for the range the search works in.

// A new reference to the attribute, or NULL with TypeError naming it.
PyObject* attribute(PyObject* options, const char* name) {
    PyObject* value = PyObject_GetAttrString(options, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "options has no field '%s'", name);
    }
    return value;
}

// ValueError "options.<name> must be between <low> and <high>, got <value>".
void real_out_of_range(const char* name, double low, double high, PyObject* value) {
    PyRef lo(PyFloat_FromDouble(low)), hi(PyFloat_FromDouble(high));
    if (lo && hi)
        PyErr_Format(PyExc_ValueError, "options.%s must be between %R and %R, got %R", name, lo.get(), hi.get(), value);
}

bool option_real(PyObject* options, const char* name, double low, double high, double& out) {
    PyRef value(attribute(options, name));
    if (!value) return false;
    PyObject* v = value.get();
    if (PyBool_Check(v) || !(PyFloat_Check(v) || PyLong_Check(v) || PyIndex_Check(v))) {
        PyErr_Format(PyExc_TypeError, "options.%s must be a number, not %.100s", name, Py_TYPE(v)->tp_name);
        return false;
    }
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        real_out_of_range(name, low, high, v);
        return false;
    }
    if (!(d >= low && d <= high)) {  // NaN too
        real_out_of_range(name, low, high, v);
        return false;
    }
    out = d;
    return true;
}

// An integer in [low, high] (both within uint64 or int64 as the sign needs).
bool option_integer(PyObject* options, const char* name, unsigned long long high, unsigned long long& out) {
    PyRef value(attribute(options, name));
    if (!value) return false;
    PyObject* v = value.get();
    if (PyBool_Check(v) || !(PyLong_Check(v) || PyIndex_Check(v))) {
        PyErr_Format(PyExc_TypeError, "options.%s must be an integer, not %.100s", name, Py_TYPE(v)->tp_name);
        return false;
    }
    PyRef number(PyNumber_Index(v));
    if (!number) return false;
    const unsigned long long got = PyLong_AsUnsignedLongLong(number.get());
    if ((got == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || got > high) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "options.%s must be an integer from 0 to %llu, got %R", name, high, v);
        return false;
    }
    out = got;
    return true;
}

template <class Int> bool option_int(PyObject* options, const char* name, unsigned long long high, Int& out) {
    unsigned long long got = 0;
    if (!option_integer(options, name, high, got)) return false;
    out = static_cast<Int>(got);
    return true;
}

bool option_kind(PyObject* options, ShapeKind& out) {
    PyRef value(attribute(options, "kind"));
    if (!value) return false;
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "options.kind must be a str, not %.100s", Py_TYPE(value.get())->tp_name);
        return false;
    }
    const char* name = PyUnicode_AsUTF8(value.get());
    if (name == nullptr) return false;
    const std::string_view k(name);
    if (k == "disc") out = ShapeKind::disc;
    else if (k == "ellipse") out = ShapeKind::ellipse;
    else if (k == "line") out = ShapeKind::line;
    else if (k == "stripe") out = ShapeKind::stripe;
    else {
        PyErr_Format(PyExc_ValueError, "options.kind must be disc, ellipse, line or stripe, got %R", value.get());
        return false;
    }
    return true;
}

struct Request {
    SearchOptions search{};
    std::int32_t row_count = 0, column_count = 0;
};

bool read_options(PyObject* options, Request& r) {
    constexpr double inf = HUGE_VAL;
    SearchOptions& o = r.search;
    return option_kind(options, o.kind) && option_real(options, "min_r", 0.0, inf, o.min_r) &&
           option_real(options, "max_r", 0.0, inf, o.max_r) &&
           option_real(options, "min_width", 0.0, inf, o.min_width) &&
           option_real(options, "max_width", 0.0, inf, o.max_width) &&
           option_real(options, "min_score", 0.0, 1.0, o.min_score) &&
           option_real(options, "round_min_score", 0.0, 1.0, o.round_min_score) &&
           option_real(options, "stretch", 1.0, 1e3, o.stretch) &&
           option_real(options, "squeeze", 1.0, 1e3, o.squeeze) &&
           option_int(options, "max_shapes", kMaxShapes, o.max_shapes) &&
           option_int(options, "seed", UINT64_MAX, o.seed) &&
           option_int(options, "row_count", kMaxLineCount, r.row_count) &&
           option_int(options, "column_count", kMaxLineCount, r.column_count) &&
           option_int(options, "max_iterations", 1u << 20, o.max_iterations);
}

// ---------------------------------------------------------------------------
// The colour's sectors: (M, i, c) with nine and two and two integers.

bool read_ints(PyObject* seq, const char* what, std::int32_t* dest, Py_ssize_t count) {
    PyRef fast(PySequence_Fast(seq, what));
    if (!fast) return false;
    if (PySequence_Fast_GET_SIZE(fast.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd integers, got %zd", what, count,
                     PySequence_Fast_GET_SIZE(fast.get()));
        return false;
    }
    for (Py_ssize_t k = 0; k < count; ++k)
        if (!to_int32(PySequence_Fast_GET_ITEM(fast.get(), k), dest[k])) return false;
    return true;
}

bool read_bounds(PyObject* bounds, std::vector<LchBounds>& out) {
    PyRef fast(PySequence_Fast(bounds, "bounds must be a list of (M, i, c)"));
    if (!fast) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "bounds must hold at least one (M, i, c)");
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyRef sector(PySequence_Fast(PySequence_Fast_GET_ITEM(fast.get(), k), "each bounds entry must be (M, i, c)"));
        if (!sector) return false;
        if (PySequence_Fast_GET_SIZE(sector.get()) != 3) {
            PyErr_SetString(PyExc_ValueError, "each bounds entry must be (M, i, c)");
            return false;
        }
        LchBounds& b = out[static_cast<std::size_t>(k)];
        PyObject* const* items = PySequence_Fast_ITEMS(sector.get());
        if (!read_ints(items[0], "bounds M", b.M, 9) || !read_ints(items[1], "bounds i", b.i, 2) ||
            !read_ints(items[2], "bounds c", b.c, 2))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The find itself, without the interpreter.

// Buffers kept per thread between finds, so that threads never share one and
// a thread's next frame of the same size allocates nothing.
struct Buffers {
    std::vector<std::uint8_t> mask, scratch;
    ScanTable table;
};

struct Timings {
    double mask = 0, edges = 0, search = 0, evidence = 0;
};

double ms_since(std::chrono::steady_clock::time_point& start) {
    const auto now = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::milli>(now - start).count();
    start = now;
    return ms;
}

void run_find(const ImageView& frame, const std::vector<LchBounds>& bounds, const Request& request,
              std::vector<Found>& found, Timings& timings) {
    thread_local Buffers buffers;
    const auto height = static_cast<std::size_t>(frame.rows), width = static_cast<std::size_t>(frame.cols);
    auto clock = std::chrono::steady_clock::now();

    // The mask is the union of the sectors' masks.
    buffers.mask.resize(height * width);
    const PlaneView mask{buffers.mask.data(), frame.rows, frame.cols, frame.cols};
    mask_image(frame, mask, bounds[0]);
    if (bounds.size() > 1) {
        buffers.scratch.resize(height * width);
        const PlaneView scratch{buffers.scratch.data(), frame.rows, frame.cols, frame.cols};
        for (std::size_t k = 1; k < bounds.size(); ++k) {
            mask_image(frame, scratch, bounds[k]);
            for (std::size_t p = 0; p < height * width; ++p) buffers.mask[p] |= buffers.scratch[p];
        }
    }
    timings.mask = ms_since(clock);

    // The runs on the lines the core's edge scan spreads, read from the mask.
    ScanTable& table = buffers.table;
    table.build(mask, request.row_count, request.column_count, kGap, kLink, kBridge, &frame);
    timings.edges = ms_since(clock);

    search(table, request.search, Fits(active_simd_level()), found, timings.evidence);
    timings.search = ms_since(clock) - timings.evidence;
}

// ---------------------------------------------------------------------------
// The entry and the result.

PyObject* result_of(const std::vector<Found>& found, ShapeKind kind, const Timings& t) {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    const int n_values = kind == ShapeKind::disc ? 3 : kind == ShapeKind::ellipse ? 5 : 7;
    for (const Found& f : found) {
        PyRef values(PyTuple_New(n_values));
        if (!values) return nullptr;
        for (int k = 0; k < n_values; ++k) {
            PyObject* v = PyFloat_FromDouble(f.values[k]);
            if (v == nullptr) return nullptr;
            PyTuple_SET_ITEM(values.get(), k, v);
        }
        PyRef item(Py_BuildValue("(Odi)", values.get(), f.score, static_cast<int>(f.support)));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    PyRef timings(Py_BuildValue("{sdsdsdsd}", "mask", t.mask, "edges", t.edges, "search", t.search, "evidence",
                                t.evidence));
    if (!timings) return nullptr;
    return PyTuple_Pack(2, list.get(), timings.get());
}

bool check_frame(const ImageView& frame) {
    if (frame.channels != 3 || frame.col_stride != 3 || frame.row_stride != 3 * frame.cols) {
        PyErr_SetString(PyExc_ValueError, "frame must be an H x W x 3 C-contiguous uint8 array");
        return false;
    }
    if (frame.rows == 0 || frame.cols == 0) {
        PyErr_SetString(PyExc_ValueError, "frame has no pixels");
        return false;
    }
    // The edge scan counts pixels and points in 32 bits.
    if (frame.rows > (kCountLimit - 1) / (frame.cols + 1)) {
        PyErr_Format(PyExc_ValueError, "frame must have fewer than 2**31 pixels (got %lld x %lld)",
                     static_cast<long long>(frame.rows), static_cast<long long>(frame.cols));
        return false;
    }
    return true;
}

// find(frame, bounds, options) -> ([(values, score, support), ...], {stage: ms})
PyObject* find_entry(ImageView frame, PyObject* bounds, PyObject* options) {
    if (!check_frame(frame)) return nullptr;
    std::vector<LchBounds> sectors;
    Request request;
    if (!read_bounds(bounds, sectors) || !read_options(options, request)) return nullptr;
    std::vector<Found> found;
    Timings timings;
    bool out_of_memory = false;
    {
        GilRelease unlocked;
        try {
            run_find(frame, sectors, request, found, timings);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
    if (out_of_memory) return PyErr_NoMemory();
    return result_of(found, request.search.kind, timings);
}

constexpr FunctionSpec kTable[] = {
    native<find_entry>("find", {{"frame"}, {"bounds"}, {"options"}}),
};

int module_exec(PyObject* module) {
    for (const FunctionSpec& spec : kTable) {
        PyRef function(make_function(&spec, nullptr));
        if (!function || PyModule_AddObjectRef(module, spec.name, function.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kestrune_find._native", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kestrune::find

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&kestrune::find::module_def); }
