// The streaming worker: decodes a folder on its own thread and hands each
// spectrum to the iterator through a channel of capacity one.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "channel.hpp"
#include "morvane_core/error.hpp"
#include "morvane_core/types.hpp"
#include "support/error.hpp"

namespace karvel::python {

struct StreamMsg {
  enum class Kind { Spectrum, Failure, End };

  Kind kind = Kind::End;
  std::unique_ptr<morvane_core::types::SpectrumRecord> record;  // Spectrum
  // Failure: the error itself, the reader's (opening the run, a fault of
  // the worker) or the record model's (a spectrum), raised as either is.
  std::optional<Error> reader_error;
  std::optional<morvane_core::error::Error> record_error;

  static StreamMsg spectrum(std::unique_ptr<morvane_core::types::SpectrumRecord> record) {
    return {Kind::Spectrum, std::move(record), {}, {}};
  }
  static StreamMsg failure(Error error) { return {Kind::Failure, nullptr, std::move(error), {}}; }
  static StreamMsg failure(morvane_core::error::Error error) {
    return {Kind::Failure, nullptr, {}, std::move(error)};
  }
  static StreamMsg end() { return {Kind::End, nullptr, {}, {}}; }
};

// The worker's whole life: open, send every spectrum, then an end or error
// message. Stops early when a send finds the receiver gone. Never throws.
void run_stream_worker(std::string path, Sender<StreamMsg> sender) noexcept;

}  // namespace karvel::python
