// Peak picking of time-of-flight profile spectra: each local maximum of a
// profile becomes one centroid (m/z, height).
//
// Points. A profile is evenly spaced in flight time (point i at x0 + i dx),
// so peaks are found and fitted in point positions, where a peak has the
// same shape across the whole m/z range; a fitted (fractional) position p
// becomes m/z through the run's own calibration of the flight time
// x0 + p dx, the very function that gives the profile points their m/z.
// Intensities that are NaN, infinite, zero or negative are no signal: they
// read as zero. A peak never spans a zero, so zero runs separate peaks.
//
// Maxima. A maximum is a point, or a run of equal points (a flat top or a
// saturated plateau), higher than the positive points on either side; a
// point at the first or last position counts its missing neighbour as zero.
//
// Apex fit: a Gaussian through the three top points, i.e. a parabola on the
// logarithms of the maximum and its two neighbours. A sampled Gaussian gives
// its exact centre and height this way whatever the sampling phase, it needs
// only the three points every resolved peak has, and it is not pulled by an
// overlapping neighbour the way a centroid over the half-height width (which
// sums whatever lies within that width, and whose width is itself found by
// interpolation) is. The vertex lies within half a point of the maximum.
//   - A maximum whose neighbour on either side is zero or missing (a
//     single-point spike, a peak at the first or last point, a peak cut by a
//     zero run) has no Gaussian through it: it is reported at its own point
//     with its own intensity.
//   - A plateau of two or more equal points: the Gaussian fitted (least
//     squares on logarithms) to up to two positive points on each side of
//     it, outside it, gives the position, since a clipped top has lost its
//     shape but the flanks have not. Without a point on each side, or when
//     that fit is not a peak within the plateau's extent, the plateau's
//     middle. The height of three or more equal points is their value, what
//     the detector recorded (a saturated top); two equal points are what a
//     Gaussian centred between two points gives, and their height is that
//     Gaussian's (the mean, on logarithms, of the fits with the left and the
//     right neighbour).
//
// Reported intensity: the height of the fitted apex (not the area), which is
// what the mzML writer labels "peak intensity"; it is at least the maximum
// point's intensity and, for a Gaussian, exactly its height.
//
// Threshold. The noise level of a spectrum is the median of its positive
// intensities (of an evenly strided sample of at most kNoiseSample of them,
// so the cost stays linear): in a time-of-flight profile most positive
// points are baseline, and the median is robust to the peaks. A peak is kept
// when its highest point is at least snr times the noise level; snr = 0
// keeps every maximum. The default, 3, drops the maxima of baseline noise while keeping
// peaks three times above the typical baseline point.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "raw/calibration.hpp"
#include "raw/peaks.hpp"

namespace karvel::centroid {

inline constexpr double kDefaultSnr = 3.0;
inline constexpr std::size_t kNoiseSample = 8192;

struct PickSettings {
  double snr = kDefaultSnr;  // NaN and negative values act as 0
};

// One fitted peak: a fractional point position and a height.
struct Apex {
  double position = 0;
  double height = 0;

  friend bool operator==(const Apex&, const Apex&) = default;
};

// The profile's noise level (see above); 0 when no intensity is positive.
double noise_level(std::span<const float> intensity);

// The apexes of the profile that pass the threshold, in increasing
// position, into out (cleared first). Positions lie in [0, size - 1],
// heights are positive and finite (a fit that would overflow keeps the
// point's own intensity).
void find_apexes(std::span<const float> intensity, const PickSettings& settings,
                 std::vector<Apex>& out);

// A profile evenly spaced in flight time: point i lies at x0 + i dx.
struct FlightAxis {
  double x0 = 0;
  double dx = 0;
};

// Centroids of a time-of-flight profile: m/z = calibration.mz(x0 + p dx) for
// each apex position p, intensities the apex heights (as float, saturating
// at the largest float).
raw::Peaks pick_flight_times(std::span<const float> intensity, const FlightAxis& axis,
                             const raw::calibration::TofCalibration& calibration,
                             const PickSettings& settings);

// Centroids of a profile given as m/z and intensity arrays alone (from any
// source, without its calibration): the m/z of a fractional position is the
// quadratic through the m/z of the three points nearest to it, which is
// exact for an axis quadratic in point position (a time-of-flight axis
// without correction terms) and agrees with the calibration to about 1e-12
// of the m/z otherwise. Only the first min(mz.size(), intensity.size())
// points are used.
raw::Peaks pick_mz(std::span<const double> mz, std::span<const float> intensity,
                   const PickSettings& settings);

// The quadratic through (k - 1, mz[k - 1]), (k, mz[k]), (k + 1, mz[k + 1]) at
// position, with k the point nearest to position kept one point inside the
// ends; mz[0] for a single point. mz must not be empty.
double interpolate_mz(std::span<const double> mz, double position) noexcept;

}  // namespace karvel::centroid
