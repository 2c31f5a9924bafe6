#pragma once
// The two XML-RPC readers: TXrpcServerParser reads a methodCall into a method name and its
// parameters, TXrpcClientParser reads a methodResponse or fault into one result.
//
// Both apply the empty-value normalisation (always for calls, when switched on for answers),
// so an empty string element gives an empty string item.  Texts are converted to
// Windows-1251; a character the code page lacks stays a character reference inside a string
// value and becomes '?' in a name.
//
// Hostile documents: a DOCTYPE, elements nested deeper than 64, values nested deeper than
// kMaxValueNesting or more values than MaxDocumentValues of the document's size raise
// EXrpcError, as does every malformed document and every number, boolean or date that cannot
// be read.  The value cap follows the bytes: no well-formed XML-RPC document within the
// callers' byte bounds holds more values than it allows, and the memory of the values read
// stays within a fixed multiple of the document's size.
//
// Threads: a parser is used by one thread at a time.

#include "xmlrpc/xrpc_types.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace xrpc {

inline constexpr int kMaxValueNesting = 32;
// The smallest value a document can carry, "<value>x</value>", and the cap it gives a
// document of the given size (never below kMinDocumentValues).
inline constexpr size_t kMinValueBytes = 16;
inline constexpr size_t kMinDocumentValues = 10000;
constexpr size_t MaxDocumentValues(size_t documentBytes)
{
    return documentBytes / kMinValueBytes > kMinDocumentValues ? documentBytes / kMinValueBytes
                                                               : kMinDocumentValues;
}

class TXrpcServerParser
{
public:
    TXrpcServerParser();
    ~TXrpcServerParser();

    // Reads a whole methodCall.  On failure the parser holds no name and no parameters.
    void Parse(std::string_view document);
    const std::string& MethodName() const;
    // The parameters, one result per param element in document order; the parser keeps none.
    std::vector<std::unique_ptr<TXrpcResult>> TakeParams();

private:
    class Reader;
    std::unique_ptr<Reader> reader_;
};

class TXrpcClientParser
{
public:
    TXrpcClientParser();
    ~TXrpcClientParser();

    // The client switches the empty-value normalisation on; it is off for a new parser.
    void SetNormalizeEmptyValues(bool on) { normalize_ = on; }
    bool NormalizeEmptyValuesOn() const { return normalize_; }

    // Reads a whole answer into a new result.  An empty answer gives the error 600 and one
    // without "xml" the error 601; those are results, not exceptions.  A response with
    // several parameters gives the last.
    void Parse(std::string_view document);
    IXrpcResult Result() const { return result_; }

private:
    class Reader;
    std::unique_ptr<Reader> reader_;
    IXrpcResult result_;
    bool normalize_ = false;
};

} // namespace xrpc
