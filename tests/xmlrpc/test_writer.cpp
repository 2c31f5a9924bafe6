#include "xmlrpc/xrpc_types.h"

#include "tests/xmlrpc/golden.h"

#include <gtest/gtest.h>

using namespace xrpc;
using namespace std::string_literals;

namespace {

TEST(XrpcWriter, RequestDocument)
{
    TXrpcFunction f;
    f.SetObjectMethod("SendData");
    f.AddItem("001A2B3C0000");
    f.AddItem(int32_t{-5});
    f.AddItem(true);
    f.AddItem(1.5);
    f.AddItemDateTime(EncodeDateTime(2026, 1, 31, 7, 5, 9));
    f.AddItemBase64("\x00\x01\x02"s);
    f.AddItem("a<b&c \xCF\xF0\xE8\xE2\xE5\xF2");
    f.AddNewItem(); // an empty parameter writes no value
    std::string expected = xrpctest::Golden("request.xml");
    const std::string emptyParam = "   <param>\r\n\r\n   </param>\r\n\r\n";
    expected.insert(expected.find("   </params>"), emptyParam);
    EXPECT_EQ(f.GetRequestXML(), expected);
}

TEST(XrpcWriter, ResponseDocuments)
{
    TXrpcFunction empty;
    EXPECT_EQ(empty.GetResponseXML(), xrpctest::Golden("response_empty.xml"));

    TXrpcFunction answer;
    answer.AddItem(false);
    EXPECT_EQ(answer.GetResponseXML(), xrpctest::Golden("response.xml"));

    auto s = std::make_shared<TXrpcStruct>();
    s->AddItemInteger("n", 1);
    s->AddItemString("s", "a<b");
    s->AddItemBoolean("ok", false);
    s->AddItemDouble("d", -0.5);
    s->AddItemDateTime("t", EncodeDateTime(2026, 1, 31, 7, 5, 9));
    s->AddItemBase64Text("b", "AAEC");
    auto list = std::make_shared<TXrpcArray>();
    list->AddItem(int32_t{2});
    list->AddItemBase64("\x00\x01\x02"s);
    list->AddItem("x");
    auto inner = std::make_shared<TXrpcStruct>();
    inner->AddItemString("k", "v");
    list->AddItemStruct(inner);
    list->AddNewItem(); // writes nothing inside an array
    s->AddItemArray("list", list);
    s->AddItem("none"); // a member without a value writes neither name nor value
    TXrpcFunction structured;
    structured.AddItemStruct(s);
    EXPECT_EQ(structured.GetResponseXML(), xrpctest::Golden("struct_response.xml"));
}

TEST(XrpcWriter, FaultDocuments)
{
    TXrpcFunction f;
    f.AddItem("dropped by SetError");
    f.SetError(1001, "x");
    const std::string fault = xrpctest::Golden("fault.xml");
    EXPECT_EQ(f.GetResponseXML(), fault);
    EXPECT_EQ(f.GetErrorXML(), fault);

    // A negative code is a fault too; it must not go out as an empty success.
    f.SetError(-5, "x");
    std::string negative = fault;
    negative.replace(negative.find("1001"), 4, "-5");
    EXPECT_EQ(f.GetResponseXML(), negative);

    // GetErrorXML writes the fault document whatever the code.
    TXrpcFunction none;
    EXPECT_NE(none.GetErrorXML().find("<int>0</int>"), std::string::npos);
}

TEST(XrpcWriter, TextsGivenAsTheyAreAreEscaped)
{
    // A fault that echoes a peer's method name must not break the document.
    TXrpcFunction f;
    f.SetError(1000, "Requested method was not registered on the server: a</string>&b");
    EXPECT_NE(f.GetErrorXML().find(
                  "<value><string>Requested method was not registered on the server: "
                  "a&lt;/string&gt;&amp;b</string></value>"),
              std::string::npos);

    TXrpcFunction call;
    call.SetObjectMethod("x<y>");
    EXPECT_NE(call.GetRequestXML().find("<methodName>x&lt;y&gt;</methodName>"),
              std::string::npos);

    TXrpcStruct s;
    s.AddItemInteger("a&b", 1);
    EXPECT_NE(s.GetAsXML().find("<name>a&amp;b</name>"), std::string::npos);
}

TEST(XrpcWriter, Base64OfFiftyEightBytesBreaksAfterSeventySixCharacters)
{
    TXrpcArray a;
    a.AddItemBase64(std::string(58, '\xAA'));
    const std::string text = a.GetItem(0).AsBase64Text();
    EXPECT_EQ(text.size(), 82u);
    EXPECT_EQ(text.find("\r\n"), 76u);
    EXPECT_NE(a.GetAsXML().find("<value><base64>" + text + "      </base64></value>"),
              std::string::npos);
}

} // namespace
