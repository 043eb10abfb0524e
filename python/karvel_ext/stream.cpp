#include "stream.hpp"

#include <exception>

#include "reader/reader.hpp"

namespace karvel::python {
namespace {

using morvane_core::types::SpectrumRecord;

void stream_run(const std::string& path, Sender<StreamMsg>& sender) {
  auto opened = reader::Reader::open(path);
  if (!opened) {
    sender.send(StreamMsg::failure(std::move(opened.error())));
    return;
  }
  // The sequence borrows the reader and is released before it.
  auto sequence = (*opened)->iter_spectra();
  while (auto item = sequence->next()) {
    if (!*item) {
      sender.send(StreamMsg::failure(std::move(item->error())));
      return;
    }
    auto record = std::make_unique<SpectrumRecord>(std::move(**item));
    if (!sender.send(StreamMsg::spectrum(std::move(record)))) return;
  }
  sender.send(StreamMsg::end());
}

}  // namespace

void run_stream_worker(std::string path, Sender<StreamMsg> sender) noexcept {
  try {
    stream_run(path, sender);
  } catch (const std::exception& error) {
    try {
      sender.send(StreamMsg::failure(Error::internal(error.what())));
    } catch (...) {
    }
  } catch (...) {
    try {
      sender.send(StreamMsg::failure(Error::internal("unexpected internal error")));
    } catch (...) {
    }
  }
}

}  // namespace karvel::python
