// The C++ side of the Python interoperability test.
//   interop_tool parse-call FILE      the call as JSON: {"method": ..., "params": [...]}
//   interop_tool parse-response FILE  the answer's result as JSON
//   interop_tool echo-call FILE       the call read and written again as our request
//   interop_tool echo-response FILE   the answer read and written again as our response
// JSON values are {"t": kind, "v": value}; strings are UTF-8, Base64 bytes are hex.

#include "xmlrpc/xrpc_parser.h"

#include "platform/text1251.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

using namespace xrpc;

namespace {

std::string JsonString(const std::string& cp1251)
{
    const std::string utf8 = platform::Cp1251ToUtf8(cp1251);
    std::string out = "\"";
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Json(const TXrpcCustomItem& item)
{
    auto tagged = [](const char* kind, const std::string& value) {
        return std::string("{\"t\":\"") + kind + "\",\"v\":" + value + "}";
    };
    switch (item.DataType()) {
    case TXrpcKind::Double: {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", item.AsFloat());
        std::string text = buf;
        if (text.find_first_of(".e") == std::string::npos)
            text += ".0"; // stays a float for the JSON reader
        return tagged("double", text);
    }
    case TXrpcKind::Int: return tagged("int", std::to_string(item.AsInteger()));
    case TXrpcKind::String: return tagged("string", JsonString(item.AsString()));
    case TXrpcKind::Boolean: return tagged("boolean", item.AsBoolean() ? "true" : "false");
    case TXrpcKind::DateTime:
        return tagged("date", JsonString(FormatIsoDate(item.AsDateTime())));
    case TXrpcKind::Base64: {
        std::string hex;
        for (unsigned char b : item.AsBase64()) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02x", b);
            hex += buf;
        }
        return tagged("base64", "\"" + hex + "\"");
    }
    case TXrpcKind::Struct: {
        const auto& s = *item.AsStruct();
        std::string out = "[";
        for (int i = 0; i < s.Count(); ++i)
            out += (i ? "," : "") + ("[" + JsonString(s.GetName(i)) + "," + Json(s.GetItem(i))) +
                   "]";
        return tagged("struct", out + "]");
    }
    case TXrpcKind::Array: {
        const auto& a = *item.AsArray();
        std::string out = "[";
        for (int i = 0; i < a.Count(); ++i)
            out += (i ? "," : "") + Json(a.GetItem(i));
        return tagged("array", out + "]");
    }
    case TXrpcKind::Error: {
        const auto& r = dynamic_cast<const TXrpcResult&>(item);
        return "{\"t\":\"fault\",\"code\":" + std::to_string(r.ErrorCode()) +
               ",\"text\":" + JsonString(r.ErrorMsg()) + "}";
    }
    case TXrpcKind::None: break;
    }
    return "{\"t\":\"none\"}";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: interop_tool parse-call|parse-response|echo-call|echo-response FILE\n";
        return 2;
    }
    const std::string mode = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    const std::string document((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    try {
        if (mode == "parse-call" || mode == "echo-call") {
            TXrpcFunction call;
            call.ParseRequest(document);
            if (mode == "echo-call") {
                std::cout << call.GetRequestXML();
                return 0;
            }
            std::string params;
            for (int i = 0; i < call.Count(); ++i)
                params += (i ? "," : "") + Json(call.GetItem(i));
            std::cout << "{\"method\":" << JsonString(call.ObjectMethod()) << ",\"params\":["
                      << params << "]}\n";
            return 0;
        }
        if (mode == "parse-response" || mode == "echo-response") {
            TXrpcClientParser parser;
            parser.SetNormalizeEmptyValues(true);
            parser.Parse(document);
            const IXrpcResult result = parser.Result();
            if (mode == "parse-response") {
                std::cout << Json(*result) << "\n";
                return 0;
            }
            TXrpcFunction answer;
            if (result->IsError())
                answer.SetError(result->ErrorCode(), result->ErrorMsg());
            else
                answer.AddNewItem().Assign(*result);
            std::cout << answer.GetResponseXML();
            return 0;
        }
    } catch (const EXrpcError& e) {
        std::cerr << "EXrpcError: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "unknown mode " << mode << "\n";
    return 2;
}
