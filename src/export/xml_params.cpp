#include "export/xml_params.hpp"

#include "export/xml_text.hpp"

namespace karvel::exporter {
namespace {

// The prefix of an accession: "MS" or "UO".
std::string_view cv_of(std::string_view accession) {
  return accession.substr(0, accession.find(':'));
}

void open_cv_param(std::string& out, std::string_view indent, terms::Term term) {
  out.append(indent).append("<cvParam cvRef=\"").append(cv_of(term.accession));
  out.append("\" accession=\"").append(term.accession).append("\" name=\"");
  append_xml_escaped(out, term.name);
  out.append("\" value=\"");
}

void close_cv_param(std::string& out, std::optional<terms::Term> unit) {
  out.push_back('"');
  if (unit) {
    out.append(" unitCvRef=\"").append(cv_of(unit->accession));
    out.append("\" unitAccession=\"").append(unit->accession).append("\" unitName=\"");
    append_xml_escaped(out, unit->name);
    out.push_back('"');
  }
  out.append("/>\n");
}

}  // namespace

void append_cv_param(std::string& out, std::string_view indent, terms::Term term,
                     std::string_view value, std::optional<terms::Term> unit) {
  open_cv_param(out, indent, term);
  append_xml_escaped(out, value);
  close_cv_param(out, unit);
}

void append_cv_number(std::string& out, std::string_view indent, terms::Term term, double value,
                      std::optional<terms::Term> unit) {
  open_cv_param(out, indent, term);
  append_number(out, value);
  close_cv_param(out, unit);
}

void append_cv_integer(std::string& out, std::string_view indent, terms::Term term,
                       std::int64_t value) {
  open_cv_param(out, indent, term);
  append_number(out, value);
  close_cv_param(out, std::nullopt);
}

void append_user_param(std::string& out, std::string_view indent, std::string_view name,
                       std::string_view value) {
  out.append(indent).append("<userParam name=\"");
  append_xml_escaped(out, name);
  out.append("\" value=\"");
  append_xml_escaped(out, value);
  out.append("\" type=\"xsd:string\"/>\n");
}

}  // namespace karvel::exporter
