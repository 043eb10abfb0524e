#include "morvane_core/enums.hpp"

#include <array>

namespace morvane_core::enums {
namespace {

template <std::size_t N, class E>
std::string_view lookup(const std::array<std::string_view, N>& texts, E value) {
  const auto ordinal = static_cast<std::size_t>(value);
  return ordinal < N ? texts[ordinal] : std::string_view();
}

}  // namespace

std::string_view text(Polarity value) noexcept {
  static constexpr std::array<std::string_view, 2> texts{"negative", "positive"};
  return lookup(texts, value);
}

std::string_view text(ScanMode value) noexcept {
  static constexpr std::array<std::string_view, 2> texts{"centroid", "profile"};
  return lookup(texts, value);
}

std::string_view text(Analyzer value) noexcept {
  static constexpr std::array<std::string_view, 6> texts{"itms", "tqms", "sqms",
                                                         "tofms", "ftms", "sector"};
  return lookup(texts, value);
}

std::string_view text(Activation value) noexcept {
  static constexpr std::array<std::string_view, 11> texts{
      "hcd", "mpid", "etd", "cid", "ecd", "irmpd", "pd", "pqd", "uvpd", "sid", "ethcd"};
  return lookup(texts, value);
}

std::string_view text(MobilityArrayKind value) noexcept {
  static constexpr std::array<std::string_view, 2> texts{"inverse_reduced_k0", "drift_time_ms"};
  return lookup(texts, value);
}

}  // namespace morvane_core::enums
