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
// Apex fit: a Gaussian fitted to the top of the peak, i.e. a parabola fitted
// to the logarithms of the intensities: those of the maximum, its two
// neighbours, and the points further out down to half the maximum (at most
// 32 a side; never above the maximum, nor past a rise of more than the
// ripple allowance below over the lowest point passed, and never onto or
// past the valley toward a neighbouring maximum, so not into an overlapping
// neighbour), by least squares weighted by the squared intensities (the
// inverse variances of the logarithms). A sampled
// Gaussian gives its exact centre and height this way whatever the
// sampling phase; a narrow peak still has its three top points, where this
// is the classic three-point Gaussian interpolation; on a wide peak, whose
// logarithms curve little from one point to the next, the extra points keep
// baseline noise from moving the apex. An intensity-weighted centroid over
// the half-height width is the common alternative; it was not chosen
// because it is biased by the sampling phase (the points inside the width
// change as the peak moves between points) and by whatever else lies
// within the width. The vertex lies within the points fitted.
//   - A maximum whose neighbour on either side is zero or missing (a
//     single-point spike that is kept, a peak at the first or last point, a
//     peak cut by a zero run) has no Gaussian through it: it is reported at its own point
//     with its own intensity.
//   - Two or more equal top points (a Gaussian centred between two points,
//     a flat top, a saturated plateau): the same fit on the flanks alone
//     (the points beside the plateau down to half its value, and at least
//     two a side) gives the position, since a clipped top has lost its
//     shape but the flanks have not; it is exact for a Gaussian between two
//     points too. Without a
//     positive point on each side, or when that fit is not a peak within its
//     points, the plateau's middle. The height of two equal points is that
//     of the Gaussian fitted to the whole top as above; of three or more,
//     their value, what the detector recorded.
//   - When the top fit fails (it is not a peak within its points), the
//     three-point interpolation.
//   - A top with an unresolved shoulder (one flank reaching half height
//     markedly further from the vertex than the other, beyond what the
//     counting noise explains) is fitted as two Gaussians of one width
//     when they explain its points clearly better than one, and the major
//     is reported; otherwise by its steeper flank up to the maximum. A top
//     lopsided by less (as two peaks of about one height too close for a
//     valley leave it) is split only on far stronger evidence. A slight
//     shoulder (a minor of a tenth) passes neither test but still pulls the
//     whole-top fit toward it: such a top, lopsided beyond the counting
//     noise, is fitted again as two Gaussians of one width over a wider
//     reach (a half width further down on each side), and the major is
//     reported when the pair explains those points clearly better than one
//     Gaussian and it lies on the steep side of the whole-top vertex, within
//     a point of it.
//   - A fitted apex lies within the spectrum and at least kApexMargin points
//     short of halfway to each neighbouring maximum; one that does not
//     (only on odd shapes) stays at its maximum's point.
//
// Overlapping peaks. Each fitted Gaussian is fitted again with its fitted
// neighbours' Gaussians taken off its points, so a neighbour's flank
// neither lifts nor pulls it. Two neighbours that still lift each other's
// top by more than a small share (kPairShare in the source: closer than
// about 1.45 FWHM for equal heights), with nothing else unresolved beside
// them, are then fitted together: the sum of two Gaussians of one width, by
// least squares on the intensities weighted by their counting variance,
// over both tops down to half height. That fit is kept when it explains the
// points better than the refits, puts the two apexes at least two widths
// apart (closer, two Gaussians of one width make one maximum) on their own
// sides of the valley, and the refits agree on the width within a factor
// of 1.5 (a spike or an unresolved pair beside a peak is no second peak of
// its width).
//
// Reported intensity: the height of the fitted apex (not the area); the
// mzML writer's peak picking step says so ("apex height"). It is at least
// the maximum point's intensity and, for a Gaussian, exactly its height.
//
// Spikes. A maximum of one point whose neighbours both lie below
// kSpikeFraction of it is a single-point spike (a detector artefact: a
// sampled peak, even one a point wide, has a second point well above that)
// and is not reported, unless the settings keep spikes; then it is reported
// at its own point with its own intensity.
//
// Noise. The noise level of a spectrum is the median of all its points,
// zeros included: in a time-of-flight profile most points are baseline,
// and the median is robust to the peaks. Where the detector zeroes the
// baseline, more than half of the points are zero and that median would be
// 0; the zeros then say the baseline lies below the lowest values kept, and
// the level is the low kZeroedQuantile of the positive values (the
// threshold's level), not their median, which would be a peak-flank level.
// The spread of the noise is the median difference between neighbouring
// baseline values (both at most twice the level) over 0.954, the standard
// deviation of Gaussian noise; at least a tenth of the level and at most the
// level; the level itself when a zeroed baseline hides it. Both are
// estimated on an evenly strided sample of at most kNoiseSample points (all
// the positive values of a zeroed profile whose sample holds few), so the
// cost stays linear; the maxima are then looked for only among the points
// at least at the threshold.
//
// Ripples. Noise on the top of a wide peak makes several maxima of one
// peak. Two neighbouring maxima are one peak when the lower falls short of
// the valley between them by less than the allowance, kRippleNoise times
// the noise spread expected at the valley's level: counting noise grows as
// the square root of the intensity, so the spread scales by
// sqrt(level / noise level) above the noise level. That holds on the
// higher one's top, where the valley lies above half its height; lower
// down, where a minor peak sits on a neighbour's tail, the allowance is the
// baseline's, so such a peak stays. A zero between two maxima always
// separates them. The lower one is not reported; the top fit of the higher
// one walks over such ripples but never past the valley toward a
// neighbouring maximum that stays, so overlapping peaks are each fitted on
// their own side and not pulled together. With snr = 0 (no noise level)
// every maximum is kept.
//
// Threshold. A peak is kept when its highest point is at least snr times
// the noise level; snr = 0 keeps every maximum. The default, 3, drops the
// maxima of baseline noise while keeping peaks three times above the
// typical baseline point.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "raw/calibration.hpp"
#include "raw/peaks.hpp"

namespace karvel::centroid {

inline constexpr double kDefaultSnr = 3.0;
inline constexpr std::size_t kNoiseSample = 2048;
inline constexpr double kRippleNoise = 3.0;
inline constexpr double kZeroedQuantile = 0.05;
inline constexpr double kSpikeFraction = 0.1;
// How far, in points, a fitted apex stays short of halfway to the
// neighbouring maximum: apexes of neighbouring peaks lie at least twice
// this apart, so their flight times and m/z stay distinct and in order.
inline constexpr double kApexMargin = 1.0 / 16.0;

struct PickSettings {
  double snr = kDefaultSnr;  // NaN and negative values act as 0
  bool keep_spikes = false;  // report single-point spikes as peaks
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
