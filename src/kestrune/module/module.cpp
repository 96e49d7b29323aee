// Module start-up, namespace and the function table.
#include <Python.h>
#include <frameobject.h>

#include <cstdlib>
#include <ctime>
#include <span>

#include "function.hpp"
#include "numpy_entries.hpp"
#include "pyref.hpp"
#include "python_level.hpp"
#include "table.hpp"

namespace kestrune {

namespace {

// The running module: at most one per process, never torn down.
PyObject* g_module = nullptr;
bool g_seeded = false;

bool single_interpreter() {
    static std::int64_t main_interpreter = -1;
    const std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter == -1) {
        main_interpreter = current;
        return current != -1;
    }
    if (main_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyRef value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!single_interpreter()) return nullptr;
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (dict == nullptr || !copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

bool check_version() {
    const unsigned long runtime = Py_Version;
    const int major = static_cast<int>(runtime >> 24), minor = static_cast<int>((runtime >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "kestrune", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr) return false;
    PyObject* present = PyDict_GetItemString(modules, "kestrune");
    if (present != nullptr) return true;
    return PyDict_SetItemString(modules, "kestrune", module) == 0;
}

bool import_numpy(PyObject* dict) {
    PyRef name(PyUnicode_FromString("numpy"));
    if (!name) return false;
    PyRef numpy(PyImport_ImportModuleLevelObject(name.get(), dict, nullptr, nullptr, 0));
    return numpy && PyDict_SetItemString(dict, "np", numpy.get()) == 0;
}

bool import_named_tuple(PyObject* dict) {
    PyRef name(PyUnicode_FromString("typing"));
    PyRef fromlist(Py_BuildValue("(s)", "NamedTuple"));
    if (!name || !fromlist) return false;
    PyRef typing(PyImport_ImportModuleLevelObject(name.get(), dict, nullptr, fromlist.get(), 0));
    if (!typing) return false;
    PyRef named_tuple(PyObject_GetAttrString(typing.get(), "NamedTuple"));
    if (!named_tuple) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, "cannot import name 'NamedTuple' from 'typing'");
        }
        return false;
    }
    return PyDict_SetItemString(dict, "NamedTuple", named_tuple.get()) == 0;
}

void seed_generator_once() {
    if (g_seeded) return;
    g_seeded = true;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

// A class statement, so the NamedTuple metaclass builds the record class
// exactly as it would for Python source in this module.
bool create_lch_bounds(PyObject* dict) {
    static const char source[] =
        "class LCHBounds(NamedTuple):\n"
        "    M: 'np.ndarray'\n"
        "    i: 'tuple'\n"
        "    c: 'tuple'\n";
    PyRef scope(PyDict_New());
    if (!scope) return false;
    PyObject* named_tuple = PyDict_GetItemString(dict, "NamedTuple");
    if (named_tuple == nullptr || PyDict_SetItemString(scope.get(), "__name__", PyDict_GetItemString(dict, "__name__")) < 0 ||
        PyDict_SetItemString(scope.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(scope.get(), "NamedTuple", named_tuple) < 0)
        return false;
    PyRef result(PyRun_String(source, Py_file_input, scope.get(), scope.get()));
    if (!result) return false;
    PyObject* cls = PyDict_GetItemString(scope.get(), "LCHBounds");
    return cls != nullptr && PyDict_SetItemString(dict, "LCHBounds", cls) == 0;
}

// The native functions are made first, so that the Python-level bodies can
// close over the two kernels they call; then every row is bound in order.
bool bind_functions(PyObject* dict) {
    const std::span<const FunctionSpec> table = function_table();
    PyRef natives(PyDict_New());
    if (!natives) return false;
    for (const FunctionSpec& spec : table) {
        if (spec.python_level) continue;
        PyRef function(make_function(&spec, nullptr));
        if (!function || PyDict_SetItemString(natives.get(), spec.name, function.get()) < 0) return false;
    }
    PyObject* mask_kernel = PyDict_GetItemString(natives.get(), "mask_image_cy_impl");
    PyObject* grayscale_kernel = PyDict_GetItemString(natives.get(), "selective_grayscale_impl");
    if (mask_kernel == nullptr || grayscale_kernel == nullptr) {
        PyErr_SetString(PyExc_SystemError, "kestrune: a masking kernel is missing from the table");
        return false;
    }
    PyRef bodies(define_python_level(dict, mask_kernel, grayscale_kernel));
    if (!bodies) return false;
    for (const FunctionSpec& spec : table) {
        PyRef function;
        if (spec.python_level) {
            // As the static_assert does for a native row: one name per parameter.
            PyObject* body = PyDict_GetItemString(bodies.get(), spec.name);
            if (body == nullptr || !PyFunction_Check(body) ||
                reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(body))->co_argcount != spec.param_count) {
                PyErr_Format(PyExc_SystemError, "kestrune: no Python-level body of %d parameters for %s",
                             spec.param_count, spec.name);
                return false;
            }
            function = PyRef(make_function(&spec, body));
        } else {
            function = PyRef::borrow(PyDict_GetItemString(natives.get(), spec.name));
        }
        if (!function || PyDict_SetItemString(dict, spec.name, function.get()) < 0) return false;
    }
    return true;
}

bool run_module_body(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return false;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr || PyDict_SetItemString(dict, "__builtins__", builtins) < 0) return false;
    return import_numpy(dict) && import_named_tuple(dict) && (seed_generator_once(), true) &&
           create_lch_bounds(dict) && bind_functions(dict);
}

// Names the failed start in the traceback: an "init kestrune" entry, as if
// the module body were a function of that name in a file "kestrune".
void add_init_traceback() {
    PyObject* raised = PyErr_GetRaisedException();  // no Python code may run with it set
    PyRef globals(PyDict_New());
    PyRef code(globals ? reinterpret_cast<PyObject*>(PyCode_NewEmpty("kestrune", "init kestrune", 1)) : nullptr);
    PyRef frame(code ? reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(),
                                                               reinterpret_cast<PyCodeObject*>(code.get()),
                                                               globals.get(), nullptr))
                     : nullptr);
    if (!frame) {
        PyErr_Clear();  // the original error matters more than its decoration
        PyErr_SetRaisedException(raised);
        return;
    }
    PyErr_SetRaisedException(raised);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'kestrune' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (check_version() && register_in_sys_modules(module) && run_module_body(module)) return 0;

    if (PyErr_Occurred()) add_init_traceback();
    Py_CLEAR(g_module);  // a later import starts afresh
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init kestrune");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kestrune",
    nullptr,  // no docstring
    0,        // all state is process-wide
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_global(const char* name) {
    if (g_module != nullptr) {
        PyObject* value = PyDict_GetItemString(PyModule_GetDict(g_module), name);
        if (value != nullptr) return Py_NewRef(value);
    }
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* value = builtins != nullptr ? PyDict_GetItemString(builtins, name) : nullptr;
    if (value != nullptr) return Py_NewRef(value);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return nullptr;
}

}  // namespace kestrune

PyMODINIT_FUNC PyInit_kestrune(void) { return PyModuleDef_Init(&kestrune::module_def); }
