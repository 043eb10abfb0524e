// The small XML layer shared by the side-file readers: a strict whole-document
// parse over pugixml, element lookup by local name (any "prefix:" ignored) and
// element text as the first child text node.
//
// A parsed document is well formed: exactly one root element, nothing but
// white space, comments and processing instructions outside it, no document
// type declaration, every entity and character reference known and valid, no
// duplicate attribute names. Text and attribute values are returned with
// their references decoded; CDATA sections count as text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "support/error.hpp"

namespace karvel::raw::xml {

// An element of a parsed document (a light handle; null when not found).
using Element = pugi::xml_node;

class Document {
 public:
  // The root element; never null for a parsed document.
  Element root() const { return doc_->document_element(); }
  // The document node, parent of the root element (for document-order walks).
  pugi::xml_node node() const { return *doc_; }

 private:
  friend Result<Document> parse(std::string_view text);
  explicit Document(std::unique_ptr<pugi::xml_document> doc) : doc_(std::move(doc)) {}

  std::unique_ptr<pugi::xml_document> doc_;
};

// Parses a whole document held in memory. One leading U+FEFF is accepted.
// Failure: a Parse error whose text is the parser's message followed by
// " at {line}:{column}".
Result<Document> parse(std::string_view text);

// "ns:Name" -> "Name"; "Name" -> "Name".
std::string_view local_name(std::string_view qualified_name);
std::string_view local_name(Element element);

// The first child element of parent with that local name (null if none).
Element first_child(Element parent, std::string_view name);

// The value of the first attribute with that local name (namespace
// declarations are not attributes), untrimmed.
std::optional<std::string_view> attribute(Element element, std::string_view name);

// The element's text: its first child node when that is text or CDATA,
// together with the text and CDATA nodes that directly follow it. Nothing
// when the element is empty or its first child is an element, comment or
// processing instruction.
std::optional<std::string> text(Element element);

// text(element) trimmed of white space at both ends.
std::optional<std::string> trimmed_text(Element element);

// The node after node in document order (pre-order), staying inside the
// subtree of top; null at the end. Iterative, so depth costs no stack.
pugi::xml_node next_in_document_order(pugi::xml_node node, pugi::xml_node top);

// Calls visit(element) for every element of the document in document order
// until visit returns false.
template <class Visit>
void for_each_element(const Document& document, Visit&& visit) {
  const pugi::xml_node top = document.node();
  for (pugi::xml_node node = top.first_child(); node; node = next_in_document_order(node, top)) {
    if (node.type() == pugi::node_element && !visit(Element(node))) return;
  }
}

// The first element of the document, in document order, with that local name.
Element first_element(const Document& document, std::string_view name);

}  // namespace karvel::raw::xml
