// The HTTP head readers and the "OnMethodData" decoder on arbitrary bytes split at arbitrary
// points.  Byte 0 chooses the piece size; the rest is the input.
//  - Both readers give the same outcome whatever the split, and keep their limits.
//  - The link's call handler answers every body without leaving an exception.
//  - Every head we write reads back unchanged, the body after it untouched.

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/http_head.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/registry.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace xrpc;

namespace {

void Require(bool ok)
{
    if (!ok)
        std::abort();
}

template <typename Reader> size_t FeedAll(Reader& reader, std::string_view bytes, size_t piece)
{
    size_t at = 0;
    while (at < bytes.size() && reader.State() == HeadState::NeedMore) {
        const std::string_view part = bytes.substr(at, piece);
        const size_t used = reader.Feed(part);
        Require(used <= part.size());
        at += used;
        if (used < part.size())
            break;
    }
    return at;
}

template <typename Reader> void SameWhateverTheSplit(std::string_view bytes, size_t piece)
{
    Reader whole, split;
    const size_t a = FeedAll(whole, bytes, bytes.size() + 1);
    const size_t b = FeedAll(split, bytes, piece);
    Require(whole.State() == split.State());
    Require(whole.ContentLength() == split.ContentLength());
    Require(whole.Digest() == split.Digest());
    if (whole.State() == HeadState::Done)
        Require(a == b);
}

std::string Printable(std::string_view s, size_t max)
{
    std::string out;
    for (char c : s.substr(0, max))
        if (c > ' ' && c < 127)
            out += c;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = data[0] % 17 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    SameWhateverTheSplit<ResponseHeadReader>(bytes, piece);
    SameWhateverTheSplit<RequestHeadReader>(bytes, piece);
    {
        RequestHeadReader r;
        const size_t used = FeedAll(r, bytes, piece);
        Require(r.HeadText().size() <= kMaxServerHead + 2);
        Require(r.State() != HeadState::NeedMore || used <= kMaxServerHead + 1);
    }

    // The link's handler: the bytes as a body, and as the hex payload of a call.
    static platform::RegistryFile registry("/nonexistent/vendaxo-fuzz.reg");
    static TfrRPC link(registry, {}, "");
    link.HandleCall(bytes, std::nullopt);
    link.HandleCall(bytes, std::string("x"));
    TXrpcFunction call;
    call.SetObjectMethod("OnMethodData");
    call.AddItem("001A2B3C4D5E");
    call.AddItem(std::string_view(EncodeHex(std::vector<uint8_t>(bytes.begin(), bytes.end()))));
    const std::string answer = link.HandleCall(call.GetRequestXML(), std::nullopt);
    TXrpcClientParser parser;
    parser.Parse(answer);
    Require(!parser.Result()->IsError());

    // Heads we write read back unchanged.
    const std::string endpoint = "/" + Printable(bytes, 40);
    const std::string host = Printable(bytes.substr(bytes.size() / 2), 20);
    const std::string request = WriteRequest(endpoint, host, bytes);
    RequestHeadReader rq;
    const size_t headEnd = FeedAll(rq, request, piece);
    Require(rq.State() == HeadState::Done);
    Require(rq.ContentLength() == static_cast<int64_t>(bytes.size()));
    Require(rq.Digest() == ContentMd5(bytes));
    Require(rq.RequestLine() == "POST " + endpoint + " HTTP/1.1");
    Require(std::string_view(request).substr(headEnd) == bytes);

    const std::string response = WriteResponse(bytes, "KavexXMLRPC/0.1.0-WinNT");
    ResponseHeadReader rs;
    const size_t end = FeedAll(rs, response, piece);
    Require(rs.State() == HeadState::Done);
    Require(rs.ContentLength() == static_cast<int64_t>(bytes.size()));
    Require(rs.Digest() == ContentMd5(bytes));
    Require(std::string_view(response).substr(end) == bytes);
    return 0;
}
