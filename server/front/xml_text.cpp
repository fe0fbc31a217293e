#include "xml_text.h"

#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace ferro::xml {
namespace {

// Length of the section of literal text ("<![CDATA[...]]>" or a comment)
// that starts at `pos`, or 0 when none starts there. An unterminated section
// runs to the end.
size_t LiteralSection(std::string_view xml, size_t pos) {
  for (const auto& [open, close] :
       {std::pair<std::string_view, std::string_view>{"<![CDATA[", "]]>"}, {"<!--", "-->"}}) {
    if (xml.substr(pos, open.size()) == open) {
      const size_t end = xml.find(close, pos + open.size());
      return (end == std::string_view::npos ? xml.size() : end + close.size()) - pos;
    }
  }
  return 0;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// Length of the character or entity reference at `pos` ("&#60;", "&#x3C;",
// "&lt;"), or 0 when none is there. Without a document type only the five
// entities XML predefines exist.
size_t ReferenceLength(std::string_view s, size_t pos) {
  if (s.substr(pos, 2) == "&#") {
    const auto ref = ParseCharacterReference(s, pos);
    return ref ? ref->second : 0;
  }
  for (const std::string_view entity : {"&lt;", "&gt;", "&amp;", "&quot;", "&apos;"}) {
    if (s.substr(pos, entity.size()) == entity) return entity.size();
  }
  return 0;
}

constexpr std::string_view kBadUtf8 = "malformed UTF-8";
constexpr std::string_view kMultiReference = "multi-reference (href/id) input is not accepted";
constexpr std::string_view kBadReference = "'&' that starts no character or entity reference";
constexpr std::string_view kUnterminated = "unterminated markup";
constexpr std::string_view kBadComment = "'--' inside a comment";
constexpr std::string_view kDeclaration = "document type declarations are not accepted";
constexpr std::string_view kBadPi = "'?' inside a processing instruction";
constexpr std::string_view kBadTag = "malformed tag";
constexpr std::string_view kUnquoted = "unquoted attribute value";
constexpr std::string_view kLtInValue = "'<' inside an attribute value";
constexpr std::string_view kManyAttributes = "too many attributes on one element";
constexpr std::string_view kManyNames = "too many different attribute names";
constexpr std::string_view kManyNamespaces = "too many namespace declarations in force";

// One pass over a request body, markup by markup.
class RequestScan {
 public:
  explicit RequestScan(std::string_view xml) : xml_(xml) {}

  std::optional<std::string_view> Run() {
    // Where it looks for the next tag, the runtime takes EF BB and the byte
    // after them for a byte order mark or a character, even when that byte
    // is a '<'.
    for (size_t p = xml_.find("\xEF\xBB"); p != std::string_view::npos;
         p = xml_.find("\xEF\xBB", p + 1)) {
      if (p + 2 >= xml_.size() || (static_cast<unsigned char>(xml_[p + 2]) & 0xC0) != 0x80) {
        return kBadUtf8;
      }
    }
    while ((pos_ = xml_.find_first_of("<&", pos_)) != std::string_view::npos) {
      if (xml_[pos_] == '&') {
        const size_t length = ReferenceLength(xml_, pos_);
        if (length == 0) return kBadReference;
        pos_ += length;
      } else if (const auto refusal = Markup()) {
        return refusal;
      }
    }
    return std::nullopt;
  }

 private:
  size_t SkipSpace(size_t p) const {
    while (p < xml_.size() && IsSpace(xml_[p])) ++p;
    return p;
  }
  size_t NameEnd(size_t p) const {
    while (p < xml_.size() && IsNameChar(xml_[p])) ++p;
    return p;
  }
  bool At(size_t p, std::string_view text) const { return xml_.substr(p, text.size()) == text; }

  // The markup that starts with the '<' at pos_.
  std::optional<std::string_view> Markup() {
    if (At(pos_, "<!--")) {
      // The runtime ends a comment at its first "--", wherever a '>' follows.
      const size_t end = xml_.find("--", pos_ + 4);
      if (end == std::string_view::npos || end + 2 >= xml_.size()) return kUnterminated;
      if (xml_[end + 2] != '>') return kBadComment;
      pos_ = end + 3;
      return std::nullopt;
    }
    if (At(pos_, "<![CDATA[")) {
      const size_t end = xml_.find("]]>", pos_ + 9);
      if (end == std::string_view::npos) return kUnterminated;
      pos_ = end + 3;
      return std::nullopt;
    }
    if (At(pos_, "<!")) return kDeclaration;
    if (At(pos_, "<?")) {
      // The runtime ends a processing instruction at its first '?'.
      const size_t end = xml_.find('?', pos_ + 2);
      if (end == std::string_view::npos || end + 1 >= xml_.size()) return kUnterminated;
      if (xml_[end + 1] != '>') return kBadPi;
      pos_ = end + 2;
      return std::nullopt;
    }
    if (At(pos_, "</")) return EndTag();
    return StartTag();
  }

  std::optional<std::string_view> EndTag() {
    const size_t name = pos_ + 2;
    if (name >= xml_.size() || !IsNameStart(xml_[name])) return kBadTag;
    const size_t p = SkipSpace(NameEnd(name));
    if (p >= xml_.size()) return kUnterminated;
    if (xml_[p] != '>' || depth_ == 0) return kBadTag;
    if (!declaring_.empty() && declaring_.back().first == depth_) {
      in_scope_ -= declaring_.back().second;
      declaring_.pop_back();
    }
    --depth_;
    pos_ = p + 1;
    return std::nullopt;
  }

  std::optional<std::string_view> StartTag() {
    size_t p = pos_ + 1;
    if (p >= xml_.size()) return kUnterminated;
    if (!IsNameStart(xml_[p])) return kBadTag;
    p = NameEnd(p);
    size_t attributes = 0, declarations = 0;
    bool empty = false;
    for (;;) {
      const size_t space = p;
      p = SkipSpace(p);
      if (p >= xml_.size()) return kUnterminated;
      if (xml_[p] == '>') {
        ++p;
        break;
      }
      if (xml_[p] == '/') {
        if (p + 1 >= xml_.size()) return kUnterminated;
        if (xml_[p + 1] != '>') return kBadTag;
        p += 2;
        empty = true;
        break;
      }
      // An attribute: name, '=', quoted value.
      if (p == space || !IsNameStart(xml_[p])) return kBadTag;
      const size_t name_start = p;
      p = NameEnd(p);
      const std::string_view name = xml_.substr(name_start, p - name_start);
      p = SkipSpace(p);
      if (p >= xml_.size()) return kUnterminated;
      if (xml_[p] != '=') return kBadTag;
      p = SkipSpace(p + 1);
      if (p >= xml_.size()) return kUnterminated;
      const char quote = xml_[p];
      if (quote != '"' && quote != '\'') return kUnquoted;
      for (++p;;) {
        if (p >= xml_.size()) return kUnterminated;
        const char c = xml_[p];
        if (c == quote) break;
        if (c == '<') return kLtInValue;
        if (c == '&') {
          const size_t length = ReferenceLength(xml_, p);
          if (length == 0) return kBadReference;
          p += length;
        } else {
          ++p;
        }
      }
      ++p;

      if (++attributes > kMaxAttributesPerElement) return kManyAttributes;
      if (name == "xmlns" || name.substr(0, 6) == "xmlns:") {
        ++declarations;
      } else {
        const size_t colon = name.rfind(':');
        const std::string_view local =
            colon == std::string_view::npos ? name : name.substr(colon + 1);
        if (local == "href" || local == "id" || local == "ref") return kMultiReference;
      }
      if (names_.insert(name).second && names_.size() > kMaxAttributeNames) return kManyNames;
    }
    // The runtime holds the declarations of an empty element until it reads
    // the next tag.
    if (in_scope_ + declarations > kMaxNamespacesInScope) return kManyNamespaces;
    if (!empty) {
      ++depth_;
      if (declarations != 0) {
        declaring_.emplace_back(depth_, declarations);
        in_scope_ += declarations;
      }
    }
    pos_ = p;
    return std::nullopt;
  }

  std::string_view xml_;
  size_t pos_ = 0;
  size_t depth_ = 0;  // elements open
  // The open elements that declare namespaces: their depth and how many.
  // At most kMaxNamespacesInScope.
  std::vector<std::pair<size_t, size_t>> declaring_;
  size_t in_scope_ = 0;
  std::unordered_set<std::string_view> names_;  // at most kMaxAttributeNames + 1
};

}  // namespace

std::string DecodeAstralReferences(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  size_t pos = 0;
  while (pos < xml.size()) {
    const size_t next = xml.find_first_of("&<", pos);
    if (next == std::string_view::npos) break;
    out.append(xml.substr(pos, next - pos));
    pos = next;
    if (xml[pos] == '<') {
      const size_t literal = LiteralSection(xml, pos);
      const size_t take = literal == 0 ? 1 : literal;
      out.append(xml.substr(pos, take));
      pos += take;
      continue;
    }
    if (xml.substr(pos, 2) == "&#") {
      if (const auto ref = ParseCharacterReference(xml, pos);
          ref && ref->first > 0xFFFF && ref->first <= 0x10FFFF) {
        AppendUtf8(out, ref->first);
        pos += ref->second;
        continue;
      }
    }
    out.push_back(xml[pos++]);
  }
  if (pos < xml.size()) out.append(xml.substr(pos));
  return out;
}

std::optional<std::string_view> RequestRefusal(std::string_view xml) {
  return RequestScan(xml).Run();
}

void RepairAnswer(std::string& answer) {
  const size_t head_end = answer.find("\r\n\r\n");
  if (head_end == std::string::npos) return;
  const size_t body_start = head_end + 4;
  auto repaired = RepairText(std::string_view(answer).substr(body_start));
  if (!repaired) return;
  std::string head = answer.substr(0, body_start);
  // The runtime writes the header name as "Content-Length".
  const size_t key = head.find("\r\nContent-Length:");
  if (key != std::string::npos) {
    const size_t value = key + 17;
    const size_t eol = head.find("\r\n", value);
    head.replace(value, eol - value, " " + std::to_string(repaired->size()));
  }
  answer = std::move(head);
  answer += *repaired;
}

}  // namespace ferro::xml
