#include "xmlrpc/xrpc_parser.h"

#include "tests/xmlrpc/golden.h"
#include "tests/xmlrpc/value_dump.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <locale>
#include <stdexcept>

using namespace xrpc;
using namespace std::string_literals;
using xrpctest::Dump;

namespace {

std::string Call(const std::string& param)
{
    return "<?xml version=\"1.0\"?><methodCall><methodName>m</methodName><params><param>" + param +
           "</param></params></methodCall>";
}

std::string Response(const std::string& param)
{
    return "<?xml version=\"1.0\"?><methodResponse><params><param>" + param +
           "</param></params></methodResponse>";
}

std::string ServerDump(const std::string& document)
{
    TXrpcServerParser p;
    p.Parse(document);
    std::string out;
    for (const auto& param : p.TakeParams())
        out += (out.empty() ? "" : " | ") + Dump(*param);
    return out;
}

std::string ClientDump(const std::string& document)
{
    TXrpcClientParser p;
    p.SetNormalizeEmptyValues(true); // as the client has it
    p.Parse(document);
    return Dump(*p.Result());
}

struct ValueCase
{
    const char* what;
    std::string value;
    std::string server;
    std::string client; // empty: as the server
};

TEST(XrpcParsers, ValueTableThroughBothParsers)
{
    const std::string nested =
        "<value><array><data>\n"
        "  <value><struct>\n"
        "    <member><name>k</name>\n"
        "      <value><array><data><value><int>1</int></value>"
        "<value><string>x</string></value></data></array></value>\n"
        "    </member>\n"
        "    <member><name>after</name><value><boolean>1</boolean></value></member>\n"
        "  </struct></value>\n"
        "  <value><i4>9</i4></value>\n"
        "</data></array></value>";
    const ValueCase cases[] = {
        {"text directly in a value", "<value>abc</value>", "s:abc", ""},
        {"empty string element", "<value><string></string></value>", "s:", ""},
        {"empty value element", "<value></value>", "s:", ""},
        {"the [NULL] marker", "<value><string>[NULL]</string></value>", "s:", ""},
        // Blank text is the string's value; only the one blank peers send for "empty" is not.
        {"one blank string", "<value><string> </string></value>", "s:", ""},
        {"two blanks string", "<value><string>  </string></value>", "s:  ", ""},
        {"line end string", "<value><string>\n</string></value>", "s:\n", ""},
        {"tab string", "<value><string>\t</string></value>", "s:\t", ""},
        {"blank directly in a value", "<value>\t </value>", "s:\t ", ""},
        {"layout around a typed value", "<value>\n  <int>3</int>\n</value>", "i:3", ""},
        {"layout around a skipped element", "<value>\n<nil/>\n</value>", "none", ""},
        {"blank strings in an array and a struct",
         "<value><array><data>\n<value><string>\t</string></value>\n<value>  </value>\n"
         "<value><struct><member><name>k</name><value><string>\n</string></value></member>"
         "</struct></value>\n</data></array></value>",
         "[s:\t,s:  ,{k=s:\n}]", ""},
        {"i4 with blanks", "<value><i4> 12 </i4></value>", "i:12", ""},
        {"int across lines", "<value><int>\n  -3\n</int></value>", "i:-3", ""},
        {"int4 (calls only)", "<value><int4>7</int4></value>", "i:7", "none"},
        {"double with exponent", "<value><double> 1.5e3 </double></value>", "d:1500", ""},
        {"boolean with blanks", "<value><boolean> 1 </boolean></value>", "b:1", ""},
        {"date", "<value><dateTime.iso8601>20260131T07:05:09</dateTime.iso8601></value>",
         "t:20260131T07:05:09", ""},
        {"split a&lt;b text", "<value><string>a&lt;b</string></value>", "s:a&lt;b", ""},
        {"CR LF text", "<value><string>line1\r\nline2</string></value>", "s:line1\nline2", ""},
        {"character references", "<value><string>&#1055;&#x440; &#20013;</string></value>",
         "s:\xCF\xF0 &#20013;", ""},
        {"CDATA dropped", "<value><string>a<![CDATA[<x>]]>b</string></value>", "s:ab", ""},
        {"comment inside text", "<value><string>a<!-- c -->b</string></value>", "s:ab", ""},
        {"empty-element value", "<value/>", "none", ""},
        {"empty-element string", "<value><string/></value>", "none", ""},
        {"empty-element array", "<value><array/></value>", "none", ""},
        {"unknown kinds", "<value><nil/></value><value><i8>5</i8></value>", "none", ""},
        {"empty array", "<value><array><data></data></array></value>", "[]", ""},
        {"array in a struct in an array", nested, "[{k=[i:1,s:x];after=b:1},i:9]", ""},
        {"multi-line Base64", "<value><base64>\nQUJD\nREVG\n</base64></value>", "64:ABCDEF", ""},
        {"duplicate member names",
         "<value><struct><member><name>A</name><value><int>1</int></value></member>"
         "<member><name>a</name><value>2</value></member></struct></value>",
         "{A=i:1;a=s:2}", ""},
        {"int4 member",
         "<value><struct><member><name>a</name><value><int4>1</int4></value></member>"
         "<member><name>b</name><value><int>2</int></value></member></struct></value>",
         "{a=i:1;b=i:2}", "{b=i:2}"},
        // A member whose value is an empty-element tag must not lend its name to the next
        // struct out.
        {"empty-element member value",
         "<value><struct><member><name>outer</name><value><struct>"
         "<member><name>gone</name><value/></member>"
         "<member><name>k</name><value><int>1</int></value></member>"
         "</struct></value></member></struct></value>",
         "{outer={k=i:1}}", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ServerDump(Call(c.value)), c.server) << c.what;
        EXPECT_EQ(ClientDump(Response(c.value)), c.client.empty() ? c.server : c.client) << c.what;
    }
}

TEST(XrpcParsers, TopLevelStringsAreUnescapedOnce)
{
    const std::string value = "<value><string>a&amp;lt;b</string></value>";
    TXrpcServerParser server;
    server.Parse(Call(value));
    EXPECT_EQ(server.TakeParams().at(0)->AsString(), "a&lt;b");
    TXrpcClientParser client;
    client.Parse(Response(value));
    EXPECT_EQ(client.Result()->AsString(), "a&lt;b");
}

TEST(XrpcParsers, SameCyrillicTextInUtf8AndWindows1251)
{
    const std::string cp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2"; // Привет
    const std::string utf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    auto body = [](const std::string& text) {
        return "<methodCall><methodName>" + text +
               "</methodName><params><param><value><struct>"
               "<member><name>" +
               text + "</name><value><string>" + text +
               "</string></value></member></struct></value></param></params></methodCall>";
    };
    const std::string docs[] = {
        "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>" + body(cp1251),
        "<?xml version=\"1.0\" encoding=\"windows-1251\" ?>\r\n" + body(cp1251),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + body(utf8),
        body(utf8), // no declaration: UTF-8
    };
    for (const auto& doc : docs) {
        TXrpcServerParser p;
        p.Parse(doc);
        EXPECT_EQ(p.MethodName(), cp1251);
        const auto params = p.TakeParams();
        ASSERT_EQ(params.size(), 1u);
        EXPECT_EQ(params[0]->AsStruct()->GetKey(cp1251).AsString(), cp1251);

        // The same value as an answer, through the answer reader (which refuses a text
        // without "xml", so not the one without a declaration).
        if (doc.find("<?xml") != 0)
            continue;
        std::string answer = doc;
        answer.replace(answer.find("<methodCall>"), 12, "<methodResponse>");
        answer.replace(answer.find("</methodCall>"), 13, "</methodResponse>");
        const size_t name = answer.find("<methodName>");
        answer.erase(name, answer.find("<params>") - name);
        TXrpcClientParser client;
        client.Parse(answer);
        EXPECT_EQ(client.Result()->AsStruct()->GetKey(cp1251).AsString(), cp1251) << answer;
    }
}

TEST(XrpcParsers, FaultDocuments)
{
    EXPECT_EQ(ClientDump(xrpctest::Golden("fault.xml")), "fault:1001:x");
    const std::string python =
        "<?xml version='1.0'?>\n<methodResponse>\n<fault>\n<value><struct>\n<member>\n"
        "<name>faultCode</name>\n<value><int>1002</int></value>\n</member>\n<member>\n"
        "<name>faultString</name>\n<value><string>bad &lt;md5&gt;</string></value>\n"
        "</member>\n</struct></value>\n</fault>\n</methodResponse>\n";
    EXPECT_EQ(ClientDump(python), "fault:1002:bad <md5>");
    // In a call, a struct parameter with a "faultCode" member becomes a fault item.
    EXPECT_EQ(ServerDump(Call("<value><struct><member><name>faultCode</name><value><int>7"
                              "</int></value></member><member><name>faultString</name><value>"
                              "<string>no</string></value></member></struct></value>")),
              "fault:7:no");
}

TEST(XrpcParsers, SeveralParameters)
{
    const std::string params = "<param><value><int>1</int></value></param>"
                               "<param><value><string>two</string></value></param>"
                               "<param><value><array><data><value>3</value></data></array>"
                               "</value></param>";
    EXPECT_EQ(ServerDump("<methodCall><methodName>m</methodName><params>" + params +
                         "</params></methodCall>"),
              "i:1 | s:two | [s:3]");
    EXPECT_EQ(ClientDump("<?xml version=\"1.0\"?><methodResponse><params>" + params +
                         "</params></methodResponse>"),
              "[s:3]");
}

TEST(XrpcParsers, OurOwnDocumentsReadBack)
{
    TXrpcServerParser server;
    server.Parse(xrpctest::Golden("request.xml"));
    EXPECT_EQ(server.MethodName(), "SendData");
    std::string all;
    for (const auto& p : server.TakeParams())
        all += Dump(*p) + " ";
    EXPECT_EQ(all, "s:001A2B3C0000 i:-5 b:1 d:1.5 t:20260131T07:05:09 64:\x00\x01\x02"s +
                       " s:a&lt;b&amp;c \xCF\xF0\xE8\xE2\xE5\xF2 ");
    EXPECT_EQ(ClientDump(xrpctest::Golden("struct_response.xml")),
              "{n=i:1;s=s:a&lt;b;ok=b:0;d=d:-0.5;t=t:20260131T07:05:09;b=64:\x00\x01\x02"s +
                  ";list=[i:2,64:\x00\x01\x02"s + ",s:x,{k=s:v}]}");
    EXPECT_EQ(ClientDump(xrpctest::Golden("response.xml")), "b:0");
    EXPECT_EQ(ClientDump(xrpctest::Golden("response_empty.xml")), "none");

    TXrpcFunction f;
    f.ParseRequest(xrpctest::Golden("request.xml"));
    EXPECT_EQ(f.ObjectMethod(), "SendData");
    EXPECT_EQ(f.Count(), 7);
    EXPECT_EQ(f.GetRequestXML(), xrpctest::Golden("request.xml"));
}

TEST(XrpcParsers, EmptyAndForeignAnswersAreErrorResults)
{
    struct Case
    {
        std::string answer;
        std::string result;
    };
    const Case cases[] = {
        {"", "fault:600:The xml-rpc server returned a empty response"},
        {" \r\n\t", "fault:600:The xml-rpc server returned a empty response"},
        {"<methodResponse/>", "fault:601:Invalid payload received from xml-rpc server"},
        {"HTTP/1.1 500 oops", "fault:601:Invalid payload received from xml-rpc server"},
        {"<methodResponse><!-- XmL --></methodResponse>", "none"}, // "xml" in any case
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClientDump(c.answer), c.result) << c.answer;
}

std::string Nest(int levels, const std::string& open, const std::string& close,
                 const std::string& core)
{
    std::string s;
    for (int i = 0; i < levels; ++i)
        s += open;
    s += core;
    for (int i = 0; i < levels; ++i)
        s += close;
    return s;
}

std::string ManyInts(int n)
{
    std::string s = "<value><array><data>";
    for (int i = 0; i < n; ++i)
        s += "<value><int>1</int></value>";
    return s + "</data></array></value>";
}

std::string ManyBareInts(int n)
{
    std::string s = "<value><array><data>";
    for (int i = 0; i < n; ++i)
        s += "<i4>1</i4>";
    return s + "</data></array></value>";
}

TEST(XrpcParsers, HostileAndMalformedDocumentsRaise)
{
    struct Case
    {
        const char* what;
        std::string document;
        const char* message; // a part of the error text
    };
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;\">]>"
        "<methodCall><methodName>&c;</methodName></methodCall>";
    const std::string external =
        "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<methodCall><methodName>&x;</methodName></methodCall>";
    const Case cases[] = {
        {"entity expansion", laughs, "DOCTYPE"},
        {"external entity", external, "DOCTYPE"},
        {"bare DOCTYPE", "<!DOCTYPE methodCall><methodCall/>", "DOCTYPE"},
        {"elements too deep", Call(Nest(62, "<x>", "</x>", "")), "deeper than 64"},
        {"values too deep", Call("<value>" + Nest(33, "<array>", "</array>", "") + "</value>"),
         "values deeper than 32"},
        // Bare typed elements, 10 bytes a value: more values than any XML-RPC document of
        // that size can hold.
        {"too many values", Call(ManyBareInts(200000)), "more than 125"},
        {"unclosed tag", "<methodCall><methodName>m</methodName>", "no element found"},
        {"mismatched tag", Call("<value><int>1</string></value>"), "mismatched tag"},
        {"undefined entity", Call("<value><string>&nbsp;</string></value>"), "undefined entity"},
        {"forbidden character reference", Call("<value><string>&#1;</string></value>"),
         "reference to invalid character number"},
        {"bad integer", Call("<value><int>12abc</int></value>"), "'12abc' is not a valid integer"},
        {"bad double", Call("<value><double>1,5</double></value>"), "floating point"},
        {"bad boolean", Call("<value><boolean>yes</boolean></value>"), "boolean"},
        {"bad date", Call("<value><dateTime.iso8601>2026</dateTime.iso8601></value>"), "date"},
        {"unknown encoding", "<?xml version=\"1.0\" encoding=\"KOI8-R\"?><methodCall/>",
         "encoding"},
        {"unassigned Windows-1251 byte",
         "<?xml version=\"1.0\" encoding=\"Windows-1251\"?><methodCall><methodName>\x98"
         "</methodName></methodCall>",
         "not well-formed"},
        {"bad UTF-8", "<methodCall><methodName>\xC3(</methodName></methodCall>", "not well-formed"},
        {"empty document", "", "no element found"},
    };
    for (const auto& c : cases) {
        try {
            TXrpcServerParser p;
            p.Parse(c.document);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const EXrpcError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.what << ": " << e.what();
        }
        if (c.document.empty())
            continue; // the answer reader reports an empty answer as a result
        std::string answer = c.document;
        for (const auto& [from, to] : {std::pair{"methodCall", "methodResponse"}}) {
            for (size_t at = answer.find(from); at != std::string::npos;
                 at = answer.find(from, at + 1))
                answer.replace(at, std::string(from).size(), to);
        }
        // The answer reader refuses a text without "xml" with a result, not an exception.
        TXrpcClientParser client;
        client.SetNormalizeEmptyValues(true);
        if (answer.find("xml") == std::string::npos) {
            client.Parse(answer);
            EXPECT_EQ(client.Result()->ErrorCode(), 601) << c.what;
        } else {
            EXPECT_THROW(client.Parse(answer), EXrpcError) << c.what;
        }
    }
}

TEST(XrpcParsers, LimitsLeaveRoomForRealDocuments)
{
    // Twenty levels of arrays fit the element limit.
    const std::string deep =
        Nest(20, "<value><array><data>", "</data></array></value>", "<value>x</value>");
    EXPECT_EQ(ServerDump(Call(deep)).size(), 20u * 2 + 3);
    // Values as small as a document can write them, far past 10,000, in both readers.
    std::string smallest = "<value><array><data>";
    for (int i = 0; i < 50000; ++i)
        smallest += "<value>x</value>";
    smallest += "</data></array></value>";
    EXPECT_EQ(ServerDump(Call(smallest)).size(), 50000u * 4 + 1);
    EXPECT_EQ(ClientDump(Response(smallest)).size(), 50000u * 4 + 1);
    // An answer of 20,000 values (about 600 KB), well inside the answer bound.
    EXPECT_NO_THROW(ClientDump(Response(ManyInts(20000))));
    EXPECT_NO_THROW(
        ClientDump(Response("<value>" + Nest(32, "<array>", "</array>", "") + "</value>")));
}

TEST(XrpcParsers, AParserIsReusableAfterAFailure)
{
    TXrpcServerParser server;
    EXPECT_THROW(server.Parse(Call("<value><int>x</int></value>")), EXrpcError);
    EXPECT_TRUE(server.TakeParams().empty());
    EXPECT_EQ(server.MethodName(), "");
    server.Parse(Call("<value><int>4</int></value>"));
    EXPECT_EQ(server.MethodName(), "m");
    const auto params = server.TakeParams();
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0]->AsInteger(), 4);
    EXPECT_TRUE(server.TakeParams().empty()); // handed over once

    TXrpcClientParser client;
    EXPECT_THROW(client.Parse(Response("<value><int>x</int></value>")), EXrpcError);
    EXPECT_EQ(client.Result()->DataType(), TXrpcKind::None);
    client.Parse(Response("<value><int>4</int></value>"));
    EXPECT_EQ(client.Result()->AsInteger(), 4);

    TXrpcFunction f;
    f.SetObjectMethod("kept");
    EXPECT_THROW(f.ParseRequest("<methodCall>"), EXrpcError);
    EXPECT_EQ(f.ObjectMethod(), "kept");
}

// The readers of one thread share a few expat parsers: whatever one document left in its parser
// (a declared code page, a stop at the root's end, a refusal midway) must not reach the next
// document read with it, in whatever order they come.
TEST(XrpcParsers, NoDocumentInheritsTheStateOfTheOneBefore)
{
    const std::string cp1251 = "\xCF\xF0\xE8"; // При
    const std::string utf8 = "\xD0\x9F\xD1\x80\xD0\xB8";
    struct Case
    {
        const char* what;
        std::string document;
        bool raises;
    };
    std::string nested;
    for (int i = 0; i < 40; ++i)
        nested += "<value><array><data>";
    const Case cases[] = {
        {"declared Windows-1251",
         "<?xml version=\"1.0\" encoding=\"Windows-1251\"?><methodResponse><params><param>"
         "<value><string>" +
             cp1251 + "</string></value></param></params></methodResponse>",
         false},
        {"undeclared, so UTF-8: the same bytes are malformed",
         Response("<value><string>" + cp1251 + "</string></value>"), true},
        {"UTF-8", Response("<value><string>" + utf8 + "</string></value>"), false},
        {"text after the root", Response("<value><string>" + utf8 + "</string></value>") + "<b>",
         false},
        {"a DOCTYPE", "<?xml version=\"1.0\"?><!DOCTYPE a []>" + Response("<value>x</value>"),
         true},
        {"nested too deep", Response(nested), true},
        {"malformed midway", Response("<value><string>" + utf8 + "</value>"), true},
    };
    for (int round = 0; round < 2; ++round) {
        for (size_t k = 0; k < std::size(cases); ++k) {
            const Case& c = cases[round == 0 ? k : std::size(cases) - 1 - k];
            SCOPED_TRACE(c.what);
            TXrpcClientParser p;
            if (c.raises) {
                EXPECT_THROW(p.Parse(c.document), EXrpcError);
                continue;
            }
            p.Parse(c.document);
            EXPECT_EQ(p.Result()->AsString(), cp1251);
        }
    }
}

// Makes the first installed locale whose decimal point is ',' the process's locale, C and C++
// alike, and puts the classic one back.  One can be made without root:
//   localedef -i de_DE -f UTF-8 DIR/de_DE.UTF-8 && LOCPATH=DIR test_xmlrpc
class CommaLocale
{
public:
    CommaLocale()
    {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "ru_RU.UTF-8", "ru_RU.utf8",
                                 "ru_RU.CP1251", "fr_FR.UTF-8", "fr_FR.utf8"}) {
            try {
                std::locale::global(std::locale(name));
            } catch (const std::runtime_error&) {
                continue;
            }
            if (*std::localeconv()->decimal_point == ',') {
                active_ = true;
                return;
            }
        }
        std::locale::global(std::locale::classic());
    }
    ~CommaLocale() { std::locale::global(std::locale::classic()); }
    bool Active() const { return active_; }

private:
    bool active_ = false;
};

TEST(XrpcParsers, DocumentsIgnoreADecimalCommaInTheProcessLocale)
{
    const CommaLocale locale;
    if (!locale.Active())
        GTEST_SKIP() << "no locale with a decimal comma is installed (scripts/test generates "
                        "de_DE.UTF-8 through scripts/deps.sh)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5"); // the C library really writes a comma now

    TXrpcFunction call;
    call.SetObjectMethod("m");
    call.AddItem(-1234.5);
    call.AddItem(1.5e-7);
    auto s = std::make_shared<TXrpcStruct>();
    s->AddItemDouble("d", 0.25);
    auto list = std::make_shared<TXrpcArray>();
    list->AddItem(2.5);
    s->AddItemArray("l", list);
    call.AddItemStruct(s);
    const std::string request = call.GetRequestXML();
    for (const char* text : {"<double>-1234.5</double>", "<double>1.5E-7</double>",
                             "<double>0.25</double>", "<double>2.5</double>"})
        EXPECT_NE(request.find(text), std::string::npos) << text;
    EXPECT_EQ(ServerDump(request), "d:-1234.5 | d:1.5E-7 | {d=d:0.25;l=[d:2.5]}");

    TXrpcFunction answer;
    answer.AddItemStruct(s);
    EXPECT_EQ(ClientDump(answer.GetResponseXML()), "{d=d:0.25;l=[d:2.5]}");
    EXPECT_EQ(ClientDump(Response("<value><double> 3.5e2 </double></value>")), "d:350");
    EXPECT_THROW(ServerDump(Call("<value><double>3,5</double></value>")), EXrpcError);
}

TEST(XrpcParsers, NormalisationIsTheClientsChoice)
{
    TXrpcClientParser p;
    p.Parse(Response("<value><string></string></value>"));
    EXPECT_EQ(p.Result()->DataType(), TXrpcKind::None);
    p.SetNormalizeEmptyValues(true);
    p.Parse(Response("<value><string></string></value>"));
    EXPECT_EQ(p.Result()->AsString(), "");
}

} // namespace
