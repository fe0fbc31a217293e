#pragma once
// Which members a SOAP request actually carries. The runtime reads a member
// that is left out of a request as 0 or empty text, the same as one sent
// empty; operations that change an agent must tell the two apart, so that a
// client sending only what it changes does not wipe the rest.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ferro {

struct GivenMembers {
  // False when the request could not be read for its members: then every
  // member counts as given, which is what the runtime's values say.
  bool known = false;
  // Local names of the elements given, in request order. An element marked
  // xsi:nil="true" is not given.
  std::vector<std::string> names;

  bool Has(std::string_view name) const;
};

// Reads the request envelope `xml` for the elements directly inside the
// operation element (the first element inside the SOAP Body) or, when
// `within` is given, directly inside the operation's child of that local
// name (none given when there is no such child). Prefixes are ignored.
// Linear in the input and bounded: at most kMaxGivenMembers names are kept.
GivenMembers FindGivenMembers(std::string_view xml, std::string_view within = {});

inline constexpr size_t kMaxGivenMembers = 512;

}  // namespace ferro
