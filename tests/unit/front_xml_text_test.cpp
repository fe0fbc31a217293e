// Answers are made well-formed on their way out, with their length
// corrected (the repair of the text itself is platform/text.h's).
// Requests are checked, before the runtime reads them, for markup it reads
// its own way and for markup beyond its bounds.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "front/xml_text.h"

namespace {

using ferro::xml::RepairAnswer;
using ferro::xml::RequestRefusal;

TEST(RepairAnswer, CorrectsContentLength) {
  std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\n<a>\xE9\x01</a>";
  RepairAnswer(answer);
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 12\r\n\r\n"
            "<a>\xC3\xA9\xEF\xBF\xBD</a>");
  std::string fine = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n<a/>";
  const std::string before = fine;
  RepairAnswer(fine);
  EXPECT_EQ(fine, before);
}

// `count` attributes a<first>, a<first + 1>, ... as they stand in a tag.
std::string Attributes(size_t count, size_t first = 0) {
  std::string out;
  for (size_t i = first; i < first + count; ++i) out += " a" + std::to_string(i) + "=\"v\"";
  return out;
}

TEST(RequestRefusal, ServesWhatClientsSend) {
  for (const std::string_view xml :
       {// The browser page, the command line tools, the test clients.
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"s\" "
        "xmlns:ns=\"urn:Halvex\"><SOAP-ENV:Body><ns:SetTrapListenState><strUserName>a &amp; "
        "&lt;b&gt; &quot;c&quot; &apos;d&apos; &#233;&#xE9;</strUserName>"
        "</ns:SetTrapListenState></SOAP-ENV:Body></SOAP-ENV:Envelope>",
        // SOAP encoding as toolkits write it: types on every member,
        // single quotes, white space around '='.
        "<e:Envelope xmlns:e='s' xmlns:xsi='i' xmlns:xsd='d' e:encodingStyle='enc'>\n"
        "  <e:Body><h:Op xmlns:h='urn:Halvex'><n xsi:type = \"xsd:int\" >1</n>"
        "<t xsi:type='xsd:string' xsi:nil='true'/></h:Op></e:Body></e:Envelope>\r\n",
        // Comments, CDATA, processing instructions and '>' in text.
        "<!-- a - b --><?pi x?><a><![CDATA[<b href='#1'> & ]]]><!----><c>1 > 0</c></a>",
        // Names in other scripts.
        "<\xC3\xA9l \xC3\xA9=\"1\">\xEF\xBB\xBF\xEF\xBB\x80</\xC3\xA9l >", "", "not XML at all"}) {
    EXPECT_EQ(RequestRefusal(xml), std::nullopt) << xml;
  }
}

TEST(RequestRefusal, RefusesMultiReferences) {
  for (const std::string_view xml :
       {"<a><b href=\"#1\"/><c id=\"1\">x</c></a>", "<a x='1'\n\tenc:ref = 'id1'/>",
        "<a enc:id=\"id1\">", "<a b:c:href='1'/>"}) {
    EXPECT_EQ(RequestRefusal(xml), "multi-reference (href/id) input is not accepted") << xml;
  }
  for (const std::string_view xml :
       {"<e:Envelope xmlns:e=\"u\" xmlns:id=\"v\"><b><name>id=\"1\" href=</name></b></e:Envelope>",
        "<a><![CDATA[<b href='1'>]]><!-- <c id='2'> --></a>",
        "<a hrefx='1' xid=\"2\" data-id='3'/>"}) {
    EXPECT_EQ(RequestRefusal(xml), std::nullopt) << xml;
  }
}

// Each of these the runtime reads otherwise than XML does, and each would
// hide a reference (or any number of attributes) from a check that read it
// as XML or stopped at it.
TEST(RequestRefusal, RefusesMarkupTheRuntimeReadsItsOwnWay) {
  const struct {
    std::string_view xml, reason;
  } cases[] = {
      // Unquoted values: the runtime reads them to the next blank.
      {"<x a=1 href=\"#r\">", "unquoted attribute value"},
      {"<x a=\"1\" b=2/>", "unquoted attribute value"},
      // A value runs to its quote for the runtime; '<' in one starts a
      // comment or CDATA section that it skips, quote included.
      {"<x a=\"<!--\" > <![CDATA[ --> \" href=\"#r\" ]]>\">", "'<' inside an attribute value"},
      // '&' swallows up to seven characters: a quote, a '<'.
      {"<x a=\"&bc\"><![CDATA[\" href=\"#r\" b=\"]]>\">",
       "'&' that starts no character or entity reference"},
      {"<a>&ab<!-- <y href=\"#r\"/> --></a>", "'&' that starts no character or entity reference"},
      {"<a>&nbsp;</a>", "'&' that starts no character or entity reference"},
      // A comment ends at its first "--" for the runtime.
      {"<!-- -- > <y href=\"#r\"/> -->", "'--' inside a comment"},
      // A processing instruction ends at its first '?'.
      {"<?pi ? > <y href=\"#r\"/> ?>", "'?' inside a processing instruction"},
      {"<!DOCTYPE a [<!ENTITY e \"x\">]><a/>", "document type declarations are not accepted"},
      {"<![IGNORE[ <y href='#r'/> ]]>", "document type declarations are not accepted"},
      // White space (any control character, for the runtime) after '<'
      // or in place of it between attributes.
      {"< !-- --><y href=\"#r\"/>", "malformed tag"},
      {"<x\x0Bhref=\"#r\"/>", "malformed tag"},
      {"<x a='1'\x01href='#r'/>", "malformed tag"},
      {"<x a='1'b='2'/>", "malformed tag"},
      {"<x a/>", "malformed tag"},
      {"<x/ href=\"#r\">", "malformed tag"},
      {"<a></ a>", "malformed tag"},
      {"</a>", "malformed tag"},
      // EF BB and the byte after them are one character to the runtime.
      {"<a>\xEF\xBB<!-- <y href=\"#r\"/> --></a>", "malformed UTF-8"},
      {"<a x='1", "unterminated markup"},
      {"<a x='unterminated id='1'", "malformed tag"},
      {"<a><![CDATA[ <b>", "unterminated markup"},
      {"<!-- x -", "unterminated markup"},
      {"<?pi", "unterminated markup"},
      {"<a", "unterminated markup"},
  };
  for (const auto& c : cases) EXPECT_EQ(RequestRefusal(c.xml), c.reason) << c.xml;
}

TEST(RequestRefusal, BoundsAttributesNamesAndNamespaces) {
  using ferro::xml::kMaxAttributeNames;
  using ferro::xml::kMaxAttributesPerElement;
  using ferro::xml::kMaxNamespacesInScope;
  // On one element.
  EXPECT_EQ(RequestRefusal("<e" + Attributes(kMaxAttributesPerElement) + "/>"), std::nullopt);
  EXPECT_EQ(RequestRefusal("<e" + Attributes(kMaxAttributesPerElement + 1) + "/>"),
            "too many attributes on one element");
  // Different names in the whole request, one per element.
  std::string names;
  for (size_t i = 0; i < kMaxAttributeNames; ++i) names += "<e" + Attributes(1, i) + "/>";
  EXPECT_EQ(RequestRefusal(names + names), std::nullopt);
  EXPECT_EQ(RequestRefusal(names + "<e" + Attributes(1, kMaxAttributeNames) + "/>"),
            "too many different attribute names");

  // Declarations count while their element is open (an empty element's
  // while the runtime holds them), in any nesting.
  auto declarations = [](size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += " xmlns:p" + std::to_string(i) + "='u'";
    return out;
  };
  const std::string half = declarations(kMaxNamespacesInScope / 2);
  const std::string nested = "<a" + half + "><b xmlns='u'" + half.substr(0, half.rfind(' ')) + ">";
  EXPECT_EQ(RequestRefusal(nested + "<c/></b></a>"), std::nullopt);
  EXPECT_EQ(RequestRefusal(nested + "<c xmlns:q='u'/></b></a>"),
            "too many namespace declarations in force");
  EXPECT_EQ(RequestRefusal(nested + "<c><d xmlns:q='u'/></c></b></a>"),
            "too many namespace declarations in force");
  // Closed elements take theirs along: siblings may each declare the most.
  std::string siblings = "<a>";
  for (int i = 0; i < 100; ++i) siblings += "<b" + declarations(kMaxNamespacesInScope) + "></b>";
  EXPECT_EQ(RequestRefusal(siblings + "<c" + declarations(kMaxNamespacesInScope) + "/></a>"),
            std::nullopt);
}

}  // namespace
