// Scan positions passed from Python as a buffer of uint32 values (a numpy
// array, array.array("I"), ...), and other numeric buffers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace karvel::python::morvane {

// The positions in argument; ValueError when its items are not 32-bit
// unsigned integers, IndexError when one is not below count.
std::optional<std::vector<std::uint32_t>> index_argument(PyObject* argument, std::size_t count);

// The values of a buffer of float64 (a numpy array, array.array("d"));
// ValueError naming what when its items are not.
std::optional<std::vector<double>> double_argument(PyObject* argument, const char* what);

}  // namespace karvel::python::morvane
