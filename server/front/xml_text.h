#pragma once
// Byte-level passes over the XML that crosses the front: requests before the
// SOAP runtime reads them, answers before they go on the wire. Each pass is
// linear in its input and leaves text it has no business with unchanged.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ferro::xml {

// Whether XML 1.0 allows the character in a document.
bool XmlAllows(uint32_t code_point);

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

// The Unicode code point of a Windows-1252 byte (bytes the code page leaves
// undefined map to the code point of the same value).
uint32_t Windows1252ToUnicode(unsigned char byte);

// Makes serialised XML text well-formed: a byte sequence that is not UTF-8 is
// read as Windows-1252 (the code page of agents that send such bytes), and a
// character that XML 1.0 does not allow (control characters, surrogates,
// U+FFFE and U+FFFF), raw or as a character reference, becomes U+FFFD.
// Returns nothing when the text is fine as it is.
std::optional<std::string> RepairText(std::string_view xml);

// Repairs the body of a complete HTTP answer in place and corrects its
// Content-Length to match.
void RepairAnswer(std::string& answer);

}  // namespace ferro::xml
