// A decoded spectrum: equal-length m/z and intensity lists in stored order.
#pragma once

#include <vector>

namespace karvel::raw {

struct Peaks {
  std::vector<double> mz;
  std::vector<float> intensity;
};

}  // namespace karvel::raw
