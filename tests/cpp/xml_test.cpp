#include "raw/xml.hpp"

#include <gtest/gtest.h>

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

TEST(Xml, NotWellFormedDocumentsFail) {
  EXPECT_EQ(error_of("<a><b></a>"), "Start-end tags mismatch at 1:9");
  EXPECT_EQ(error_of("<a>\n<b>"), "Start-end tags mismatch at 2:3");
  EXPECT_EQ(error_of(""), "no root element at 1:1");
  EXPECT_EQ(error_of("  \n <!-- only a comment -->"), "no root element at 2:25");
  EXPECT_EQ(error_of("<a/>junk"), "unexpected text outside the root element at 1:5");
  EXPECT_EQ(error_of("text<a/>"), "unexpected text outside the root element at 1:1");
  EXPECT_EQ(error_of("<a/><b/>"), "unexpected element after the root element at 1:6");
  EXPECT_EQ(error_of("<a/><![CDATA[x]]>"), "unexpected CDATA outside the root element at 1:14");
  EXPECT_EQ(error_of("<a/><?xml version=\"1.0\"?>"), "unexpected XML declaration at 1:7");
  EXPECT_EQ(error_of("<a></a"), "Error parsing end element tag at 1:6");
  EXPECT_EQ(error_of("<a b=1/>"), "Error parsing element attribute at 1:6");
  // pugixml would stop at a NUL and accept what came before it.
  EXPECT_EQ(error_of(std::string_view("<a/>\0<", 6)), "non-XML character at 1:5");
  EXPECT_EQ(error_of("<a>\x01</a>"), "non-XML character at 1:4");
}

TEST(Xml, DocumentTypeDeclarationsAreRejected) {
  EXPECT_EQ(error_of("<!DOCTYPE a><a/>"), "document type declaration is not allowed at 1:1");
  EXPECT_EQ(error_of("<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"x\">]>\n<a>&e;</a>"),
            "document type declaration is not allowed at 2:1");
  EXPECT_EQ(error_of("<a/><!DOCTYPE a>"), "document type declaration is not allowed at 1:5");
  EXPECT_FALSE(parse("<a><!DOCTYPE a></a>"));
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

  EXPECT_EQ(error_of("<a>&nbsp;</a>"), "invalid reference at 1:4");
  EXPECT_EQ(error_of("<a>x & y</a>"), "invalid reference at 1:6");
  EXPECT_EQ(error_of("<a>&#0;</a>"), "invalid reference at 1:4");
  EXPECT_EQ(error_of("<a>&#xD800;</a>"), "invalid reference at 1:4");
  EXPECT_EQ(error_of("<a>&#x110000;</a>"), "invalid reference at 1:4");
  EXPECT_EQ(error_of("<a>&#99999999999999999999;</a>"), "invalid reference at 1:4");
  EXPECT_EQ(error_of("<a>&#;</a>"), "invalid reference at 1:4");
  EXPECT_EQ(error_of("<a b='x<y'/>"), "invalid value of attribute \"b\" at 1:2");
  EXPECT_EQ(error_of("<a b='&bogus;'/>"), "invalid value of attribute \"b\" at 1:2");
  EXPECT_EQ(error_of("<r><a b='1' c='2' b='3'/></r>"), "duplicated attribute \"b\" at 1:5");
  // CDATA content is never decoded.
  EXPECT_EQ(child_text_of("<r><a><![CDATA[&bogus;<]]></a></r>", "a"), "&bogus;<");
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
  EXPECT_EQ(local_name("ns:Name"), "Name");
  EXPECT_EQ(local_name("Name"), "Name");
  EXPECT_EQ(local_name("a:b:Name"), "Name");

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

  // Only one leading byte-order mark belongs to the encoding.
  EXPECT_EQ(error_of("\xEF\xBB\xBF\xEF\xBB\xBF<r/>"),
            "unexpected text outside the root element at 1:1");
  EXPECT_EQ(error_of(" \xEF\xBB\xBF<r/>"), "unexpected text outside the root element at 1:1");
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
