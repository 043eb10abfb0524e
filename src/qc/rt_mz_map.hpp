// An RT × m/z map of intensity: a grid of cells, each the sum of the
// intensities of the points that fall into it. Rows are retention-time bins
// over a range the caller fixes up front (the scan table gives it); columns
// are m/z bins.
//
// The m/z range is either fixed by the caller or found while adding: an
// automatic range starts narrow at the first point and doubles (towards the
// point that does not fit) whenever a point lands outside it, merging
// neighbouring columns in pairs. Old column edges are edges of the new
// columns, so every point stays in the cell that holds its m/z; at the end
// the empty columns at both ends are cut off. Spectra with m/z ascending
// start the range at their low end: the data then spans more than half of
// it after the last upward doubling, and more than a quarter after a later
// downward one (a later spectrum reaching a little lower).
//
// Only create() and finish() allocate; add() is noexcept and never fails (a
// point it cannot place is counted in dropped_points()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace karvel::qc {

// The largest number of bins on either axis.
inline constexpr std::uint32_t kMaxMapBins = 4096;
// m/z values the map places: finite and within [0, kMaxMapMz].
inline constexpr double kMaxMapMz = 1e7;

struct MapAxis {
  double low = 0;
  double high = 0;  // inclusive: a value equal to high goes into the last bin
  std::uint32_t bins = 0;
};

struct MapShape {
  MapAxis rt;                   // seconds
  std::uint32_t mz_bins = 0;    // columns requested
  std::optional<double> mz_low;   // both or neither: a fixed m/z range
  std::optional<double> mz_high;
};

// The finished map: cells row-major (rt_bins rows of mz_edges.size() - 1
// columns), edges ascending.
struct MapGrid {
  std::vector<double> rt_edges;
  std::vector<double> mz_edges;
  std::vector<double> cells;
  std::uint64_t points = 0;          // points added to a cell
  std::uint64_t dropped_points = 0;  // non-finite, or outside the ranges
};

// One spectrum's contribution to a map of a fixed m/z range: its row and the
// sums of its points in each column they reach, columns ascending. Made by
// RtMzMap::bin on any thread, added in the order of the spectra by
// RtMzMap::add, so that the map's sums do not depend on which thread binned
// which spectrum.
struct MapRow {
  std::uint32_t row = 0;
  std::vector<std::uint32_t> columns;
  std::vector<double> sums;
  std::uint64_t points = 0;
  std::uint64_t dropped_points = 0;
};

class RtMzMap {
 public:
  // Checks the shape: bins in 1..kMaxMapBins on both axes, finite ranges
  // with low <= high (a fixed m/z range needs low < high, inside
  // [0, kMaxMapMz]). An Argument error whose message names what is wrong.
  static Result<RtMzMap> create(const MapShape& shape);

  // Adds one spectrum's points at retention time rt (seconds). Points past
  // the shorter of the two lists are ignored. A spectrum whose rt is outside
  // the rt range, or not finite, drops all its points.
  void add(double rt, std::span<const double> mz, std::span<const float> intensity) noexcept;

  // A fixed m/z range only (fixed_mz()): the row of the spectrum's points
  // at rt, binned as add() would bin them. Reads nothing that add(MapRow)
  // changes, so several threads may bin at once while another adds.
  // Allocates the row's lists (std::bad_alloc is the only failure).
  MapRow bin(double rt, std::span<const double> mz, std::span<const float> intensity) const;
  // Adds a row that bin() made for this map.
  void add(const MapRow& row) noexcept;

  bool fixed_mz() const noexcept { return fixed_mz_; }
  std::uint64_t points() const noexcept { return points_; }
  std::uint64_t dropped_points() const noexcept { return dropped_; }

  // The grid, with an automatic m/z range cut to the columns between the
  // first and the last one that received a point (one column at the first
  // point's m/z when none did). A fixed range keeps all its columns.
  MapGrid finish() const;

 private:
  RtMzMap() = default;
  std::size_t row_of(double rt) const noexcept;
  bool rt_inside(double rt) const noexcept;
  // The column of x in a fixed range, or nothing for a point it drops.
  std::optional<std::size_t> fixed_column(double x, double y) const noexcept;
  // Makes the automatic range cover mz; false when the range would pass
  // the limits of placeable m/z.
  bool cover(double mz) noexcept;
  void merge_columns(bool grow_down) noexcept;

  MapAxis rt_{};
  std::uint32_t columns_ = 0;
  bool fixed_mz_ = false;
  bool started_ = false;  // the automatic range has its first point
  double mz_low_ = 0;
  double mz_high_ = 0;    // of a fixed range
  double mz_width_ = 0;   // of one column
  std::vector<double> cells_;
  std::vector<double> scratch_;
  std::vector<bool> touched_;  // per column: received a point
  std::vector<bool> touched_scratch_;
  std::uint64_t points_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace karvel::qc
