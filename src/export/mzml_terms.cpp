#include "export/mzml_terms.hpp"

#include <array>

namespace karvel::exporter::terms {

using morvane_core::enums::Activation;
using morvane_core::enums::Analyzer;

Term analyzer_term(std::optional<Analyzer> analyzer) {
  if (!analyzer) return kMassAnalyzerType;
  switch (*analyzer) {
    case Analyzer::TimeOfFlight: return {"MS:1000084", "time-of-flight"};
    case Analyzer::TripleQuadrupole:
    case Analyzer::SingleQuadrupole: return {"MS:1000081", "quadrupole"};
    case Analyzer::IonTrap: return {"MS:1000264", "ion trap"};
    case Analyzer::Sector: return {"MS:1000080", "magnetic sector"};
    // FT-ICR and Orbitrap share this value; the two vocabulary releases in
    // use also name the FT-ICR term differently.
    case Analyzer::FourierTransform: return kMassAnalyzerType;
  }
  return kMassAnalyzerType;
}

Term activation_term(std::optional<Activation> activation) {
  if (!activation) return kDissociationMethod;
  switch (*activation) {
    case Activation::Cid: return {"MS:1000133", "collision-induced dissociation"};
    case Activation::Hcd: return {"MS:1000422", "beam-type collision-induced dissociation"};
    case Activation::Etd: return {"MS:1000598", "electron transfer dissociation"};
    case Activation::Ecd: return {"MS:1000250", "electron capture dissociation"};
    case Activation::Irmpd: return {"MS:1000262", "infrared multiphoton dissociation"};
    case Activation::Pd: return {"MS:1000435", "photodissociation"};
    case Activation::Uvpd: return {"MS:1000435", "photodissociation"};
    case Activation::Pqd: return {"MS:1000599", "pulsed q dissociation"};
    case Activation::Sid: return {"MS:1000136", "surface-induced dissociation"};
    case Activation::Mpid:
    case Activation::Ethcd: return kDissociationMethod;
  }
  return kDissociationMethod;
}

Term instrument_model_term(const morvane_core::types::CvTerm& instrument,
                           const morvane_core::types::CvTerm& source_file_format) {
  // Instrument models a source of this project names (children of
  // MS:1000031) that every vocabulary release in use knows. Newer ones
  // (6410A, MS:1003526) would be unknown to older validators and readers.
  static constexpr std::array<std::string_view, 4> kKnownModels{
      "MS:1000490", "MS:1002784", "MS:1002786", "MS:1002787"};
  for (std::string_view known : kKnownModels) {
    if (instrument.accession == known) return {instrument.accession, instrument.name};
  }
  if (source_file_format.accession == "MS:1001509") return kAgilentInstrumentModel;
  return kInstrumentModel;
}

}  // namespace karvel::exporter::terms
