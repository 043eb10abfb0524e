// Small enumerations of the record model, each with a fixed lower-case text.
#pragma once

#include <cstdint>
#include <string_view>

namespace morvane_core::enums {

enum class Polarity : std::uint8_t { Negative, Positive };
enum class ScanMode : std::uint8_t { Centroid, Profile };
enum class Analyzer : std::uint8_t {
  IonTrap,
  TripleQuadrupole,
  SingleQuadrupole,
  TimeOfFlight,
  FourierTransform,
  Sector,
};
enum class Activation : std::uint8_t { Hcd, Mpid, Etd, Cid, Ecd, Irmpd, Pd, Pqd, Uvpd, Sid, Ethcd };
enum class MobilityArrayKind : std::uint8_t { InverseReducedK0, DriftTimeMs };

std::string_view text(Polarity value) noexcept;
std::string_view text(ScanMode value) noexcept;
std::string_view text(Analyzer value) noexcept;
std::string_view text(Activation value) noexcept;
std::string_view text(MobilityArrayKind value) noexcept;

}  // namespace morvane_core::enums
