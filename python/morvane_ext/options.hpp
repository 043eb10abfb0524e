// The options morvane's Python side hands the extension, turned into the
// reader's typed options in one place. morvane._args has checked them and
// worded the messages a user sees; a value out of range here is a fault of
// the caller inside the package, refused with ValueError all the same.
#pragma once

#include <Python.h>

#include <optional>

#include "export/binary_array.hpp"
#include "export/mzml_document.hpp"
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

// How the mzML writer encodes a spectrum's arrays: the intensities' width
// (32 or 64), the MS-Numpress codecs by their codes (0 none, 1 linear, 2
// slof, 3 pic; m/z none or linear, intensities none, slof or pic) and the
// linear codec's bound in parts per million (positive).
struct Encoding {
  exporter::IntensityBits intensity_bits = exporter::IntensityBits::Float32;
  exporter::NumpressSettings numpress;
};

// ValueError (returns nothing) for a value outside those.
std::optional<Encoding> encoding_of(int intensity_bits, int numpress_mz, int numpress_intensity, double mz_ppm);

// ValueError (returns false) unless threads is at least 1: 1 is the calling
// thread, and _args resolves an unset count to the available cores.
bool check_threads(unsigned threads);

// ValueError (returns false) unless snr is a non-negative finite number.
bool check_snr(double snr);

}  // namespace karvel::python::morvane
