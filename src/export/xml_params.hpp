// <cvParam> and <userParam> elements of an mzML document.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "export/mzml_terms.hpp"

namespace karvel::exporter {

// <cvParam cvRef=".." accession=".." name=".." value=".." [unit…]/> on its
// own line after indent; the value is escaped.
void append_cv_param(std::string& out, std::string_view indent, terms::Term term,
                     std::string_view value = {}, std::optional<terms::Term> unit = std::nullopt);
// The same with a number as the value, in its shortest round-trip form.
void append_cv_number(std::string& out, std::string_view indent, terms::Term term, double value,
                      std::optional<terms::Term> unit = std::nullopt);
void append_cv_integer(std::string& out, std::string_view indent, terms::Term term,
                       std::int64_t value);
// <userParam name=".." value=".." type="xsd:string"/>.
void append_user_param(std::string& out, std::string_view indent, std::string_view name,
                       std::string_view value);

}  // namespace karvel::exporter
