#include "centroid/peak_picker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace karvel::centroid {
namespace {

// An intensity as signal: non-finite and non-positive values are zero.
inline double signal(float value) noexcept {
  return std::isfinite(value) && value > 0.0f ? static_cast<double>(value) : 0.0;
}

// The vertex of the parabola through (-1, a), (0, b), (1, c) on logarithms,
// for b >= a, b >= c, not all equal: offset in [-0.5, 0.5] and log height.
struct Vertex {
  double offset;
  double log_height;
};

Vertex three_point_vertex(double a, double b, double c) noexcept {
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
bool fit_parabola(const double* xs, const double* ys, const double* ws, std::size_t n, Parabola& fit) {
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

// How far a dip may go before it separates two maxima: kRippleNoise times
// the noise spread expected at the level of the dip. Counting noise grows
// as the square root of the level, so the baseline's spread is scaled by
// sqrt(level / noise level) above the noise level.
struct Allowance {
  double level = 0;   // the noise level
  double spread = 0;  // the baseline's point-to-point spread

  double at(double height) const noexcept {
    if (!(level > 0)) return 0.0;
    return kRippleNoise * spread * std::sqrt(std::max(height, level) / level);
  }
};

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
bool solve5(std::array<std::array<double, 5>, 5> a, std::array<double, 5>& b) {
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
void gaussian_row(std::size_t n, double centre, double sigma, double* out) {
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
double fit_pair(const double* ys, const double* ws, std::size_t n, PairFit& fit, bool alone = false) {
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

MajorMinor major_minor(const PairFit& fit, double origin) {
  const auto& p = fit.p;
  const bool right_major = p[2] > p[0];
  return {(right_major ? p[3] : p[1]) + origin, (right_major ? p[1] : p[3]) + origin, right_major ? p[2] : p[0],
          right_major ? p[0] : p[2]};
}

// Whether the pair fitted with width `width` is a major with its minor
// toward `side` (+1 right, -1 left), at least kShoulderApart widths from it,
// the width within a factor of 2 of the expected `sigma`.
bool minor_toward(const MajorMinor& pair, double width, double sigma, double side) {
  return width > 0.5 * sigma && width < 2.0 * sigma && std::fabs(pair.major_x - pair.minor_x) >= kShoulderApart * width &&
         (pair.minor_x - pair.major_x) * side > 0 && std::isfinite(pair.major_h);
}

// The start of a pair fit: the major at x (relative) of height h, a minor of
// h / ratio a width and a half toward `side`, both of width sigma.
PairFit pair_start(double h, double x, double ratio, double side, double sigma) {
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

}  // namespace

namespace {

// An intensity as signal, in float: non-finite and non-positive values are
// zero (without a branch).
inline float signal_float(float value) noexcept {
  return ((value > 0.0f) & (value <= std::numeric_limits<float>::max())) ? value : 0.0f;
}

// True when the eight values at data are all +0.0 (bit patterns zero).
inline bool eight_zeros(const float* data) noexcept {
  std::uint64_t words[4];
  std::memcpy(words, data, sizeof words);
  return (words[0] | words[1] | words[2] | words[3]) == 0;
}

// The noise of a profile (see the header), from an evenly strided sample of
// at most kNoiseSample of its points: the level is the median of the
// sample, zeros included; when half of it or more is zero, the low
// kZeroedQuantile of its positive values (of all the profile's positive
// values when the sample holds fewer than kZeroedSample). The spread is the
// median difference over 0.954 (the standard deviation of Gaussian noise)
// between the sampled points and the points after them where both are
// positive and at most twice the level (baseline beside baseline); at least
// a tenth of the level and at most the level, and the level itself when
// fewer than kSpreadPairs such pairs were sampled (a zeroed baseline hides
// its spread).
constexpr std::size_t kSpreadPairs = 16;
constexpr std::size_t kZeroedSample = 512;

Allowance estimate_noise(std::span<const float> intensity) {
  thread_local std::vector<float> sample;
  thread_local std::vector<float> differences;
  const std::size_t n = intensity.size();
  if (n == 0) return {};
  const float* const data = intensity.data();
  const std::size_t stride = (n + kNoiseSample - 1) / kNoiseSample;
  sample.clear();
  std::size_t zeros = 0;
  for (std::size_t k = 0; k < n; k += stride) {
    const float value = signal_float(data[k]);
    zeros += value == 0.0f;
    sample.push_back(value);
  }
  double level = 0;
  if (2 * zeros < sample.size()) {
    const auto middle = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2);
    std::nth_element(sample.begin(), middle, sample.end());
    level = *middle;
  } else {
    std::erase(sample, 0.0f);
    if (sample.size() < kZeroedSample) {
      sample.clear();
      // Eight points a step: zero runs are the bulk of such a profile.
      for (std::size_t i = 0; i < n; i += 8) {
        if (i + 8 <= n && eight_zeros(data + i)) continue;
        for (std::size_t k = i; k < std::min(n, i + 8); ++k) {
          const float value = signal_float(data[k]);
          if (value > 0.0f) sample.push_back(value);
        }
      }
    }
    if (sample.empty()) return {};
    const auto rank = static_cast<std::size_t>(kZeroedQuantile * static_cast<double>(sample.size() - 1) + 0.5);
    const auto at = sample.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(sample.begin(), at, sample.end());
    level = *at;
  }
  differences.clear();
  const float top = static_cast<float>(2.0 * level);
  for (std::size_t k = 0; k + 1 < n; k += stride) {
    const float a = signal_float(data[k]);
    const float b = signal_float(data[k + 1]);
    if (a > 0.0f && b > 0.0f && a <= top && b <= top) differences.push_back(std::fabs(a - b));
  }
  double spread = level;
  if (differences.size() >= kSpreadPairs) {
    const auto middle = differences.begin() + static_cast<std::ptrdiff_t>(differences.size() / 2);
    std::nth_element(differences.begin(), middle, differences.end());
    spread = std::clamp(static_cast<double>(*middle) / 0.954, 0.1 * level, level);
  }
  return {level, spread};
}

}  // namespace

double noise_level(std::span<const float> intensity) { return estimate_noise(intensity).level; }

namespace {

// A maximum: the equal points [first, last], their value, and the lowest
// intensity between the previous maximum (in position order) and this one,
// at valley_at (its last point when several are equal).
struct Candidate {
  std::size_t first;
  std::size_t last;
  double value;
  double valley_before;
  std::size_t valley_at;
};

// The lowest signal met since the previous maximum and its last position
// (ties move it on).
struct Valley {
  float value = std::numeric_limits<float>::infinity();
  std::size_t at = 0;

  void pass(float signal_value, std::size_t i) noexcept {
    if (signal_value <= value) {
      value = signal_value;
      at = i;
    }
  }
};

// Points are passed over in blocks of kBlock: a block none of whose points
// reaches the floor holds no maximum, and only its lowest signal matters.
constexpr std::size_t kBlock = 8;  // as eight_zeros

// Four floats in a vector register (SSE on x86-64, NEON on arm64) through
// the compiler's vector extension, and their comparison masks.
using Float4 = float __attribute__((vector_size(16)));
using Mask4 = std::int32_t __attribute__((vector_size(16)));

// The lowest signal (signal_float) of the kBlock points at data, or -1 when
// any of them reaches floor (which NaN never does): a lane that reaches
// the floor counts as -1, below every signal, so that one reduction across
// the lanes answers both.
inline float block_lowest(const float* data, float floor) noexcept {
  static_assert(kBlock % 4 == 0);
  const Float4 floors = {floor, floor, floor, floor};
  const Float4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
  const Float4 below_all = {-1.0f, -1.0f, -1.0f, -1.0f};
  Float4 low = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
  for (std::size_t k = 0; k < kBlock; k += 4) {
    Float4 values;
    std::memcpy(&values, data + k, sizeof values);
    // Under the floor, a value that is not positive (NaN, negative, -inf)
    // is zero: +0.0 is all bits zero; +inf reaches the floor.
    const Float4 signal_values = reinterpret_cast<Float4>(reinterpret_cast<Mask4>(values) & (values > zero));
    const Float4 lane = values >= floors ? below_all : signal_values;
    low = lane < low ? lane : low;
  }
  const Float4 swapped = __builtin_shufflevector(low, low, 2, 3, 0, 1);
  low = swapped < low ? swapped : low;
  const Float4 turned = __builtin_shufflevector(low, low, 1, 0, 3, 2);
  low = turned < low ? turned : low;
  return low[0];
}

// Every maximum of the profile at least `threshold` high (every positive
// one for threshold 0), in position order, into out, each with the lowest
// point between it and the one before (0 at point 0 for the first). One
// pass: points under the threshold are passed over a block at a time, and
// the lowest point since the previous maximum is kept on the way.
void find_candidates(std::span<const float> intensity, double threshold, std::vector<Candidate>& out) {
  out.clear();
  const std::size_t n = intensity.size();
  const float* const data = intensity.data();
  // The smallest float at least threshold, and above 0.
  float floor_value = static_cast<float>(threshold);
  if (static_cast<double>(floor_value) < threshold) floor_value = std::nextafter(floor_value, 1.0f / 0.0f);
  floor_value = std::max(floor_value, std::numeric_limits<float>::denorm_min());
  Valley valley;  // since the previous maximum
  bool any = false;
  std::size_t i = 0;
  while (i < n) {
    // signal_float maps NaN, infinities and negatives to 0, under the floor.
    bool found = false;
    while (!found && i < n) {
      if (data[i] == 0.0f && i + kBlock <= n && eight_zeros(data + i)) {
        valley = {0.0f, i + kBlock - 1};  // zero runs: the bulk of many profiles
        i += kBlock;
        continue;
      }
      const float lowest = i + kBlock <= n ? block_lowest(data + i, floor_value) : -1.0f;
      if (lowest >= 0.0f) {
        if (lowest <= valley.value) {
          std::size_t k = kBlock - 1;
          while (signal_float(data[i + k]) != lowest) --k;
          valley = {lowest, i + k};
        }
        i += kBlock;
        continue;
      }
      // A block that reaches the floor (or the last points): one at a time.
      for (const std::size_t stop = std::min(n, i + kBlock); i < stop; ++i) {
        const float value = signal_float(data[i]);
        if (value >= floor_value) {
          found = true;
          break;
        }
        valley.pass(value, i);
      }
    }
    if (!found) break;
    const float value = signal_float(data[i]);
    const float before = i > 0 ? signal_float(data[i - 1]) : 0.0f;
    if (value <= before) {
      valley.pass(value, i++);
      continue;
    }
    // A rise to value at i: extend over the equal points that follow.
    std::size_t last = i;
    while (last + 1 < n && signal_float(data[last + 1]) == value) ++last;
    const float next = last + 1 < n ? signal_float(data[last + 1]) : 0.0f;
    if (next < value) {
      const Valley before_this = any ? valley : Valley{0.0f, 0};
      out.push_back({i, last, value, before_this.value, before_this.at});
      valley = Valley{};
      any = true;
    } else {
      for (std::size_t k = i; k <= last; ++k) valley.pass(value, k);
    }
    i = last + 1;
  }
}

// Keeps the maxima that can be reported: at least `threshold` high and,
// unless keep_spikes, not single-point spikes (maxima of one point whose
// neighbours both lie below kSpikeFraction of it: a sampled peak has at
// least two points well above that). The valley before a dropped maximum
// carries over to the next, so valleys stay the lowest point between the
// kept ones.
void keep_reportable(std::span<const float> intensity, std::vector<Candidate>& candidates, double threshold,
                     bool keep_spikes) {
  const std::size_t n = intensity.size();
  std::size_t kept = 0;
  double carried = std::numeric_limits<double>::infinity();
  std::size_t carried_at = 0;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const Candidate& current = candidates[k];
    if (current.valley_before < carried) {
      carried = current.valley_before;
      carried_at = current.valley_at;
    }
    if (current.value < threshold) continue;
    if (!keep_spikes && current.first == current.last) {
      const double before = current.first > 0 ? signal(intensity[current.first - 1]) : 0.0;
      const double after = current.last + 1 < n ? signal(intensity[current.last + 1]) : 0.0;
      if (std::max(before, after) < kSpikeFraction * current.value) continue;
    }
    candidates[kept] = current;
    candidates[kept].valley_before = carried;
    candidates[kept].valley_at = carried_at;
    ++kept;
    carried = std::numeric_limits<double>::infinity();
  }
  candidates.resize(kept);
}

// True when the maximum `lower`, separated from the higher `higher` by the
// lowest value `valley`, is a ripple on it: it falls short of the valley by
// less than the noise allows. Within the upper half of the higher maximum
// (on its top) that is the allowance at the valley's level; lower down (a
// peak on the other's tail) the baseline's, so minor neighbours stay. A
// zero between them always separates them.
inline bool is_ripple(double lower, double higher, double valley, const Allowance& allowance) {
  if (valley == 0.0) return false;
  const double allowed = valley >= 0.5 * higher ? allowance.at(valley) : allowance.at(0.0);
  return lower - valley < allowed;
}

// Drops the maxima that are ripples on a higher one's top (is_ripple) on the
// way to it. Runs over the maxima once with a stack of the kept ones.
void drop_ripples(std::vector<Candidate>& candidates, const Allowance& allowance) {
  std::size_t kept = 0;  // candidates[0, kept) is the stack
  double carried = std::numeric_limits<double>::infinity();  // valley over dropped ones
  std::size_t carried_at = 0;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    Candidate current = candidates[k];
    if (carried < current.valley_before) {
      current.valley_before = carried;
      current.valley_at = carried_at;
    }
    carried = std::numeric_limits<double>::infinity();
    bool dropped = false;
    while (kept > 0) {
      const Candidate& top = candidates[kept - 1];
      if (!is_ripple(std::min(top.value, current.value), std::max(top.value, current.value),
                     current.valley_before, allowance)) {
        break;
      }
      if (top.value >= current.value) {
        carried = current.valley_before;  // the next one's valley reaches back to top
        carried_at = current.valley_at;
        dropped = true;
        break;
      }
      if (top.valley_before < current.valley_before) {
        current.valley_before = top.valley_before;
        current.valley_at = top.valley_at;
      }
      --kept;
    }
    if (!dropped) candidates[kept++] = current;
  }
  candidates.resize(kept);
}

}  // namespace

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
