// The callable type behind every module function, and the rows of its table.
#pragma once

#include <Python.h>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding.hpp"

namespace kestrune {

inline constexpr int kMaxParams = 6;

enum class Default : std::uint8_t { required, none, eight };

struct Param {
    const char* name = nullptr;
    Default fallback = Default::required;

    constexpr Param() = default;
    constexpr Param(const char* name_, Default fallback_ = Default::required) : name(name_), fallback(fallback_) {}
};

// Runs the function on its `count` bound arguments; `target` is the
// Python-level body of a row that has one, else NULL. Returns a new
// reference, or NULL with an exception set.
using Invoke = PyObject* (*)(PyObject* target, PyObject* const* args, int count);

// One row of the function table.
struct FunctionSpec {
    const char* name;
    Param params[kMaxParams];
    int param_count;
    Invoke invoke;
    bool python_level;  // the body is Python source run at start-up
};

namespace detail {

template <class F> struct Signature;
template <class R, class... A> struct Signature<R (*)(A...)> {
    static constexpr std::size_t arity = sizeof...(A);
    using Arguments = std::tuple<Converted<std::remove_cvref_t<A>>...>;
};

// Converts every argument by its parameter's type, in declaration order,
// stopping at the first failure; views are released when the call returns.
template <auto F, std::size_t... I>
PyObject* call_converted(PyObject* const* args, std::index_sequence<I...>) {
    typename Signature<decltype(F)>::Arguments converted;
    if (!(std::get<I>(converted).convert(args[I]) && ...)) return nullptr;
    return F(std::get<I>(converted).get()...);
}

template <auto F> PyObject* invoke_native(PyObject*, PyObject* const* args, int) {
    return call_converted<F>(args, std::make_index_sequence<Signature<decltype(F)>::arity>{});
}

PyObject* invoke_python(PyObject* target, PyObject* const* args, int count);

template <std::size_t N> constexpr FunctionSpec make_spec(const char* name, const Param (&params)[N], Invoke invoke,
                                                         bool python_level) {
    static_assert(N <= kMaxParams);
    FunctionSpec spec{name, {}, static_cast<int>(N), invoke, python_level};
    for (std::size_t k = 0; k < N; ++k) spec.params[k] = params[k];
    return spec;
}

}  // namespace detail

// A row whose body is the typed C++ function F: its parameter types decide
// how each argument is converted, `params` names them.
template <auto F, std::size_t N> constexpr FunctionSpec native(const char* name, const Param (&params)[N]) {
    static_assert(N == detail::Signature<decltype(F)>::arity, "one parameter name per argument of the function");
    return detail::make_spec(name, params, detail::invoke_native<F>, false);
}

// A row whose body is the function of the same name in the Python-level
// source; every parameter is passed on as the object itself.
template <std::size_t N> constexpr FunctionSpec python_level(const char* name, const Param (&params)[N]) {
    return detail::make_spec(name, params, detail::invoke_python, true);
}

// The function object of a row (new reference, or NULL). `target` is the
// Python-level body, for rows that have one.
PyObject* make_function(const FunctionSpec* spec, PyObject* target);

}  // namespace kestrune
