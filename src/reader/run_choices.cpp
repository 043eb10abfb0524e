#include "reader/run_choices.hpp"

#include <array>
#include <map>

#include "support/format.hpp"
#include "support/log.hpp"

namespace karvel::reader {
namespace {

using morvane_core::enums::Analyzer;
using morvane_core::types::CvTerm;

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

struct KnownModel {
  std::string_view suffix;  // after "g6", lower case
  std::string_view accession;
  std::string_view name;
};

constexpr std::array<KnownModel, 4> kKnownModels{{
    {"410a", "MS:1003526", "6410A Triple Quadrupole LC/MS"},
    {"530a", "MS:1002786", "6530A Q-TOF LC/MS"},
    {"530b", "MS:1002787", "6530B Q-TOF LC/MS"},
    {"550a", "MS:1002784", "6550A iFunnel Q-TOF LC/MS"},
}};

}  // namespace

CvTerm resolve_instrument(const std::optional<raw::metadata::DeviceInfo>& device,
                          const raw::msscan::MSScan& scan) {
  if (!device) {
    return CvTerm{"MS:1000461", scan.is_time_of_flight() ? "Agilent Q-TOF" : "Agilent QQQ"};
  }
  const std::string_view model = device->model;
  if (model.size() == 6 && equals_ignoring_ascii_case(model.substr(0, 2), "g6")) {
    for (const KnownModel& known : kKnownModels) {
      if (equals_ignoring_ascii_case(model.substr(2), known.suffix)) {
        return CvTerm{std::string(known.accession), std::string(known.name)};
      }
    }
  }
  return CvTerm{"MS:1000490", "Agilent instrument model"};
}

Analyzer resolve_analyzer(const std::optional<raw::metadata::DeviceInfo>& device,
                          const raw::msscan::MSScan& scan) {
  if (device && equals_ignoring_ascii_case(device->name, "qtof")) return Analyzer::TimeOfFlight;
  if (device && equals_ignoring_ascii_case(device->name, "tandemquadrupole")) {
    return Analyzer::TripleQuadrupole;
  }
  return scan.is_time_of_flight() ? Analyzer::TimeOfFlight : Analyzer::TripleQuadrupole;
}

void UnknownPolarities::warn(std::string_view bundle_name, IntegrityLog* events) const {
  const auto& counts = counts_;
  if (counts.empty()) return;
  if (events != nullptr) {
    std::uint64_t scans = 0;
    for (const auto& [value, count] : counts) scans += count;
    events->record(IntegrityKind::UnrecognisedValue, scans,
                   str_cat("IonPolarity ", counts.begin()->first, " (polarity left unset)"));
  }
  log::emit(log::Level::Warn, log::kReaderTarget, [&] {
    std::string listed = "{";
    for (const auto& [value, count] : counts) {
      if (listed.size() > 1) listed.append(", ");
      listed.append(str_cat(value, ": ", count));
    }
    listed.push_back('}');
    return str_cat(bundle_name, ": unrecognized IonPolarity values (value: scans) ", listed,
                   "; polarity left unset for those scans");
  });
}

}  // namespace karvel::reader
