#include "qc/rt_mz_map.hpp"

#include <algorithm>
#include <cmath>

namespace karvel::qc {
namespace {

// The first column of an automatic range: 1/1024 m/z wide, its lower edge a
// multiple of that width. Every later edge is then a multiple of it too, so
// edges are exact doubles through all doublings.
constexpr double kStartWidth = 1.0 / 1024.0;

bool finite(double value) noexcept { return std::isfinite(value); }

std::string bins_message(const char* axis, std::uint32_t bins) {
  return std::string(axis) + " bins must be between 1 and " + std::to_string(kMaxMapBins) +
         ", not " + std::to_string(bins);
}

}  // namespace

Result<RtMzMap> RtMzMap::create(const MapShape& shape) {
  if (shape.rt.bins < 1 || shape.rt.bins > kMaxMapBins) return argument_error(bins_message("rt", shape.rt.bins));
  if (shape.mz_bins < 1 || shape.mz_bins > kMaxMapBins) return argument_error(bins_message("m/z", shape.mz_bins));
  if (!finite(shape.rt.low) || !finite(shape.rt.high) || shape.rt.low > shape.rt.high) {
    return argument_error("the rt range must be finite with low <= high");
  }
  if (shape.mz_low.has_value() != shape.mz_high.has_value()) {
    return argument_error("a fixed m/z range needs both ends");
  }
  RtMzMap map;
  map.rt_ = shape.rt;
  map.columns_ = shape.mz_bins;
  if (shape.mz_low) {
    const double low = *shape.mz_low, high = *shape.mz_high;
    if (!finite(low) || !finite(high) || low < 0 || high > kMaxMapMz || !(low < high)) {
      return argument_error("the m/z range must lie in [0, 1e7] with low < high");
    }
    map.fixed_mz_ = true;
    map.mz_low_ = low;
    map.mz_high_ = high;
    map.mz_width_ = (high - low) / shape.mz_bins;
  }
  // Both factors are at most kMaxMapBins: the product fits easily.
  const std::size_t cells = std::size_t{shape.rt.bins} * shape.mz_bins;
  map.cells_.assign(cells, 0.0);
  map.touched_.assign(shape.mz_bins, false);
  if (!map.fixed_mz_) {
    // What a doubling works in: allocated here so that add() never allocates.
    map.scratch_.assign(shape.mz_bins, 0.0);
    map.touched_scratch_.assign(shape.mz_bins, false);
  }
  return map;
}

std::size_t RtMzMap::row_of(double rt) const noexcept {
  const double span = rt_.high - rt_.low;
  if (span <= 0) return 0;
  const double position = (rt - rt_.low) / span * rt_.bins;
  const auto row = static_cast<std::size_t>(position);  // 0 <= position <= bins here
  return std::min<std::size_t>(row, rt_.bins - 1);
}

void RtMzMap::merge_columns(bool grow_down) noexcept {
  // Column c of the old range lands in column (c + offset) / 2 of the new
  // one, twice as wide: offset is n when the range grew downwards (the old
  // range is the new one's upper half), 0 when it grew upwards.
  const std::size_t n = columns_;
  const std::size_t offset = grow_down ? n : 0;
  for (std::size_t row = 0; row < rt_.bins; ++row) {
    double* cells = cells_.data() + row * n;
    std::fill(scratch_.begin(), scratch_.end(), 0.0);
    for (std::size_t c = 0; c < n; ++c) scratch_[(c + offset) / 2] += cells[c];
    std::copy(scratch_.begin(), scratch_.end(), cells);
  }
  std::fill(touched_scratch_.begin(), touched_scratch_.end(), false);
  for (std::size_t c = 0; c < n; ++c) {
    if (touched_[c]) touched_scratch_[(c + offset) / 2] = true;
  }
  touched_.swap(touched_scratch_);
  if (grow_down) mz_low_ -= static_cast<double>(n) * mz_width_;
  mz_width_ *= 2;
}

bool RtMzMap::cover(double mz) noexcept {
  if (!started_) {
    mz_width_ = kStartWidth;
    mz_low_ = std::floor(mz / kStartWidth) * kStartWidth;
    started_ = true;
  }
  // At most about log2(kMaxMapMz / kStartWidth) doublings: mz is in range.
  for (;;) {
    const double column = std::floor((mz - mz_low_) / mz_width_);
    if (column < 0) {
      merge_columns(true);
    } else if (column >= columns_) {
      merge_columns(false);
    } else {
      return true;
    }
  }
}

bool RtMzMap::rt_inside(double rt) const noexcept {
  return finite(rt) && rt >= rt_.low && rt <= rt_.high;
}

std::optional<std::size_t> RtMzMap::fixed_column(double x, double y) const noexcept {
  if (!finite(x) || !finite(y) || x < mz_low_ || x > mz_high_) return std::nullopt;
  // Inside the range the column is in [0, columns_], columns_ only for x at
  // the upper end (or rounding just below it).
  const double column = std::floor((x - mz_low_) / mz_width_);
  return std::min<std::size_t>(static_cast<std::size_t>(std::max(column, 0.0)), columns_ - 1);
}

void RtMzMap::add(double rt, std::span<const double> mz, std::span<const float> intensity) noexcept {
  const std::size_t count = std::min(mz.size(), intensity.size());
  if (!rt_inside(rt)) {
    dropped_ += count;
    return;
  }
  const std::size_t row = row_of(rt);
  for (std::size_t i = 0; i < count; ++i) {
    const double x = mz[i];
    const double y = intensity[i];
    std::size_t c = 0;
    if (fixed_mz_) {
      const auto column = fixed_column(x, y);
      if (!column) {
        ++dropped_;
        continue;
      }
      c = *column;
    } else {
      if (!finite(x) || !finite(y) || x < 0 || x > kMaxMapMz) {
        ++dropped_;
        continue;
      }
      cover(x);
      c = static_cast<std::size_t>(std::floor((x - mz_low_) / mz_width_));  // in [0, columns_) after cover
    }
    cells_[row * columns_ + c] += y;
    touched_[c] = true;
    ++points_;
  }
}

MapRow RtMzMap::bin(double rt, std::span<const double> mz, std::span<const float> intensity) const {
  MapRow out;
  const std::size_t count = std::min(mz.size(), intensity.size());
  if (!fixed_mz_ || !rt_inside(rt)) {
    out.dropped_points = count;
    return out;
  }
  out.row = static_cast<std::uint32_t>(row_of(rt));
  for (std::size_t i = 0; i < count; ++i) {
    const auto column = fixed_column(mz[i], intensity[i]);
    if (!column) {
      ++out.dropped_points;
      continue;
    }
    const auto c = static_cast<std::uint32_t>(*column);
    // Points in ascending m/z (as spectra hold them) extend the last column
    // or open the next one; any other order still sums correctly, in more
    // entries.
    if (out.columns.empty() || out.columns.back() != c) {
      out.columns.push_back(c);
      out.sums.push_back(0.0);
    }
    out.sums.back() += intensity[i];
    ++out.points;
  }
  return out;
}

void RtMzMap::add(const MapRow& row) noexcept {
  dropped_ += row.dropped_points;
  if (!fixed_mz_ || row.row >= rt_.bins) {
    dropped_ += row.points;
    return;
  }
  const std::size_t n = std::min(row.columns.size(), row.sums.size());
  double* cells = cells_.data() + std::size_t{row.row} * columns_;
  for (std::size_t i = 0; i < n; ++i) {
    if (row.columns[i] >= columns_) continue;
    cells[row.columns[i]] += row.sums[i];
    touched_[row.columns[i]] = true;
  }
  points_ += row.points;
}

MapGrid RtMzMap::finish() const {
  MapGrid grid;
  grid.points = points_;
  grid.dropped_points = dropped_;
  grid.rt_edges.resize(std::size_t{rt_.bins} + 1);
  for (std::size_t i = 0; i <= rt_.bins; ++i) {
    grid.rt_edges[i] = i == rt_.bins ? rt_.high : rt_.low + (rt_.high - rt_.low) * i / rt_.bins;
  }
  std::size_t first = 0, last = columns_;  // columns [first, last)
  double low = mz_low_, width = mz_width_;
  if (!fixed_mz_) {
    if (!started_) width = kStartWidth;
    while (first < columns_ && !touched_[first]) ++first;
    while (last > first && !touched_[last - 1]) --last;
    if (first == columns_) first = 0, last = 1;  // no point: one empty column
  }
  const std::size_t kept = last - first;
  grid.mz_edges.resize(kept + 1);
  for (std::size_t i = 0; i <= kept; ++i) grid.mz_edges[i] = low + width * static_cast<double>(first + i);
  if (fixed_mz_) grid.mz_edges.back() = mz_high_;
  grid.cells.reserve(std::size_t{rt_.bins} * kept);
  for (std::size_t row = 0; row < rt_.bins; ++row) {
    const double* cells = cells_.data() + row * columns_;
    grid.cells.insert(grid.cells.end(), cells + first, cells + last);
  }
  return grid;
}

}  // namespace karvel::qc
