#include "raw/xml.hpp"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <vector>

#include "support/format.hpp"
#include "support/text.hpp"

namespace karvel::raw::xml {

// The parsed document: every element in document order, their attributes,
// and all names and texts in one pool.
struct Tree {
  static constexpr std::size_t kNone = SIZE_MAX;

  struct Piece {
    std::size_t offset = 0;
    std::size_t size = 0;
  };
  struct Node {
    Piece name;  // the local name
    std::size_t first_child = kNone;
    std::size_t next_sibling = kNone;
    std::size_t first_attribute = 0;
    std::size_t attribute_count = 0;
    std::optional<Piece> text;  // the leading text run
  };
  struct Attribute {
    Piece name;  // the local name
    Piece value;
  };

  std::string_view view(Piece piece) const {
    return std::string_view(pool).substr(piece.offset, piece.size);
  }
  const Node& node(Element element) const { return elements[element.index()]; }

  std::string pool;
  std::vector<Node> elements;
  std::vector<Attribute> attributes;
};

namespace {

// expat reports a namespaced name as "{uri}\n{local}"; a local name never
// holds a line feed.
constexpr char kNamespaceSeparator = '\n';
// expat takes input lengths as int.
constexpr std::size_t kChunkSize = std::size_t{1} << 30;

std::string_view local_part(const XML_Char* name) {
  const std::string_view qualified(name);
  const std::size_t separator = qualified.rfind(kNamespaceSeparator);
  return separator == std::string_view::npos ? qualified : qualified.substr(separator + 1);
}

// "{line}:{column}" of a byte offset in text, counted as expat counts: from
// 1, lines ended by LF, CR LF or CR, columns in code points.
std::string position(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, std::min(offset, text.size()));
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const bool crlf = before[i] == '\r' && i + 1 < before.size() && before[i + 1] == '\n';
    if (crlf) ++i;
    if (before[i] == '\n' || before[i] == '\r') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = 1;
  for_each_code_point(before.substr(line_start), [&column](char32_t, std::string_view) { ++column; });
  return str_cat(line, ":", column);
}

// Builds the tree from expat's events. What the tree does not keep (text
// after an element's first non-text child, comments, processing
// instructions) only ends the leading text run of the open element.
class Builder {
 public:
  Builder(XML_Parser parser, std::string_view text) : parser_(parser), text_(text) {}

  std::unique_ptr<Tree> take_tree() { return std::move(tree_); }
  // Why the builder stopped the parse, if it did.
  std::optional<std::string> refusal() const {
    if (out_of_memory_) return "out of memory";
    return refusal_;
  }

  static void XMLCALL on_start(void* self, const XML_Char* name, const XML_Char** attributes) {
    guarded(self, [&](Builder& builder) { builder.start_element(name, attributes); });
  }
  static void XMLCALL on_end(void* self, const XML_Char*) {
    guarded(self, [](Builder& builder) {
      if (!builder.open_.empty()) builder.open_.pop_back();
    });
  }
  static void XMLCALL on_text(void* self, const XML_Char* data, int length) {
    guarded(self, [&](Builder& builder) {
      builder.append_text(std::string_view(data, static_cast<std::size_t>(length)));
    });
  }
  static void XMLCALL on_cdata_start(void* self) {
    guarded(self, [](Builder& builder) { builder.append_text({}); });
  }
  static void XMLCALL on_comment(void* self, const XML_Char*) {
    guarded(self, [](Builder& builder) { builder.end_leading_text(); });
  }
  static void XMLCALL on_processing_instruction(void* self, const XML_Char*, const XML_Char*) {
    guarded(self, [](Builder& builder) { builder.end_leading_text(); });
  }
  static void XMLCALL on_doctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*,
                                 int) {
    guarded(self, [](Builder& builder) { builder.refuse_doctype(); });
  }

 private:
  enum class Leading { None, Text, Done };
  struct Open {
    std::size_t index;
    std::size_t last_child = Tree::kNone;
    Leading leading = Leading::None;
  };

  // Runs one event; running out of memory stops the parse instead of
  // unwinding through expat.
  template <class Event>
  static void guarded(void* self, Event&& event) {
    auto& builder = *static_cast<Builder*>(self);
    // expat may still report the rest of the current token after a stop.
    if (builder.stopped_) return;
    try {
      event(builder);
    } catch (const std::bad_alloc&) {
      builder.out_of_memory_ = true;
      builder.stop();
    }
  }

  void stop() {
    stopped_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }

  Tree::Piece store(std::string_view value) {
    Tree::Piece piece{tree_->pool.size(), value.size()};
    tree_->pool.append(value);
    return piece;
  }

  void start_element(const XML_Char* name, const XML_Char** attributes) {
    const std::size_t index = tree_->elements.size();
    Tree::Node node;
    node.name = store(local_part(name));
    node.first_attribute = tree_->attributes.size();
    for (const XML_Char** pair = attributes; *pair != nullptr; pair += 2) {
      tree_->attributes.push_back({store(local_part(pair[0])), store(pair[1])});
    }
    node.attribute_count = tree_->attributes.size() - node.first_attribute;
    tree_->elements.push_back(node);
    if (!open_.empty()) {
      Open& parent = open_.back();
      parent.leading = Leading::Done;
      if (parent.last_child == Tree::kNone) {
        tree_->elements[parent.index].first_child = index;
      } else {
        tree_->elements[parent.last_child].next_sibling = index;
      }
      parent.last_child = index;
    }
    open_.push_back({index});
  }

  // Text of the open element extends its leading run while that is still
  // going; the run is contiguous in the pool because nothing else is stored
  // until it ends.
  void append_text(std::string_view text) {
    if (open_.empty()) return;
    Open& open = open_.back();
    if (open.leading == Leading::Done) return;
    auto& run = tree_->elements[open.index].text;
    if (open.leading == Leading::None) {
      run = Tree::Piece{tree_->pool.size(), 0};
      open.leading = Leading::Text;
    }
    tree_->pool.append(text);
    run->size += text.size();
  }

  void end_leading_text() {
    if (!open_.empty()) open_.back().leading = Leading::Done;
  }

  // The event is reported after the declaration's name; the message points
  // at its "<!".
  void refuse_doctype() {
    const XML_Index index = XML_GetCurrentByteIndex(parser_);
    const std::size_t at = index < 0 ? 0 : static_cast<std::size_t>(index);
    const std::size_t start = std::min(text_.rfind("<!DOCTYPE", at), at);
    refusal_ = str_cat("document type declaration is not allowed at ", position(text_, start));
    stop();
  }

  XML_Parser parser_;
  std::string_view text_;
  std::unique_ptr<Tree> tree_ = std::make_unique<Tree>();
  std::vector<Open> open_;
  std::optional<std::string> refusal_;
  bool out_of_memory_ = false;
  bool stopped_ = false;
};

struct ParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using ParserHandle = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

// Feeds the whole text; false when expat stopped with an error.
bool feed(XML_Parser parser, std::string_view text) {
  do {
    const std::size_t size = std::min(text.size(), kChunkSize);
    const bool last = size == text.size();
    if (XML_Parse(parser, text.data(), static_cast<int>(size), last ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
      return false;
    }
    text.remove_prefix(size);
  } while (!text.empty());
  return true;
}

std::string expat_error(XML_Parser parser) {
  return str_cat(XML_ErrorString(XML_GetErrorCode(parser)), " at ",
                 XML_GetCurrentLineNumber(parser), ":", XML_GetCurrentColumnNumber(parser) + 1);
}

}  // namespace

Document::Document(std::unique_ptr<Tree> tree) : tree_(std::move(tree)) {}
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

std::size_t Document::element_count() const { return tree_->elements.size(); }

Result<Document> parse(std::string_view text) {
  // The file is UTF-8 text whatever its declaration says.
  ParserHandle parser(XML_ParserCreateNS("UTF-8", kNamespaceSeparator));
  if (!parser) return parse_error("out of memory");
  Builder builder(parser.get(), text);
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), Builder::on_start, Builder::on_end);
  XML_SetCharacterDataHandler(parser.get(), Builder::on_text);
  XML_SetStartCdataSectionHandler(parser.get(), Builder::on_cdata_start);
  XML_SetCommentHandler(parser.get(), Builder::on_comment);
  XML_SetProcessingInstructionHandler(parser.get(), Builder::on_processing_instruction);
  XML_SetStartDoctypeDeclHandler(parser.get(), Builder::on_doctype);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

  if (!feed(parser.get(), text)) {
    auto refusal = builder.refusal();
    return parse_error(refusal ? std::move(*refusal) : expat_error(parser.get()));
  }
  return Document(builder.take_tree());
}

std::string_view local_name(Element element) {
  if (!element) return {};
  return element.tree()->view(element.tree()->node(element).name);
}

namespace {

// The first element with that local name among index and its following
// siblings.
Element sibling_named(const Tree* tree, std::size_t index, std::string_view name) {
  for (; index != Tree::kNone; index = tree->elements[index].next_sibling) {
    if (tree->view(tree->elements[index].name) == name) return Element(tree, index);
  }
  return {};
}

}  // namespace

Element first_child(Element parent, std::string_view name) {
  if (!parent) return {};
  return sibling_named(parent.tree(), parent.tree()->node(parent).first_child, name);
}

Element next_sibling(Element element, std::string_view name) {
  if (!element) return {};
  return sibling_named(element.tree(), element.tree()->node(element).next_sibling, name);
}

std::optional<std::string_view> attribute(Element element, std::string_view name) {
  if (!element) return std::nullopt;
  const Tree& tree = *element.tree();
  const Tree::Node& node = tree.node(element);
  for (std::size_t k = 0; k < node.attribute_count; ++k) {
    const Tree::Attribute& candidate = tree.attributes[node.first_attribute + k];
    if (tree.view(candidate.name) == name) return tree.view(candidate.value);
  }
  return std::nullopt;
}

std::optional<std::string> text(Element element) {
  if (!element) return std::nullopt;
  const auto& run = element.tree()->node(element).text;
  if (!run) return std::nullopt;
  return std::string(element.tree()->view(*run));
}

std::optional<std::string> trimmed_text(Element element) {
  if (!element) return std::nullopt;
  const auto& run = element.tree()->node(element).text;
  if (!run) return std::nullopt;
  return std::string(trim_white_space(element.tree()->view(*run)));
}

Element first_element(const Document& document, std::string_view name) {
  Element found;
  for_each_element(document, [&](Element element) {
    if (local_name(element) != name) return true;
    found = element;
    return false;
  });
  return found;
}

}  // namespace karvel::raw::xml
