// kestrune_find._native: the finding loop in C++, entered through the same
// binding layer as kestrune. It calls the module's fits as any caller does,
// through their Python function objects.
#include <Python.h>

#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "kestrune/module/function.hpp"
#include "kestrune/module/pyref.hpp"
#include "scan_table.hpp"
#include "search.hpp"

namespace kestrune::find {

namespace {

// A memoryview over points the finder owns, shaped as the fits expect
// (N x 2 int32 or N uint8), valid while the vector is untouched.
PyObject* view_of(void* data, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t item, const char* format) {
    static Py_ssize_t dummy = 0;
    Py_buffer buffer{};
    Py_ssize_t shape[2] = {rows, cols};
    Py_ssize_t strides[2] = {cols * item, item};
    buffer.buf = data != nullptr ? data : &dummy;
    buffer.obj = nullptr;
    buffer.len = rows * cols * item;
    buffer.itemsize = item;
    buffer.readonly = 0;
    buffer.ndim = cols > 0 ? 2 : 1;
    buffer.format = const_cast<char*>(format);
    if (cols == 0) {
        shape[0] = rows;
        strides[0] = item;
        buffer.len = rows * item;
    }
    buffer.shape = shape;
    buffer.strides = strides;
    return PyMemoryView_FromBuffer(&buffer);  // copies shape and strides
}

bool item_int(PyObject* dict, const char* key, std::int32_t& out) {
    PyObject* v = PyDict_GetItemString(dict, key);
    if (v == nullptr) {
        PyErr_Format(PyExc_KeyError, "fit result without '%s'", key);
        return false;
    }
    const long value = PyLong_AsLong(v);
    if (value == -1 && PyErr_Occurred()) return false;
    out = static_cast<std::int32_t>(value);
    return true;
}

bool item_double(PyObject* dict, const char* key, double& out) {
    PyObject* v = PyDict_GetItemString(dict, key);
    if (v == nullptr) {
        PyErr_Format(PyExc_KeyError, "fit result without '%s'", key);
        return false;
    }
    out = PyFloat_AsDouble(v);
    return !(out == -1.0 && PyErr_Occurred());
}

bool read_line(PyObject* dict, Line& out) {
    return PyDict_Check(dict) && item_int(dict, "px", out.px) && item_int(dict, "py", out.py) &&
           item_int(dict, "nx", out.nx) && item_int(dict, "ny", out.ny);
}

// The module's four fits, called through the interpreter with the lock held
// throughout: no other thread can draw from the C library's generator between
// the seeding and the fit's one rand().
class PythonFits final : public Fits {
public:
    explicit PythonFits(PyObject* module) : module_(module) {}

    bool circle(std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                std::int32_t delta, std::uint32_t seed, Circle& out) override {
        PyRef pts(view_of(points.data(), static_cast<Py_ssize_t>(points.size()), 2, 4, "i"));
        if (!pts) return false;
        PyRef result(call("ransac_circle", seed, {pts.get(), nullptr, integer(count), integer(min_r), integer(max_r),
                                                  integer(delta)}));
        return result && PyDict_Check(result.get()) && item_int(result.get(), "x", out.x) &&
               item_int(result.get(), "y", out.y) && item_int(result.get(), "r", out.r);
    }

    bool ellipse(std::vector<PointsView::Point>& points, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                 double ratio, std::int32_t delta, std::uint32_t seed, Ellipse& out) override {
        PyRef pts(view_of(points.data(), static_cast<Py_ssize_t>(points.size()), 2, 4, "i"));
        if (!pts) return false;
        PyRef result(call("ransac_ellipse", seed, {pts.get(), nullptr, integer(count), integer(min_r), integer(max_r),
                                                   real(ratio), integer(delta)}));
        return result && PyDict_Check(result.get()) && item_double(result.get(), "x", out.x) &&
               item_double(result.get(), "y", out.y) && item_double(result.get(), "a", out.a) &&
               item_double(result.get(), "b", out.b) && item_double(result.get(), "theta", out.theta);
    }

    bool line(std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers, std::int32_t count,
              std::int32_t delta, double slope_limit, std::uint32_t seed, Line& out) override {
        inliers.assign(points.size(), 0);
        PyRef pts(view_of(points.data(), static_cast<Py_ssize_t>(points.size()), 2, 4, "i"));
        PyRef ms(pts ? view_of(inliers.data(), static_cast<Py_ssize_t>(inliers.size()), 0, 1, "B") : nullptr);
        if (!ms) return false;
        PyRef result(call("ransac_line", seed, {pts.get(), ms.get(), integer(count), integer(delta), real(slope_limit)}));
        return result && read_line(result.get(), out);
    }

    bool line2(std::vector<PointsView::Point>& points, std::vector<std::uint8_t>& inliers, std::int32_t count,
               double ratio, std::int32_t delta, std::uint32_t seed, Line2& out) override {
        inliers.assign(points.size(), 0);
        PyRef pts(view_of(points.data(), static_cast<Py_ssize_t>(points.size()), 2, 4, "i"));
        PyRef ms(pts ? view_of(inliers.data(), static_cast<Py_ssize_t>(inliers.size()), 0, 1, "B") : nullptr);
        if (!ms) return false;
        PyRef result(call("ransac_line2", seed, {pts.get(), ms.get(), integer(count), real(ratio), integer(delta)}));
        if (!result) return false;
        if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "ransac_line2 did not return two lines");
            return false;
        }
        return read_line(PyTuple_GET_ITEM(result.get(), 0), out.l1) && read_line(PyTuple_GET_ITEM(result.get(), 1), out.l2);
    }

private:
    // Arguments are new references (NULL: the second argument is absent).
    struct Arg {
        PyObject* object;
    };
    static PyObject* integer(std::int32_t v) { return PyLong_FromLong(v); }
    static PyObject* real(double v) { return PyFloat_FromDouble(v); }

    PyObject* call(const char* name, std::uint32_t seed, std::initializer_list<PyObject*> given) {
        // The first two are borrowed (the views); the rest are new references.
        std::vector<PyRef> owned;
        std::vector<PyObject*> args;
        std::size_t k = 0;
        bool failed = false;
        for (PyObject* a : given) {
            if (k++ < 2) {
                if (a != nullptr) args.push_back(a);
                continue;
            }
            owned.emplace_back(a);
            if (a == nullptr) failed = true;
            args.push_back(a);
        }
        if (failed) return nullptr;
        PyRef function(PyObject_GetAttrString(module_, name));
        if (!function) return nullptr;
        std::srand(seed);
        return PyObject_Vectorcall(function.get(), args.data(), args.size(), nullptr);
    }

    PyObject* module_;
};

bool option_double(PyObject* options, const char* key, double& out) {
    PyObject* v = PyDict_GetItemString(options, key);
    if (v == nullptr) return true;
    out = PyFloat_AsDouble(v);
    return !(out == -1.0 && PyErr_Occurred());
}

template <class Int> bool option_int(PyObject* options, const char* key, Int& out) {
    PyObject* v = PyDict_GetItemString(options, key);
    if (v == nullptr) return true;
    const long long value = PyLong_AsLongLong(v);
    if (value == -1 && PyErr_Occurred()) return false;
    out = static_cast<Int>(value);
    return true;
}

bool read_options(PyObject* options, SearchOptions& o, std::int32_t scan[4]) {
    if (!PyDict_Check(options)) {
        PyErr_SetString(PyExc_TypeError, "options must be a dict");
        return false;
    }
    PyObject* kind = PyDict_GetItemString(options, "kind");
    if (kind != nullptr) {
        const char* name = PyUnicode_AsUTF8(kind);
        if (name == nullptr) return false;
        const std::string_view k(name);
        if (k == "disc") o.kind = ShapeKind::disc;
        else if (k == "ellipse") o.kind = ShapeKind::ellipse;
        else if (k == "line") o.kind = ShapeKind::line;
        else if (k == "stripe") o.kind = ShapeKind::stripe;
        else {
            PyErr_Format(PyExc_ValueError, "unknown shape kind %R", kind);
            return false;
        }
    }
    unsigned long long seed = o.seed;
    const bool ok = option_double(options, "min_r", o.min_r) && option_double(options, "max_r", o.max_r) &&
                    option_double(options, "max_ratio", o.max_ratio) && option_double(options, "stretch", o.stretch) &&
                    option_double(options, "squeeze", o.squeeze) &&
                    option_double(options, "min_width", o.min_width) &&
                    option_double(options, "max_width", o.max_width) &&
                    option_double(options, "min_score", o.min_score) &&
                    option_double(options, "round_min_score", o.round_min_score) &&
                    option_int(options, "max_shapes", o.max_shapes) && option_int(options, "seed", seed) &&
                    option_int(options, "max_failures", o.max_failures) &&
                    option_int(options, "min_iterations", o.min_iterations) &&
                    option_int(options, "max_iterations", o.max_iterations) &&
                    option_double(options, "confidence", o.confidence) && option_double(options, "work_budget", o.work_budget) && option_int(options, "delta", o.delta) &&
                    option_int(options, "row_count", scan[0]) && option_int(options, "column_count", scan[1]) &&
                    option_int(options, "gap", scan[2]) && option_int(options, "link", scan[3]);
    o.seed = seed;
    return ok;
}

bool build_table(ScanTable& table, const ImageView& frame, const PlaneView& mask, const PointsView& rows,
                 const PointsView& columns, const std::int32_t scan[4]) {
    if ((rows.rows > 0 && (rows.cols != 2 || !rows.packed())) || (columns.rows > 0 && (columns.cols != 2 || !columns.packed()))) {
        PyErr_SetString(PyExc_ValueError, "edge points must be packed N x 2 arrays");
        return false;
    }
    table.build(mask, rows, columns, scan[0], scan[1], scan[2], scan[3], &frame);
    return true;
}

// find(_frame, _mask, _rows, _columns, options, fits) -> [(values, score, support), ...]
PyObject* find_entry(ImageView frame, PlaneView mask, PointsView rows, PointsView columns, PyObject* options,
                     PyObject* fits_module) {
    if (frame.rows != mask.rows || frame.cols != mask.cols || frame.channels != 3) {
        PyErr_SetString(PyExc_ValueError, "the frame must be H x W x 3 with the mask's H and W");
        return nullptr;
    }
    SearchOptions o;
    std::int32_t scan[4] = {0, 0, 2, 3};
    if (!read_options(options, o, scan)) return nullptr;
    ScanTable table;
    if (!build_table(table, frame, mask, rows, columns, scan)) return nullptr;
    PythonFits fits(fits_module);
    std::vector<Found> found;
    if (!search(table, o, fits, found)) return nullptr;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    const int n_values = o.kind == ShapeKind::disc ? 3 : o.kind == ShapeKind::ellipse ? 5 : 7;
    for (const Found& f : found) {
        PyRef values(PyTuple_New(n_values));
        if (!values) return nullptr;
        for (int k = 0; k < n_values; ++k) PyTuple_SET_ITEM(values.get(), k, PyFloat_FromDouble(f.values[k]));
        PyRef item(Py_BuildValue("(Odi)", values.get(), f.score, f.support));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

constexpr FunctionSpec kTable[] = {
    native<find_entry>("find", {{"_frame"}, {"_mask"}, {"_rows"}, {"_columns"}, {"options"}, {"fits"}}),
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
