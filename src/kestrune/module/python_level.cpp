// mask_image and selective_grayscale, as Python source run once at start-up.
// Their globals are the module's, so `np`, `LCHBounds` and the builtins are
// read from it at each call; the kernels they call directly reach them as
// closure variables, so rebinding a module attribute does not change them
// and the namespace holds nothing of this source.
#include "python_level.hpp"

#include "pyref.hpp"

namespace kestrune {

namespace {

const char kSource[] = R"py(
def define(mask_kernel, grayscale_kernel):

    # mask_image and selective_grayscale: the same statements around their kernel.
    def with_kernel(kernel):
        def convenience(image, bounds, buffer):
            if buffer is None:
                buffer = np.zeros(image.shape[:-1], dtype=np.uint8)
            if isinstance(bounds, LCHBounds):
                bounds = bounds._asdict()
            kernel(image, buffer, bounds)
            return buffer
        return convenience

    return {"mask_image": with_kernel(mask_kernel), "selective_grayscale": with_kernel(grayscale_kernel)}
)py";

}  // namespace

bool is_python_level_code(PyFrameObject* frame) {
    PyRef code(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyObject* file = reinterpret_cast<PyCodeObject*>(code.get())->co_filename;
    return PyUnicode_CompareWithASCIIString(file, kPythonLevelFile) == 0;
}

PyObject* define_python_level(PyObject* module_dict, PyObject* mask_kernel, PyObject* grayscale_kernel) {
    // `define` is bound in a scratch scope; what it makes has the module's
    // dict as its globals.
    PyRef scope(PyDict_New());
    if (!scope) return nullptr;
    PyRef code(Py_CompileString(kSource, kPythonLevelFile, Py_file_input));
    if (!code) return nullptr;
    PyRef ran(PyEval_EvalCode(code.get(), module_dict, scope.get()));
    if (!ran) return nullptr;
    PyObject* define = PyDict_GetItemString(scope.get(), "define");
    if (define == nullptr) return PyErr_Format(PyExc_SystemError, "kestrune: the source defines no define()");
    PyObject* const kernels[2] = {mask_kernel, grayscale_kernel};
    return PyObject_Vectorcall(define, kernels, 2, nullptr);
}

}  // namespace kestrune
