#include "service/request_members.h"

#include <algorithm>

namespace ferro {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view LocalName(std::string_view name) {
  const size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

struct StartTag {
  std::string_view name;  // local name
  bool empty = false;     // "<x/>"
  bool nil = false;       // xsi:nil="true"
};

// Reads the start tag at `pos` (just after its "<") up to and including its
// ">"; false when the input ends first.
bool ReadStartTag(std::string_view xml, size_t& pos, StartTag& tag) {
  const size_t n = xml.size();
  const size_t begin = pos;
  while (pos < n && !IsSpace(xml[pos]) && xml[pos] != '>' && xml[pos] != '/') ++pos;
  tag = StartTag{LocalName(xml.substr(begin, pos - begin))};
  for (;;) {
    while (pos < n && IsSpace(xml[pos])) ++pos;
    if (pos >= n) return false;
    if (xml[pos] == '>') {
      ++pos;
      return true;
    }
    if (xml[pos] == '/') {
      ++pos;
      if (pos < n && xml[pos] == '>') {
        ++pos;
        tag.empty = true;
        return true;
      }
      continue;
    }
    const size_t name_begin = pos;
    while (pos < n && !IsSpace(xml[pos]) && xml[pos] != '=' && xml[pos] != '>' && xml[pos] != '/') {
      ++pos;
    }
    const std::string_view attribute = xml.substr(name_begin, pos - name_begin);
    while (pos < n && IsSpace(xml[pos])) ++pos;
    std::string_view value;
    if (pos < n && xml[pos] == '=') {
      ++pos;
      while (pos < n && IsSpace(xml[pos])) ++pos;
      if (pos < n && (xml[pos] == '"' || xml[pos] == '\'')) {
        const size_t close = xml.find(xml[pos], pos + 1);
        if (close == std::string_view::npos) return false;
        value = xml.substr(pos + 1, close - pos - 1);
        pos = close + 1;
      } else {
        const size_t value_begin = pos;
        while (pos < n && !IsSpace(xml[pos]) && xml[pos] != '>') ++pos;
        value = xml.substr(value_begin, pos - value_begin);
      }
    }
    if (LocalName(attribute) == "nil" && (value == "true" || value == "1")) tag.nil = true;
    if (pos == name_begin) ++pos;  // a stray character: step over it
  }
}

// Skips markup that is no element ("<?...?>", "<!--...-->", CDATA, a
// declaration) starting at `lt`. Returns where scanning goes on, `lt` when
// it is an element's tag, or npos when the input ends inside it.
size_t SkipOtherMarkup(std::string_view xml, size_t lt) {
  const std::string_view rest = xml.substr(lt);
  const auto past = [&](std::string_view close, size_t from) {
    const size_t at = xml.find(close, lt + from);
    return at == std::string_view::npos ? at : at + close.size();
  };
  if (rest.starts_with("<?")) return past("?>", 2);
  if (rest.starts_with("<!--")) return past("-->", 4);
  if (rest.starts_with("<![CDATA[")) return past("]]>", 9);
  if (rest.starts_with("<!")) return past(">", 2);
  return lt;
}

}  // namespace

bool GivenMembers::Has(std::string_view name) const {
  return !known || std::find(names.begin(), names.end(), name) != names.end();
}

GivenMembers FindGivenMembers(std::string_view xml, std::string_view within) {
  GivenMembers out;
  // Depths of the elements on the way down: the Body (in the envelope), the
  // operation (first element in the Body) and the element whose children
  // are the members.
  int depth = 0;
  int body = -1;
  int operation = -1;
  int holder = -1;
  size_t pos = 0;
  for (;;) {
    const size_t lt = xml.find('<', pos);
    if (lt == std::string_view::npos) return out;
    pos = SkipOtherMarkup(xml, lt);
    if (pos == std::string_view::npos) return out;
    if (pos != lt) continue;
    if (lt + 1 < xml.size() && xml[lt + 1] == '/') {
      const size_t gt = xml.find('>', lt);
      if (gt == std::string_view::npos) return out;
      pos = gt + 1;
      // The holder or the operation closing ends the search.
      if (depth == holder || depth == operation) return out;
      --depth;
      continue;
    }
    pos = lt + 1;
    StartTag tag;
    if (!ReadStartTag(xml, pos, tag)) return out;
    ++depth;
    if (body < 0) {
      if (depth == 2 && tag.name == "Body") body = depth;
    } else if (operation < 0) {
      if (depth == body + 1) {
        operation = depth;
        out.known = true;
        if (within.empty()) holder = depth;
      }
    } else if (holder < 0) {
      if (depth == operation + 1 && tag.name == within) holder = depth;
    } else if (depth == holder + 1 && !tag.nil && out.names.size() < kMaxGivenMembers) {
      out.names.emplace_back(tag.name);
    }
    if (tag.empty) {
      if (depth == holder || depth == operation) return out;
      --depth;
    }
  }
}

}  // namespace ferro
