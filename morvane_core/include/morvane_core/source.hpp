// The interface every spectrum source implements.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>

#include "morvane_core/error.hpp"
#include "morvane_core/types.hpp"

namespace morvane_core::source {

template <class T>
using Item = std::expected<T, error::Error>;

// A sequence consumed one item at a time; it knows how many items remain.
template <class T>
class Sequence {
 public:
  virtual ~Sequence() = default;
  // The next item, or nullopt once the sequence is exhausted.
  virtual std::optional<Item<T>> next() = 0;
  virtual std::size_t remaining() const = 0;
};

using SpectrumSequence = Sequence<types::SpectrumRecord>;
using ChromatogramSequence = Sequence<types::ChromatogramRecord>;

class SpectrumSource {
 public:
  virtual ~SpectrumSource() = default;
  // Spectra in source order, index counting up from 0. The sequence borrows
  // the source: the source must outlive it.
  virtual std::unique_ptr<SpectrumSequence> iter_spectra() const = 0;
  virtual types::RunMetadata run_metadata() const = 0;
  // Needs exclusive use of the source while it runs.
  virtual std::unique_ptr<ChromatogramSequence> iter_chromatograms() = 0;
};

}  // namespace morvane_core::source
