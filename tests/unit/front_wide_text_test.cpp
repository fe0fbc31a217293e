// Wide members of the contract as the SOAP runtime decodes them from UTF-8,
// both as raw bytes and as character references.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "front/xml_text.h"
#include "soapH.h"

namespace {

std::wstring DecodeSystemName(const std::string& xml_text) {
  // The server hands the runtime its requests with astral references decoded.
  const std::string doc =
      ferro::xml::DecodeAstralReferences("<ns:SwitchInfo xmlns:ns=\"urn:Halvex\"><systemName>" +
                                         xml_text + "</systemName></ns:SwitchInfo>");
  std::istringstream in(doc);
  struct soap ctx;
  soap_init(&ctx);
  soap_set_imode(&ctx, SOAP_C_UTFSTRING);
  ctx.is = &in;
  ns__SwitchInfo info;
  info.soap_default(&ctx);
  std::wstring result = L"<failed>";
  if (soap_read_ns__SwitchInfo(&ctx, &info) == SOAP_OK) result = info.systemName;
  soap_destroy(&ctx);
  soap_end(&ctx);
  soap_done(&ctx);
  return result;
}

TEST(WideText, DecodesUtf8AndReferences) {
  EXPECT_EQ(DecodeSystemName("plain"), L"plain");
  EXPECT_EQ(DecodeSystemName("Gr\xC3\xB6\xC3\x9F"
                             "e"),
            L"Gr\u00F6\u00DFe");
  EXPECT_EQ(DecodeSystemName("\xE5\x90\x8D"), L"\u540D");
  EXPECT_EQ(DecodeSystemName("a\xF0\x9F\x98\x80"
                             "b"),
            L"a\U0001F600b");
  EXPECT_EQ(DecodeSystemName("&#x41;&#228;"), L"A\u00E4");
}

TEST(WideText, CharacterReferenceAboveBmp) {
  EXPECT_EQ(DecodeSystemName("a&#x1F600;b"), L"a\U0001F600b");
  EXPECT_EQ(DecodeSystemName("&#128512;;"), L"\U0001F600;");
  EXPECT_EQ(DecodeSystemName("&#x10FFFF;&#x10000;"), L"\U0010FFFF\U00010000");
  // Literal text in CDATA keeps its reference as written.
  EXPECT_EQ(DecodeSystemName("<![CDATA[&#x1F600;]]>"), L"&#x1F600;");
}

}  // namespace
