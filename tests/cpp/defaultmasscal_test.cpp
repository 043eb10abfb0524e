#include "raw/defaultmasscal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/format.hpp"

namespace karvel::raw::defaultmasscal {
namespace {

std::string value(std::string_view number, std::string_view text) {
  return str_cat("<Value Number=\"", number, "\">", text, "</Value>");
}

std::string step(std::string_view formula, std::string_view flags, std::string_view count,
                 std::string_view values) {
  return str_cat("<Step><CalibrationFormula>", formula, "</CalibrationFormula><ValueUseFlags>",
                 flags, "</ValueUseFlags><NumberOfCoefficients>", count,
                 "</NumberOfCoefficients><Values>", values, "</Values></Step>");
}

std::string traditional(std::string_view a = "2.5", std::string_view t0 = "-0.125") {
  return step("Traditional", "3", "2", value("1", a) + value("2", t0));
}

std::string polynomial(std::string_view flags = "5") {
  std::string values;
  for (int k = 1; k <= 8; ++k) values += value(std::to_string(k), std::to_string(k) + ".5");
  return step("Polynomial", flags, "8", values);
}

std::string entry(std::string_view id, std::string_view steps) {
  return str_cat("<DefaultCalibration DefaultCalibrationID=\"", id, "\">", steps,
                 "</DefaultCalibration>");
}

std::string entry(std::string_view id) { return entry(id, traditional() + polynomial()); }

std::string document(std::string_view body) {
  return str_cat("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<DefaultMassCal>", body,
                 "</DefaultMassCal>");
}

// The error text of a document that must fail.
std::string error_of(const std::string& text) {
  auto parsed = parse_str(text);
  EXPECT_FALSE(parsed) << text;
  if (parsed) return {};
  EXPECT_EQ(parsed.error().kind(), Error::Kind::Parse);
  return parsed.error().text();
}

TEST(DefaultMassCal, ParsesEntriesInDocumentOrder) {
  auto parsed = parse_str(document(entry("1") + "<Wrapper><Deeper>" + entry("-4", polynomial("9") +
                                   traditional("7", "8")) + "</Deeper></Wrapper>"));
  ASSERT_TRUE(parsed) << parsed.error().display();
  ASSERT_EQ(parsed->size(), 2u);
  const DefaultCalibration& first = (*parsed)[0];
  EXPECT_EQ(first.calibration_id, 1);
  EXPECT_EQ(first.traditional, (std::array<double, 2>{2.5, -0.125}));
  EXPECT_EQ(first.polynomial_values, (std::array<double, 8>{1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5}));
  EXPECT_EQ(first.value_use_flags, 5u);
  EXPECT_EQ((*parsed)[1].calibration_id, -4);
  EXPECT_EQ((*parsed)[1].traditional, (std::array<double, 2>{7, 8}));
  EXPECT_EQ((*parsed)[1].value_use_flags, 9u);
}

TEST(DefaultMassCal, NamespacesBomsAndIgnoredContent) {
  const std::string namespaced =
      "\xEF\xBB\xBF\xEF\xBB\xBF\xEF\xBB\xBF"
      "<m:Root xmlns:m=\"urn:x\"><m:DefaultCalibration m:DefaultCalibrationID=\"+7\">"
      "<!-- comment --><Other/>"
      "<m:Step><m:CalibrationFormula>Traditional</m:CalibrationFormula>"
      "<m:ValueUseFlags> 12 </m:ValueUseFlags><m:NumberOfCoefficients>\n2\n"
      "</m:NumberOfCoefficients><Ignored>x</Ignored><m:Values><m:Value m:Number=\"2\">"
      "<![CDATA[ 4 ]]></m:Value><Note Number=\"1\">9</Note>"
      "<m:Value Number=\"1\">1</m:Value><m:Value Number=\"1\">\t3\t</m:Value></m:Values></m:Step>" +
      polynomial(" 12 ") + "</m:DefaultCalibration></m:Root>";
  auto parsed = parse_str(namespaced);
  ASSERT_TRUE(parsed) << parsed.error().display();
  ASSERT_EQ(parsed->size(), 1u);
  EXPECT_EQ((*parsed)[0].calibration_id, 7);
  // Values in any order; a repeated number keeps the last value.
  EXPECT_EQ((*parsed)[0].traditional, (std::array<double, 2>{3, 4}));
  EXPECT_EQ((*parsed)[0].value_use_flags, 12u);
}

TEST(DefaultMassCal, XmlLevelFailures) {
  EXPECT_EQ(error_of(document("")), "DefaultMassCal.xml: no DefaultCalibration entries");
  EXPECT_EQ(error_of("<DefaultCalibrationList/>"),
            "DefaultMassCal.xml: no DefaultCalibration entries");
  const std::string unclosed = error_of("<DefaultMassCal>" + entry("1"));
  EXPECT_TRUE(unclosed.starts_with("DefaultMassCal.xml: ")) << unclosed;
  EXPECT_NE(unclosed.find(" at 1:"), std::string::npos) << unclosed;
  EXPECT_EQ(error_of(""), "DefaultMassCal.xml: no element found at 1:1");
  EXPECT_EQ(error_of("<!DOCTYPE DefaultMassCal>" + document(entry("1"))),
            "DefaultMassCal.xml: document type declaration is not allowed at 1:1");
  // A document that is not well-formed gives no entries, however good they are.
  EXPECT_EQ(error_of(str_cat("<?xml version=\"1.0\" standalone=\"maybe\"?><DefaultMassCal>",
                             entry("1"), "</DefaultMassCal>")),
            "DefaultMassCal.xml: XML declaration not well-formed at 1:33");
  EXPECT_EQ(error_of(document(entry("1") + "<p:Note/>")),
            "DefaultMassCal.xml: unbound prefix at 2:695");
  // A byte-order mark after other text is not a leading one.
  EXPECT_TRUE(error_of(" \xEF\xBB\xBF" + document(entry("1"))).starts_with("DefaultMassCal.xml: "));
}

TEST(DefaultMassCal, CalibrationIds) {
  EXPECT_EQ(error_of(document(entry(" 7"))),
            "DefaultMassCal.xml: DefaultCalibrationID \" 7\" is not a number");
  EXPECT_EQ(error_of(document(entry("2147483648"))),
            "DefaultMassCal.xml: DefaultCalibrationID \"2147483648\" is not a number");
  EXPECT_EQ(error_of(document("<DefaultCalibration>" + traditional() + polynomial() +
                              "</DefaultCalibration>")),
            "DefaultMassCal.xml: DefaultCalibrationID \"\" is not a number");
  EXPECT_EQ(error_of(document(entry("a&quot;b\\&#9;"))),
            "DefaultMassCal.xml: DefaultCalibrationID \"a\\\"b\\\\\\t\" is not a number");
  auto lowest = parse_str(document(entry("-2147483648")));
  ASSERT_TRUE(lowest);
  EXPECT_EQ((*lowest)[0].calibration_id, -2147483647 - 1);

  // The duplicate is reported when the second entry is reached, before its steps.
  EXPECT_EQ(error_of(document(entry("3") + entry("+3", "<Step/>"))),
            "DefaultMassCal.xml: duplicate DefaultCalibrationID 3");
  // A bad id comes before anything else of its entry.
  EXPECT_EQ(error_of(document(entry("x", "<Step/>"))),
            "DefaultMassCal.xml: DefaultCalibrationID \"x\" is not a number");
  // A fault in an earlier entry wins over a later duplicate.
  EXPECT_EQ(error_of(document(entry("3", traditional()) + entry("3"))),
            "DefaultMassCal.xml: calibration 3 has no Polynomial step");
}

TEST(DefaultMassCal, StepChildren) {
  auto with_step = [](const std::string& s) { return document(entry("1", s)); };
  EXPECT_EQ(error_of(with_step("<Step><ValueUseFlags>1</ValueUseFlags></Step>")),
            "DefaultMassCal.xml: <Step> has no <CalibrationFormula>");
  EXPECT_EQ(error_of(with_step("<x:Step xmlns:x=\"u\"><CalibrationFormula>Traditional"
                               "</CalibrationFormula><ValueUseFlags/></x:Step>")),
            "DefaultMassCal.xml: <Step> has no <ValueUseFlags>");
  // A first child that is an element or a comment means no text.
  EXPECT_EQ(error_of(with_step(step("<b/>Traditional", "1", "2", ""))),
            "DefaultMassCal.xml: <Step> has no <CalibrationFormula>");
  EXPECT_EQ(error_of(with_step(step("Traditional", "<!---->1", "2", ""))),
            "DefaultMassCal.xml: <Step> has no <ValueUseFlags>");
  // White space alone is text, trimmed to nothing.
  EXPECT_EQ(error_of(with_step(step("Traditional", "1", " \n ", ""))),
            "DefaultMassCal.xml: NumberOfCoefficients \"\" is not a number");
  EXPECT_EQ(error_of(with_step(step("Traditional", "-1", "2", ""))),
            "DefaultMassCal.xml: ValueUseFlags \"-1\" is not a number");
  EXPECT_EQ(error_of(with_step(step("Traditional", "4294967296", "2", ""))),
            "DefaultMassCal.xml: ValueUseFlags \"4294967296\" is not a number");
  EXPECT_EQ(error_of(with_step(step("Traditional", "1", "18446744073709551616", ""))),
            "DefaultMassCal.xml: NumberOfCoefficients \"18446744073709551616\" is not a number");
  EXPECT_EQ(error_of(with_step("<Step><CalibrationFormula> Poly nomial </CalibrationFormula>"
                               "<ValueUseFlags>0</ValueUseFlags><NumberOfCoefficients>0"
                               "</NumberOfCoefficients><Value Number=\"1\">1</Value></Step>")),
            "DefaultMassCal.xml: Poly nomial step has no <Values>");
  // The Traditional step's flags are checked even though they are not kept.
  EXPECT_EQ(error_of(document(entry("1", step("Traditional", "x", "2", "") + polynomial()))),
            "DefaultMassCal.xml: ValueUseFlags \"x\" is not a number");
}

TEST(DefaultMassCal, ValueElements) {
  auto traditional_with = [](std::string_view count, const std::string& values) {
    return document(entry("1", step("Traditional", "0", count, values) + polynomial()));
  };
  EXPECT_EQ(error_of(traditional_with("2", "<Value>1</Value>")),
            "DefaultMassCal.xml: Value Number \"\" is not a number");
  EXPECT_EQ(error_of(traditional_with("2", value(" 1", "1"))),
            "DefaultMassCal.xml: Value Number \" 1\" is not a number");
  EXPECT_EQ(error_of(traditional_with("2", value("0", "1"))),
            "DefaultMassCal.xml: Traditional Value Number 0 out of range");
  EXPECT_EQ(error_of(traditional_with("2", value("3", "1"))),
            "DefaultMassCal.xml: Traditional Value Number 3 out of range");
  EXPECT_EQ(error_of(traditional_with("2", value("1", "0x10"))),
            "DefaultMassCal.xml: Value \"0x10\" is not a number");
  EXPECT_EQ(error_of(traditional_with("2", value("1", "1 2"))),
            "DefaultMassCal.xml: Value \"1 2\" is not a number");
  EXPECT_EQ(error_of(traditional_with("2", value("1", "  "))),
            "DefaultMassCal.xml: Value \"\" is not a number");
  EXPECT_EQ(error_of(traditional_with("2", value("1", "<i>1</i>"))),
            "DefaultMassCal.xml: Value \"\" is not a number");
  // Checks run value by value: the first faulty Value decides.
  EXPECT_EQ(error_of(traditional_with("2", value("2", "x") + value("9", "1"))),
            "DefaultMassCal.xml: Value \"x\" is not a number");
  EXPECT_EQ(error_of(traditional_with("2", value("2", "1"))),
            "DefaultMassCal.xml: Traditional Value 1 missing");
  // A count far beyond memory still reports the first missing position.
  EXPECT_EQ(error_of(traditional_with("18446744073709551615", value("2", "1") + value("1", "1"))),
            "DefaultMassCal.xml: Traditional Value 3 missing");
  EXPECT_EQ(error_of(traditional_with("4000000000", value("4000000000", "1"))),
            "DefaultMassCal.xml: Traditional Value 1 missing");

  std::string seven;
  for (int k : {1, 2, 3, 4, 6, 7, 8}) seven += value(std::to_string(k), "0");
  EXPECT_EQ(error_of(document(entry("1", traditional() + step("Polynomial", "0", "8", seven)))),
            "DefaultMassCal.xml: Polynomial Value 5 missing");
}

TEST(DefaultMassCal, StepLookupOrder) {
  EXPECT_EQ(error_of(document(entry("5", polynomial()))),
            "DefaultMassCal.xml: calibration 5 has no Traditional step");
  EXPECT_EQ(error_of(document(entry("5", step("traditional", "0", "2", value("1", "1") +
                                      value("2", "1")) + polynomial()))),
            "DefaultMassCal.xml: calibration 5 has no Traditional step");
  EXPECT_EQ(error_of(document(entry("5", traditional()))),
            "DefaultMassCal.xml: calibration 5 has no Polynomial step");
  EXPECT_EQ(error_of(document(entry("5", traditional() + polynomial() + traditional()))),
            "DefaultMassCal.xml: calibration 5 has several Traditional steps");
  EXPECT_EQ(error_of(document(entry("5", polynomial() + traditional() + polynomial()))),
            "DefaultMassCal.xml: calibration 5 has several Polynomial steps");
  const std::string three = value("1", "1") + value("2", "1") + value("3", "1");
  EXPECT_EQ(error_of(document(entry("5", step("Traditional", "0", "3", three) + polynomial()))),
            "DefaultMassCal.xml: calibration 5 Traditional step has 3 values, expected 2");
  // Traditional problems come before Polynomial ones.
  EXPECT_EQ(error_of(document(entry("5", step("Traditional", "0", "3", three)))),
            "DefaultMassCal.xml: calibration 5 Traditional step has 3 values, expected 2");
  EXPECT_EQ(error_of(document(entry("5", traditional() + step("Polynomial", "0", "0", "")))),
            "DefaultMassCal.xml: calibration 5 Polynomial step has 0 values, expected 8");

  // Unsupported formulas count only after both required steps are valid.
  const std::string other = step("Linear", "0", "0", "");
  EXPECT_EQ(error_of(document(entry("5", other + traditional() + polynomial() +
                                           step("Cubic", "0", "0", "")))),
            "DefaultMassCal.xml: calibration 5 has unsupported Linear step");
  EXPECT_EQ(error_of(document(entry("5", other + polynomial()))),
            "DefaultMassCal.xml: calibration 5 has no Traditional step");
  // Every step is parsed before any lookup.
  EXPECT_EQ(error_of(document(entry("5", step("Linear", "-", "0", "")))),
            "DefaultMassCal.xml: ValueUseFlags \"-\" is not a number");
}

TEST(DefaultMassCal, ToTof) {
  std::string values;
  for (int k = 1; k <= 8; ++k) values += value(std::to_string(k), k == 2 ? "10" : k == 3 ? "0.25" : "0");
  auto parsed = parse_str(document(entry("1", traditional() + step("Polynomial", "2", "8", values)) +
                                   entry("2", traditional("nan", "inf") + polynomial("127"))));
  ASSERT_TRUE(parsed) << parsed.error().display();
  // Non-finite values pass parsing; building the calibration rejects them.
  EXPECT_TRUE(std::isnan((*parsed)[1].traditional[0]));

  auto tof = (*parsed)[0].to_tof();
  ASSERT_TRUE(tof) << tof.error().display();
  EXPECT_TRUE(tof->from_default);
  EXPECT_EQ(tof->a, 2.5);
  EXPECT_EQ(tof->t0, -0.125);
  EXPECT_EQ(tof->polynomial.range_min, 0);
  EXPECT_EQ(tof->polynomial.range_max, 10);
  ASSERT_EQ(tof->polynomial.terms.size(), 1u);
  EXPECT_EQ(tof->polynomial.terms[0], (calibration::PolynomialTerm{1, 0.25}));

  auto rejected = (*parsed)[1].to_tof();
  ASSERT_FALSE(rejected);
  EXPECT_EQ(rejected.error().text(), "invalid Traditional calibration coefficients A=NaN, T0=inf");

  DefaultCalibration seven_powers = (*parsed)[0];
  seven_powers.value_use_flags = 127;
  auto too_many = seven_powers.to_tof();
  ASSERT_FALSE(too_many);
  EXPECT_EQ(too_many.error().text(),
            "Polynomial ValueUseFlags 127 selects 7 powers; at most 6 coefficients exist");
}

}  // namespace
}  // namespace karvel::raw::defaultmasscal
