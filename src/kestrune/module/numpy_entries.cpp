// calculate_lch_bounds, mask_color and mask_image_py: Python-level arithmetic
// through NumPy, statement by statement, so values, rounding and the calls
// made on the arguments match the same code in Python.
//
// They stay C++ rather than Python source (as mask_image and
// selective_grayscale are) because NumPy reports floating-point trouble
// (a NaN colour, an infinite angle) as a RuntimeWarning at the innermost
// Python frame: from Python source it would point into the module instead of
// the caller's line, be shown once per process instead of once per call site,
// and leave a __warningregistry__ in the module's namespace.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "binding.hpp"
#include "numpy_entries.hpp"
#include "pyref.hpp"

namespace kestrune {

namespace {

PyObject* item(PyObject* obj, long index) {
    PyRef key(PyLong_FromLong(index));
    return key ? PyObject_GetItem(obj, key.get()) : nullptr;
}

PyObject* call_np(const char* function, PyObject* arg) {
    PyRef np(module_global("np"));
    if (!np) return nullptr;
    PyRef callable(PyObject_GetAttrString(np.get(), function));
    return callable ? PyObject_CallOneArg(callable.get(), arg) : nullptr;
}

PyObject* np_attr(const char* name) {
    PyRef np(module_global("np"));
    return np ? PyObject_GetAttrString(np.get(), name) : nullptr;
}

// chroma / np.cos((theta2 - theta1) / 2)
PyObject* chroma_quotient(PyObject* chroma_limit, long index, PyObject* theta1, PyObject* theta2) {
    PyRef chroma(item(chroma_limit, index));
    if (!chroma) return nullptr;
    PyRef cos(np_attr("cos"));
    if (!cos) return nullptr;
    PyRef diff(PyNumber_Subtract(theta2, theta1));
    if (!diff) return nullptr;
    PyRef two(PyLong_FromLong(2));
    PyRef half(PyNumber_TrueDivide(diff.get(), two.get()));
    if (!half) return nullptr;
    PyRef cosine(PyObject_CallOneArg(cos.get(), half.get()));
    return cosine ? PyNumber_TrueDivide(chroma.get(), cosine.get()) : nullptr;
}

// [items...] from new references; empty (with the exception set) when any
// of them is.
template <std::size_t N> PyRef list_of(PyRef (&&items)[N]) {
    for (const PyRef& value : items)
        if (!value) return PyRef();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(N)));
    if (!list) return PyRef();
    for (std::size_t k = 0; k < N; ++k) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), items[k].release());
    return list;
}

PyRef np_array(PyRef&& rows) {
    const PyRef owned(std::move(rows));
    return owned ? PyRef(call_np("array", owned.get())) : PyRef();
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

bool check_finite_matrix(PyObject* matrix) {
    double values[9];
    if (!matrix_values(matrix, values)) return true;
    for (double v : values)
        if (!std::isfinite(v)) {
            raise_value_error("degenerate hue sector: the colour matrix is not finite (hue_limit %s)",
                              "spans a multiple of pi");
            return false;
        }
    return true;
}

bool check_finite_limit(PyObject* limit, const char* what) {
    if (!PyFloat_Check(limit) || std::isfinite(PyFloat_AS_DOUBLE(limit))) return true;
    raise_value_error("degenerate colour bounds: the %s is not finite", what);
    return false;
}

bool check_int32_matrix(PyObject* matrix) {
    double values[9];
    if (!matrix_values(matrix, values)) return true;
    for (double v : values)
        if (!(v >= -2147483648.0 && v <= 2147483647.0)) {
            raise_value_error(
                "degenerate hue sector: the colour matrix scaled by 2**rgb_bits does not fit in 32-bit integers "
                "(entry %g)",
                v);
            return false;
        }
    return true;
}

// round(value * scale) as a Python int.
PyObject* scaled_limit(PyObject* value, PyObject* scale) {
    // A str, list or tuple limit would be repeated 2**(2 * rgb_bits) times
    // (gigabytes, or a failed allocation) before anything noticed it.
    if (PySequence_Check(value) && !PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "colour limits must be numbers, not '%.100s'", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    PyRef product(PyNumber_Multiply(value, scale));
    if (!product) return nullptr;
    PyRef round(module_global("round"));
    if (!round) return nullptr;
    PyRef rounded(PyObject_CallOneArg(round.get(), product.get()));
    if (!rounded || PyLong_Check(rounded.get())) return rounded.release();
    return PyNumber_Long(rounded.get());
}

// Unpacks exactly three items as an assignment `M, i, c = bounds` does, with
// the messages "too many values to unpack (expected 3)" and
// "need more than %zd value%.1s to unpack": a list or tuple by its size,
// anything else through iter() and up to four next() calls.
bool unpack_three(PyObject* seq, PyRef (&out)[3]) {
    auto need_more = [](Py_ssize_t found) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
        return false;
    };
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(3));
        return false;
    };
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > 3) return too_many();
        if (size < 3) return need_more(size);
        for (int k = 0; k < 3; ++k) out[k] = PyRef::borrow(PySequence_Fast_GET_ITEM(seq, k));
        return true;
    }
    PyRef iter(PyObject_GetIter(seq));
    if (!iter) return false;
    for (int k = 0; k < 3; ++k) {
        out[k] = PyRef(PyIter_Next(iter.get()));
        if (!out[k]) return PyErr_Occurred() ? false : need_more(k);
    }
    PyRef extra(PyIter_Next(iter.get()));
    if (extra) return too_many();
    return !PyErr_Occurred();
}

// image[:, column]
PyRef column(PyObject* image, long k) {
    PyRef all(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) return PyRef();
    PyRef index(PyLong_FromLong(k));
    if (!index) return PyRef();
    PyRef key(PyTuple_Pack(2, all.get(), index.get()));
    if (!key) return PyRef();
    return PyRef(PyObject_GetItem(image, key.get()));
}

// lhs <op> rhs[k], for the limits i[0], i[1], c[0], c[1].
PyRef compare_item(PyObject* lhs, PyObject* seq, Py_ssize_t k, int op) {
    PyRef index(PyLong_FromSsize_t(k));
    if (!index) return PyRef();
    PyRef limit(PyObject_GetItem(seq, index.get()));
    if (!limit) return PyRef();
    return PyRef(PyObject_RichCompare(lhs, limit.get(), op));
}

PyRef compare_zero(PyObject* lhs) {
    PyRef zero(PyLong_FromLong(0));
    if (!zero) return PyRef();
    return PyRef(PyObject_RichCompare(lhs, zero.get(), Py_GT));
}

}  // namespace

PyObject* calculate_lch_bounds_entry(PyObject* hue_limit, PyObject* chroma_limit, PyObject* intensity_limit,
                                     PyObject* rgb_bits) {
    PyRef theta1(item(hue_limit, 0));
    if (!theta1) return nullptr;
    PyRef theta2(item(hue_limit, 1));
    if (!theta2) return nullptr;
    PyRef c1(chroma_quotient(chroma_limit, 0, theta1.get(), theta2.get()));
    if (!c1) return nullptr;
    PyRef c2(chroma_quotient(chroma_limit, 1, theta1.get(), theta2.get()));
    if (!c2) return nullptr;
    PyRef i1(item(intensity_limit, 0));
    if (!i1) return nullptr;
    PyRef i2(item(intensity_limit, 1));
    if (!i2) return nullptr;

    // T1 maps RGB to the chroma plane (x, y) and the intensity.
    PyRef three(PyLong_FromLong(3)), two(PyLong_FromLong(2));
    PyRef sqrt3(call_np("sqrt", three.get()));
    if (!sqrt3) return nullptr;
    PyRef neg_sqrt3(PyNumber_Negative(sqrt3.get()));
    if (!neg_sqrt3) return nullptr;
    PyRef t1(np_array(list_of({
        list_of({PyRef(PyLong_FromLong(1)), PyRef(PyFloat_FromDouble(-0.5)), PyRef(PyFloat_FromDouble(-0.5))}),
        list_of({PyRef(PyLong_FromLong(0)), PyRef(PyNumber_TrueDivide(sqrt3.get(), two.get())),
                 PyRef(PyNumber_TrueDivide(neg_sqrt3.get(), two.get()))}),
        list_of({PyRef(PyFloat_FromDouble(1.0 / 3.0)), PyRef(PyFloat_FromDouble(1.0 / 3.0)),
                 PyRef(PyFloat_FromDouble(1.0 / 3.0))}),
    })));
    if (!t1) return nullptr;

    // T2 maps the chroma plane to the sector coordinates (a, b).
    PyRef sin2(call_np("sin", theta2.get()));
    if (!sin2) return nullptr;
    PyRef cos2(call_np("cos", theta2.get()));
    if (!cos2) return nullptr;
    PyRef neg_cos2(PyNumber_Negative(cos2.get()));
    if (!neg_cos2) return nullptr;
    PyRef sin1(call_np("sin", theta1.get()));
    if (!sin1) return nullptr;
    PyRef neg_sin1(PyNumber_Negative(sin1.get()));
    if (!neg_sin1) return nullptr;
    PyRef cos1(call_np("cos", theta1.get()));
    if (!cos1) return nullptr;
    PyRef diff(PyNumber_Subtract(theta2.get(), theta1.get()));
    if (!diff) return nullptr;
    PyRef sin_diff(call_np("sin", diff.get()));
    if (!sin_diff) return nullptr;
    PyRef t2(np_array(list_of({
        list_of({std::move(sin2), std::move(neg_cos2), PyRef(PyLong_FromLong(0))}),
        list_of({std::move(neg_sin1), std::move(cos1), PyRef(PyLong_FromLong(0))}),
        list_of({PyRef(PyLong_FromLong(0)), PyRef(PyLong_FromLong(0)), std::move(sin_diff)}),
    })));
    if (!t2) return nullptr;
    PyRef diff_again(PyNumber_Subtract(theta2.get(), theta1.get()));
    if (!diff_again) return nullptr;
    PyRef divisor(call_np("sin", diff_again.get()));
    if (!divisor) return nullptr;
    if (PyFloat_Check(divisor.get()) && PyFloat_AS_DOUBLE(divisor.get()) == 0.0)
        return raise_value_error("degenerate hue sector: hue_limit[0] and hue_limit[1] must differ");
    PyRef t2_scaled(PyNumber_InPlaceTrueDivide(t2.get(), divisor.get()));
    if (!t2_scaled) return nullptr;

    PyRef m(PyNumber_MatrixMultiply(t2_scaled.get(), t1.get()));
    if (!m) return nullptr;
    if (!check_finite_matrix(m.get()) || !check_finite_limit(c1.get(), "lower chroma limit") ||
        !check_finite_limit(c2.get(), "upper chroma limit") ||
        !check_finite_limit(i1.get(), "lower intensity limit") ||
        !check_finite_limit(i2.get(), "upper intensity limit"))
        return nullptr;

    if (rgb_bits != Py_None) {
        PyRef one(PyLong_FromLong(1));
        PyRef scale(PyNumber_Lshift(one.get(), rgb_bits));
        if (!scale) return nullptr;
        PyRef scaled(PyNumber_InPlaceMultiply(m.get(), scale.get()));
        if (!scaled) return nullptr;
        PyRef rounded(call_np("round", scaled.get()));
        if (!rounded) return nullptr;
        if (!check_int32_matrix(rounded.get())) return nullptr;
        PyRef int32(np_attr("int32"));
        if (!int32) return nullptr;
        m = PyRef(PyObject_CallMethod(rounded.get(), "astype", "O", int32.get()));
        if (!m) return nullptr;
        PyRef limit_shift(PyNumber_Lshift(rgb_bits, one.get()));
        if (!limit_shift) return nullptr;
        PyRef limit_scale(PyNumber_Lshift(one.get(), limit_shift.get()));
        if (!limit_scale) return nullptr;
        for (PyRef* limit : {&c1, &c2, &i1, &i2}) {
            *limit = PyRef(scaled_limit(limit->get(), limit_scale.get()));
            if (!*limit) return nullptr;
        }
    }

    PyRef flat(PyObject_CallMethod(m.get(), "flatten", nullptr));
    if (!flat) return nullptr;
    PyRef i_pair(PyTuple_Pack(2, i1.get(), i2.get()));
    PyRef c_pair(PyTuple_Pack(2, c1.get(), c2.get()));
    if (!i_pair || !c_pair) return nullptr;
    PyRef record_class(module_global("LCHBounds"));
    if (!record_class) return nullptr;
    return PyObject_CallFunctionObjArgs(record_class.get(), flat.get(), i_pair.get(), c_pair.get(), nullptr);
}

PyObject* mask_color_entry(PyObject* color_arg, PyObject* bounds) {
    PyRef fields[3];
    if (!unpack_three(bounds, fields)) return nullptr;
    PyObject* i = fields[1].get();
    PyObject* c = fields[2].get();
    PyRef m(PyObject_CallMethod(fields[0].get(), "reshape", "ii", 3, 3));
    if (!m) return nullptr;

    PyRef array(call_np("array", color_arg));
    if (!array) return nullptr;
    PyRef int32(np_attr("int32"));
    if (!int32) return nullptr;
    PyRef color(PyObject_CallMethod(array.get(), "astype", "O", int32.get()));
    if (!color) return nullptr;
    // One colour only: a stack of colours would broadcast into something else.
    PyRef shape(PyObject_GetAttrString(color.get(), "shape"));
    if (!shape) return nullptr;
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1 ||
        PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)) != 3) {
        PyErr_Clear();
        PyRef text(PyObject_Repr(shape.get()));
        return raise_value_error("mask_color() takes one colour of three components, got an array of shape %s",
                                 text ? PyUnicode_AsUTF8(text.get()) : "?");
    }

    PyRef color_t(PyObject_GetAttrString(color.get(), "T"));
    if (!color_t) return nullptr;
    PyRef product(PyNumber_MatrixMultiply(m.get(), color_t.get()));
    if (!product) return nullptr;
    PyRef v(PyObject_GetAttrString(product.get(), "T"));
    if (!v) return nullptr;

    PyRef v0(item(v.get(), 0)), v1, v2;
    if (!v0 || !(v1 = PyRef(item(v.get(), 1))) || !(v2 = PyRef(item(v.get(), 2)))) return nullptr;
    PyRef zero(PyLong_FromLong(0));
    auto compare = [](PyObject* x, PyObject* y, int op) { return PyObject_RichCompare(x, y, op); };

    PyRef a0(compare(v0.get(), zero.get(), Py_GT));
    if (!a0) return nullptr;
    PyRef a1(compare(v1.get(), zero.get(), Py_GT));
    if (!a1) return nullptr;
    PyRef mask(PyNumber_And(a0.get(), a1.get()));
    if (!mask) return nullptr;

    PyRef i0(item(i, 0));
    if (!i0) return nullptr;
    PyRef lower(compare(v2.get(), i0.get(), Py_GT));
    if (!lower) return nullptr;
    PyRef i1(item(i, 1));
    if (!i1) return nullptr;
    PyRef upper(compare(v2.get(), i1.get(), Py_LT));
    if (!upper) return nullptr;
    PyRef band(PyNumber_And(lower.get(), upper.get()));
    if (!band) return nullptr;
    mask = PyRef(PyNumber_InPlaceAnd(mask.get(), band.get()));
    if (!mask) return nullptr;

    for (auto [index, op] : {std::pair{1L, Py_LT}, std::pair{0L, Py_GT}}) {
        PyRef sum(PyNumber_Add(v0.get(), v1.get()));
        if (!sum) return nullptr;
        PyRef limit(item(c, index));
        if (!limit) return nullptr;
        PyRef test(compare(sum.get(), limit.get(), op));
        if (!test) return nullptr;
        mask = PyRef(PyNumber_InPlaceAnd(mask.get(), test.get()));
        if (!mask) return nullptr;
    }
    return mask.release();
}

PyObject* mask_image_py_entry(PyObject* image_arg, PyObject* bounds) {
    // M, i, c = bounds
    PyRef parts[3];
    if (!unpack_three(bounds, parts)) return nullptr;
    PyObject* const i = parts[1].get();
    PyObject* const c = parts[2].get();

    // M = M.reshape(3, 3)
    PyRef M(PyObject_CallMethod(parts[0].get(), "reshape", "ii", 3, 3));
    if (!M) return nullptr;
    // image_shape = image.shape
    PyRef image_shape(PyObject_GetAttrString(image_arg, "shape"));
    if (!image_shape) return nullptr;
    // image = image.reshape(-1, 3).astype(np.int32)
    PyRef image;
    {
        PyRef flat(PyObject_CallMethod(image_arg, "reshape", "ii", -1, 3));
        if (!flat) return nullptr;
        PyRef astype(PyObject_GetAttrString(flat.get(), "astype"));
        if (!astype) return nullptr;
        PyRef np(module_global("np"));
        if (!np) return nullptr;
        PyRef int32(PyObject_GetAttrString(np.get(), "int32"));
        if (!int32) return nullptr;
        image = PyRef(PyObject_CallOneArg(astype.get(), int32.get()));
        if (!image) return nullptr;
    }
    // image = (M @ image.T).T
    {
        PyRef transposed(PyObject_GetAttrString(image.get(), "T"));
        if (!transposed) return nullptr;
        PyRef product(PyNumber_MatrixMultiply(M.get(), transposed.get()));
        if (!product) return nullptr;
        image = PyRef(PyObject_GetAttrString(product.get(), "T"));
        if (!image) return nullptr;
    }
    // mask = (image[:, 0] > 0) & (image[:, 1] > 0)
    PyRef mask;
    {
        PyRef col0(column(image.get(), 0));
        if (!col0) return nullptr;
        PyRef gt0(compare_zero(col0.get()));
        if (!gt0) return nullptr;
        PyRef col1(column(image.get(), 1));
        if (!col1) return nullptr;
        PyRef gt1(compare_zero(col1.get()));
        if (!gt1) return nullptr;
        mask = PyRef(PyNumber_And(gt0.get(), gt1.get()));
        if (!mask) return nullptr;
    }
    // mask &= (image[:, 2] > i[0]) & (image[:, 2] < i[1])
    {
        PyRef col2(column(image.get(), 2));
        if (!col2) return nullptr;
        PyRef above(compare_item(col2.get(), i, 0, Py_GT));
        if (!above) return nullptr;
        PyRef col2_again(column(image.get(), 2));
        if (!col2_again) return nullptr;
        PyRef below(compare_item(col2_again.get(), i, 1, Py_LT));
        if (!below) return nullptr;
        PyRef both(PyNumber_And(above.get(), below.get()));
        if (!both) return nullptr;
        mask = PyRef(PyNumber_InPlaceAnd(mask.get(), both.get()));
        if (!mask) return nullptr;
    }
    // mask &= (image[:, 0] + image[:, 1]) < c[1], then > c[0]
    const struct {
        Py_ssize_t k;
        int op;
    } chroma_steps[2] = {{1, Py_LT}, {0, Py_GT}};
    for (const auto& step : chroma_steps) {
        PyRef col0(column(image.get(), 0));
        if (!col0) return nullptr;
        PyRef col1(column(image.get(), 1));
        if (!col1) return nullptr;
        PyRef sum(PyNumber_Add(col0.get(), col1.get()));
        if (!sum) return nullptr;
        PyRef test(compare_item(sum.get(), c, step.k, step.op));
        if (!test) return nullptr;
        mask = PyRef(PyNumber_InPlaceAnd(mask.get(), test.get()));
        if (!mask) return nullptr;
    }
    // result = mask.reshape(image_shape[:-1]).astype(np.uint8) * 255
    PyRef reshape(PyObject_GetAttrString(mask.get(), "reshape"));
    if (!reshape) return nullptr;
    PyRef minus_one(PyLong_FromLong(-1));
    if (!minus_one) return nullptr;
    PyRef all_but_last(PySlice_New(nullptr, minus_one.get(), nullptr));
    if (!all_but_last) return nullptr;
    PyRef plane_shape(PyObject_GetItem(image_shape.get(), all_but_last.get()));
    if (!plane_shape) return nullptr;
    PyRef reshaped(PyObject_CallOneArg(reshape.get(), plane_shape.get()));
    if (!reshaped) return nullptr;
    PyRef astype(PyObject_GetAttrString(reshaped.get(), "astype"));
    if (!astype) return nullptr;
    PyRef np(module_global("np"));
    if (!np) return nullptr;
    PyRef uint8(PyObject_GetAttrString(np.get(), "uint8"));
    if (!uint8) return nullptr;
    PyRef as_bytes(PyObject_CallOneArg(astype.get(), uint8.get()));
    if (!as_bytes) return nullptr;
    PyRef full(PyLong_FromLong(255));
    if (!full) return nullptr;
    return PyNumber_Multiply(as_bytes.get(), full.get());
}

}  // namespace kestrune
