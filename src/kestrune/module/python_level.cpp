// The five functions that work on Python objects through NumPy, as Python
// source run once at start-up. Their globals are the module's, so `np`,
// `LCHBounds` and the builtins are read from it at each call; the module's
// own checks, and the kernels that mask_image and selective_grayscale call
// directly, reach them as closure variables and so stay out of the namespace.
#include <cmath>
#include <cstring>

#include "binding.hpp"
#include "pyref.hpp"
#include "python_level.hpp"

namespace kestrune {

namespace {

const char kSource[] = R"py(
def define(unpack_three, check_sector, check_bounds, check_scaled_matrix, number_limit, as_int,
           check_one_colour, mask_kernel, grayscale_kernel):

    def scaled(limit, scale):
        product = number_limit(limit) * scale
        return as_int(round(product))

    def calculate_lch_bounds(hue_limit, chroma_limit, intensity_limit, rgb_bits):
        theta1 = hue_limit[0]
        theta2 = hue_limit[1]
        c1 = chroma_limit[0] / np.cos((theta2 - theta1) / 2)
        c2 = chroma_limit[1] / np.cos((theta2 - theta1) / 2)
        i1 = intensity_limit[0]
        i2 = intensity_limit[1]
        # RGB to the chroma plane (x, y) and the intensity.
        sqrt3 = np.sqrt(3)
        neg_sqrt3 = -sqrt3
        rows = [[1, -0.5, -0.5], [0, sqrt3 / 2, neg_sqrt3 / 2], [1 / 3, 1 / 3, 1 / 3]]
        T1 = np.array(rows)
        # The chroma plane to the sector coordinates (a, b).
        rows = [[np.sin(theta2), -np.cos(theta2), 0],
                [-np.sin(theta1), np.cos(theta1), 0],
                [0, 0, np.sin(theta2 - theta1)]]
        T2 = np.array(rows)
        divisor = np.sin(theta2 - theta1)
        check_sector(divisor)
        T2 /= divisor
        M = T2 @ T1
        check_bounds(M, c1, c2, i1, i2)
        if rgb_bits is not None:
            M *= 1 << rgb_bits
            M = np.round(M)
            check_scaled_matrix(M)
            int32 = np.int32
            M = M.astype(int32)
            limit_scale = 1 << (rgb_bits << 1)
            c1 = scaled(c1, limit_scale)
            c2 = scaled(c2, limit_scale)
            i1 = scaled(i1, limit_scale)
            i2 = scaled(i2, limit_scale)
        flat = M.flatten()
        return LCHBounds(flat, (i1, i2), (c1, c2))

    def mask_color(color, bounds):
        M, i, c = unpack_three(bounds)
        M = M.reshape(3, 3)
        color = np.array(color)
        int32 = np.int32
        color = color.astype(int32)
        check_one_colour(color)
        color = (M @ color.T).T
        v0, v1, v2 = color[0], color[1], color[2]
        mask = (v0 > 0) & (v1 > 0)
        mask &= (v2 > i[0]) & (v2 < i[1])
        mask &= v0 + v1 < c[1]
        mask &= v0 + v1 > c[0]
        return mask

    def mask_image_py(image, bounds):
        M, i, c = unpack_three(bounds)
        M = M.reshape(3, 3)
        image_shape = image.shape
        image = image.reshape(-1, 3).astype(np.int32)
        image = (M @ image.T).T
        mask = (image[:, 0] > 0) & (image[:, 1] > 0)
        mask &= (image[:, 2] > i[0]) & (image[:, 2] < i[1])
        mask &= (image[:, 0] + image[:, 1]) < c[1]
        mask &= (image[:, 0] + image[:, 1]) > c[0]
        result = mask.reshape(image_shape[:-1]).astype(np.uint8) * 255
        return result

    def mask_image(image, bounds, buffer):
        if buffer is None:
            buffer = np.zeros(image.shape[:-1], dtype=np.uint8)
        if isinstance(bounds, LCHBounds):
            bounds = bounds._asdict()
        mask_kernel(image, buffer, bounds)
        return buffer

    def selective_grayscale(image, bounds, buffer):
        if buffer is None:
            buffer = np.zeros(image.shape[:-1], dtype=np.uint8)
        if isinstance(bounds, LCHBounds):
            bounds = bounds._asdict()
        grayscale_kernel(image, buffer, bounds)
        return buffer

    return {f.__name__: f for f in (calculate_lch_bounds, mask_color, mask_image_py, mask_image,
                                    selective_grayscale)}
)py";

// M, i, c = bounds, with the messages "too many values to unpack (expected 3)"
// and "need more than %zd value%.1s to unpack": a list or tuple by its size,
// anything else through iter() and up to four next() calls.
PyObject* unpack_three(PyObject*, PyObject* seq) {
    auto need_more = [](Py_ssize_t found) -> PyObject* {
        return PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    auto too_many = []() -> PyObject* {
        return PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(3));
    };
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > 3) return too_many();
        if (size < 3) return need_more(size);
        return PyTuple_Pack(3, PySequence_Fast_GET_ITEM(seq, 0), PySequence_Fast_GET_ITEM(seq, 1),
                            PySequence_Fast_GET_ITEM(seq, 2));
    }
    PyRef iter(PyObject_GetIter(seq));
    if (!iter) return nullptr;
    PyRef items[3];
    for (int k = 0; k < 3; ++k) {
        items[k] = PyRef(PyIter_Next(iter.get()));
        if (!items[k]) return PyErr_Occurred() ? nullptr : need_more(k);
    }
    PyRef extra(PyIter_Next(iter.get()));
    if (extra) return too_many();
    if (PyErr_Occurred()) return nullptr;
    return PyTuple_Pack(3, items[0].get(), items[1].get(), items[2].get());
}

// The 3 x 3 float64 matrix as nine doubles, when it is one (else false).
bool matrix_values(PyObject* matrix, double (&out)[9]) {
    Py_buffer view;
    if (PyObject_GetBuffer(matrix, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    bool ok = view.len == static_cast<Py_ssize_t>(sizeof out) && view.format != nullptr &&
              (view.format[0] == 'd' || (view.format[0] == '<' && view.format[1] == 'd'));
    if (ok) std::memcpy(out, view.buf, sizeof out);
    PyBuffer_Release(&view);
    return ok;
}

// A sector whose limits coincide divides by a zero sine.
PyObject* check_sector(PyObject*, PyObject* divisor) {
    if (PyFloat_Check(divisor) && PyFloat_AS_DOUBLE(divisor) == 0.0)
        return raise_value_error("degenerate hue sector: hue_limit[0] and hue_limit[1] must differ");
    Py_RETURN_NONE;
}

bool check_finite_limit(PyObject* limit, const char* what) {
    if (!PyFloat_Check(limit) || std::isfinite(PyFloat_AS_DOUBLE(limit))) return true;
    raise_value_error("degenerate colour bounds: the %s is not finite", what);
    return false;
}

// check_bounds(M, c1, c2, i1, i2): a sector spanning a multiple of pi gives
// a non-finite matrix, and non-finite limits convert to nothing meaningful.
PyObject* check_bounds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) return PyErr_Format(PyExc_TypeError, "check_bounds takes 5 arguments");
    double values[9];
    if (matrix_values(args[0], values)) {
        for (double v : values)
            if (!std::isfinite(v))
                return raise_value_error("degenerate hue sector: the colour matrix is not finite (hue_limit %s)",
                                         "spans a multiple of pi");
    }
    if (!check_finite_limit(args[1], "lower chroma limit") || !check_finite_limit(args[2], "upper chroma limit") ||
        !check_finite_limit(args[3], "lower intensity limit") || !check_finite_limit(args[4], "upper intensity limit"))
        return nullptr;
    Py_RETURN_NONE;
}

// Entries beyond 32 bits would wrap in the cast to int32.
PyObject* check_scaled_matrix(PyObject*, PyObject* matrix) {
    double values[9];
    if (matrix_values(matrix, values)) {
        for (double v : values)
            if (!(v >= -2147483648.0 && v <= 2147483647.0))
                return raise_value_error(
                    "degenerate hue sector: the colour matrix scaled by 2**rgb_bits does not fit in 32-bit integers "
                    "(entry %g)",
                    v);
    }
    Py_RETURN_NONE;
}

// A str, list or tuple limit would be repeated 2**(2 * rgb_bits) times
// (gigabytes, or a failed allocation) before anything noticed it.
PyObject* number_limit(PyObject*, PyObject* value) {
    if (PySequence_Check(value) && !PyNumber_Check(value))
        return PyErr_Format(PyExc_TypeError, "colour limits must be numbers, not '%.100s'", Py_TYPE(value)->tp_name);
    return Py_NewRef(value);
}

// int(value) unless it already is one (round() of a float is).
PyObject* as_int(PyObject*, PyObject* value) {
    return PyLong_Check(value) ? Py_NewRef(value) : PyNumber_Long(value);
}

// One colour only: a stack of colours would broadcast into something else.
PyObject* check_one_colour(PyObject*, PyObject* color) {
    PyRef shape(PyObject_GetAttrString(color, "shape"));
    if (!shape) return nullptr;
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1 ||
        PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)) != 3) {
        PyErr_Clear();
        PyRef text(PyObject_Repr(shape.get()));
        return raise_value_error("mask_color() takes one colour of three components, got an array of shape %s",
                                 text ? PyUnicode_AsUTF8(text.get()) : "?");
    }
    Py_RETURN_NONE;
}

PyMethodDef kHelpers[] = {
    {"unpack_three", unpack_three, METH_O, nullptr},
    {"check_sector", check_sector, METH_O, nullptr},
    {"check_bounds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_bounds)), METH_FASTCALL,
     nullptr},
    {"check_scaled_matrix", check_scaled_matrix, METH_O, nullptr},
    {"number_limit", number_limit, METH_O, nullptr},
    {"as_int", as_int, METH_O, nullptr},
    {"check_one_colour", check_one_colour, METH_O, nullptr},
};

}  // namespace

PyObject* define_python_level(PyObject* module_dict, PyObject* mask_kernel, PyObject* grayscale_kernel) {
    PyRef scope(PyDict_New());
    if (!scope) return nullptr;
    // `define` is bound in the scratch scope; the functions it makes have the
    // module's dict as their globals.
    PyRef code(Py_CompileString(kSource, "<kestrune>", Py_file_input));
    if (!code) return nullptr;
    PyRef ran(PyEval_EvalCode(code.get(), module_dict, scope.get()));
    if (!ran) return nullptr;
    PyObject* define = PyDict_GetItemString(scope.get(), "define");
    if (define == nullptr) return PyErr_Format(PyExc_SystemError, "kestrune: no define() in the source");

    constexpr std::size_t kHelperCount = sizeof kHelpers / sizeof kHelpers[0];
    PyRef helpers[kHelperCount];
    PyObject* args[kHelperCount + 2];
    for (std::size_t k = 0; k < kHelperCount; ++k) {
        helpers[k] = PyRef(PyCFunction_New(&kHelpers[k], nullptr));
        if (!helpers[k]) return nullptr;
        args[k] = helpers[k].get();
    }
    args[kHelperCount] = mask_kernel;
    args[kHelperCount + 1] = grayscale_kernel;
    return PyObject_Vectorcall(define, args, kHelperCount + 2, nullptr);
}

}  // namespace kestrune
