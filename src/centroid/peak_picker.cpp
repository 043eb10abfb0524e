#include "centroid/peak_picker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "centroid/candidates.hpp"
#include "centroid/fits.hpp"
#include "centroid/noise.hpp"

namespace karvel::centroid {

using namespace detail;

namespace {

// A maximum above the threshold and its apex: fitted as a Gaussian of
// curvature `curvature` (< 0), or placed otherwise (curvature 0).
struct Placed {
  std::size_t candidate;
  Apex apex;
  double curvature;
};

// What the fitted Gaussian of placed contributes at point i.
inline double gaussian_at(const Placed& placed, double i) noexcept {
  const double x = i - placed.apex.position;
  return placed.apex.height * std::exp(placed.curvature * x * x);
}

// A neighbour whose Gaussian lifts the top of `at` by more than this share
// of its height is taken off before `at` is fitted again.
constexpr double kNeighbourShare = 1e-3;
constexpr int kRefits = 3;

}  // namespace

void find_apexes(std::span<const float> intensity, const PickSettings& settings,
                 std::vector<Apex>& out) {
  out.clear();
  const double snr = settings.snr > 0 ? settings.snr : 0.0;  // NaN fails the comparison
  thread_local std::vector<Candidate> candidates;
  thread_local std::vector<Placed> placed;
  const Allowance allowance = snr == 0.0 ? Allowance{} : estimate_noise(intensity);
  // Maxima under the threshold (most of a noisy baseline's) are never
  // candidates: a ripple on a reported top is at least half its height,
  // far above it.
  const double threshold = snr * allowance.level;
  find_candidates(intensity, threshold, candidates);
  keep_reportable(intensity, candidates, threshold, settings.keep_spikes);
  if (allowance.level > 0) drop_ripples(candidates, allowance);
  const std::size_t n = intensity.size();
  auto profile = [&](std::size_t i) { return signal(intensity[i]); };
  // The fit stays on a maximum's side of the valleys toward its neighbours:
  // points there carry the neighbour's flank.
  auto window_of = [&](std::size_t k) {
    return Window{k > 0 ? candidates[k].valley_at + 1 : 0,
                  k + 1 < candidates.size() ? candidates[k + 1].valley_at : n};
  };
  placed.clear();
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const Candidate& candidate = candidates[k];
    const std::size_t i = candidate.first;
    const std::size_t last = candidate.last;
    const double value = candidate.value;
    const double previous = i > 0 ? signal(intensity[i - 1]) : 0.0;
    const double next = last + 1 < n ? signal(intensity[last + 1]) : 0.0;
    const Window window = window_of(k);
    Placed place{k, {static_cast<double>(i), value}, 0.0};
    const bool neighbours = previous > 0.0 && next > 0.0;
    TopFit fitted;
    if (last > i) {
      // A plateau: placed by its flanks, or at its middle.
      place.apex.position = 0.5 * (static_cast<double>(i) + static_cast<double>(last));
      if (neighbours && fit_top(profile, n, i, last, value, allowance, window, false, false, fitted)) {
        place.apex.position = fitted.apex.position;
      }
      // Two equal points: the height of the Gaussian through the top.
      if (last == i + 1 && neighbours && fit_top(profile, n, i, last, value, allowance, window, true, false, fitted)) {
        place.apex.height = fitted.apex.height;
      }
    } else if (neighbours && fit_top(profile, n, i, last, value, allowance, window, true, true, fitted)) {
      place.apex = fitted.apex;
      place.curvature = fitted.curvature;
    } else if (neighbours) {
      const Vertex vertex = three_point_vertex(std::log(previous), std::log(value), std::log(next));
      const double height = std::exp(vertex.log_height);
      if (std::isfinite(vertex.offset) && std::isfinite(height)) {
        place.apex = {static_cast<double>(i) + vertex.offset, std::max(height, value)};
      }
    }
    placed.push_back(place);
  }
  // Overlapping peaks: each fitted Gaussian is fitted again with its fitted
  // neighbours' Gaussians taken off its points, so a neighbour's flank
  // neither lifts nor pulls it; kRefits rounds, each from the previous
  // round's fits (so the order does not matter), since a first fit is
  // itself lifted by its neighbour.
  thread_local std::vector<Placed> previous;
  for (int round = 0; round < kRefits; ++round) {
    previous = placed;
    bool changed = false;
    for (std::size_t k = 0; k < placed.size(); ++k) {
      const Placed& before = previous[k];
      if (!(before.curvature < 0)) continue;
      const Placed* lifting[2] = {nullptr, nullptr};
      std::size_t count = 0;
      for (const std::size_t j : {k - 1, k + 1}) {
        if (j >= previous.size() || !(previous[j].curvature < 0)) continue;  // k - 1 wraps for k = 0
        if (gaussian_at(previous[j], before.apex.position) > kNeighbourShare * before.apex.height) {
          lifting[count++] = &previous[j];
        }
      }
      if (count == 0) continue;
      // The fit reads a point more than once (walking out, then fitting);
      // each corrected value is worked out once. A refitted maximum is a
      // single point (curvature < 0), and the fit reads at most kTopSide
      // points to each side of it.
      const Candidate& candidate = candidates[before.candidate];
      std::array<double, 2 * kTopSide + 1> memo;
      memo.fill(std::numeric_limits<double>::quiet_NaN());  // not worked out yet
      auto corrected = [&](std::size_t i) {
        const std::size_t slot = i + kTopSide - candidate.first;
        if (slot < memo.size() && !std::isnan(memo[slot])) return memo[slot];
        double v = signal(intensity[i]);
        for (std::size_t c = 0; c < count; ++c) v -= gaussian_at(*lifting[c], static_cast<double>(i));
        if (slot < memo.size()) memo[slot] = v;
        return v;
      };
      const double top = corrected(candidate.first);
      TopFit refit;
      if (top > 0 && fit_top(corrected, n, candidate.first, candidate.last, top, allowance,
                             window_of(before.candidate), true, false, refit)) {
        placed[k].apex = refit.apex;
        placed[k].curvature = refit.curvature;
        changed = true;
      }
    }
    if (!changed) break;
  }
  // Close pairs: fitted together (kPairShare above), from their refits.
  for (std::size_t k = 0; k + 1 < placed.size(); ++k) {
    const Placed& a = placed[k];
    const Placed& b = placed[k + 1];
    if (!(a.curvature < 0) || !(b.curvature < 0)) continue;
    if (gaussian_at(b, a.apex.position) <= kPairShare * a.apex.height &&
        gaussian_at(a, b.apex.position) <= kPairShare * b.apex.height) {
      continue;
    }
    auto lifts = [&](std::size_t j, const Placed& of) {
      return j < placed.size() && placed[j].curvature < 0 &&
             gaussian_at(placed[j], of.apex.position) > kNeighbourShare * of.apex.height;
    };
    if (lifts(k - 1, a) || lifts(k + 2, b)) continue;  // k - 1 wraps for k = 0
    const Candidate& left = candidates[a.candidate];
    const Candidate& right = candidates[b.candidate];
    // Nor anything unresolved beside it: the valleys outside the pair lie
    // below half the lower top.
    const double outer = 0.5 * std::min(left.value, right.value);
    if ((a.candidate > 0 && !(left.valley_before < outer)) ||
        (b.candidate + 1 < candidates.size() && !(candidates[b.candidate + 1].valley_before < outer))) {
      continue;
    }
    const double sigma_a = std::sqrt(-0.5 / a.curvature);
    const double sigma_b = std::sqrt(-0.5 / b.curvature);
    if (std::max(sigma_a, sigma_b) > kPairWidths * std::min(sigma_a, sigma_b)) continue;
    const double sigma = 0.5 * (sigma_a + sigma_b);
    const std::size_t low_end = window_of(a.candidate).low;
    const std::size_t high_end = window_of(b.candidate).high;
    std::size_t from = left.first;
    while (from > low_end && left.first - from < kTopSide && profile(from - 1) >= 0.5 * left.value) --from;
    std::size_t to = right.last;
    while (to + 1 < high_end && to - right.last < kTopSide && profile(to + 1) >= 0.5 * right.value) ++to;
    if (from > 0) --from;  // a point below half height on each side
    if (to + 1 < n) ++to;
    const std::size_t count = to - from + 1;
    if (count < 6 || count > kPairPoints) continue;
    const double origin = static_cast<double>(from);
    std::array<double, kPairPoints> ys, ws;
    // Counting variance, at least a hundredth of the lower top's (no noise
    // level with snr = 0).
    const double floor = std::max(allowance.level, 0.01 * std::min(left.value, right.value));
    for (std::size_t i = 0; i < count; ++i) {
      ys[i] = profile(from + i);
      ws[i] = 1.0 / std::max(ys[i], floor);
    }
    PairFit fit;
    fit.p = {a.apex.height, a.apex.position - origin, b.apex.height, b.apex.position - origin, sigma};
    // The fit is kept only when it explains the points better than the
    // refits do: a spike or a narrow neighbour beside a peak is no Gaussian
    // of the peak's width.
    double separate = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const double x = static_cast<double>(i) + origin;
      const double r = ys[i] - gaussian_at(a, x) - gaussian_at(b, x);
      separate += ws[i] * r * r;
    }
    if (!(fit_pair(ys.data(), ws.data(), count, fit) < separate)) continue;
    const auto& p = fit.p;
    const double x1 = p[1] + origin;
    const double x2 = p[3] + origin;
    // Each apex stays on its own side of the valley and within a width of
    // where its refit put it.
    const double valley = static_cast<double>(right.valley_at);
    if (!(p[4] > 0.5 * sigma && p[4] < 2.0 * sigma) || !(x2 - x1 >= kPairApart * p[4]) || !(x1 < valley) ||
        !(x2 > valley) || !(std::fabs(x1 - a.apex.position) <= p[4]) || !(std::fabs(x2 - b.apex.position) <= p[4]) ||
        !std::isfinite(p[0]) || !std::isfinite(p[2])) {
      continue;
    }
    const double curvature = -0.5 / (p[4] * p[4]);
    placed[k].apex = {x1, p[0]};
    placed[k].curvature = curvature;
    placed[k + 1].apex = {x2, p[2]};
    placed[k + 1].curvature = curvature;
    ++k;
  }
  out.reserve(placed.size());
  for (std::size_t k = 0; k < placed.size(); ++k) {
    const Placed& place = placed[k];
    Apex apex = place.apex;
    // A fit stays within the points of the spectrum and kApexMargin short of
    // halfway to the neighbouring maxima, so positions keep a strict order
    // that survives the calibration (two apexes a hair apart on either side
    // of halfway would share a flight time and an m/z); one that would not
    // (only on odd shapes) keeps its own point, and a height the fit could
    // not give keeps the maximum's value.
    const std::size_t c = place.candidate;
    const std::size_t i = candidates[c].first;
    const std::size_t last = candidates[c].last;
    const double lower =
        c > 0 ? 0.5 * (static_cast<double>(candidates[c - 1].last) + static_cast<double>(i)) + kApexMargin
              : 0.0;
    const double upper =
        c + 1 < candidates.size()
            ? 0.5 * (static_cast<double>(last) + static_cast<double>(candidates[c + 1].first)) - kApexMargin
            : static_cast<double>(n - 1);
    const bool inside = c > 0 ? apex.position > lower : apex.position >= lower;
    const bool below = c + 1 < candidates.size() ? apex.position < upper : apex.position <= upper;
    if (!(inside && below)) {
      apex.position = 0.5 * (static_cast<double>(i) + static_cast<double>(last));
    }
    if (!(std::isfinite(apex.height) && apex.height > 0)) apex.height = candidates[c].value;
    out.push_back(apex);
  }
}

double interpolate_mz(std::span<const double> mz, double position) noexcept {
  const std::size_t n = mz.size();
  if (n == 1) return mz[0];
  if (n == 2) return mz[0] + (mz[1] - mz[0]) * position;
  double nearest = std::round(position);
  nearest = std::clamp(nearest, 1.0, static_cast<double>(n - 2));
  const auto k = static_cast<std::size_t>(nearest);
  const double u = position - nearest;  // in [-0.5, 0.5] inside the ends
  const double before = mz[k - 1];
  const double at = mz[k];
  const double after = mz[k + 1];
  // Lagrange form on the nodes -1, 0, 1.
  return at + 0.5 * u * (after - before) + 0.5 * u * u * (after - 2.0 * at + before);
}

namespace {

float height_as_float(double height) noexcept {
  constexpr double kLargest = std::numeric_limits<float>::max();
  return static_cast<float>(std::min(height, kLargest));
}

}  // namespace

raw::Peaks pick_flight_times(std::span<const float> intensity, const FlightAxis& axis,
                             const raw::calibration::TofCalibration& calibration,
                             const PickSettings& settings) {
  thread_local std::vector<Apex> apexes;
  find_apexes(intensity, settings, apexes);
  raw::Peaks peaks;
  peaks.mz.resize(apexes.size());
  peaks.intensity.resize(apexes.size());
  for (std::size_t k = 0; k < apexes.size(); ++k) {
    peaks.mz[k] = calibration.mz(axis.x0 + apexes[k].position * axis.dx);
    peaks.intensity[k] = height_as_float(apexes[k].height);
  }
  return peaks;
}

raw::Peaks pick_mz(std::span<const double> mz, std::span<const float> intensity,
                   const PickSettings& settings) {
  const std::size_t n = std::min(mz.size(), intensity.size());
  std::vector<Apex> apexes;
  find_apexes(intensity.first(n), settings, apexes);
  raw::Peaks peaks;
  peaks.mz.resize(apexes.size());
  peaks.intensity.resize(apexes.size());
  for (std::size_t k = 0; k < apexes.size(); ++k) {
    peaks.mz[k] = interpolate_mz(mz.first(n), apexes[k].position);
    peaks.intensity[k] = height_as_float(apexes[k].height);
  }
  return peaks;
}

}  // namespace karvel::centroid
