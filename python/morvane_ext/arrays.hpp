// Read-only numpy arrays over memory that C++ owns. A small buffer object
// keeps the owner alive and exposes the values through the buffer protocol;
// numpy.frombuffer wraps it once, so nothing is copied.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ref.hpp"
#include "state.hpp"

namespace karvel::python::morvane {

PyType_Spec* buffer_spec();

template <class T>
constexpr Dtype dtype_of();
template <> constexpr Dtype dtype_of<double>() { return Dtype::Float64; }
template <> constexpr Dtype dtype_of<float>() { return Dtype::Float32; }
template <> constexpr Dtype dtype_of<std::uint32_t>() { return Dtype::UInt32; }
template <> constexpr Dtype dtype_of<std::uint8_t>() { return Dtype::UInt8; }
template <> constexpr Dtype dtype_of<std::int8_t>() { return Dtype::Int8; }
template <> constexpr Dtype dtype_of<std::int64_t>() { return Dtype::Int64; }

// A read-only numpy array of count values at data, of element type dtype;
// owner keeps the memory alive as long as the array (or any view of it) is.
Ref new_array(ModuleState* state, std::shared_ptr<const void> owner, const void* data,
              std::size_t count, Dtype dtype);

template <class T>
Ref array_view(ModuleState* state, std::shared_ptr<const void> owner, std::span<const T> values) {
  return new_array(state, std::move(owner), values.data(), values.size(), dtype_of<T>());
}

// Takes the vector over; the array is its only owner.
template <class T, class Allocator>
Ref array_of(ModuleState* state, std::vector<T, Allocator> values) {
  auto owned = std::make_shared<const std::vector<T, Allocator>>(std::move(values));
  std::span<const T> view(*owned);
  return array_view(state, std::move(owned), view);
}

// Imports numpy and keeps frombuffer and the dtypes in state.
int load_numpy(ModuleState* state);

}  // namespace karvel::python::morvane
