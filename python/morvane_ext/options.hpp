// The options morvane's Python side hands the extension, turned into the
// reader's typed options in one place. morvane._args has checked them and
// worded the messages a user sees; a value out of range here is a fault of
// the caller inside the package, refused with ValueError all the same.
#pragma once

#include <Python.h>

#include <optional>

#include "reader/reader.hpp"

namespace karvel::python::morvane {

// Which block a pass reads and how picking applies: the block choice of its
// code (0 auto, 1 stored, 2 pick, 3 pick-all, as _args.MODES), the MS levels
// picking applies to and the picker's signal-to-noise threshold.
struct Picking {
  reader::BlockChoice choice = reader::BlockChoice::Auto;
  reader::CentroidOptions centroid;
};

// ValueError (returns nothing) for an unknown code or a negative or
// non-finite snr. keep_spikes: the picker keeps single-point spikes.
std::optional<Picking> picking_of(int code, unsigned min_level, unsigned max_level, double snr,
                                  bool keep_spikes = false);

// ValueError (returns false) unless threads is at least 1: 1 is the calling
// thread, and _args resolves an unset count to the available cores.
bool check_threads(unsigned threads);

// ValueError (returns false) unless snr is a non-negative finite number.
bool check_snr(double snr);

}  // namespace karvel::python::morvane
