#include "xmlrpc/xrpc_parser.h"

#include "xmlrpc/xml_reader.h"

#include "platform/text1251.h"

#include <optional>
#include <type_traits>
#include <variant>

namespace xrpc {

namespace {

constexpr std::string_view kNull = "[NULL]";

// The kind a value tag names; INT4 only where the caller accepts it.
std::optional<TXrpcKind> KindOfTag(std::string_view tag, bool int4)
{
    if (tag == "STRING")
        return TXrpcKind::String;
    if (tag == "INT" || tag == "I4" || (int4 && tag == "INT4"))
        return TXrpcKind::Int;
    if (tag == "DOUBLE")
        return TXrpcKind::Double;
    if (tag == "DATETIME.ISO8601")
        return TXrpcKind::DateTime;
    if (tag == "BASE64")
        return TXrpcKind::Base64;
    if (tag == "BOOLEAN")
        return TXrpcKind::Boolean;
    return std::nullopt;
}

// The text a non-string kind is read from: Windows-1251, trimmed for numbers and booleans.
std::string PlainText(TXrpcKind kind, std::string_view utf8)
{
    const bool trim =
        kind == TXrpcKind::Int || kind == TXrpcKind::Double || kind == TXrpcKind::Boolean;
    return platform::Utf8ToCp1251(trim ? Trim(utf8) : utf8);
}

void AddText(TXrpcStruct& s, std::string name, TXrpcKind kind, std::string_view utf8)
{
    if (kind == TXrpcKind::String)
        s.AddItemRawString(std::move(name), detail::EscapeUtf8(utf8));
    else
        s.AddItemFromText(kind, std::move(name), PlainText(kind, utf8));
}

void AddText(TXrpcArray& a, TXrpcKind kind, std::string_view utf8)
{
    if (kind == TXrpcKind::String)
        a.AddItemRawString(detail::EscapeUtf8(utf8));
    else
        a.AddItemFromText(kind, PlainText(kind, utf8));
}

// A top-level string is stored escaped like a member string, so it is unescaped only once.
void SetText(TXrpcResult& r, TXrpcKind kind, std::string_view utf8)
{
    switch (kind) {
    case TXrpcKind::String:
        r.SetRawString(detail::EscapeUtf8(utf8));
        break;
    case TXrpcKind::Int:
        r.SetInteger(ParseInteger(PlainText(kind, utf8)));
        break;
    case TXrpcKind::Double:
        r.SetFloat(ParseFloat(PlainText(kind, utf8)));
        break;
    case TXrpcKind::DateTime:
        r.SetDateTime(ParseIsoDate(PlainText(kind, utf8)));
        break;
    case TXrpcKind::Base64:
        r.SetBase64Text(PlainText(kind, utf8));
        break;
    case TXrpcKind::Boolean:
        r.SetBoolean(ParseBoolean(PlainText(kind, utf8)));
        break;
    default:
        break;
    }
}

std::string TagName(std::string_view name)
{
    return UpperAscii(Trim(name));
}

// Blank text is a value inside a string element, and inside a value element when the value
// ends with it; before a child element it is only the layout between tags.  So blank text
// directly in a value is held until the next tag tells which.
class BlankValueText
{
public:
    // True when text is to be read now.
    bool Counts(const std::string& tag, std::string_view text)
    {
        if (!Trim(text).empty() || tag == "STRING")
            return true;
        if (tag == "VALUE" && !blocked_)
            held_ = std::string(text);
        return false;
    }
    // At every start tag.
    void Drop()
    {
        held_.reset();
        blocked_ = false;
    }
    // At a skipped element (<nil/>) inside the value: the value is not blank text.
    void Block()
    {
        held_.reset();
        blocked_ = true;
    }
    // The held text, when the value element ends now.
    std::optional<std::string> TakeAtEnd(const std::string& tag, std::string_view endTag)
    {
        std::optional<std::string> text;
        if (held_ && tag == "VALUE" && TagName(endTag) == "VALUE")
            text = std::move(held_);
        held_.reset();
        return text;
    }

private:
    std::optional<std::string> held_;
    bool blocked_ = false;
};

// The limits that keep a hostile document from exhausting the stack or memory.
class Limits
{
public:
    void Reset(size_t documentBytes = 0)
    {
        items_ = 0;
        nesting_ = 0;
        maxItems_ = MaxDocumentValues(documentBytes);
    }
    void CountItem()
    {
        if (++items_ > maxItems_)
            throw EXrpcError("XML-RPC document holds more than " + std::to_string(maxItems_) +
                             " values");
    }
    void OpenValue()
    {
        CountItem();
        if (++nesting_ > kMaxValueNesting)
            throw EXrpcError("XML-RPC document nests values deeper than " +
                             std::to_string(kMaxValueNesting) + " levels");
    }
    void CloseValue() { --nesting_; }
    void CloseAll() { nesting_ = 0; }

private:
    size_t items_ = 0;
    int nesting_ = 0;
    size_t maxItems_ = kMinDocumentValues;
};

} // namespace

// ---- server parser ----

class TXrpcServerParser::Reader : public detail::XmlReader
{
public:
    void Parse(std::string_view document)
    {
        Reset();
        try {
            const std::string text = NormalizeEmptyValues(document);
            limits_.Reset(text.size());
            Read(text);
        } catch (...) {
            Reset();
            throw;
        }
    }

    std::string method;
    std::vector<std::unique_ptr<TXrpcResult>> results;

    void Reset()
    {
        method.clear();
        results.clear();
        stack_.clear();
        tag_.clear();
        name_.clear();
        limits_.Reset();
        blank_.Drop();
    }

private:
    using Open = std::variant<TXrpcResult*, IXrpcArray, IXrpcStruct>;

    template <class T> T* Top()
    {
        if (stack_.empty())
            return nullptr;
        if constexpr (std::is_same_v<T, TXrpcResult>) {
            auto* p = std::get_if<TXrpcResult*>(&stack_.back());
            return p ? *p : nullptr;
        } else {
            auto* p = std::get_if<std::shared_ptr<T>>(&stack_.back());
            return p ? p->get() : nullptr;
        }
    }

    template <class T> void OpenContainer()
    {
        limits_.OpenValue();
        auto value = std::make_shared<T>();
        // A container inside a struct joins it at once, under the member name read last.
        if (TXrpcStruct* s = Top<TXrpcStruct>()) {
            if constexpr (std::is_same_v<T, TXrpcArray>)
                s->AddItemArray(name_, value);
            else
                s->AddItemStruct(name_, value);
        }
        stack_.emplace_back(std::move(value));
    }

    void OnSkippedElement() override { blank_.Block(); }

    void OnStartTag(std::string_view name) override
    {
        blank_.Drop();
        std::string tag = TagName(name);
        if (tag == "PARAM") {
            limits_.CountItem();
            results.push_back(std::make_unique<TXrpcResult>());
            stack_.emplace_back(results.back().get());
        } else if (tag == "ARRAY") {
            OpenContainer<TXrpcArray>();
        } else if (tag == "STRUCT") {
            OpenContainer<TXrpcStruct>();
        }
        tag_ = std::move(tag);
    }

    void OnEndTag(std::string_view name) override
    {
        if (const std::optional<std::string> blank = blank_.TakeAtEnd(tag_, name))
            TakeText(*blank);
        tag_.clear();
        const std::string tag = TagName(name);
        if (tag == "ARRAY" && Top<TXrpcArray>()) {
            IXrpcArray a = std::get<IXrpcArray>(std::move(stack_.back()));
            stack_.pop_back();
            limits_.CloseValue();
            if (TXrpcResult* r = Top<TXrpcResult>())
                r->SetArray(std::move(a));
            else if (TXrpcArray* outer = Top<TXrpcArray>())
                outer->AddItemArray(std::move(a));
        } else if (tag == "STRUCT" && Top<TXrpcStruct>()) {
            IXrpcStruct s = std::get<IXrpcStruct>(std::move(stack_.back()));
            stack_.pop_back();
            limits_.CloseValue();
            if (TXrpcResult* r = Top<TXrpcResult>())
                r->SetStruct(std::move(s)); // a "faultCode" member makes the parameter a fault
            else if (TXrpcArray* outer = Top<TXrpcArray>())
                outer->AddItemStruct(std::move(s));
        }
    }

    void OnText(std::string_view text) override
    {
        if (blank_.Counts(tag_, text))
            TakeText(text);
    }

    void TakeText(std::string_view text)
    {
        if (tag_ == "METHODNAME") {
            method = platform::Utf8ToCp1251(text);
            return;
        }
        if (tag_ == "VALUE")
            tag_ = "STRING"; // text directly inside a value is a string
        if (tag_ == "STRING" && text == kNull)
            text = {};
        if (tag_ == "NAME") {
            name_ = platform::Utf8ToCp1251(text);
            return;
        }
        const auto kind = KindOfTag(tag_, true);
        if (!kind)
            return;
        if (TXrpcStruct* s = Top<TXrpcStruct>()) {
            limits_.CountItem();
            AddText(*s, name_, *kind, text);
        } else if (TXrpcArray* a = Top<TXrpcArray>()) {
            limits_.CountItem();
            AddText(*a, *kind, text);
        } else if (TXrpcResult* r = Top<TXrpcResult>()) {
            SetText(*r, *kind, text);
        }
    }

    std::vector<Open> stack_;
    std::string tag_;
    std::string name_;
    Limits limits_;
    BlankValueText blank_;
};

TXrpcServerParser::TXrpcServerParser() : reader_(std::make_unique<Reader>()) {}
TXrpcServerParser::~TXrpcServerParser() = default;

void TXrpcServerParser::Parse(std::string_view document)
{
    reader_->Parse(document);
}

const std::string& TXrpcServerParser::MethodName() const
{
    return reader_->method;
}

std::vector<std::unique_ptr<TXrpcResult>> TXrpcServerParser::TakeParams()
{
    std::vector<std::unique_ptr<TXrpcResult>> params = std::move(reader_->results);
    const std::string method = reader_->method;
    reader_->Reset();
    reader_->method = method;
    return params;
}

// ---- client parser ----

class TXrpcClientParser::Reader : public detail::XmlReader
{
public:
    void Parse(std::string_view document, TXrpcResult& result)
    {
        result_ = &result;
        stack_.clear();
        tag_.clear();
        limits_.Reset(document.size());
        blank_.Drop();
        Read(document);
    }

private:
    // Each open struct keeps the member names read inside it, so a member whose value never
    // came (an empty-element value) cannot shift the names of the structs around it.
    struct OpenStruct
    {
        IXrpcStruct value;
        std::vector<std::string> names;
    };
    using Open = std::variant<IXrpcArray, OpenStruct>;

    OpenStruct* TopStruct()
    {
        return stack_.empty() ? nullptr : std::get_if<OpenStruct>(&stack_.back());
    }
    TXrpcArray* TopArray()
    {
        if (stack_.empty())
            return nullptr;
        auto* a = std::get_if<IXrpcArray>(&stack_.back());
        return a ? a->get() : nullptr;
    }

    static std::string TakeName(OpenStruct& s)
    {
        if (s.names.empty())
            throw EXrpcError("XML-RPC struct member has no name");
        std::string name = std::move(s.names.back());
        s.names.pop_back();
        return name;
    }

    void OnSkippedElement() override { blank_.Block(); }

    void OnStartTag(std::string_view name) override
    {
        blank_.Drop();
        tag_ = TagName(name);
        if (tag_ == "STRUCT") {
            limits_.OpenValue();
            stack_.emplace_back(OpenStruct{std::make_shared<TXrpcStruct>(), {}});
        } else if (tag_ == "ARRAY") {
            limits_.OpenValue();
            stack_.emplace_back(std::make_shared<TXrpcArray>());
        }
    }

    // A closed array or struct joins the value below it, or becomes the result.
    template <class T> void Attach(std::shared_ptr<T> value)
    {
        constexpr bool isArray = std::is_same_v<T, TXrpcArray>;
        limits_.CloseValue();
        if (stack_.empty()) {
            if constexpr (isArray)
                result_->SetArray(std::move(value));
            else
                result_->SetStruct(std::move(value)); // a fault struct makes the result an error
        } else if (TXrpcArray* a = TopArray()) {
            if constexpr (isArray)
                a->AddItemArray(std::move(value));
            else
                a->AddItemStruct(std::move(value));
        } else {
            OpenStruct& s = *TopStruct();
            if constexpr (isArray)
                s.value->AddItemArray(TakeName(s), std::move(value));
            else
                s.value->AddItemStruct(TakeName(s), std::move(value));
        }
    }

    IXrpcStruct PopStruct()
    {
        IXrpcStruct s = std::move(std::get<OpenStruct>(stack_.back()).value);
        stack_.pop_back();
        return s;
    }
    IXrpcArray PopArray()
    {
        IXrpcArray a = std::move(std::get<IXrpcArray>(stack_.back()));
        stack_.pop_back();
        return a;
    }

    void OnEndTag(std::string_view name) override
    {
        if (const std::optional<std::string> blank = blank_.TakeAtEnd(tag_, name))
            TakeText(*blank);
        const std::string tag = TagName(name);
        if (tag == "STRUCT" && TopStruct()) {
            Attach(PopStruct());
        } else if ((tag == "STRUCT" || tag == "ARRAY") && TopArray()) {
            Attach(PopArray());
        } else if (tag == "PARAMS" && !stack_.empty()) {
            if (TopStruct())
                result_->SetStruct(PopStruct());
            if (TopArray())
                result_->SetArray(PopArray());
            stack_.clear();
            limits_.CloseAll();
        }
    }

    void OnText(std::string_view text) override
    {
        if (!tag_.empty() && blank_.Counts(tag_, text))
            TakeText(text);
    }

    void TakeText(std::string_view text)
    {
        if (tag_ == "VALUE")
            tag_ = "STRING";
        if (tag_ == "STRING" && text == kNull)
            text = {};
        const auto kind = KindOfTag(tag_, false);
        if (tag_ == "NAME") {
            if (OpenStruct* s = TopStruct())
                s->names.push_back(platform::Utf8ToCp1251(text));
        } else if (OpenStruct* s = TopStruct()) {
            // A value of a kind this reader skips still uses up its member's name.
            std::string member = kind || !s->names.empty() ? TakeName(*s) : std::string();
            if (kind) {
                limits_.CountItem();
                AddText(*s->value, std::move(member), *kind, text);
            }
        } else if (TXrpcArray* a = TopArray()) {
            if (kind) {
                limits_.CountItem();
                AddText(*a, *kind, text);
            }
        } else if (kind) {
            SetText(*result_, *kind, text);
        }
        // Only the first text after a start tag counts.
        tag_.clear();
    }

    TXrpcResult* result_ = nullptr;
    std::vector<Open> stack_;
    std::string tag_;
    Limits limits_;
    BlankValueText blank_;
};

TXrpcClientParser::TXrpcClientParser()
    : reader_(std::make_unique<Reader>()), result_(std::make_shared<TXrpcResult>())
{
}

TXrpcClientParser::~TXrpcClientParser() = default;

void TXrpcClientParser::Parse(std::string_view document)
{
    result_ = std::make_shared<TXrpcResult>();
    std::string normalized;
    if (normalize_) {
        normalized = NormalizeEmptyValues(document);
        document = normalized;
    }
    if (Trim(document).empty()) {
        result_->SetError(600, "The xml-rpc server returned a empty response");
        return;
    }
    if (UpperAscii(document).find("XML") == std::string::npos) {
        result_->SetError(601, "Invalid payload received from xml-rpc server");
        return;
    }
    result_->Clear();
    try {
        reader_->Parse(document, *result_);
    } catch (...) {
        result_ = std::make_shared<TXrpcResult>();
        throw;
    }
}

} // namespace xrpc
