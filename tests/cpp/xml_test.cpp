#include "raw/xml.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

namespace karvel::raw::xml {
namespace {

std::string error_of(std::string_view text) {
  auto parsed = parse(text);
  EXPECT_FALSE(parsed) << text;
  return parsed ? std::string() : parsed.error().text();
}

// The text of the root element's first child named name.
std::optional<std::string> child_text_of(std::string_view text, std::string_view name) {
  auto parsed = parse(text);
  EXPECT_TRUE(parsed) << parsed.error().text();
  if (!parsed) return std::nullopt;
  Element child = first_child(parsed->root(), name);
  EXPECT_TRUE(child) << name;
  return xml::text(child);
}

struct Rejected {
  std::string_view what;
  std::string_view document;
  std::string_view error;
};

void expect_rejected(std::span<const Rejected> cases) {
  for (const Rejected& rejected : cases) {
    EXPECT_EQ(error_of(rejected.document), rejected.error) << rejected.what;
  }
}

TEST(Xml, NotWellFormedDocumentsFail) {
  const Rejected cases[] = {
      {"mismatched end tag", "<a><b></a>", "mismatched tag at 1:9"},
      {"unclosed element", "<a>\n<b>", "no element found at 2:4"},
      {"empty document", "", "no element found at 1:1"},
      {"only a comment", "  \n <!-- only a comment -->", "no element found at 2:25"},
      {"text after the root", "<a/>junk", "junk after document element at 1:5"},
      {"text before the root", "text<a/>", "not well-formed (invalid token) at 1:5"},
      {"second root element", "<a/><b/>", "junk after document element at 1:5"},
      {"CDATA after the root", "<a/><![CDATA[x]]>", "junk after document element at 1:5"},
      {"late XML declaration", "<a/><?xml version=\"1.0\"?>",
       "junk after document element at 1:5"},
      {"unclosed end tag", "<a></a", "unclosed token at 1:4"},
      {"unquoted attribute", "<a b=1/>", "not well-formed (invalid token) at 1:6"},
      {"NUL", std::string_view("<a/>\0<", 6), "not well-formed (invalid token) at 1:5"},
      {"control character", "<a>\x01</a>", "not well-formed (invalid token) at 1:4"},
      {"invalid UTF-8", "<a>\xC0\x80</a>", "not well-formed (invalid token) at 1:4"},
      {"lines end at CR LF and CR", "<a>\r\n\r<b>\r\n</a>", "mismatched tag at 4:3"},
      {"columns count code points", "<a>\xC3\xA9\xF0\x9F\x98\x80</b>", "mismatched tag at 1:8"},
  };
  expect_rejected(cases);
}

// Each is accepted by a parser that checks less than XML 1.0 and its
// namespaces require.
TEST(Xml, ConformanceViolationsFail) {
  const Rejected cases[] = {
      {"declaration without version", "<?xml encoding=\"UTF-8\"?><a/>",
       "XML declaration not well-formed at 1:7"},
      {"declaration with an unknown attribute", "<?xml version=\"1.0\" x=\"1\"?><a/>",
       "XML declaration not well-formed at 1:21"},
      {"declaration attributes out of order",
       "<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-8\"?><a/>",
       "XML declaration not well-formed at 1:38"},
      {"standalone neither yes nor no", "<?xml version=\"1.0\" standalone=\"maybe\"?><a/>",
       "XML declaration not well-formed at 1:33"},
      {"]]> in character data", "<a>x]]>y</a>", "not well-formed (invalid token) at 1:7"},
      {"]]> in an attribute is fine, in text not", "<a b=\"]]>\">]]></a>",
       "not well-formed (invalid token) at 1:14"},
      {"-- inside a comment", "<a><!-- a -- b --></a>", "not well-formed (invalid token) at 1:13"},
      {"comment ending in --->", "<a><!-- a ---></a>", "not well-formed (invalid token) at 1:13"},
      {"literal U+FFFE", "<a>\xEF\xBF\xBE</a>", "not well-formed (invalid token) at 1:4"},
      {"literal U+FFFF", "<a>\xEF\xBF\xBF</a>", "not well-formed (invalid token) at 1:4"},
      {"literal U+FFFF in an attribute", "<a b=\"\xEF\xBF\xBF\"/>",
       "not well-formed (invalid token) at 1:7"},
      {"literal U+FFFE in CDATA", "<a><![CDATA[\xEF\xBF\xBE]]></a>",
       "not well-formed (invalid token) at 1:13"},
      {"surrogate encoded in UTF-8", "<a>\xED\xA0\x80</a>", "not well-formed (invalid token) at 1:4"},
      {"reference to U+FFFF", "<a>&#xFFFF;</a>", "reference to invalid character number at 1:4"},
      {"<?XML?> for the declaration", "<?XML version=\"1.0\"?><a/>",
       "not well-formed (invalid token) at 1:6"},
      {"<?xMl?> for the declaration", "<?xMl version=\"1.0\"?><a/>",
       "not well-formed (invalid token) at 1:6"},
      {"undeclared element prefix", "<p:Devices/>", "unbound prefix at 1:1"},
      {"undeclared attribute prefix", "<a p:x=\"1\"/>", "unbound prefix at 1:1"},
      {"prefix declared on a sibling", "<r><a xmlns:p=\"u\"/><p:b/></r>", "unbound prefix at 1:20"},
      {"element name with two colons", "<a:b:c xmlns:a=\"u\"/>",
       "not well-formed (invalid token) at 1:5"},
      {"attribute name with two colons", "<a x:y:z=\"1\" xmlns:x=\"u\"/>",
       "not well-formed (invalid token) at 1:7"},
      {"processing instruction target with a colon", "<a><?p:q data?></a>",
       "not well-formed (invalid token) at 1:7"},
      {"empty prefix", "<:a/>", "not well-formed (invalid token) at 1:2"},
      {"undeclared prefix", "<a xmlns:p=\"\"/>", "must not undeclare prefix at 1:1"},
      {"same expanded attribute name", "<a xmlns:p=\"u\" xmlns:q=\"u\" p:x=\"1\" q:x=\"2\"/>",
       "duplicate attribute at 1:1"},
      {"prefix xmlns declared", "<a xmlns:xmlns=\"u\"/>",
       "reserved prefix (xmlns) must not be declared or undeclared at 1:1"},
  };
  expect_rejected(cases);
}

TEST(Xml, DocumentTypeDeclarationsAreRejected) {
  const Rejected cases[] = {
      {"plain", "<!DOCTYPE a><a/>", "document type declaration is not allowed at 1:1"},
      {"internal subset with an entity",
       "<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"x\">]>\n<a>&e;</a>",
       "document type declaration is not allowed at 2:1"},
      {"external subset", "<!--c--><!DOCTYPE a SYSTEM \"http://localhost/a.dtd\"><a/>",
       "document type declaration is not allowed at 1:9"},
      {"after the root", "<a/><!DOCTYPE a>", "junk after document element at 1:5"},
      {"inside the root", "<a><!DOCTYPE a></a>", "not well-formed (invalid token) at 1:6"},
  };
  expect_rejected(cases);
}

TEST(Xml, ReferencesAndAttributes) {
  auto parsed = parse("<a x=\"1&amp;2&#x41;&#66;\t&#9;\" p:y='&quot;&apos;&lt;&gt;' "
                      "xmlns:p=\"urn:p\" xmlns=\"urn:d\">&lt;&#x1F600;&gt;</a>");
  ASSERT_TRUE(parsed) << parsed.error().text();
  EXPECT_EQ(attribute(parsed->root(), "x"), "1&2AB \t");
  EXPECT_EQ(attribute(parsed->root(), "y"), "\"'<>");
  EXPECT_EQ(attribute(parsed->root(), "p"), std::nullopt);  // a namespace declaration
  EXPECT_EQ(attribute(parsed->root(), "xmlns"), std::nullopt);
  EXPECT_EQ(text(parsed->root()), "<\xF0\x9F\x98\x80>");

  const Rejected cases[] = {
      {"entity not predefined", "<a>&nbsp;</a>", "undefined entity at 1:4"},
      {"bare ampersand", "<a>x & y</a>", "not well-formed (invalid token) at 1:7"},
      {"reference to NUL", "<a>&#0;</a>", "reference to invalid character number at 1:4"},
      {"reference to a surrogate", "<a>&#xD800;</a>", "reference to invalid character number at 1:4"},
      {"reference beyond Unicode", "<a>&#x110000;</a>", "reference to invalid character number at 1:4"},
      {"huge reference", "<a>&#99999999999999999999;</a>",
       "reference to invalid character number at 1:4"},
      {"empty reference", "<a>&#;</a>", "not well-formed (invalid token) at 1:6"},
      {"< in an attribute", "<a b='x<y'/>", "not well-formed (invalid token) at 1:8"},
      {"unknown entity in an attribute", "<a b='&bogus;'/>", "undefined entity at 1:1"},
      {"duplicated attribute", "<r><a b='1' c='2' b='3'/></r>", "duplicate attribute at 1:19"},
  };
  expect_rejected(cases);
  // CDATA content is never decoded.
  EXPECT_EQ(child_text_of("<r><a><![CDATA[&bogus;<]]></a></r>", "a"), "&bogus;<");
}

TEST(Xml, DeclarationsAndNamespacesThatAreFine) {
  auto parsed = parse(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"no\"?>"
      "<r xmlns=\"urn:d\" xmlns:p=\"urn:p\"><p:a p:x=\"1\" xml:lang=\"de\">\xC3\xA9</p:a>"
      "<b xmlns=\"\" xmlns:p=\"urn:other\"><p:c/></b><?target data?></r>");
  ASSERT_TRUE(parsed) << parsed.error().text();
  Element a = first_child(parsed->root(), "a");
  // The bytes are UTF-8 whatever the declaration names.
  EXPECT_EQ(text(a), "\xC3\xA9");
  EXPECT_EQ(attribute(a, "x"), "1");
  EXPECT_EQ(attribute(a, "lang"), "de");
  EXPECT_TRUE(first_child(first_child(parsed->root(), "b"), "c"));
}

TEST(Xml, ElementTextIsTheLeadingTextRun) {
  const std::string doc =
      "<r><empty/><pair></pair><space> \n </space><elem><b/>x</elem><comment><!--c-->x</comment>"
      "<pi><?p?>x</pi><cdata><![CDATA[ c ]]></cdata><mixed> a <![CDATA[b]]> c<!--d-->e</mixed>"
      "<emptycdata><![CDATA[]]></emptycdata><crlf>\r\n x \r\n</crlf></r>";
  EXPECT_EQ(child_text_of(doc, "empty"), std::nullopt);
  EXPECT_EQ(child_text_of(doc, "pair"), std::nullopt);
  EXPECT_EQ(child_text_of(doc, "space"), " \n ");
  EXPECT_EQ(child_text_of(doc, "elem"), std::nullopt);
  EXPECT_EQ(child_text_of(doc, "comment"), std::nullopt);
  EXPECT_EQ(child_text_of(doc, "pi"), std::nullopt);
  EXPECT_EQ(child_text_of(doc, "cdata"), " c ");
  EXPECT_EQ(child_text_of(doc, "mixed"), " a b c");
  EXPECT_EQ(child_text_of(doc, "emptycdata"), "");
  EXPECT_EQ(child_text_of(doc, "crlf"), "\n x \n");

  auto parsed = parse("<r><t>\xE2\x80\x83 value\xC2\xA0\t</t></r>");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(trimmed_text(first_child(parsed->root(), "t")), "value");
}

TEST(Xml, LocalNamesAndDocumentOrder) {
  auto parsed = parse(
      "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- c --><x:r xmlns:x=\"u\"><x:A n=\"1\"><B n=\"2\"/>"
      "</x:A><y:B xmlns:y=\"v\" n=\"3\"><A n=\"4\"/></y:B></x:r>\n");
  ASSERT_TRUE(parsed) << parsed.error().text();
  EXPECT_EQ(local_name(parsed->root()), "r");
  std::vector<std::string> order;
  for_each_element(*parsed, [&](Element element) {
    order.push_back(std::string(local_name(element)) + std::string(attribute(element, "n").value_or("")));
    return true;
  });
  EXPECT_EQ(order, (std::vector<std::string>{"r", "A1", "B2", "B3", "A4"}));
  EXPECT_EQ(attribute(first_element(*parsed, "B"), "n"), "2");
  EXPECT_EQ(attribute(first_child(parsed->root(), "B"), "n"), "3");
  EXPECT_FALSE(first_element(*parsed, "Missing"));
  EXPECT_FALSE(first_child(parsed->root(), "r"));

  // Only one leading byte-order mark belongs to the encoding; columns count it.
  const Rejected cases[] = {
      {"two marks", "\xEF\xBB\xBF\xEF\xBB\xBF<r/>", "not well-formed (invalid token) at 1:2"},
      {"mark after a blank", " \xEF\xBB\xBF<r/>", "not well-formed (invalid token) at 1:2"},
      {"column after a mark", "\xEF\xBB\xBF<a></b>", "mismatched tag at 1:7"},
  };
  expect_rejected(cases);
}

TEST(Xml, DeepNestingNeedsNoStack) {
  constexpr int kDepth = 200000;
  std::string doc;
  for (int i = 0; i < kDepth; ++i) doc += "<e>";
  doc += "<Target>t</Target>";
  for (int i = 0; i < kDepth; ++i) doc += "</e>";
  auto parsed = parse(doc);
  ASSERT_TRUE(parsed) << parsed.error().text();
  Element target = first_element(*parsed, "Target");
  ASSERT_TRUE(target);
  EXPECT_EQ(text(target), "t");
}

}  // namespace
}  // namespace karvel::raw::xml
