// The streaming worker: decodes a folder on its own thread and hands each
// spectrum to the iterator through a channel of capacity one.
#pragma once

#include <memory>
#include <string>

#include "channel.hpp"
#include "morvane_core/types.hpp"

namespace karvel::python {

struct StreamMsg {
  enum class Kind { Spectrum, Failure, End };

  Kind kind = Kind::End;
  std::unique_ptr<morvane_core::types::SpectrumRecord> record;  // Spectrum
  std::string text;                                              // Failure

  static StreamMsg spectrum(std::unique_ptr<morvane_core::types::SpectrumRecord> record) {
    return {Kind::Spectrum, std::move(record), {}};
  }
  static StreamMsg failure(std::string text) { return {Kind::Failure, nullptr, std::move(text)}; }
  static StreamMsg end() { return {Kind::End, nullptr, {}}; }
};

// The worker's whole life: open, send every spectrum, then an end or error
// message. Stops early when a send finds the receiver gone. Never throws.
void run_stream_worker(std::string path, Sender<StreamMsg> sender) noexcept;

}  // namespace karvel::python
