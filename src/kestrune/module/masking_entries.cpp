// Adapters of the masking functions: the two kernels, their convenience
// entries, and the NumPy version of the mask.
#include <cstdint>

#include "../color/masking.hpp"
#include "entries.hpp"

namespace kestrune {

const FunctionSpec kMaskImageCyImplSpec = {
    "mask_image_cy_impl",
    {{"_image", Kind::image}, {"_output", Kind::plane}, {"bounds", Kind::bounds}},
    3,
    entry_mask_image_cy_impl,
};

const FunctionSpec kSelectiveGrayscaleImplSpec = {
    "selective_grayscale_impl",
    {{"_image", Kind::image}, {"_output", Kind::plane}, {"bounds", Kind::bounds}},
    3,
    entry_selective_grayscale_impl,
};

namespace {

// The kernels walk H x W pixels of 3 bytes into an output of at least H x W;
// anything else would read or write outside the caller's arrays, so it is
// refused here, before a byte is written.
bool check_masking_views(const ImageView& image, const PlaneView& output) {
    if (image.rows == 0 || image.cols == 0) return true;  // nothing is read or written
    if (image.channels != 3) {
        raise_value_error("_image must have exactly 3 channels (got %lld)", static_cast<long long>(image.channels));
        return false;
    }
    if (output.rows < image.rows) {
        raise_value_error("_output must have at least %lld rows (got %lld)", static_cast<long long>(image.rows),
                          static_cast<long long>(output.rows));
        return false;
    }
    if (output.cols < image.cols) {
        raise_value_error("_output must have at least %lld columns (got %lld)", static_cast<long long>(image.cols),
                          static_cast<long long>(output.cols));
        return false;
    }
    // The count is an unsigned 32-bit number; larger images would be cut short.
    const auto rows = static_cast<unsigned long long>(image.rows);
    const auto cols = static_cast<unsigned long long>(image.cols);
    if (rows > 0xFFFFFFFFull / cols) {
        raise_value_error("_image must have fewer than 2**32 pixels (got %llu x %llu)", rows, cols);
        return false;
    }
    return true;
}

using Kernel = std::uint32_t (*)(const ImageView&, const PlaneView&, const LchBounds&);

PyObject* run_kernel(Args& a, Kernel kernel) {
    const ImageView image = a.image(0);
    const PlaneView output = a.plane(1);
    const LchBounds bounds = a.bounds[2];
    if (!check_masking_views(image, output)) return nullptr;
    std::uint32_t n;
    {
        GilRelease unlocked;
        n = kernel(image, output, bounds);
    }
    return PyLong_FromUnsignedLong(n);
}

// buffer = np.zeros(image.shape[:-1], dtype=np.uint8), in that evaluation order.
PyRef zeros_like_plane(PyObject* image) {
    PyRef np(module_global("np"));
    if (!np) return PyRef();
    PyRef zeros(PyObject_GetAttrString(np.get(), "zeros"));
    if (!zeros) return PyRef();
    PyRef shape(PyObject_GetAttrString(image, "shape"));
    if (!shape) return PyRef();
    PyRef minus_one(PyLong_FromLong(-1));
    if (!minus_one) return PyRef();
    PyRef all_but_last(PySlice_New(nullptr, minus_one.get(), nullptr));
    if (!all_but_last) return PyRef();
    PyRef plane_shape(PyObject_GetItem(shape.get(), all_but_last.get()));
    if (!plane_shape) return PyRef();
    PyRef np_again(module_global("np"));
    if (!np_again) return PyRef();
    PyRef uint8(PyObject_GetAttrString(np_again.get(), "uint8"));
    if (!uint8) return PyRef();
    PyRef args(PyTuple_Pack(1, plane_shape.get()));
    if (!args) return PyRef();
    PyRef kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "dtype", uint8.get()) < 0) return PyRef();
    return PyRef(PyObject_Call(zeros.get(), args.get(), kwargs.get()));
}

// The body shared by mask_image and selective_grayscale.
PyObject* run_convenience(Args& a, const FunctionSpec& kernel_spec) {
    PyObject* image = a.object[0];
    PyRef bounds = PyRef::borrow(a.object[1]);
    PyRef buffer = PyRef::borrow(a.object[2] != nullptr ? a.object[2] : Py_None);
    if (buffer.get() == Py_None) {
        buffer = zeros_like_plane(image);
        if (!buffer) return nullptr;
    }
    PyRef record_class(module_global("LCHBounds"));
    if (!record_class) return nullptr;
    const int is_record = PyObject_IsInstance(bounds.get(), record_class.get());
    if (is_record < 0) return nullptr;
    if (is_record) {
        bounds = PyRef(PyObject_CallMethod(bounds.get(), "_asdict", nullptr));
        if (!bounds) return nullptr;
    }
    PyObject* const kernel_args[3] = {image, buffer.get(), bounds.get()};
    PyRef count(invoke_spec(kernel_spec, kernel_args));
    if (!count) return nullptr;
    return buffer.release();
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

PyObject* entry_mask_image_cy_impl(Args& a) { return run_kernel(a, mask_image); }

PyObject* entry_selective_grayscale_impl(Args& a) { return run_kernel(a, selective_grayscale); }

PyObject* entry_mask_image(Args& a) { return run_convenience(a, kMaskImageCyImplSpec); }

PyObject* entry_selective_grayscale(Args& a) { return run_convenience(a, kSelectiveGrayscaleImplSpec); }

PyObject* entry_mask_image_py(Args& a) {
    // M, i, c = bounds
    PyRef parts[3];
    if (!unpack_three(a.object[1], parts)) return nullptr;
    PyObject* const i = parts[1].get();
    PyObject* const c = parts[2].get();

    // M = M.reshape(3, 3)
    PyRef M(PyObject_CallMethod(parts[0].get(), "reshape", "ii", 3, 3));
    if (!M) return nullptr;
    // image_shape = image.shape
    PyRef image_shape(PyObject_GetAttrString(a.object[0], "shape"));
    if (!image_shape) return nullptr;
    // image = image.reshape(-1, 3).astype(np.int32)
    PyRef image;
    {
        PyRef flat(PyObject_CallMethod(a.object[0], "reshape", "ii", -1, 3));
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
