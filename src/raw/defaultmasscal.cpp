#include "raw/defaultmasscal.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "raw/decimal_text.hpp"
#include "raw/xml.hpp"
#include "support/format.hpp"

namespace karvel::raw::defaultmasscal {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kTraditional = "Traditional";
constexpr std::string_view kPolynomial = "Polynomial";

std::unexpected<Error> err(std::string_view message) {
  return parse_error(str_cat("DefaultMassCal.xml: ", message));
}

xml::Element child(xml::Element element, std::string_view name) {
  return xml::first_child(element, name);
}

// The trimmed text of the first child named name; a missing child and a
// child without text are both errors.
Result<std::string> child_text(xml::Element element, std::string_view name) {
  std::optional<std::string> text;
  if (xml::Element found = child(element, name)) text = xml::trimmed_text(found);
  if (!text) return err(str_cat("<", xml::local_name(element), "> has no <", name, ">"));
  return std::move(*text);
}

// An unsigned decimal; what names the value in the error message.
Result<std::uint64_t> parse_num(std::string_view text, std::string_view what) {
  if (auto value = decimal_text::parse_u64(text)) return *value;
  return err(str_cat(what, " ", format_quoted(text), " is not a number"));
}

std::size_t count_children(xml::Element parent, std::string_view name) {
  std::size_t count = 0;
  xml::for_each_child(parent, name, [&count](xml::Element) { ++count; });
  return count;
}

// Fills the value slots of a step from the Value children of values.
//
// Only positions up to one past the number of Value elements can all be
// filled, so when the count is larger than that the slots stop there: the
// first empty position (and so the error) is the same as with a slot for
// every position, and a huge count allocates nothing beyond the document.
Result<std::vector<double>> read_values(xml::Element values, const std::string& formula,
                                        std::uint64_t count) {
  const std::size_t value_elements = count_children(values, "Value");
  const std::size_t slot_count =
      static_cast<std::size_t>(std::min<std::uint64_t>(count, std::uint64_t{value_elements} + 1));
  std::vector<std::optional<double>> slots(slot_count);
  for (xml::Element node = child(values, "Value"); node; node = xml::next_sibling(node, "Value")) {
    auto number = parse_num(xml::attribute(node, "Number").value_or(""), "Value Number");
    if (!number) return std::unexpected(std::move(number.error()));
    if (*number == 0 || *number > count) {
      return err(str_cat(formula, " Value Number ", *number, " out of range"));
    }
    const std::string text = xml::trimmed_text(node).value_or("");
    auto value = decimal_text::parse_f64(text);
    if (!value) return err(str_cat("Value ", format_quoted(text), " is not a number"));
    if (*number <= slot_count) slots[*number - 1] = *value;
  }
  std::vector<double> filled;
  filled.reserve(slot_count);
  for (std::size_t k = 0; k < slot_count; ++k) {
    if (!slots[k]) return err(str_cat(formula, " Value ", k + 1, " missing"));
    filled.push_back(*slots[k]);
  }
  return filled;
}

Result<Step> parse_step(xml::Element step) {
  auto formula = child_text(step, "CalibrationFormula");
  if (!formula) return std::unexpected(std::move(formula.error()));
  auto flags_text = child_text(step, "ValueUseFlags");
  if (!flags_text) return std::unexpected(std::move(flags_text.error()));
  auto flags = decimal_text::parse_u32(*flags_text);
  if (!flags) return err(str_cat("ValueUseFlags ", format_quoted(*flags_text), " is not a number"));
  auto count_text = child_text(step, "NumberOfCoefficients");
  if (!count_text) return std::unexpected(std::move(count_text.error()));
  auto count = parse_num(*count_text, "NumberOfCoefficients");
  if (!count) return std::unexpected(std::move(count.error()));
  xml::Element values = child(step, "Values");
  if (!values) return err(str_cat(*formula, " step has no <Values>"));
  auto filled = read_values(values, *formula, *count);
  if (!filled) return std::unexpected(std::move(filled.error()));
  return Step{std::move(*formula), std::move(*filled), *flags};
}

// The only step with that formula, holding exactly expected values.
Result<const Step*> find_step(const std::vector<Step>& steps, std::int32_t id,
                              std::string_view name, std::size_t expected) {
  auto matches = [name](const Step& step) { return step.formula == name; };
  auto found = std::find_if(steps.begin(), steps.end(), matches);
  if (found == steps.end()) return err(str_cat("calibration ", id, " has no ", name, " step"));
  if (std::find_if(found + 1, steps.end(), matches) != steps.end()) {
    return err(str_cat("calibration ", id, " has several ", name, " steps"));
  }
  if (found->values.size() != expected) {
    return err(str_cat("calibration ", id, " ", name, " step has ", found->values.size(),
                       " values, expected ", expected));
  }
  return &*found;
}

Result<DefaultCalibration> parse_entry(xml::Element entry,
                                       std::unordered_set<std::int32_t>& seen_ids) {
  const std::string_view id_text = xml::attribute(entry, "DefaultCalibrationID").value_or("");
  auto id = decimal_text::parse_i32(id_text);
  if (!id) return err(str_cat("DefaultCalibrationID ", format_quoted(id_text), " is not a number"));
  if (!seen_ids.insert(*id).second) return err(str_cat("duplicate DefaultCalibrationID ", *id));

  std::vector<Step> steps;
  for (xml::Element node = child(entry, "Step"); node; node = xml::next_sibling(node, "Step")) {
    auto step = parse_step(node);
    if (!step) return std::unexpected(std::move(step.error()));
    steps.push_back(std::move(*step));
  }
  auto traditional = find_step(steps, *id, kTraditional, 2);
  if (!traditional) return std::unexpected(std::move(traditional.error()));
  auto polynomial = find_step(steps, *id, kPolynomial, 8);
  if (!polynomial) return std::unexpected(std::move(polynomial.error()));
  for (const Step& step : steps) {
    if (step.formula != kTraditional && step.formula != kPolynomial) {
      return err(str_cat("calibration ", *id, " has unsupported ", step.formula, " step"));
    }
  }

  DefaultCalibration calibration;
  calibration.calibration_id = *id;
  std::copy_n((*traditional)->values.begin(), 2, calibration.traditional.begin());
  std::copy_n((*polynomial)->values.begin(), 8, calibration.polynomial_values.begin());
  calibration.value_use_flags = (*polynomial)->value_use_flags;
  return calibration;
}

}  // namespace

Result<calibration::TofCalibration> DefaultCalibration::to_tof() const {
  std::array<double, 10> coefficients;
  std::copy(traditional.begin(), traditional.end(), coefficients.begin());
  std::copy(polynomial_values.begin(), polynomial_values.end(), coefficients.begin() + 2);
  return calibration::TofCalibration::from_coefficients(coefficients, value_use_flags, true);
}

Result<std::vector<DefaultCalibration>> parse_str(std::string_view text) {
  while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  auto document = xml::parse(text);
  if (!document) return err(document.error().text());

  std::vector<xml::Element> entries;
  xml::for_each_element(*document, [&entries](xml::Element element) {
    if (xml::local_name(element) == "DefaultCalibration") entries.push_back(element);
    return true;
  });
  if (entries.empty()) return err("no DefaultCalibration entries");

  std::vector<DefaultCalibration> calibrations;
  calibrations.reserve(entries.size());
  std::unordered_set<std::int32_t> seen_ids;
  for (xml::Element entry : entries) {
    auto calibration = parse_entry(entry, seen_ids);
    if (!calibration) return std::unexpected(std::move(calibration.error()));
    calibrations.push_back(std::move(*calibration));
  }
  return calibrations;
}

}  // namespace karvel::raw::defaultmasscal
