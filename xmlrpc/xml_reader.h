#pragma once
// The XML reader under the XML-RPC parsers, on expat.  It reports start tags, end tags and
// character data in document order.  Expat splits text at every entity and line end; the
// reader gathers the pieces and hands the text over once, before the next tag.
//
// What it refuses or leaves out:
//  - any DOCTYPE (so no entity can be declared or expanded), elements nested deeper than
//    kMaxElementDepth; both raise EXrpcError, as does every malformed document;
//  - anything after the root element's end;
//  - empty-element tags (<a/>), CDATA sections, comments and processing instructions are
//    skipped, their text dropped.
// Documents may be UTF-8 (also without a declaration), UTF-16, ISO-8859-1 or Windows-1251;
// the text handed over is UTF-8.
//
// Threads: one reader per thread.

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace xrpc::detail {

inline constexpr int kMaxElementDepth = 64;

class XmlReader
{
public:
    XmlReader();
    XmlReader(const XmlReader&) = delete;
    XmlReader& operator=(const XmlReader&) = delete;
    virtual ~XmlReader();

    // An exception thrown by a handler stops the reading and leaves Read.
    void Read(std::string_view document);

protected:
    virtual void OnStartTag(std::string_view name) = 0;
    virtual void OnEndTag(std::string_view name) = 0;
    virtual void OnText(std::string_view utf8) = 0;
    // An empty-element tag, skipped.
    virtual void OnSkippedElement() {}

private:
    struct Callbacks;
    void Install();
    void Fail(std::exception_ptr error);
    void DeliverPendingStart();
    void FlushText();

    void* parser_; // XML_Parser, kept out of this header
    std::exception_ptr error_;
    std::string text_;
    std::string pendingStart_;
    bool hasPendingStart_ = false;
    bool inCdata_ = false;
    bool rootEnded_ = false;
    int depth_ = 0;
    size_t largest_ = 0; // the largest document read
};

} // namespace xrpc::detail
