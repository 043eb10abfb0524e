// The maxima of a profile that a picker fits (see peak_picker.hpp):
// internal to the picker.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "centroid/noise.hpp"

namespace karvel::centroid::detail {

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

// Every maximum of the profile at least `threshold` high, in position order,
// each with the lowest point between it and the one before.
void find_candidates(std::span<const float> intensity, double threshold, std::vector<Candidate>& out);

// Keeps the maxima that can be reported (see candidates.cpp).
void keep_reportable(std::span<const float> intensity, std::vector<Candidate>& candidates, double threshold,
                     bool keep_spikes);

// Drops the maxima that are ripples on a higher one's top.
void drop_ripples(std::vector<Candidate>& candidates, const Allowance& allowance);

}  // namespace karvel::centroid::detail
