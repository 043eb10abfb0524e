// Text pieces of an XML document: escaped character data and attribute
// values, and numbers in their shortest round-trip form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace karvel::exporter {

// Appends text escaped for use inside a double-quoted attribute value or as
// character data: & < > " become entity references; tab, line feed and
// carriage return become character references (so attribute values keep
// them); invalid UTF-8 and characters that XML 1.0 cannot carry (other C0
// controls, U+FFFE, U+FFFF) become U+FFFD.
void append_xml_escaped(std::string& out, std::string_view text);

// Shortest decimal text that reads back to the same value ("0.5", "1e+20",
// "-0"); NaN, INF and -INF as XML Schema spells them.
void append_number(std::string& out, double value);
void append_number(std::string& out, float value);
void append_number(std::string& out, std::uint64_t value);
void append_number(std::string& out, std::int64_t value);

// A name usable as an xs:ID (an XML NCName): characters outside
// [A-Za-z0-9._-] become '_', and '_' is put first when the name does not
// start with a letter or '_'.
std::string to_xml_id(std::string_view name);

// Whether text is an xs:dateTime: [-]YYYY-MM-DDThh:mm:ss[.s+][Z|(+|-)hh:mm].
bool is_xml_date_time(std::string_view text);

}  // namespace karvel::exporter
