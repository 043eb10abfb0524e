// The fits of a peak's top (see peak_picker.hpp): a Gaussian through its
// logarithms, and two Gaussians of one width by least squares for close
// pairs and unresolved shoulders. Internal to the picker; the top fits read
// the profile through a function of the point, so a refit can see it less
// its neighbours' fitted Gaussians.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "centroid/noise.hpp"
#include "centroid/peak_picker.hpp"

namespace karvel::centroid::detail {

// The vertex of the parabola through (-1, a), (0, b), (1, c) on logarithms,
// for b >= a, b >= c, not all equal: offset in [-0.5, 0.5] and log height.
struct Vertex {
  double offset;
  double log_height;
};

inline Vertex three_point_vertex(double a, double b, double c) noexcept {
  const double curvature = a - 2.0 * b + c;  // < 0 for a maximum that is not flat
  const double offset = 0.5 * (a - c) / curvature;
  return {offset, b - 0.25 * (a - c) * offset};
}

// Coefficients of y = c0 + c1 x + c2 x^2.
struct Parabola {
  double c0 = 0;
  double c1 = 0;
  double c2 = 0;
};

// Weighted least-squares parabola through the n points; false when the
// points do not determine one.
inline bool fit_parabola(const double* xs, const double* ys, const double* ws, std::size_t n, Parabola& fit) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;  // sums of w x^k
  double t0 = 0, t1 = 0, t2 = 0;                  // sums of w y x^k
  for (std::size_t k = 0; k < n; ++k) {
    const double x = xs[k];
    const double y = ys[k];
    const double w1 = ws[k];
    const double w2 = w1 * x;
    const double w3 = w2 * x;
    const double w4 = w3 * x;
    s0 += w1;
    t0 += y * w1;
    s1 += w2;
    t1 += y * w2;
    s2 += w3;
    t2 += y * w3;
    s3 += w4;
    s4 += w4 * x;
  }
  // Cramer's rule on the normal equations: the matrix rows (s0 s1 s2),
  // (s1 s2 s3), (s2 s3 s4), a column at a time replaced by (t0 t1 t2).
  auto det = [](double a00, double a01, double a02, double a10, double a11, double a12, double a20, double a21,
                double a22) {
    return a00 * (a11 * a22 - a12 * a21) - a01 * (a10 * a22 - a12 * a20) + a02 * (a10 * a21 - a11 * a20);
  };
  const double d = det(s0, s1, s2, s1, s2, s3, s2, s3, s4);
  if (!(std::fabs(d) > 1e-12 * std::fabs(s0 * s2 * s4)) || !std::isfinite(d)) return false;
  fit = {det(t0, s1, s2, t1, s2, s3, t2, s3, s4) / d, det(s0, t0, s2, s1, t1, s3, s2, t2, s4) / d,
         det(s0, s1, t0, s1, s2, t1, s2, s3, t2) / d};
  return std::isfinite(fit.c0) && std::isfinite(fit.c1) && std::isfinite(fit.c2);
}

// The points a top fit may reach: [low, high), which leaves out the valleys
// toward the neighbouring maxima and all beyond them.
struct Window {
  std::size_t low = 0;
  std::size_t high = 0;
};

// Two neighbours that lift each other's top by more than kPairShare (closer
// than about 1.45 FWHM for equal peaks), and nothing else that lifts either,
// are fitted together: the sum of two Gaussians of one width, by weighted
// least squares on the intensities themselves (Levenberg-Marquardt, each
// point weighted by the inverse of its counting variance) over the points
// of both tops down to half height. Taking a neighbour's fitted Gaussian off
// and fitting again cannot do that: each first fit is lifted and widened
// by the other, so the refits start from, and stay near, apexes pulled
// together or pushed apart.
constexpr double kPairShare = 0.003;
constexpr int kPairIterations = 12;
// Two Gaussians of one width closer than twice it make one maximum, so a
// pair fit closer than that is one peak's two noisy maxima: kept as they are.
constexpr double kPairApart = 2.0;
// Refits whose widths differ by more than this factor are not two peaks of
// one width (one of them is itself an unresolved pair, or a ripple).
constexpr double kPairWidths = 1.5;

// The parameters of a pair fit: heights, positions (relative to `origin`)
// and the shared sigma, in points.
struct PairFit {
  std::array<double, 5> p{};  // h1, x1, h2, x2, sigma
};

// Solves the symmetric positive definite system a x = b (5 x 5) in place by
// Cholesky; false when a is not positive definite.
inline bool solve5(std::array<std::array<double, 5>, 5> a, std::array<double, 5>& b) {
  constexpr int n = 5;
  for (int j = 0; j < n; ++j) {
    double d = a[j][j];
    for (int k = 0; k < j; ++k) d -= a[j][k] * a[j][k];
    if (!(d > 0.0)) return false;
    a[j][j] = std::sqrt(d);
    for (int i = j + 1; i < n; ++i) {
      double v = a[i][j];
      for (int k = 0; k < j; ++k) v -= a[i][k] * a[j][k];
      a[i][j] = v / a[j][j];
    }
  }
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < i; ++k) b[i] -= a[i][k] * b[k];
    b[i] /= a[i][i];
  }
  for (int i = n - 1; i >= 0; --i) {
    for (int k = i + 1; k < n; ++k) b[i] -= a[k][i] * b[k];
    b[i] /= a[i][i];
  }
  return std::ranges::all_of(b, [](double v) { return std::isfinite(v); });
}

// exp(-(i - centre)^2 / (2 sigma^2)) for i = 0 .. n - 1, into out: from the
// point nearest the centre outward, each value the one before times the
// ratio of neighbours, which itself changes by a constant factor a point
// (an exp a side instead of one a point; the products drift from exp by
// about n^2 / 2 roundings, some 1e-12 for the longest rows fitted).
inline void gaussian_row(std::size_t n, double centre, double sigma, double* out) {
  const double a = 1.0 / (2.0 * sigma * sigma);
  if (n == 0) return;
  if (!std::isfinite(centre) || !std::isfinite(a)) {
    std::fill(out, out + n, std::numeric_limits<double>::quiet_NaN());
    return;
  }
  const double nearest = std::clamp(std::round(centre), 0.0, static_cast<double>(n - 1));
  const auto k = static_cast<std::size_t>(nearest);
  const double d = nearest - centre;
  const double q = std::exp(-2.0 * a);
  out[k] = std::exp(-d * d * a);
  double ratio = std::exp(-a * (2.0 * d + 1.0));  // out[i + 1] / out[i]
  for (std::size_t i = k; i + 1 < n; ++i) {
    out[i + 1] = out[i] * ratio;
    ratio *= q;
  }
  ratio = std::exp(-a * (1.0 - 2.0 * d));  // out[i - 1] / out[i]
  for (std::size_t i = k; i > 0; --i) {
    out[i - 1] = out[i] * ratio;
    ratio *= q;
  }
}

// The most points a pair fit takes.
constexpr std::size_t kPairPoints = 96;

// Fits the pair to the points ys at positions 0 .. n - 1 (at most
// kPairPoints) with weights ws from the start in fit, keeping both heights
// and the width positive; the weighted sum of squared residuals it
// reaches. alone: the second Gaussian stays as it starts (height 0 fits a
// single Gaussian).
inline double fit_pair(const double* ys, const double* ws, std::size_t n, PairFit& fit, bool alone = false) {
  // The two Gaussians of unit height at the parameters last evaluated.
  std::array<double, kPairPoints> e1s, e2s;
  auto rows = [&](const std::array<double, 5>& p) {
    gaussian_row(n, p[1], p[4], e1s.data());
    if (alone) {
      std::fill(e2s.begin(), e2s.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
    } else {
      gaussian_row(n, p[3], p[4], e2s.data());
    }
  };
  auto chi2_of = [&](const std::array<double, 5>& p) {
    rows(p);
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double r = ys[i] - p[0] * e1s[i] - p[2] * e2s[i];
      sum += ws[i] * r * r;
    }
    return sum;
  };
  double chi2 = chi2_of(fit.p);
  double lambda = 1e-3;
  for (int iteration = 0; iteration < kPairIterations; ++iteration) {
    std::array<std::array<double, 5>, 5> a{};
    std::array<double, 5> b{};
    const auto& p = fit.p;
    const double s2 = p[4] * p[4];
    // The rows hold fit.p's Gaussians: the last chi2_of was of fit.p (the
    // start, or the step just taken).
    for (std::size_t i = 0; i < n; ++i) {
      const double x = static_cast<double>(i);
      const double d1 = x - p[1];
      const double d2 = x - p[3];
      const double e1 = e1s[i];
      const double e2 = e2s[i];
      const double g1 = p[0] * e1;
      const double g2 = p[2] * e2;
      const double r = ys[i] - g1 - g2;
      const std::array<double, 5> j = {e1, g1 * d1 / s2, e2, g2 * d2 / s2,
                                       (g1 * d1 * d1 + g2 * d2 * d2) / (s2 * p[4])};
      for (int u = 0; u < 5; ++u) {
        b[u] += ws[i] * j[u] * r;
        for (int v = 0; v <= u; ++v) a[u][v] += ws[i] * j[u] * j[v];
      }
    }
    for (int u = 0; u < 5; ++u) {
      for (int v = u + 1; v < 5; ++v) a[u][v] = a[v][u];
    }
    if (alone) {
      for (const int u : {2, 3}) {
        for (int v = 0; v < 5; ++v) a[u][v] = a[v][u] = 0.0;
        a[u][u] = 1.0;
        b[u] = 0.0;
      }
    }
    bool improved = false;
    while (lambda < 1e8) {
      auto damped = a;
      auto step = b;
      for (int u = 0; u < 5; ++u) damped[u][u] *= 1.0 + lambda;
      if (solve5(damped, step)) {
        std::array<double, 5> next = p;
        for (int u = 0; u < 5; ++u) next[u] += step[u];
        if (next[0] > 0 && (next[2] > 0 || alone) && next[4] > 0) {
          const double next_chi2 = chi2_of(next);
          if (next_chi2 <= chi2) {
            const bool done = chi2 - next_chi2 <= 1e-6 * chi2;
            fit.p = next;
            chi2 = next_chi2;
            lambda = std::max(lambda / 4.0, 1e-9);
            improved = true;
            if (done) return chi2;
            break;
          }
        }
      }
      lambda *= 8.0;
    }
    if (!improved) return chi2;  // no step lowers it: a minimum
  }
  return chi2;
}

// The Gaussian fitted to the top of the maximum [first, last] (equal
// points of intensity `value`, both neighbours positive): a parabola fitted
// to the logarithms of the points from the maximum down to half its value
// on each side (at least the two neighbours, at most kTopSide points a
// side; not above the maximum, not past a rise of more than the allowance
// over the lowest point passed, which is a valley before another peak, and
// within the window),
// each weighted by its intensity squared, the inverse of the variance of
// its logarithm. with_top: the maximum's own points are fitted too;
// without, only the flanks (for a plateau, whose top has lost its shape).
// shoulders: a top lifted on one side by an unresolved neighbour is fitted
// by its steeper flank (first fits only; refits have their neighbours taken
// off). False when the points do not give a peak within them.
constexpr std::size_t kTopSide = 32;
constexpr std::size_t kSideRatio = 2;
// A flank that reaches half height more than kShoulderRatio times as far
// from the vertex as the other, plus kShoulderNoise times the relative
// counting noise at half height, carries an unresolved shoulder.
constexpr double kShoulderRatio = 1.05;
constexpr double kShoulderNoise = 4.0;
constexpr double kShoulderShift = 0.5;

// A fitted top: the apex and the curvature of the log parabola (-1 / (2
// sigma^2) of the Gaussian, in points).
struct TopFit {
  Apex apex;
  double curvature = 0;
};

// A top with an unresolved shoulder as two Gaussians of one width: fitted
// to the points [from, to] (the top down to half height and a point below
// on each side) by fit_pair, from the major at `apex` with the width of the
// steep flank (its half width at half height `narrow`) and a minor of a
// third of it a width and a half toward the shoulder's side `side` (+1
// right, -1 left). Kept when it explains the points clearly better than
// the single Gaussian `single` (a log parabola about `centre`, relative to
// `value`): the drop in the weighted squared residuals per added parameter
// is more than `split` times what is left per point beyond the five
// parameters, over at least kShoulderPoints points (fewer leave the test to
// chance); and when the major lies on the steep side of the minor, at
// least kShoulderApart widths from it, the minor at least `minor_share`
// of its height. Only the major is reported: the
// minor has no maximum of its own, and a tailing flank fits as one too.
constexpr double kShoulderSplit = 30.0;
constexpr std::size_t kShoulderPoints = 10;
constexpr double kShoulderApart = 1.0;
// A top that fails the shoulder test but is still lopsided by more than
// kFlatNoise times the relative counting noise at half height (a pair of
// about one height closer than one maximum's width apart leaves only
// that) is split on kFlatSplit, with a minor of at least kFlatShare of the
// major.
constexpr double kFlatNoise = 1.0;
constexpr double kFlatSplit = 300.0;
constexpr double kFlatShare = 0.5;

// A slight shoulder (a minor of a tenth or less, whose top fails both tests
// above) still pulls the whole-top fit toward it, the more so the further
// down the fit reaches on its side. A top lopsided by more than kFlatNoise
// times the counting noise (the `lopsided` test), of at least kSlightPoints
// points down to a point below half height on each side, is fitted again
// as two Gaussians of one width over a wider reach: kSlightReach times the
// steep flank's half width further on each side, where the minor's flank
// stands clear of the major's. The major is reported when the pair
// explains these points better than one Gaussian fitted the same way by
// kSlightSplit (the ratio of the shoulder test) and it lies on the steep
// side of the whole-top vertex, at most kSlightMove points from it: only
// the major's apex moves, back from where the shoulder pulled it.
constexpr std::size_t kSlightPoints = 9;
constexpr double kSlightReach = 1.0;
constexpr double kSlightSplit = 20.0;
constexpr double kSlightMove = 1.0;

// The points [from, to] of a top as the pair fits see them (at positions
// 0, 1, ... from `origin`, which is from): values and counting weights (the inverse
// of each value, at least `floor`). False when they are too many, or too few
// to leave a point beyond the five parameters.
static_assert(3 * kTopSide == kPairPoints);
struct TopPoints {
  std::array<double, kPairPoints> ys, ws;
  std::size_t count = 0;
  double origin = 0;
};

template <typename ValueAt>
bool load_top(ValueAt value_at, std::size_t from, std::size_t to, double floor, TopPoints& points) {
  points.count = to - from + 1;
  if (points.count < 6 || points.count > kPairPoints) return false;
  points.origin = static_cast<double>(from);
  for (std::size_t i = 0; i < points.count; ++i) {
    points.ys[i] = value_at(from + i);
    points.ws[i] = 1.0 / std::max(points.ys[i], floor);
  }
  return true;
}

// A pair fit's major and minor, at absolute positions.
struct MajorMinor {
  double major_x, minor_x, major_h, minor_h;
};

inline MajorMinor major_minor(const PairFit& fit, double origin) {
  const auto& p = fit.p;
  const bool right_major = p[2] > p[0];
  return {(right_major ? p[3] : p[1]) + origin, (right_major ? p[1] : p[3]) + origin, right_major ? p[2] : p[0],
          right_major ? p[0] : p[2]};
}

// Whether the pair fitted with width `width` is a major with its minor
// toward `side` (+1 right, -1 left), at least kShoulderApart widths from it,
// the width within a factor of 2 of the expected `sigma`.
inline bool minor_toward(const MajorMinor& pair, double width, double sigma, double side) {
  return width > 0.5 * sigma && width < 2.0 * sigma && std::fabs(pair.major_x - pair.minor_x) >= kShoulderApart * width &&
         (pair.minor_x - pair.major_x) * side > 0 && std::isfinite(pair.major_h);
}

// The start of a pair fit: the major at x (relative) of height h, a minor of
// h / ratio a width and a half toward `side`, both of width sigma.
inline PairFit pair_start(double h, double x, double ratio, double side, double sigma) {
  PairFit fit;
  fit.p = {h, x, h / ratio, x + side * 1.5 * sigma, sigma};
  if (side < 0) {
    std::swap(fit.p[0], fit.p[2]);
    std::swap(fit.p[1], fit.p[3]);
  }
  return fit;
}

// Whether the pair explains `count` points better than one Gaussian by
// `split`: the drop in the weighted squared residuals (`one` to `two`) per
// added parameter over what is left per point beyond the five parameters.
inline bool splits(double one, double two, std::size_t count, double split) {
  return (one - two) / 2.0 > split * two / static_cast<double>(count - 5);
}

template <typename ValueAt>
bool fit_shoulder_pair(ValueAt value_at, std::size_t from, std::size_t to, double apex, double value,
                       const Parabola& single, double centre, double narrow, double side, const Allowance& allowance,
                       double split, double minor_share, TopFit& result) {
  TopPoints points;
  if (to - from + 1 < kShoulderPoints ||
      !load_top(value_at, from, to, std::max(allowance.level, 0.01 * value), points)) {
    return false;
  }
  double one = 0;
  for (std::size_t i = 0; i < points.count; ++i) {
    const double x = static_cast<double>(i) + points.origin - centre;
    const double r = points.ys[i] - value * std::exp(single.c0 + single.c1 * x + single.c2 * x * x);
    one += points.ws[i] * r * r;
  }
  const double sigma = narrow / std::sqrt(2.0 * std::log(2.0));
  PairFit fit = pair_start(value, apex - points.origin, 3.0, side, sigma);
  const double two = fit_pair(points.ys.data(), points.ws.data(), points.count, fit);
  if (!splits(one, two, points.count, split)) return false;
  const MajorMinor pair = major_minor(fit, points.origin);
  const double width = fit.p[4];
  if (!(pair.minor_h >= minor_share * pair.major_h) || !minor_toward(pair, width, sigma, side) ||
      !(pair.major_x >= points.origin && pair.major_x <= static_cast<double>(to))) {
    return false;
  }
  result = {{pair.major_x, std::max(pair.major_h, 0.0)}, -0.5 / (width * width)};
  return true;
}

// The slight shoulder fit (above) over the points [from, to], the
// whole-top vertex at `apex`, the shoulder toward `side`.
template <typename ValueAt>
bool fit_slight_shoulder(ValueAt value_at, std::size_t from, std::size_t to, double apex, double value,
                         double narrow, double side, const Allowance& allowance, TopFit& result) {
  TopPoints points;
  if (!load_top(value_at, from, to, std::max(allowance.level, 0.01 * value), points)) return false;
  const double* ys = points.ys.data();
  const double* ws = points.ws.data();
  // One Gaussian, fitted as the pair is (the second held at height 0).
  PairFit single;
  single.p = {value, apex - points.origin, 0.0, apex - points.origin, narrow / std::sqrt(2.0 * std::log(2.0))};
  const double one = fit_pair(ys, ws, points.count, single, true);
  const double sigma = single.p[4];
  PairFit fit = pair_start(single.p[0], single.p[1], 10.0, side, sigma);
  const double two = fit_pair(ys, ws, points.count, fit);
  if (!splits(one, two, points.count, kSlightSplit)) return false;
  const MajorMinor pair = major_minor(fit, points.origin);
  const double width = fit.p[4];
  const double moved = (apex - pair.major_x) * side;
  if (!minor_toward(pair, width, sigma, side) || !(moved >= 0.0 && moved <= kSlightMove)) return false;
  result = {{pair.major_x, std::max(pair.major_h, 0.0)}, -0.5 / (width * width)};
  return true;
}

// value_at(i): the signal at point i (the profile's, or less what fitted
// neighbours contribute).
template <typename ValueAt>
bool fit_top(ValueAt value_at, std::size_t size, std::size_t first, std::size_t last, double value,
             const Allowance& allowance, const Window& window, bool with_top, bool shoulders, TopFit& result) {
  const double half = 0.5 * value;
  // The flanks of a plateau take two points a side even below half height.
  const std::size_t sure = with_top ? 1 : 2;
  auto inside = [&](double outer, std::size_t taken, double& lowest) {
    if (!(outer > 0.0) || (outer < half && taken >= sure) || outer > value ||
        outer > lowest + allowance.at(lowest)) {
      return false;
    }
    lowest = std::min(lowest, outer);
    return true;
  };
  if (!(value_at(first - 1) > 0.0) || !(value_at(last + 1) > 0.0)) return false;
  std::size_t low = first - 1;
  double lowest = value_at(low);
  while (low > window.low && first - low < kTopSide && inside(value_at(low - 1), first - low, lowest)) {
    --low;
  }
  std::size_t high = last + 1;
  lowest = value_at(high);
  while (high + 1 < std::min(window.high, size) && high - last < kTopSide &&
         inside(value_at(high + 1), high - last, lowest)) {
    ++high;
  }
  // A side at most kSideRatio times as long as the other (and a point): a
  // side that reaches much further down only because something lifts it (a
  // shoulder, a neighbour's flank) would pull the vertex its way.
  const std::size_t walked_low = low;
  const std::size_t walked_high = high;
  const std::size_t left = first - low;
  const std::size_t right = high - last;
  low = first - std::min(left, kSideRatio * right + 1);
  high = last + std::min(right, kSideRatio * left + 1);
  const double centre = 0.5 * (static_cast<double>(first) + static_cast<double>(last));
  double xs[2 * kTopSide + 2];
  double ys[2 * kTopSide + 2];
  double ws[2 * kTopSide + 2];
  std::size_t n = 0;
  auto fit_points = [&](std::size_t from, std::size_t to, Parabola& fit) {
    n = 0;
    for (std::size_t i = from; i <= to; ++i) {
      if (!with_top && i >= first && i <= last) continue;
      const double v = value_at(i);
      if (!(v > 0.0)) return false;
      xs[n] = static_cast<double>(i) - centre;
      ys[n] = std::log(v / value);  // relative to the top: values near 0
      ws[n] = (v / value) * (v / value);
      ++n;
    }
    return n >= 3 && fit_parabola(xs, ys, ws, n, fit) && fit.c2 < 0;
  };
  Parabola fit;
  if (!fit_points(low, high, fit)) return false;
  double offset = -fit.c1 / (2.0 * fit.c2);
  // On a noisy wide top the highest point may lie a few points off the
  // centre; the vertex must lie within the points fitted.
  if (!(offset >= xs[0] && offset <= xs[n - 1])) return false;
  // An unresolved shoulder: one flank reaches half height markedly further
  // from the vertex than the other, by more than the counting noise at half
  // height can move it. The shoulder's side lifts the top toward it, so the
  // top is fitted again from the steeper flank up to the maximum's last
  // point, whose vertex may lie up to a point beyond.
  if (shoulders && with_top && first == last && walked_low > window.low && walked_high + 1 < std::min(window.high, size)) {
    const double below_left = value_at(walked_low - 1);
    const double below_right = value_at(walked_high + 1);
    if (below_left > 0.0 && below_left < half && below_right > 0.0 && below_right < half &&
        value_at(walked_low) >= half && value_at(walked_high) >= half) {
      // Where the flank crosses half height, between a point at least half
      // high and the next one below (linearly: on a Gaussian's flank that is
      // off by a few thousandths of its half width).
      auto crossing = [&](std::size_t above, double below, double step) {
        const double v = value_at(above);
        return static_cast<double>(above) - centre + step * (v - half) / (v - below);
      };
      const double to_left = offset - crossing(walked_low, below_left, -1.0);
      const double to_right = crossing(walked_high, below_right, 1.0) - offset;
      const bool left_steep = to_right > to_left;
      const double wide = left_steep ? to_right : to_left;
      const double narrow = left_steep ? to_left : to_right;
      // A resolved neighbour on the shoulder's side (its valley within twice
      // the shoulder's half-height reach) is no shoulder: the refits take it off.
      const bool clear = left_steep ? window.high - last > 2 * (walked_high + 1 - last)
                                    : first + 1 - window.low > 2 * (first + 1 - walked_low);
      const bool shoulder =
          wide > kShoulderRatio * narrow && clear &&
          wide > (kShoulderRatio + kShoulderNoise * allowance.at(half) / (kRippleNoise * half)) * narrow;
      // A top lopsided by less than that, or flattened by two peaks of
      // about one height, is split too, on far stronger evidence.
      const bool lopsided = clear && wide > (1.0 + kFlatNoise * allowance.at(half) / (kRippleNoise * half)) * narrow;
      if ((shoulder || lopsided) &&
          fit_shoulder_pair(value_at, walked_low - 1, walked_high + 1, centre + offset, value, fit, centre, narrow,
                            left_steep ? 1.0 : -1.0, allowance, shoulder ? kShoulderSplit : kFlatSplit,
                            shoulder ? 0.0 : kFlatShare, result)) {
        return true;
      }
      if (lopsided && walked_high - walked_low + 3 >= kSlightPoints) {
        std::size_t from = walked_low - 1;
        std::size_t to = walked_high + 1;
        const auto reach = static_cast<std::size_t>(std::ceil(kSlightReach * narrow));
        for (std::size_t k = 0; k < reach && from > window.low && value_at(from - 1) > 0.0; ++k) --from;
        for (std::size_t k = 0; k < reach && to + 1 < std::min(window.high, size) && value_at(to + 1) > 0.0; ++k) {
          ++to;
        }
        if (fit_slight_shoulder(value_at, from, to, centre + offset, value, narrow, left_steep ? 1.0 : -1.0,
                                allowance, result)) {
          return true;
        }
      }
      Parabola steep;
      if (shoulder && (left_steep ? fit_points(walked_low, last, steep) : fit_points(first, walked_high, steep))) {
        const double steep_offset = -steep.c1 / (2.0 * steep.c2);
        const double reach_low = left_steep ? xs[0] : xs[0] - 1.0;
        const double reach_high = left_steep ? xs[n - 1] + 1.0 : xs[n - 1];
        const double moved = left_steep ? offset - steep_offset : steep_offset - offset;
        if (steep_offset >= reach_low && steep_offset <= reach_high && moved >= 0.0 && moved <= kShoulderShift) {
          fit = steep;
          offset = steep_offset;
        }
      }
    }
  }
  const double height = value * std::exp(fit.c0 - fit.c1 * fit.c1 / (4.0 * fit.c2));
  if (!std::isfinite(height)) return false;
  result = {{centre + offset, std::max(height, value)}, fit.c2};
  return true;
}

}  // namespace karvel::centroid::detail
