#include "function.hpp"

#include <cstddef>

#include "pyref.hpp"
#include "python_level.hpp"

namespace kestrune {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* target;                   // the Python-level body, or NULL
    int required;
    PyObject* name;                     // interned
    PyObject* defaults;                 // tuple, or NULL when there are none
    PyObject* argnames[kMaxParams];     // interned parameter names
    PyObject* signature;                // built on first use
};

PyObject* raise_count_error(const FunctionSpec& spec, int required, Py_ssize_t given, bool too_few) {
    const int total = spec.param_count;
    const char* quantifier = required == total ? "exactly" : (too_few ? "at least" : "at most");
    const Py_ssize_t expected = too_few ? required : total;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                 quantifier, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

bool same_name(PyObject* a, PyObject* b) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// The index of the keyword named `name`: by identity first, then by
// equality; -1 when it is absent.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && same_name(key, name)) return k;
    }
    return -1;
}

// Called when keywords remain unconsumed: names the first offending one.
// `used[p]` is the keyword index that filled parameter p (-1: by position or
// by default), so a second occurrence of a consumed name is a repeat.
bool check_leftover_keywords(const FunctionObject* f, PyObject* kwnames, Py_ssize_t nargs,
                             const Py_ssize_t (&used)[kMaxParams]) {
    const FunctionSpec& spec = *f->spec;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    auto repeated = [&](PyObject* key) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
        return false;
    };
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int param = -1;
        for (int p = static_cast<int>(nargs); p < spec.param_count && param < 0; ++p)
            if (f->argnames[p] == key) param = p;
        if (param < 0 && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        for (int p = static_cast<int>(nargs); p < spec.param_count && param < 0; ++p)
            if (same_name(f->argnames[p], key)) param = p;
        if (param >= 0) {
            if (used[param] != k) return repeated(key);
            continue;
        }
        for (int p = 0; p < nargs; ++p)
            if (f->argnames[p] == key || same_name(f->argnames[p], key)) return repeated(key);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
        return false;
    }
    return true;
}

PyObject* default_value(Default fallback) {
    static PyObject* const eight = PyLong_FromLong(8);  // small ints are immortal
    return fallback == Default::eight ? eight : Py_None;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const FunctionSpec& spec = *f->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* values[kMaxParams];

    if (nargs > spec.param_count) return raise_count_error(spec, f->required, nargs, false);
    for (Py_ssize_t k = 0; k < nargs; ++k) values[k] = args[k];
    if (nkw == 0) {
        if (nargs < f->required) return raise_count_error(spec, f->required, nargs, true);
        for (int k = static_cast<int>(nargs); k < spec.param_count; ++k)
            values[k] = default_value(spec.params[k].fallback);
        return spec.invoke(f->target, values, spec.param_count);
    }

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used[kMaxParams];
    Py_ssize_t unused = nkw;
    for (int k = 0; k < spec.param_count; ++k) {
        used[k] = -1;
        if (k < nargs) continue;
        const Py_ssize_t found = find_keyword(kwnames, f->argnames[k]);
        if (found >= 0) {
            values[k] = kwvalues[found];
            used[k] = found;
            --unused;
        } else if (spec.params[k].fallback == Default::required) {
            return raise_count_error(spec, f->required, k, true);
        } else {
            values[k] = default_value(spec.params[k].fallback);
        }
    }
    if (unused > 0 && !check_leftover_keywords(f, kwnames, nargs, used)) return nullptr;
    return spec.invoke(f->target, values, spec.param_count);
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->target);
    Py_XDECREF(f->name);
    Py_XDECREF(f->defaults);
    for (PyObject*& name : f->argnames) Py_XDECREF(name);
    Py_XDECREF(f->signature);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function kestrune.%U>", reinterpret_cast<FunctionObject*>(self)->name);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString("kestrune"); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject*, void*) { return PyDict_New(); }

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = reinterpret_cast<FunctionObject*>(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

// inspect.Signature with positional-or-keyword parameters; inspect is imported
// only when someone asks, never at module load.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->signature != nullptr) return Py_NewRef(f->signature);
    PyRef inspect(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    PyRef parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    PyRef kind(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    const FunctionSpec& spec = *f->spec;
    PyRef params(PyList_New(0));
    if (!params) return nullptr;
    for (int k = 0; k < spec.param_count; ++k) {
        PyRef call_args(PyTuple_Pack(2, f->argnames[k], kind.get()));
        PyRef kwargs(PyDict_New());
        if (!call_args || !kwargs) return nullptr;
        if (spec.params[k].fallback != Default::required &&
            PyDict_SetItemString(kwargs.get(), "default", default_value(spec.params[k].fallback)) < 0)
            return nullptr;
        PyRef param(PyObject_Call(parameter.get(), call_args.get(), kwargs.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    PyRef signature(PyObject_CallMethod(inspect.get(), "Signature", "O", params.get()));
    if (!signature) return nullptr;
    f->signature = Py_NewRef(signature.get());
    return signature.release();
}

// Pickled by reference: the name is looked up in the module on load.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}

// Like built-in functions, attribute access on a class does not bind; having
// __get__ also makes inspect treat these as routines, so help() shows them.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrune.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    return t;
}();

}  // namespace

PyObject* make_function(const FunctionSpec* spec, PyObject* target) {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) return nullptr;
    auto* f = PyObject_New(FunctionObject, &function_type);
    if (f == nullptr) return nullptr;
    PyRef owner(reinterpret_cast<PyObject*>(f));
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->target = Py_XNewRef(target);
    f->required = 0;
    f->name = nullptr;
    f->defaults = nullptr;
    f->signature = nullptr;
    for (PyObject*& name : f->argnames) name = nullptr;

    f->name = PyUnicode_InternFromString(spec->name);
    if (f->name == nullptr) return nullptr;
    int optional = 0;
    for (int k = 0; k < spec->param_count; ++k) {
        f->argnames[k] = PyUnicode_InternFromString(spec->params[k].name);
        if (f->argnames[k] == nullptr) return nullptr;
        if (spec->params[k].fallback == Default::required)
            ++f->required;
        else
            ++optional;
    }
    if (optional > 0) {
        f->defaults = PyTuple_New(optional);
        if (f->defaults == nullptr) return nullptr;
        int slot = 0;
        for (int k = 0; k < spec->param_count; ++k)
            if (spec->params[k].fallback != Default::required)
                PyTuple_SET_ITEM(f->defaults, slot++, Py_NewRef(default_value(spec->params[k].fallback)));
    }
    return owner.release();
}

namespace detail {

// A failure looks as it would from a C function: the body's own frame is
// dropped from the traceback (entries of code it called stay), and a
// NameError of its own globals carries no name, as module_global's does not.
PyObject* invoke_python(PyObject* target, PyObject* const* args, int count) {
    PyObject* result = PyObject_Vectorcall(target, args, static_cast<size_t>(count), nullptr);
    if (result != nullptr) return result;
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return nullptr;
    PyRef traceback(PyException_GetTraceback(raised));
    auto* head = reinterpret_cast<PyTracebackObject*>(traceback.get());
    if (head != nullptr && is_python_level_code(head->tb_frame)) {
        PyObject* rest = head->tb_next != nullptr ? reinterpret_cast<PyObject*>(head->tb_next) : Py_None;
        if (rest == Py_None && PyErr_GivenExceptionMatches(raised, PyExc_NameError))
            Py_CLEAR(reinterpret_cast<PyNameErrorObject*>(raised)->name);
        PyException_SetTraceback(raised, rest);
    }
    PyErr_SetRaisedException(raised);
    return nullptr;
}

}  // namespace detail

}  // namespace kestrune
