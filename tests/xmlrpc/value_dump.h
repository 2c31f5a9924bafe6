#pragma once
// A one-line picture of a value for the tests: s:raw string, i:, d:, b:, t:, 64:bytes,
// [items,...], {name=value;...}, fault:code:text, none.

#include "xmlrpc/xrpc_types.h"

#include <string>

namespace xrpctest {

inline std::string Dump(const xrpc::TXrpcCustomItem& item)
{
    using xrpc::TXrpcKind;
    switch (item.DataType()) {
    case TXrpcKind::Double: return "d:" + xrpc::FormatFloat(item.AsFloat());
    case TXrpcKind::Int: return "i:" + std::to_string(item.AsInteger());
    case TXrpcKind::String: return "s:" + item.AsRawString();
    case TXrpcKind::Boolean: return item.AsBoolean() ? "b:1" : "b:0";
    case TXrpcKind::DateTime: return "t:" + xrpc::FormatIsoDate(item.AsDateTime());
    case TXrpcKind::Base64: return "64:" + item.AsBase64();
    case TXrpcKind::Struct: {
        const auto& s = *item.AsStruct();
        std::string out = "{";
        for (int i = 0; i < s.Count(); ++i)
            out += (i ? ";" : "") + s.GetName(i) + "=" + Dump(s.GetItem(i));
        return out + "}";
    }
    case TXrpcKind::Array: {
        const auto& a = *item.AsArray();
        std::string out = "[";
        for (int i = 0; i < a.Count(); ++i)
            out += (i ? "," : "") + Dump(a.GetItem(i));
        return out + "]";
    }
    case TXrpcKind::Error: {
        const auto& r = dynamic_cast<const xrpc::TXrpcResult&>(item);
        return "fault:" + std::to_string(r.ErrorCode()) + ":" + r.ErrorMsg();
    }
    case TXrpcKind::None: break;
    }
    return "none";
}

} // namespace xrpctest
