// The function table.
#pragma once

#include <span>

#include "function.hpp"

namespace kestrune {

// Every module function, in the order they are bound into the namespace.
std::span<const FunctionSpec> function_table();

}  // namespace kestrune
