#include "xmlrpc/xml_reader.h"

#include "xmlrpc/xrpc_common.h"

#include "platform/guid.h"
#include "platform/text1251.h"

#include <expat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <new>
#include <vector>

namespace xrpc::detail {

namespace {

XML_Parser P(void* p)
{
    return static_cast<XML_Parser>(p);
}

bool IsWindows1251(const XML_Char* name)
{
    return SameText(name, "windows-1251") || SameText(name, "cp1251");
}

} // namespace

// Expat calls back through C frames: every handler catches, stores the exception and stops
// the parser, and Read raises it once XML_Parse has returned.
struct XmlReader::Callbacks
{
    static XmlReader& Self(void* data) { return *static_cast<XmlReader*>(data); }

    static void XMLCALL Start(void* data, const XML_Char* name, const XML_Char**)
    {
        XmlReader& r = Self(data);
        if (r.error_)
            return;
        try {
            if (++r.depth_ > kMaxElementDepth)
                throw EXrpcError("XML-RPC document nests elements deeper than " +
                                 std::to_string(kMaxElementDepth) + " levels");
            r.DeliverPendingStart();
            r.FlushText();
            // Held back until the next event: an empty-element tag ends at once, and is
            // skipped as a whole.
            r.pendingStart_.assign(name);
            r.hasPendingStart_ = true;
        } catch (...) {
            r.Fail(std::current_exception());
        }
    }

    static void XMLCALL End(void* data, const XML_Char* name)
    {
        XmlReader& r = Self(data);
        if (r.error_)
            return;
        try {
            --r.depth_;
            // Expat gives the end of an empty-element tag no bytes of its own.
            if (r.hasPendingStart_ && XML_GetCurrentByteCount(P(r.parser_)) == 0) {
                r.hasPendingStart_ = false;
                r.text_.clear();
                r.OnSkippedElement();
                return;
            }
            r.DeliverPendingStart();
            r.FlushText();
            r.OnEndTag(name);
            if (r.depth_ == 0) {
                // The document ends with its root: whatever follows (a peer's trailing note,
                // a stray line end) is not read.
                r.rootEnded_ = true;
                XML_StopParser(P(r.parser_), XML_FALSE);
            }
        } catch (...) {
            r.Fail(std::current_exception());
        }
    }

    static void XMLCALL Text(void* data, const XML_Char* s, int len)
    {
        XmlReader& r = Self(data);
        if (!r.error_ && !r.inCdata_ && len > 0)
            r.text_.append(s, static_cast<size_t>(len));
    }

    static void XMLCALL CdataStart(void* data) { Self(data).inCdata_ = true; }
    static void XMLCALL CdataEnd(void* data) { Self(data).inCdata_ = false; }

    static void XMLCALL Doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        Self(data).Fail(std::make_exception_ptr(
            EXrpcError("XML-RPC documents may not have a DOCTYPE declaration")));
    }

    static void XMLCALL Entity(void* data, const XML_Char*, int, const XML_Char*, int,
                               const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*)
    {
        Self(data).Fail(
            std::make_exception_ptr(EXrpcError("XML-RPC documents may not declare entities")));
    }

    static int XMLCALL Encoding(void*, const XML_Char* name, XML_Encoding* info)
    {
        if (!IsWindows1251(name))
            return XML_STATUS_ERROR;
        // Built once: every Windows-1251 document asks for the same map.
        static const std::array<int, 256> map = [] {
            std::array<int, 256> m{};
            for (int b = 0; b < 256; ++b) {
                const char32_t cp = platform::Cp1251ToCodePoint(static_cast<unsigned char>(b));
                m[static_cast<size_t>(b)] = cp == 0 && b != 0 ? -1 : static_cast<int>(cp);
            }
            return m;
        }();
        std::copy(map.begin(), map.end(), info->map);
        info->data = nullptr;
        info->convert = nullptr;
        info->release = nullptr;
        return XML_STATUS_OK;
    }
};

namespace {

// A new expat parser costs a dozen allocations, and every call and answer has a reader of its
// own: a thread keeps a few parsers that its readers have given back, for the next reader
// (Read resets one before use).  Whatever is destroyed after the thread's pool goes (a static
// reader at exit) frees its parser itself.
constexpr size_t kPooledParsers = 4;
constexpr size_t kPooledDocument = 64 * 1024;

thread_local bool t_poolAlive = false; // trivially destructible: readable during thread exit

struct ParserPool
{
    std::vector<XML_Parser> parsers;
    ParserPool() { t_poolAlive = true; }
    ~ParserPool()
    {
        t_poolAlive = false;
        for (XML_Parser p : parsers)
            XML_ParserFree(p);
    }
};

thread_local ParserPool t_pool;

XML_Parser TakeParser()
{
    if (!t_pool.parsers.empty()) {
        XML_Parser p = t_pool.parsers.back();
        t_pool.parsers.pop_back();
        return p;
    }
    return XML_ParserCreate(nullptr);
}

void GiveBack(XML_Parser p, size_t largestDocument)
{
    // Expat's buffer grows to the largest document read; a large one is not kept around.
    if (t_poolAlive && largestDocument <= kPooledDocument &&
        t_pool.parsers.size() < kPooledParsers) {
        t_pool.parsers.push_back(p);
        return;
    }
    XML_ParserFree(p);
}

} // namespace

XmlReader::XmlReader() : parser_(TakeParser())
{
    if (!parser_)
        throw std::bad_alloc();
}

XmlReader::~XmlReader()
{
    GiveBack(P(parser_), largest_);
}

void XmlReader::Install()
{
    XML_Parser p = P(parser_);
    XML_SetUserData(p, this);
    XML_SetElementHandler(p, Callbacks::Start, Callbacks::End);
    XML_SetCharacterDataHandler(p, Callbacks::Text);
    XML_SetCdataSectionHandler(p, Callbacks::CdataStart, Callbacks::CdataEnd);
    XML_SetStartDoctypeDeclHandler(p, Callbacks::Doctype);
    XML_SetEntityDeclHandler(p, Callbacks::Entity);
    XML_SetUnknownEncodingHandler(p, Callbacks::Encoding, nullptr);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    // A reset parser would otherwise draw a fresh salt from the kernel for every document; one
    // unpredictable salt per process keeps the hash tables safe from crafted names as well.
    XML_SetHashSalt(p, static_cast<unsigned long>(platform::ProcessRandomSalt()));
}

void XmlReader::Fail(std::exception_ptr error)
{
    if (!error_)
        error_ = std::move(error);
    XML_StopParser(P(parser_), XML_FALSE);
}

void XmlReader::DeliverPendingStart()
{
    if (hasPendingStart_) {
        hasPendingStart_ = false;
        OnStartTag(pendingStart_);
    }
}

void XmlReader::FlushText()
{
    if (!text_.empty()) {
        OnText(text_);
        text_.clear();
    }
}

void XmlReader::Read(std::string_view document)
{
    largest_ = std::max(largest_, document.size());
    XML_ParserReset(P(parser_), nullptr);
    Install();
    error_ = nullptr;
    text_.clear();
    hasPendingStart_ = false;
    inCdata_ = false;
    depth_ = 0;
    rootEnded_ = false;

    XML_Status status = XML_STATUS_OK;
    constexpr size_t kChunk = INT_MAX / 2;
    do {
        const size_t n = std::min(document.size(), kChunk);
        const bool last = n == document.size();
        status = XML_Parse(P(parser_), document.data(), static_cast<int>(n), last);
        document.remove_prefix(n);
    } while (status == XML_STATUS_OK && !document.empty());

    if (error_) {
        const std::exception_ptr e = error_;
        error_ = nullptr;
        std::rethrow_exception(e);
    }
    if (status != XML_STATUS_OK && !rootEnded_) {
        XML_Parser p = P(parser_);
        throw EXrpcError(std::string("Invalid XML document (line ") +
                         std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
                         std::to_string(XML_GetCurrentColumnNumber(p) + 1) +
                         "): " + XML_ErrorString(XML_GetErrorCode(p)));
    }
}

} // namespace xrpc::detail
