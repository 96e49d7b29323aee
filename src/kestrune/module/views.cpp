#include "views.hpp"

#include <climits>
#include <cstring>

#include "errors.hpp"
#include "numbers.hpp"
#include "pyref.hpp"

namespace kestrune {

namespace {

struct KindInfo {
    const char* name;  // element name used in messages
    int ndim;
    Py_ssize_t size;
    char group;  // 'I' signed integer, 'U' unsigned integer
    bool c_contiguous;
    std::int64_t fixed_extent;  // of the last axis; 0: any
    const char* fixed_message;  // ValueError when it differs (name, extent)
};

KindInfo kind_info(ViewKind kind) {
    switch (kind) {
        case ViewKind::image: return {"unsigned char", 3, 1, 'U', false, 3, "%s must have exactly 3 channels (got %lld)"};
        case ViewKind::image_uchar: return {"uchar", 3, 1, 'U', false, 3, "%s must have 3 channels (got %lld)"};
        case ViewKind::plane: return {"unsigned char", 2, 1, 'U', false, 0, nullptr};
        case ViewKind::points: return {"int", 2, 4, 'I', false, 2, "%s must have exactly 2 columns (got %lld)"};
        case ViewKind::mask: return {"uint8_t", 1, 1, 'U', true, 0, nullptr};
    }
    return {"unsigned char", 1, 1, 'U', false, 0, nullptr};
}

// `elements`: whether the other axes hold any element.
bool fixed_extent_ok(ViewKind kind, bool elements, std::int64_t extent, const char* name) {
    const KindInfo info = kind_info(kind);
    if (!elements || extent == info.fixed_extent) return true;
    raise_value_error(info.fixed_message, name, static_cast<long long>(extent));
    return false;
}

// What a format code stands for, as the mismatch message describes it.
const char* describe_code(char code, bool complex) {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case 0: return "end of string";
        default: return "unparsable format string";
    }
}

bool is_element_code(char code) {
    return code != 0 && std::strchr("?cbBhHiIlLqQfdgOPsp", code) != nullptr;
}

char code_group(char code, bool complex) {
    switch (code) {
        case 'c': return 'H';
        case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
        case 'f': case 'd': case 'g': return complex ? 'C' : 'R';
        case 'O': return 'O';
        case 'P': return 'P';
        default: return 0;
    }
}

Py_ssize_t code_size(char code, bool complex, bool native) {
    switch (code) {
        case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': return 4;
        case 'l': case 'L': return native ? static_cast<Py_ssize_t>(sizeof(long)) : 4;
        case 'q': case 'Q': return 8;
        case 'f': return complex ? 8 : 4;
        case 'd': return complex ? 16 : 8;
        case 'g': return static_cast<Py_ssize_t>(complex ? 2 * sizeof(long double) : sizeof(long double));
        default: return static_cast<Py_ssize_t>(sizeof(void*));
    }
}

bool raise_mismatch(const char* quote, const char* expected, const char* found) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", quote, expected, quote,
                 found);
    return false;
}

bool raise_unexpected(char ch) {
    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", ch);
    return false;
}

// Skips byte-order prefixes and blanks; false on a big-endian prefix.
bool skip_prefixes(const char*& p, bool& native) {
    for (;; ++p) {
        switch (*p) {
            case ' ': case '\r': case '\n': break;
            case '<': case '=': native = false; break;
            case '@': case '^': native = true; break;
            case '>': case '!':
                PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
                return false;
            default: return true;
        }
    }
}

// The format must describe exactly one element of the kind's type.
bool check_format(const char* format, const KindInfo& kind) {
    const char* p = format != nullptr ? format : "B";
    bool native = true;
    if (!skip_prefixes(p, native)) return false;

    long count = 1;
    if (*p >= '0' && *p <= '9') {
        count = 0;
        while (*p >= '0' && *p <= '9') count = count * 10 + (*p++ - '0');
    }
    char code = *p;
    bool complex = false;
    if (code == 0 || code == 'T') return raise_mismatch("'", kind.name, describe_code(code, false));
    if (code == 'Z') {
        char next = p[1];
        if (next != 'f' && next != 'd' && next != 'g') return raise_unexpected('Z');
        complex = true;
        code = next;
        ++p;
    }
    if (!is_element_code(code)) return raise_unexpected(code);
    const char* found = describe_code(code, complex);
    Py_ssize_t size = code_size(code, complex, native);
    char group = code_group(code, complex);
    bool matches = size == kind.size && (group == kind.group || group == 'H');
    if (!matches) return raise_mismatch("'", kind.name, found);
    if (count != 1) return raise_mismatch("", "end", found);
    ++p;

    // Anything after the one element is a second element.
    if (!skip_prefixes(p, native)) return false;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == 0) return true;
    if (*p == 'T') return raise_mismatch("", "end", describe_code('T', false));
    if (*p == 'Z' && p[1] != 0 && std::strchr("fdg", p[1]) != nullptr)
        return raise_mismatch("", "end", describe_code(p[1], true));
    if (!is_element_code(*p)) return raise_unexpected(*p);
    return raise_mismatch("", "end", describe_code(*p, false));
}

bool check_layout(const Py_buffer& b, const KindInfo& kind) {
    if (b.len <= 0) return true;
    for (int dim = 0; dim < b.ndim; ++dim) {
        if (dim == b.ndim - 1 && b.shape[dim] > 1 && b.strides[dim] != b.itemsize) {
            PyErr_SetString(PyExc_ValueError, "Buffer and memoryview are not contiguous in the same dimension.");
            return false;
        }
        if (b.suboffsets != nullptr && b.suboffsets[dim] >= 0) {
            PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", dim);
            return false;
        }
    }
    if (kind.c_contiguous) {
        Py_ssize_t stride = b.itemsize;
        for (int dim = b.ndim - 1; dim >= 0; --dim) {
            if (stride * b.shape[dim] > 1 && b.strides[dim] != stride) {
                PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
                return false;
            }
            stride *= b.shape[dim];
        }
    }
    return true;
}

}  // namespace

bool BufferView::acquire(PyObject* obj, ViewKind kind) {
    if (obj == Py_None) return true;
    const KindInfo info = kind_info(kind);
    int flags = PyBUF_RECORDS;  // strides, format, writable
    if (info.c_contiguous) flags |= PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(obj, &buffer_, flags) < 0) return false;
    held_ = true;  // from here on the destructor ends the export, on every path

    if (buffer_.ndim != info.ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", info.ndim,
                     buffer_.ndim);
        return false;
    }
    if (!check_format(buffer_.format, info)) return false;
    if (buffer_.itemsize != info.size) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(buffer_.itemsize), buffer_.itemsize > 1 ? "s" : "", info.name,
                     static_cast<size_t>(info.size), info.size > 1 ? "s" : "");
        return false;
    }
    if (buffer_.shape == nullptr) {
        // Only a malformed exporter omits it after a strided request.
        PyErr_SetString(PyExc_ValueError, "Buffer exposes no shape");
        return false;
    }
    if (buffer_.strides == nullptr) {
        // No strides means C-contiguous (ctypes arrays export so).
        Py_ssize_t stride = buffer_.itemsize;
        for (int axis = buffer_.ndim - 1; axis >= 0; --axis) {
            packed_strides_[axis] = stride;
            stride *= buffer_.shape[axis];
        }
        buffer_.strides = packed_strides_;
    }
    return check_layout(buffer_, info);
}

BufferView::~BufferView() {
    if (!held_) return;
    if (buffer_.strides == packed_strides_) buffer_.strides = nullptr;  // hand back what we were given
    PyBuffer_Release(&buffer_);
}

bool has_fixed_extent(const ImageView& v, const char* name) {
    return fixed_extent_ok(ViewKind::image, v.rows > 0 && v.cols > 0, v.channels, name);
}

bool has_fixed_extent(const UcharImageView& v, const char* name) {
    return fixed_extent_ok(ViewKind::image_uchar, v.rows > 0 && v.cols > 0, v.channels, name);
}

bool has_fixed_extent(const PointsView& v, const char* name) {
    return fixed_extent_ok(ViewKind::points, v.rows > 0, v.cols, name);
}

bool check_points(const PointsView& v, const char* name) {
    if (!has_fixed_extent(v, name)) return false;
    if (v.rows >= kCountLimit) {
        raise_value_error("%s must have fewer than 2**31 rows (got %lld)", name, static_cast<long long>(v.rows));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The bounds record from a mapping.

namespace {

bool raise_not_enough(Py_ssize_t expected, Py_ssize_t got) {
    PyErr_Format(PyExc_IndexError, "not enough values found during array assignment, expected %zd, got %zd",
                 expected, got);
    return false;
}

bool raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd", expected);
    return false;
}

// Whether `value` is exactly a NumPy array (numpy.ndarray, not a subclass).
bool is_ndarray(PyObject* value) {
    static PyObject* ndarray = nullptr;  // held for the life of the process
    if (std::strcmp(Py_TYPE(value)->tp_name, "numpy.ndarray") != 0) return false;
    if (ndarray == nullptr) {
        PyRef numpy(PyImport_ImportModule("numpy"));
        ndarray = numpy ? PyObject_GetAttrString(numpy.get(), "ndarray") : nullptr;
        if (ndarray == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(value)) == ndarray;
}

// The n values of a packed one-dimensional NumPy array of integers, read from
// its buffer when every one fits int32: what iterating it and converting each
// item would give, without an object per item (the bounds' M comes so from
// LCHBounds._asdict()). False, with nothing raised, for anything else.
bool read_int_array(PyObject* value, std::int32_t* out, Py_ssize_t n) {
    if (!is_ndarray(value)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_ND | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const char code = format[0];
    const bool is_signed = code != 0 && std::strchr("bhilq", code) != nullptr;
    bool ok = view.ndim == 1 && view.shape[0] == n && code != 0 && format[1] == 0 &&
              std::strchr("bBhHiIlLqQ", code) != nullptr &&
              (view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4 || view.itemsize == 8);
    for (Py_ssize_t k = 0; ok && k < n; ++k) {
        const auto* item = static_cast<const unsigned char*>(view.buf) + k * view.itemsize;
        std::uint64_t bits = 0;
        std::memcpy(&bits, item, static_cast<std::size_t>(view.itemsize));  // little-endian: the low bytes
        const int unused = 64 - 8 * static_cast<int>(view.itemsize);
        if (is_signed && unused > 0 && ((bits >> (8 * view.itemsize - 1)) & 1) != 0) bits |= ~std::uint64_t{0} << (64 - unused);
        const auto wide = static_cast<std::int64_t>(bits);
        const bool negative_unsigned = !is_signed && view.itemsize == 8 && wide < 0;  // above 2**63
        ok = !negative_unsigned && wide >= INT32_MIN && wide <= INT32_MAX;
        if (ok) out[k] = static_cast<std::int32_t>(wide);
    }
    PyBuffer_Release(&view);
    return ok;
}

// N 32-bit integers from a sized iterable, with the array-assignment messages.
bool fill_int_array(PyObject* value, std::int32_t* out, Py_ssize_t n) {
    if (read_int_array(value, out, n)) return true;
    Py_ssize_t length = PyObject_Length(value);
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        length = n;
    }
    if (length < n) return raise_not_enough(n, length);
    if (length > n) return raise_too_many(n);

    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        // Walked by index; an item's own __int__ may resize a list meanwhile.
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (k >= PySequence_Fast_GET_SIZE(value)) return raise_not_enough(n, k);
            PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(value, k));
            if (!to_int32(item.get(), out[k])) return false;
        }
        if (PySequence_Fast_GET_SIZE(value) > n) return raise_too_many(n);
        return true;
    }
    PyRef iter(PyObject_GetIter(value));
    if (!iter) return false;
    for (Py_ssize_t k = 0; k <= n; ++k) {
        PyRef item(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            if (k < n) return raise_not_enough(n, k);
            return true;
        }
        if (k == n) return raise_too_many(n);
        if (!to_int32(item.get(), out[k])) return false;
    }
    return true;
}

// The value under `key`, or NULL with ValueError when the key is missing. A
// KeyError raised by the lookup itself (a key's __eq__, say) counts as missing,
// for a dict as for any other mapping.
PyObject* lookup_field(PyObject* mapping, PyObject* name, const char* key) {
    PyObject* value = PyDict_CheckExact(mapping) ? Py_XNewRef(PyDict_GetItemWithError(mapping, name))
                                                 : PyObject_GetItem(mapping, name);
    if (value != nullptr) return value;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError, "No value specified for struct attribute '%s'", key);
    return nullptr;
}

}  // namespace

bool bounds_from_mapping(PyObject* obj, LchBounds& out) {
    if (!PyMapping_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "a mapping", Py_TYPE(obj)->tp_name);
        return false;
    }
    // The keys as interned strings, made once and held for the life of the process.
    static PyObject* names[3] = {};
    if (names[2] == nullptr) {
        const char* keys[3] = {"i", "c", "M"};
        for (int k = 0; k < 3; ++k)
            if (names[k] == nullptr && (names[k] = PyUnicode_InternFromString(keys[k])) == nullptr) return false;
    }
    LchBounds record{};
    struct Field {
        const char* key;
        PyObject* name;
        std::int32_t* dest;
        Py_ssize_t count;
    } const fields[] = {{"i", names[0], record.i, 2}, {"c", names[1], record.c, 2}, {"M", names[2], record.M, 9}};
    for (const Field& f : fields) {
        PyRef value(lookup_field(obj, f.name, f.key));
        if (!value) return false;
        if (!fill_int_array(value.get(), f.dest, f.count)) return false;
    }
    out = record;
    return true;
}

}  // namespace kestrune
