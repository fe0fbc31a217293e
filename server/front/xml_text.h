#pragma once
// Byte-level passes over the XML that crosses the front: requests before the
// SOAP runtime reads them, answers before they go on the wire. Each pass is
// linear in its input and leaves text it has no business with unchanged.
// What makes text itself fit for XML (the repair of an answer's text, the
// characters XML allows) is the text module's (platform/text.h).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ferro::xml {

// Rewrites the numeric character references to code points above U+FFFF
// (such as "&#x1F600;") in XML text as the UTF-8 bytes they stand for. The
// SOAP runtime decodes such references into wide strings with a stray ";"
// behind the character; raw UTF-8 it decodes correctly. CDATA sections and
// comments, where a reference is literal text, stay as they are.
std::string DecodeAstralReferences(std::string_view xml);

// Bounds on the markup of one request. The runtime keeps every attribute
// name it meets in a request in one list, which it walks for every element
// and every attribute, and the namespace declarations in force in another,
// which it walks for every name it resolves: unbounded, a request of a few
// hundred kilobytes keeps it busy for minutes. Clients of the service use a
// handful of each.
inline constexpr size_t kMaxAttributesPerElement = 32;  // namespace declarations included
inline constexpr size_t kMaxAttributeNames = 64;        // different names in one request
inline constexpr size_t kMaxNamespacesInScope = 32;     // declarations in force at once

// Why the runtime must not read the request body `xml`, or nothing when it
// may. The markup is read the way XML 1.0 reads it, and what XML does not
// allow in markup is refused, since the runtime reads that its own way: an
// unquoted or unterminated attribute value, '<' in one, '&' that starts no
// reference, "--" inside a comment, a document type declaration, '<'
// followed by white space. Every attribute the runtime sees has so been
// seen here. Also refused: multi-reference attributes ("href", "id" or
// "ref" in any namespace but xmlns; no client needs them, and resolving
// them costs the runtime time and memory far beyond the size of the
// request) and markup beyond the bounds above. Linear in the input.
std::optional<std::string_view> RequestRefusal(std::string_view xml);

// Repairs the body of a complete HTTP answer in place (xml::RepairText) and
// corrects its Content-Length to match.
void RepairAnswer(std::string& answer);

}  // namespace ferro::xml
