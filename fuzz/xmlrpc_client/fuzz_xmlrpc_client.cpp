// The answer reader on arbitrary bytes: it may refuse a document, but only with EXrpcError,
// and whatever it accepts must be written as an answer that reads back to the same kind.

#include "xmlrpc/xrpc_parser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    xrpc::TXrpcClientParser parser;
    parser.SetNormalizeEmptyValues(true);
    try {
        parser.Parse(document);
    } catch (const xrpc::EXrpcError&) {
        return 0;
    }
    const xrpc::IXrpcResult result = parser.Result();
    xrpc::TXrpcFunction answer;
    try {
        if (result->IsError())
            answer.SetError(result->ErrorCode(), result->ErrorMsg());
        else if (result->DataType() != xrpc::TXrpcKind::None)
            answer.AddNewItem().Assign(*result); // copying re-encodes Base64, which may fail
    } catch (const xrpc::EXrpcError&) {
        return 0;
    }
    const std::string written = answer.GetResponseXML();
    xrpc::TXrpcClientParser again;
    again.SetNormalizeEmptyValues(true);
    try {
        again.Parse(written);
    } catch (const xrpc::EXrpcError&) {
        std::abort(); // we wrote a document we cannot read
    }
    // A fault with code 0 is written as an empty success, as the writer has it.
    const bool fault = result->IsError() && result->ErrorCode() != 0;
    if (fault != again.Result()->IsError())
        std::abort();
    if (!fault && again.Result()->DataType() != (result->IsError() ? xrpc::TXrpcKind::None
                                                                   : result->DataType()))
        std::abort();
    return 0;
}
