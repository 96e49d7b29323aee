// calculate_lch_bounds, mask_color and mask_image_py: NumPy arithmetic at the
// Python level, one Python statement per line, evaluated as Python evaluates
// it, so values, rounding and the calls made on the arguments are those of
// the same statements in Python.
//
// They stay C++ rather than Python source (as mask_image and
// selective_grayscale are) because NumPy reports floating-point trouble
// (a NaN colour, an infinite angle) as a RuntimeWarning located at the
// innermost Python frame: from Python source it would name the module's
// source instead of the caller's line, be shown once per process instead of
// once per call site, and leave a __warningregistry__ in the namespace.
#include <cmath>
#include <cstring>
#include <utility>

#include "errors.hpp"
#include "numpy_entries.hpp"
#include "pyref.hpp"

namespace kestrune {

namespace {

// True while no exception is set: every operation below runs only then, so
// the first failure ends the statement, and all that follow, as in Python.
bool live() { return PyErr_Occurred() == nullptr; }

// A Python value in an expression. Methods run left to right (C++ sequences
// the object of a member call before its arguments), so `a.sub(b).truediv(c)`
// evaluates a, b, a - b, c, (a - b) / c, as Python does. A failed operation
// yields an empty Value with the exception set.
class Value {
public:
    Value() = default;
    explicit Value(PyObject* owned) : ref_(owned) {}
    static Value borrow(PyObject* object) { return Value(Py_NewRef(object)); }
    static Value integer(long v) { return live() ? Value(PyLong_FromLong(v)) : Value(); }
    static Value real(double v) { return live() ? Value(PyFloat_FromDouble(v)) : Value(); }

    explicit operator bool() const { return bool(ref_); }
    PyObject* get() const { return ref_.get(); }
    PyObject* release() { return ref_.release(); }

    Value operator[](long index) const { return item(integer(index)); }  // self[index]
    Value item(const Value& key) const { return apply(PyObject_GetItem, key); }
    Value attr(const char* name) const {
        return live() && *this ? Value(PyObject_GetAttrString(get(), name)) : Value();
    }
    template <class... A> Value call(const A&... args) const {
        if (!live() || !*this || !(args && ...)) return Value();
        PyObject* const argv[] = {args.get()..., nullptr};
        return Value(PyObject_Vectorcall(get(), argv, sizeof...(A), nullptr));
    }

    Value neg() const { return live() && *this ? Value(PyNumber_Negative(get())) : Value(); }
    Value add(const Value& other) const { return apply(PyNumber_Add, other); }
    Value sub(const Value& other) const { return apply(PyNumber_Subtract, other); }
    Value mul(const Value& other) const { return apply(PyNumber_Multiply, other); }
    Value truediv(const Value& other) const { return apply(PyNumber_TrueDivide, other); }
    Value matmul(const Value& other) const { return apply(PyNumber_MatrixMultiply, other); }
    Value lshift(const Value& other) const { return apply(PyNumber_Lshift, other); }
    Value and_(const Value& other) const { return apply(PyNumber_And, other); }
    Value iand(const Value& other) const { return apply(PyNumber_InPlaceAnd, other); }
    Value imul(const Value& other) const { return apply(PyNumber_InPlaceMultiply, other); }
    Value itruediv(const Value& other) const { return apply(PyNumber_InPlaceTrueDivide, other); }
    Value gt(const Value& other) const { return compare(other, Py_GT); }
    Value lt(const Value& other) const { return compare(other, Py_LT); }

private:
    Value apply(PyObject* (*op)(PyObject*, PyObject*), const Value& other) const {
        return live() && *this && other ? Value(op(get(), other.get())) : Value();
    }
    Value compare(const Value& other, int op) const {
        return live() && *this && other ? Value(PyObject_RichCompare(get(), other.get(), op)) : Value();
    }

    PyRef ref_;
};

// A global of the module (or a builtin), read at each call.
Value global(const char* name) { return live() ? Value(module_global(name)) : Value(); }
Value np(const char* name) { return global("np").attr(name); }

// [items...]
template <std::size_t N> Value list(Value (&&items)[N]) {
    for (const Value& value : items)
        if (!live() || !value) return Value();
    Value result(PyList_New(static_cast<Py_ssize_t>(N)));
    if (!result) return Value();
    for (std::size_t k = 0; k < N; ++k) PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), items[k].release());
    return result;
}

// (a, b)
Value pair(const Value& a, const Value& b) {
    return live() && a && b ? Value(PyTuple_Pack(2, a.get(), b.get())) : Value();
}

// slice(None, stop): [:] for None, [:-1] for -1.
Value slice_to(const Value& stop) {
    return live() && stop ? Value(PySlice_New(nullptr, stop.get() == Py_None ? nullptr : stop.get(), nullptr))
                          : Value();
}

// np.array(rows), with np looked up once the rows are built.
Value np_array(Value&& rows) { return np("array").call(rows); }

// M, i, c = bounds, with the messages "too many values to unpack (expected 3)"
// and "need more than %zd value%.1s to unpack": a list or tuple by its size,
// anything else through iter() and up to four next() calls.
void unpack_three(PyObject* seq, Value (&out)[3]) {
    auto need_more = [](Py_ssize_t found) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(3));
    };
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > 3) return too_many();
        if (size < 3) return need_more(size);
        for (int k = 0; k < 3; ++k) out[k] = Value::borrow(PySequence_Fast_GET_ITEM(seq, k));
        return;
    }
    PyRef iter(PyObject_GetIter(seq));
    if (!iter) return;
    for (int k = 0; k < 3; ++k) {
        out[k] = Value(PyIter_Next(iter.get()));
        if (!out[k]) return live() ? need_more(k) : void();
    }
    if (PyRef extra(PyIter_Next(iter.get())); extra) too_many();
}

// The 3 x 3 float64 matrix as nine doubles, when it is one (else false).
bool matrix_values(const Value& matrix, double (&out)[9]) {
    Py_buffer view;
    if (PyObject_GetBuffer(matrix.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    bool ok = view.len == static_cast<Py_ssize_t>(sizeof out) && view.format != nullptr &&
              (view.format[0] == 'd' || (view.format[0] == '<' && view.format[1] == 'd'));
    if (ok) std::memcpy(out, view.buf, sizeof out);
    PyBuffer_Release(&view);
    return ok;
}

// Whether a C-contiguous real or complex floating-point array (double or long
// double, as NumPy promotes the sector's values) holds a value that is not
// finite. Arrays of any other kind count as finite: only the floating-point
// ones carry NaN and infinity.
bool has_non_finite(const Value& matrix) {
    Py_buffer view;
    if (PyObject_GetBuffer(matrix.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '<' || *format == '=' || *format == '@') ++format;
    const bool complex = *format == 'Z';
    if (complex) ++format;
    bool found = false;
    if (format[1] == 0 && (format[0] == 'd' || format[0] == 'g')) {
        const Py_ssize_t size = format[0] == 'd' ? sizeof(double) : sizeof(long double);
        const Py_ssize_t count = view.len / size;
        for (Py_ssize_t k = 0; k < count && !found; ++k) {
            const char* at = static_cast<const char*>(view.buf) + k * size;
            if (format[0] == 'd') {
                double v;
                std::memcpy(&v, at, sizeof v);
                found = !std::isfinite(v);
            } else {
                long double v;
                std::memcpy(&v, at, sizeof v);
                found = !std::isfinite(v);
            }
        }
    }
    PyBuffer_Release(&view);
    return found;
}

// NumPy's inexact scalar type (floating and complex scalars of every width).
PyObject* numpy_inexact() {
    static PyObject* inexact = nullptr;  // held for the life of the process
    if (inexact == nullptr) {
        PyRef numpy(PyImport_ImportModule("numpy"));
        inexact = numpy ? PyObject_GetAttrString(numpy.get(), "inexact") : nullptr;
    }
    return inexact;
}

// A float or complex number of any type (Python's, or a NumPy scalar of any
// width) as a complex: false for anything else (ints, arrays, other objects),
// with nothing raised.
bool number_value(PyObject* obj, Py_complex& out) {
    if (PyFloat_Check(obj)) {
        out = {PyFloat_AS_DOUBLE(obj), 0.0};
        return true;
    }
    if (!PyComplex_Check(obj)) {
        PyObject* inexact = numpy_inexact();
        const int is_inexact = inexact != nullptr ? PyObject_IsInstance(obj, inexact) : 0;
        if (is_inexact != 1) {
            PyErr_Clear();
            return false;
        }
    }
    out = PyComplex_AsCComplex(obj);
    if (out.real == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool is_finite(const Py_complex& v) { return std::isfinite(v.real) && std::isfinite(v.imag); }

// The module's own checks of calculate_lch_bounds: a degenerate sector or
// limit gives values of no meaning, so it is refused with ValueError, whatever
// the numeric type of the values (a complex zero is as degenerate as 0.0).
void check_sector(const Value& divisor) {
    Py_complex value;
    if (live() && number_value(divisor.get(), value) && value.real == 0.0 && value.imag == 0.0)
        raise_value_error("degenerate hue sector: hue_limit[0] and hue_limit[1] must differ");
}

void check_finite(const Value& M, const Value& c1, const Value& c2, const Value& i1, const Value& i2) {
    if (!live()) return;
    if (has_non_finite(M)) {
        raise_value_error("degenerate hue sector: the colour matrix is not finite (hue_limit %s)",
                          "spans a multiple of pi");
        return;
    }
    const std::pair<const Value*, const char*> limits[] = {{&c1, "lower chroma limit"}, {&c2, "upper chroma limit"},
                                                           {&i1, "lower intensity limit"},
                                                           {&i2, "upper intensity limit"}};
    for (const auto& [limit, what] : limits) {
        Py_complex value;
        if (number_value(limit->get(), value) && !is_finite(value)) {
            raise_value_error("degenerate colour bounds: the %s is not finite", what);
            return;
        }
    }
}

// Entries beyond 32 bits would wrap in the cast to int32.
void check_int32_matrix(const Value& M) {
    double values[9];
    if (!live() || !matrix_values(M, values)) return;
    for (double v : values)
        if (!(v >= -2147483648.0 && v <= 2147483647.0)) {
            raise_value_error(
                "degenerate hue sector: the colour matrix scaled by 2**rgb_bits does not fit in 32-bit integers "
                "(entry %g)",
                v);
            return;
        }
}

// int(round(limit * scale)), int() only when round() gave something else.
Value scaled_limit(const Value& limit, const Value& scale) {
    if (!live()) return Value();
    // A str, list or tuple limit would be repeated 2**(2 * rgb_bits) times
    // (gigabytes, or a failed allocation) before anything noticed it.
    if (PySequence_Check(limit.get()) && !PyNumber_Check(limit.get())) {
        PyErr_Format(PyExc_TypeError, "colour limits must be numbers, not '%.100s'", Py_TYPE(limit.get())->tp_name);
        return Value();
    }
    const Value product = limit.mul(scale);
    Value rounded = global("round").call(product);
    if (!rounded || PyLong_Check(rounded.get())) return rounded;
    return Value(PyNumber_Long(rounded.get()));
}

// One colour only: a stack of colours would broadcast into something else.
void check_one_colour(const Value& color) {
    const Value shape = color.attr("shape");
    if (!shape) return;
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1 ||
        PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)) != 3) {
        PyErr_Clear();
        PyRef text(PyObject_Repr(shape.get()));
        raise_value_error("mask_color() takes one colour of three components, got an array of shape %s",
                          text ? PyUnicode_AsUTF8(text.get()) : "?");
    }
}

}  // namespace

PyObject* calculate_lch_bounds_entry(PyObject* hue_limit_arg, PyObject* chroma_limit_arg,
                                     PyObject* intensity_limit_arg, PyObject* rgb_bits_arg) {
    const Value hue_limit = Value::borrow(hue_limit_arg), chroma_limit = Value::borrow(chroma_limit_arg),
                intensity_limit = Value::borrow(intensity_limit_arg), rgb_bits = Value::borrow(rgb_bits_arg);
    const Value one = Value::integer(1), two = Value::integer(2);

    Value theta1 = hue_limit[0];
    Value theta2 = hue_limit[1];
    Value c1 = chroma_limit[0].truediv(np("cos").call(theta2.sub(theta1).truediv(two)));
    Value c2 = chroma_limit[1].truediv(np("cos").call(theta2.sub(theta1).truediv(two)));
    Value i1 = intensity_limit[0];
    Value i2 = intensity_limit[1];
    // T1 maps RGB to the chroma plane (x, y) and the intensity.
    const Value sqrt3 = np("sqrt").call(Value::integer(3));
    const Value neg_sqrt3 = sqrt3.neg();
    const Value T1 = np_array(list({list({Value::integer(1), Value::real(-0.5), Value::real(-0.5)}),
                                    list({Value::integer(0), sqrt3.truediv(two), neg_sqrt3.truediv(two)}),
                                    list({Value::real(1.0 / 3.0), Value::real(1.0 / 3.0), Value::real(1.0 / 3.0)})}));
    // T2 maps the chroma plane to the sector coordinates (a, b).
    Value T2 = np_array(list({list({np("sin").call(theta2), np("cos").call(theta2).neg(), Value::integer(0)}),
                              list({np("sin").call(theta1).neg(), np("cos").call(theta1), Value::integer(0)}),
                              list({Value::integer(0), Value::integer(0), np("sin").call(theta2.sub(theta1))})}));
    const Value divisor = np("sin").call(theta2.sub(theta1));
    check_sector(divisor);
    T2 = T2.itruediv(divisor);
    Value M = T2.matmul(T1);
    check_finite(M, c1, c2, i1, i2);
    if (rgb_bits.get() != Py_None) {
        M = M.imul(one.lshift(rgb_bits));
        M = np("round").call(M);
        check_int32_matrix(M);
        const Value int32 = np("int32");
        M = M.attr("astype").call(int32);
        const Value limit_scale = one.lshift(rgb_bits.lshift(one));
        c1 = scaled_limit(c1, limit_scale);
        c2 = scaled_limit(c2, limit_scale);
        i1 = scaled_limit(i1, limit_scale);
        i2 = scaled_limit(i2, limit_scale);
    }
    const Value flat = M.attr("flatten").call();
    const Value i = pair(i1, i2), c = pair(c1, c2);
    return global("LCHBounds").call(flat, i, c).release();
}

PyObject* mask_color_entry(PyObject* color_arg, PyObject* bounds) {
    const Value zero = Value::integer(0);
    Value fields[3];
    unpack_three(bounds, fields);
    const Value &i = fields[1], &c = fields[2];

    const Value M = fields[0].attr("reshape").call(Value::integer(3), Value::integer(3));
    Value color = np("array").call(Value::borrow(color_arg));
    const Value int32 = np("int32");
    color = color.attr("astype").call(int32);
    check_one_colour(color);
    color = M.matmul(color.attr("T")).attr("T");
    const Value v0 = color[0], v1 = color[1], v2 = color[2];
    Value mask = v0.gt(zero).and_(v1.gt(zero));
    mask = mask.iand(v2.gt(i[0]).and_(v2.lt(i[1])));
    mask = mask.iand(v0.add(v1).lt(c[1]));
    mask = mask.iand(v0.add(v1).gt(c[0]));
    return mask.release();
}

PyObject* mask_image_py_entry(PyObject* image_arg, PyObject* bounds) {
    const Value zero = Value::integer(0);
    Value fields[3];
    unpack_three(bounds, fields);
    const Value &i = fields[1], &c = fields[2];

    const Value M = fields[0].attr("reshape").call(Value::integer(3), Value::integer(3));
    Value image = Value::borrow(image_arg);
    const Value image_shape = image.attr("shape");
    image = image.attr("reshape").call(Value::integer(-1), Value::integer(3)).attr("astype").call(np("int32"));
    image = M.matmul(image.attr("T")).attr("T");
    // image[:, k]
    auto column = [&image](long k) { return image.item(pair(slice_to(Value::borrow(Py_None)), Value::integer(k))); };
    Value mask = column(0).gt(zero).and_(column(1).gt(zero));
    mask = mask.iand(column(2).gt(i[0]).and_(column(2).lt(i[1])));
    mask = mask.iand(column(0).add(column(1)).lt(c[1]));
    mask = mask.iand(column(0).add(column(1)).gt(c[0]));
    return mask.attr("reshape")
        .call(image_shape.item(slice_to(Value::integer(-1))))
        .attr("astype")
        .call(np("uint8"))
        .mul(Value::integer(255))
        .release();
}

}  // namespace kestrune
