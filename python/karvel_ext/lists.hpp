// Peak arrays as karvel hands them out: Python lists of floats.
#pragma once

#include <Python.h>

#include <span>

#include "ref.hpp"

namespace karvel::python {

// A new list of Python floats, single-precision values widened.
Ref float_list(std::span<const double> values);
Ref float_list(std::span<const float> values);

}  // namespace karvel::python
