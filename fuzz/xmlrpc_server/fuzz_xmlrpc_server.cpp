// The call reader on arbitrary bytes: it may refuse a document, but only with EXrpcError, and
// whatever it accepts must be written as a call that reads back with as many parameters.

#include "xmlrpc/xrpc_types.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    xrpc::TXrpcFunction call;
    try {
        call.ParseRequest(document);
    } catch (const xrpc::EXrpcError&) {
        return 0;
    }
    const std::string written = call.GetRequestXML();
    xrpc::TXrpcFunction again;
    try {
        again.ParseRequest(written);
    } catch (const xrpc::EXrpcError&) {
        std::abort(); // we wrote a document we cannot read
    }
    if (again.Count() != call.Count())
        std::abort();
    return 0;
}
