#pragma once
// Byte-level passes over the XML that crosses the front: requests before the
// SOAP runtime reads them, answers before they go on the wire. Each pass is
// linear in its input and leaves text it has no business with unchanged.

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

// True when a start tag carries a multi-reference attribute ("href", "id" or
// "ref" in any namespace but xmlns). No client of the service needs them,
// and resolving them costs the runtime time and memory far beyond the size
// of the request, so such requests are refused unread.
bool HasReferenceAttribute(std::string_view xml);

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
