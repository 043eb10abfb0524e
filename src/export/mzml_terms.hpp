// The PSI-MS terms the mzML writer uses, and the choices it makes where a
// run does not say (ionization, detector, dissociation method, an instrument
// term that is not an instrument model). Every term here is known to the
// PSI-MS vocabulary releases in use since 4.1.x, with the same name.
#pragma once

#include <optional>
#include <string_view>

#include "morvane_core/enums.hpp"
#include "morvane_core/types.hpp"

namespace karvel::exporter::terms {

struct Term {
  std::string_view accession;
  std::string_view name;
};

// Units (unit attributes of cvParam; m/z and counts come from PSI-MS).
inline constexpr Term kMz{"MS:1000040", "m/z"};
inline constexpr Term kDetectorCounts{"MS:1000131", "number of detector counts"};
inline constexpr Term kSecond{"UO:0000010", "second"};
inline constexpr Term kElectronvolt{"UO:0000266", "electronvolt"};
inline constexpr Term kPercent{"UO:0000187", "percent"};

// File description and the software.
inline constexpr Term kMs1Spectrum{"MS:1000579", "MS1 spectrum"};
inline constexpr Term kMsnSpectrum{"MS:1000580", "MSn spectrum"};
// A spectrum whose scan states no MS level.
inline constexpr Term kMassSpectrum{"MS:1000294", "mass spectrum"};
inline constexpr Term kSha1{"MS:1000569", "SHA-1"};
inline constexpr Term kCustomSoftware{"MS:1000799", "custom unreleased software tool"};
inline constexpr Term kConversionToMzml{"MS:1000544", "Conversion to mzML"};
inline constexpr Term kPeakPicking{"MS:1000035", "peak picking"};
inline constexpr Term kSerialNumber{"MS:1000529", "instrument serial number"};

// Where the run does not say: the general parent terms, which the mapping
// rules accept themselves.
inline constexpr Term kIonizationType{"MS:1000008", "ionization type"};
inline constexpr Term kDetectorType{"MS:1000026", "detector type"};
inline constexpr Term kDissociationMethod{"MS:1000044", "dissociation method"};
inline constexpr Term kMassAnalyzerType{"MS:1000443", "mass analyzer type"};
inline constexpr Term kInstrumentModel{"MS:1000031", "instrument model"};
inline constexpr Term kAgilentInstrumentModel{"MS:1000490", "Agilent instrument model"};

// Spectra.
inline constexpr Term kMsLevel{"MS:1000511", "ms level"};
inline constexpr Term kCentroidSpectrum{"MS:1000127", "centroid spectrum"};
inline constexpr Term kProfileSpectrum{"MS:1000128", "profile spectrum"};
inline constexpr Term kPositiveScan{"MS:1000130", "positive scan"};
inline constexpr Term kNegativeScan{"MS:1000129", "negative scan"};
inline constexpr Term kTotalIonCurrent{"MS:1000285", "total ion current"};
inline constexpr Term kBasePeakMz{"MS:1000504", "base peak m/z"};
inline constexpr Term kBasePeakIntensity{"MS:1000505", "base peak intensity"};
inline constexpr Term kLowestObservedMz{"MS:1000528", "lowest observed m/z"};
inline constexpr Term kHighestObservedMz{"MS:1000527", "highest observed m/z"};
inline constexpr Term kNoCombination{"MS:1000795", "no combination"};
inline constexpr Term kScanStartTime{"MS:1000016", "scan start time"};
inline constexpr Term kScanWindowLower{"MS:1000501", "scan window lower limit"};
inline constexpr Term kScanWindowUpper{"MS:1000500", "scan window upper limit"};

// Precursors.
inline constexpr Term kIsolationTarget{"MS:1000827", "isolation window target m/z"};
inline constexpr Term kIsolationLowerOffset{"MS:1000828", "isolation window lower offset"};
inline constexpr Term kIsolationUpperOffset{"MS:1000829", "isolation window upper offset"};
inline constexpr Term kSelectedIonMz{"MS:1000744", "selected ion m/z"};
inline constexpr Term kChargeState{"MS:1000041", "charge state"};
inline constexpr Term kPeakIntensity{"MS:1000042", "peak intensity"};
inline constexpr Term kCollisionEnergy{"MS:1000045", "collision energy"};
inline constexpr Term kNormalizedCollisionEnergy{"MS:1000138", "normalized collision energy"};

// Binary data arrays and chromatograms.
inline constexpr Term kMzArray{"MS:1000514", "m/z array"};
inline constexpr Term kIntensityArray{"MS:1000515", "intensity array"};
inline constexpr Term kTimeArray{"MS:1000595", "time array"};
inline constexpr Term kFloat64{"MS:1000523", "64-bit float"};
inline constexpr Term kFloat32{"MS:1000521", "32-bit float"};
inline constexpr Term kZlibCompression{"MS:1000574", "zlib compression"};
inline constexpr Term kNoCompression{"MS:1000576", "no compression"};
inline constexpr Term kNumpressLinear{"MS:1002312", "MS-Numpress linear prediction compression"};
inline constexpr Term kNumpressPic{"MS:1002313", "MS-Numpress positive integer compression"};
inline constexpr Term kNumpressSlof{"MS:1002314", "MS-Numpress short logged float compression"};
inline constexpr Term kNumpressLinearZlib{
    "MS:1002746", "MS-Numpress linear prediction compression followed by zlib compression"};
inline constexpr Term kNumpressPicZlib{
    "MS:1002747", "MS-Numpress positive integer compression followed by zlib compression"};
inline constexpr Term kNumpressSlofZlib{
    "MS:1002748", "MS-Numpress short logged float compression followed by zlib compression"};
inline constexpr Term kTicChromatogram{"MS:1000235", "total ion current chromatogram"};
inline constexpr Term kBasePeakChromatogram{"MS:1000628", "basepeak chromatogram"};
inline constexpr Term kSrmChromatogram{"MS:1001473", "selected reaction monitoring chromatogram"};

// The analyzer component for an analyzer of the run.
Term analyzer_term(std::optional<morvane_core::enums::Analyzer> analyzer);
// The dissociation method of a precursor's activation.
Term activation_term(std::optional<morvane_core::enums::Activation> activation);
// The run's instrument term when it is an instrument model the writer
// knows; otherwise the general model term of the source's vendor (Agilent
// for MassHunter data), or the most general one. The result may refer to
// the texts of `instrument`.
Term instrument_model_term(const morvane_core::types::CvTerm& instrument,
                           const morvane_core::types::CvTerm& source_file_format);

}  // namespace karvel::exporter::terms
