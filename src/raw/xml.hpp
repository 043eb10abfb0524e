// The small XML layer shared by the side-file readers: a whole-document parse
// over expat into a read-only tree, element lookup by local name (namespaces
// ignored) and element text as the first child text node.
//
// A parsed document is well-formed, namespace-well-formed XML 1.0: expat
// checks the syntax, the characters, the XML declaration and the namespace
// prefixes. On top of that a document type declaration is refused, so no
// entity exists beyond the five predefined ones and character references, and
// nothing is ever loaded from elsewhere. The bytes are read as UTF-8 whatever
// the declaration names. Text and attribute values are returned with their
// references decoded and line ends normalised; CDATA sections count as text.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace karvel::raw::xml {

struct Tree;

// An element of a parsed document: a light handle, null when not found. It
// stays valid as long as its Document (moving the Document keeps it valid).
class Element {
 public:
  Element() = default;
  Element(const Tree* tree, std::size_t index) : tree_(tree), index_(index) {}

  explicit operator bool() const { return tree_ != nullptr; }
  friend bool operator==(const Element&, const Element&) = default;

  const Tree* tree() const { return tree_; }
  std::size_t index() const { return index_; }

 private:
  const Tree* tree_ = nullptr;
  std::size_t index_ = 0;
};

class Document {
 public:
  Document(Document&&) noexcept;
  Document& operator=(Document&&) noexcept;
  ~Document();

  // The root element; never null.
  Element root() const { return element(0); }
  // Every element, numbered in document order (pre-order); the root is 0.
  std::size_t element_count() const;
  Element element(std::size_t index) const { return Element(tree_.get(), index); }

 private:
  friend Result<Document> parse(std::string_view text);
  explicit Document(std::unique_ptr<Tree> tree);

  std::unique_ptr<Tree> tree_;
};

// Parses a whole document held in memory. A leading U+FEFF is the encoding
// signature; a second one is text before the root element.
// Failure: a Parse error whose text is the parser's message followed by
// " at {line}:{column}", both counted from 1, columns in code points.
Result<Document> parse(std::string_view text);

// Every function below treats a null element as one without name, children,
// attributes or text.

// The name without its namespace: "Name" for <Name> and for <ns:Name>.
std::string_view local_name(Element element);

// The first child element of parent with that local name (null if none).
Element first_child(Element parent, std::string_view name);

// The next sibling element of element with that local name (null if none).
Element next_sibling(Element element, std::string_view name);

// Calls visit(child) for every child element of parent with that local name,
// in order.
template <class Visit>
void for_each_child(Element parent, std::string_view name, Visit&& visit) {
  for (Element child = first_child(parent, name); child; child = next_sibling(child, name)) {
    visit(child);
  }
}

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

// Calls visit(element) for every element of the document in document order
// until visit returns false.
template <class Visit>
void for_each_element(const Document& document, Visit&& visit) {
  const std::size_t count = document.element_count();
  for (std::size_t index = 0; index < count; ++index) {
    if (!visit(document.element(index))) return;
  }
}

// The first element of the document, in document order, with that local name.
Element first_element(const Document& document, std::string_view name);

}  // namespace karvel::raw::xml
