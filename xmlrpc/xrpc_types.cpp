#include "xmlrpc/xrpc_types.h"

#include "xmlrpc/xrpc_parser.h"

#include <fstream>
#include <utility>

namespace xrpc {

namespace {

constexpr const char* kNotString = "Item is not a string type";
constexpr const char* kNotInteger = "Item is not a integer type";
constexpr const char* kNotDouble = "Item is not a double type";
constexpr const char* kNotBoolean = "Item is not a boolean type";
constexpr const char* kNotDate = "Item is not a date type";
constexpr const char* kNotBase64 = "Item is not a base64 type";
constexpr const char* kNotArray = "Item is not a array type";
constexpr const char* kNotStruct = "Item is not a struct type";
constexpr const char* kNotError = "Item is not an error type";

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kProlog = "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n";

// A document is a list of pieces, each followed by CR LF.
void Piece(std::string& out, std::string_view piece)
{
    out.append(piece);
    out.append(kCrLf);
}

void Piece(std::string& out, std::string_view a, std::string_view b, std::string_view c)
{
    out.append(a);
    out.append(b);
    out.append(c);
    out.append(kCrLf);
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EXrpcError("Cannot open file \"" + path + "\"");
    std::string bytes = StreamToString(in);
    if (in.bad())
        throw EXrpcError("Cannot read file \"" + path + "\"");
    return bytes;
}

std::string IndexError(int index)
{
    return "List index out of bounds (" + std::to_string(index) + ")";
}

// The value line of an item inside a struct or an array.  Kinds 8 and 9 write nothing and
// give false.
bool InnerValue(std::string& out, const TXrpcCustomItem& item, bool inArray)
{
    switch (item.DataType()) {
    case TXrpcKind::Double:
        Piece(out, "      <value><double>", FormatFloat(item.AsFloat()), "</double></value>");
        return true;
    case TXrpcKind::Int:
        Piece(out, "      <value><int>", std::to_string(item.AsInteger()), "</int></value>");
        return true;
    case TXrpcKind::String:
        Piece(out, "      <value><string>", item.AsRawString(), "</string></value>");
        return true;
    case TXrpcKind::Boolean:
        Piece(out, item.AsBoolean() ? "      <value><boolean>1</boolean></value>"
                                    : "      <value><boolean>0</boolean></value>");
        return true;
    case TXrpcKind::DateTime:
        Piece(out, "      <value><dateTime.iso8601>", FormatIsoDate(item.AsDateTime()),
              "</dateTime.iso8601></value>");
        return true;
    case TXrpcKind::Base64:
        // Base64 text holds no markup characters; escaping only guards a hand-set text.
        Piece(out, "      <value><base64>", EscapeXml(item.AsBase64Text()),
              inArray ? "      </base64></value>" : "</base64></value>");
        return true;
    case TXrpcKind::Struct:
        Piece(out, item.AsStruct()->GetAsXML());
        return true;
    case TXrpcKind::Array:
        Piece(out, item.AsArray()->GetAsXML());
        return true;
    case TXrpcKind::Error:
    case TXrpcKind::None:
        break;
    }
    return false;
}

// The value of a parameter: one piece that ends in CR LF itself.
void ParamValue(std::string& out, const TXrpcCustomItem& item)
{
    auto line = [&out](std::string_view a, std::string_view b, std::string_view c) {
        out.append(a);
        out.append(b);
        out.append(c);
        out.append("\r\n\r\n");
    };
    switch (item.DataType()) {
    case TXrpcKind::Double:
        line("<value><double>", FormatFloat(item.AsFloat()), "</double></value>");
        break;
    case TXrpcKind::Int:
        line("<value><int>", std::to_string(item.AsInteger()), "</int></value>");
        break;
    case TXrpcKind::String:
        line("<value><string>", item.AsRawString(), "</string></value>");
        break;
    case TXrpcKind::Boolean:
        line(item.AsBoolean() ? "<value><boolean>1</boolean></value>"
                              : "<value><boolean>0</boolean></value>",
             "", "");
        break;
    case TXrpcKind::DateTime:
        line("<value><dateTime.iso8601>", FormatIsoDate(item.AsDateTime()),
             "</dateTime.iso8601></value>");
        break;
    case TXrpcKind::Base64:
        line("<value><base64>", EscapeXml(item.AsBase64Text()), "</base64></value>");
        break;
    case TXrpcKind::Struct:
        line(item.AsStruct()->GetAsXML(), "", "");
        break;
    case TXrpcKind::Array:
        line(item.AsArray()->GetAsXML(), "", "");
        break;
    case TXrpcKind::Error:
    case TXrpcKind::None:
        break;
    }
}

void ParamsBlock(std::string& out, const TXrpcCustomArray& params)
{
    Piece(out, "   <params>\r\n");
    for (int i = 0; i < params.Count(); ++i) {
        Piece(out, "   <param>\r\n");
        ParamValue(out, params.GetItem(i));
        Piece(out, "   </param>\r\n");
    }
    Piece(out, "   </params>\r\n");
}

std::string FaultDocument(int32_t code, std::string_view text)
{
    std::string out;
    out.reserve(600 + text.size());
    Piece(out, kProlog);
    Piece(out, "<methodResponse>\r\n");
    Piece(out, "   <fault>\r\n");
    Piece(out, "      <value>\r\n");
    Piece(out, "        <struct>\r\n");
    Piece(out, "            <member>\r\n");
    Piece(out, "               <name>faultCode</name>\r\n");
    Piece(out, "               <value><int>", std::to_string(code), "</int></value>\r\n");
    Piece(out, "               </member>\r\n");
    Piece(out, "            <member>\r\n");
    Piece(out, "               <name>faultString</name>\r\n");
    Piece(out, "               <value><string>", EscapeXml(text), "</string></value>\r\n");
    Piece(out, "               </member>\r\n");
    Piece(out, "            </struct>\r\n");
    Piece(out, "         </value>\r\n");
    Piece(out, "      </fault>\r\n");
    Piece(out, "   </methodResponse>\r\n");
    return out;
}

// Every add fills its new item before appending it, so a failing one adds nothing.
template <class Fill> std::unique_ptr<TXrpcCustomItem> Filled(Fill&& fill)
{
    auto item = std::make_unique<TXrpcCustomItem>();
    fill(*item);
    return item;
}

std::unique_ptr<TXrpcCustomItem> CopyOf(const TXrpcCustomItem& source)
{
    auto item = std::make_unique<TXrpcCustomItem>();
    item->Assign(source);
    return item;
}

} // namespace

// ---- TXrpcCustomItem ----

void TXrpcCustomItem::Require(TXrpcKind kind, const char* message) const
{
    if (kind_ != kind)
        throw EXrpcError(message);
}

const std::string& TXrpcCustomItem::AsRawString() const
{
    Require(TXrpcKind::String, kNotString);
    return text_;
}

void TXrpcCustomItem::SetRawString(std::string escaped)
{
    Clear();
    kind_ = TXrpcKind::String;
    text_ = std::move(escaped);
}

std::string TXrpcCustomItem::AsString() const
{
    return UnescapeXml(AsRawString());
}

void TXrpcCustomItem::SetString(std::string_view text)
{
    SetRawString(EscapeXml(text));
}

int32_t TXrpcCustomItem::AsInteger() const
{
    Require(TXrpcKind::Int, kNotInteger);
    return integer_;
}

void TXrpcCustomItem::SetInteger(int32_t value)
{
    Clear();
    kind_ = TXrpcKind::Int;
    integer_ = value;
}

double TXrpcCustomItem::AsFloat() const
{
    Require(TXrpcKind::Double, kNotDouble);
    return float_;
}

void TXrpcCustomItem::SetFloat(double value)
{
    FormatFloat(value); // raises for what no document can carry, before anything changes
    Clear();
    kind_ = TXrpcKind::Double;
    float_ = value;
}

bool TXrpcCustomItem::AsBoolean() const
{
    Require(TXrpcKind::Boolean, kNotBoolean);
    return boolean_;
}

void TXrpcCustomItem::SetBoolean(bool value)
{
    Clear();
    kind_ = TXrpcKind::Boolean;
    boolean_ = value;
}

TDateTime TXrpcCustomItem::AsDateTime() const
{
    Require(TXrpcKind::DateTime, kNotDate);
    return float_;
}

void TXrpcCustomItem::SetDateTime(TDateTime value)
{
    CheckDateTime(value);
    Clear();
    kind_ = TXrpcKind::DateTime;
    float_ = value;
}

std::string TXrpcCustomItem::AsBase64() const
{
    return DecodeBase64(AsBase64Text());
}

void TXrpcCustomItem::SetBase64(std::string_view bytes)
{
    SetBase64Text(EncodeBase64(bytes));
}

const std::string& TXrpcCustomItem::AsBase64Text() const
{
    Require(TXrpcKind::Base64, kNotBase64);
    return text_;
}

void TXrpcCustomItem::SetBase64Text(std::string text)
{
    Clear();
    kind_ = TXrpcKind::Base64;
    text_ = std::move(text);
}

IXrpcArray TXrpcCustomItem::AsArray() const
{
    Require(TXrpcKind::Array, kNotArray);
    return array_;
}

void TXrpcCustomItem::SetArray(IXrpcArray array)
{
    if (!array)
        throw EXrpcError(kNotArray);
    Clear();
    kind_ = TXrpcKind::Array;
    array_ = std::move(array);
}

IXrpcStruct TXrpcCustomItem::AsStruct() const
{
    Require(TXrpcKind::Struct, kNotStruct);
    return struct_;
}

void TXrpcCustomItem::StoreStruct(IXrpcStruct value)
{
    if (!value)
        throw EXrpcError(kNotStruct);
    Clear();
    kind_ = TXrpcKind::Struct;
    struct_ = std::move(value);
}

void TXrpcCustomItem::SetStruct(IXrpcStruct value)
{
    StoreStruct(std::move(value));
}

void TXrpcCustomItem::Assign(const TXrpcCustomItem& source)
{
    if (&source == this)
        return;
    switch (source.kind_) {
    case TXrpcKind::Double:
        SetFloat(source.float_);
        break;
    case TXrpcKind::Int:
        SetInteger(source.integer_);
        break;
    case TXrpcKind::String:
        SetRawString(source.text_);
        break;
    case TXrpcKind::Boolean:
        SetBoolean(source.boolean_);
        break;
    case TXrpcKind::DateTime:
        SetDateTime(source.float_);
        break;
    case TXrpcKind::Base64:
        SetBase64Text(source.text_);
        break;
    case TXrpcKind::Struct: {
        auto copy = std::make_shared<TXrpcStruct>();
        copy->Assign(*source.struct_);
        StoreStruct(std::move(copy));
        break;
    }
    case TXrpcKind::Array: {
        auto copy = std::make_shared<TXrpcArray>();
        copy->Assign(*source.array_);
        SetArray(std::move(copy));
        break;
    }
    case TXrpcKind::Error:
    case TXrpcKind::None:
        throw EXrpcError("unknown data type in TXrpcCustomItem.Assign");
    }
}

void TXrpcCustomItem::Clear()
{
    kind_ = TXrpcKind::None;
    text_.clear();
    integer_ = 0;
    float_ = 0;
    boolean_ = false;
    struct_.reset();
    array_.reset();
}

void TXrpcCustomItem::LoadBase64FromStream(std::istream& in)
{
    SetBase64(StreamToString(in));
}

void TXrpcCustomItem::SaveBase64ToStream(std::ostream& out) const
{
    StringToStream(AsBase64(), out);
}

void TXrpcCustomItem::LoadBase64FromFile(const std::string& path)
{
    SetBase64(ReadFileBytes(path));
}

void TXrpcCustomItem::SaveBase64ToFile(const std::string& path) const
{
    const std::string bytes = AsBase64(); // a bad text raises before the file is touched
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw EXrpcError("Cannot create file \"" + path + "\"");
    StringToStream(bytes, out);
    out.close();
    if (!out)
        throw EXrpcError("Cannot write file \"" + path + "\"");
}

// ---- TXrpcResult ----

void TXrpcResult::SetStruct(IXrpcStruct value)
{
    if (value && value->KeyExists("faultCode")) {
        const int32_t code = value->GetKey("faultCode").AsInteger();
        std::string text = value->GetKey("faultString").AsString();
        SetError(code, std::move(text));
        return;
    }
    StoreStruct(std::move(value));
}

void TXrpcResult::Clear()
{
    TXrpcCustomItem::Clear();
    errorCode_ = 0;
    errorText_.clear();
}

int32_t TXrpcResult::ErrorCode() const
{
    Require(TXrpcKind::Error, kNotError);
    return errorCode_;
}

const std::string& TXrpcResult::ErrorMsg() const
{
    Require(TXrpcKind::Error, kNotError);
    return errorText_;
}

void TXrpcResult::SetError(int32_t code, std::string text)
{
    Clear();
    kind_ = TXrpcKind::Error;
    errorCode_ = code;
    errorText_ = std::move(text);
}

// ---- TXrpcCustomArray ----

void TXrpcCustomArray::CheckIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EXrpcError(IndexError(index));
}

TXrpcCustomItem& TXrpcCustomArray::GetItem(int index)
{
    CheckIndex(index);
    return *items_[static_cast<size_t>(index)];
}

const TXrpcCustomItem& TXrpcCustomArray::GetItem(int index) const
{
    CheckIndex(index);
    return *items_[static_cast<size_t>(index)];
}

void TXrpcCustomArray::SetItem(int index, const TXrpcCustomItem& item)
{
    CheckIndex(index);
    items_[static_cast<size_t>(index)] = CopyOf(item);
}

void TXrpcCustomArray::Delete(int index)
{
    CheckIndex(index);
    items_.erase(items_.begin() + index);
}

TXrpcCustomItem& TXrpcCustomArray::Append(std::unique_ptr<TXrpcCustomItem> item)
{
    items_.push_back(std::move(item));
    return *items_.back();
}

TXrpcCustomItem& TXrpcCustomArray::AddNewItem()
{
    return Append(std::make_unique<TXrpcCustomItem>());
}

void TXrpcCustomArray::AddItem(const std::string& text)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetString(text); }));
}
void TXrpcCustomArray::AddItem(std::string_view text)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetString(text); }));
}
void TXrpcCustomArray::AddItem(const char* text)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetString(text); }));
}
void TXrpcCustomArray::AddItem(int32_t value)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetInteger(value); }));
}
void TXrpcCustomArray::AddItem(bool value)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetBoolean(value); }));
}
void TXrpcCustomArray::AddItem(double value)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetFloat(value); }));
}
void TXrpcCustomArray::AddItemRawString(std::string escaped)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetRawString(std::move(escaped)); }));
}
void TXrpcCustomArray::AddItemStruct(IXrpcStruct value)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetStruct(std::move(value)); }));
}
void TXrpcCustomArray::AddItemArray(IXrpcArray value)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetArray(std::move(value)); }));
}
void TXrpcCustomArray::AddItemBase64Text(std::string text)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetBase64Text(std::move(text)); }));
}
void TXrpcCustomArray::AddItemBase64(std::string_view bytes)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetBase64(bytes); }));
}
void TXrpcCustomArray::AddItemBase64FromFile(const std::string& path)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.LoadBase64FromFile(path); }));
}
void TXrpcCustomArray::AddItemBase64FromStream(std::istream& in)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.LoadBase64FromStream(in); }));
}
void TXrpcCustomArray::AddItemDateTime(TDateTime value)
{
    Append(Filled([&](TXrpcCustomItem& i) { i.SetDateTime(value); }));
}

void TXrpcCustomArray::Assign(const TXrpcCustomArray& source)
{
    std::vector<std::unique_ptr<TXrpcCustomItem>> copy;
    copy.reserve(source.items_.size());
    for (const auto& item : source.items_) {
        auto next = std::make_unique<TXrpcCustomItem>();
        switch (item->DataType()) {
        case TXrpcKind::Base64:
            next->SetBase64(item->AsBase64());
            break;
        case TXrpcKind::Error:
        case TXrpcKind::None:
            throw EXrpcError("unknown data type in TXrpcCustomArray.Assign");
        default:
            next->Assign(*item);
            break;
        }
        copy.push_back(std::move(next));
    }
    items_ = std::move(copy);
}

void TXrpcCustomArray::Clear()
{
    items_.clear();
}

// ---- TXrpcArray ----

std::string TXrpcArray::GetAsXML() const
{
    std::string out;
    out.reserve(64 + items_.size() * 48);
    Piece(out, "<value>");
    Piece(out, "  <array>");
    Piece(out, "    <data>");
    for (const auto& item : items_)
        InnerValue(out, *item, true);
    Piece(out, "  </data>");
    Piece(out, "</array>");
    Piece(out, "</value>");
    return out;
}

void TXrpcArray::AddItemFromText(TXrpcKind kind, std::string_view text)
{
    switch (kind) {
    case TXrpcKind::Double:
        AddItem(ParseFloat(text));
        break;
    case TXrpcKind::Int:
        AddItem(ParseInteger(text));
        break;
    case TXrpcKind::String:
        AddItem(text);
        break;
    case TXrpcKind::Boolean:
        AddItem(ParseBoolean(text));
        break;
    case TXrpcKind::DateTime:
        AddItemDateTime(ParseIsoDate(text));
        break;
    case TXrpcKind::Base64:
        AddItemBase64Text(std::string(text));
        break;
    default:
        break;
    }
}

// ---- TXrpcStruct ----

void TXrpcStruct::CheckIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EXrpcError(IndexError(index));
}

std::vector<std::string> TXrpcStruct::KeyList() const
{
    std::vector<std::string> names;
    names.reserve(members_.size());
    for (const auto& m : members_)
        names.push_back(m.name);
    return names;
}

const std::string& TXrpcStruct::GetName(int index) const
{
    CheckIndex(index);
    return members_[static_cast<size_t>(index)].name;
}

TXrpcCustomItem& TXrpcStruct::GetItem(int index)
{
    CheckIndex(index);
    return *members_[static_cast<size_t>(index)].item;
}

const TXrpcCustomItem& TXrpcStruct::GetItem(int index) const
{
    CheckIndex(index);
    return *members_[static_cast<size_t>(index)].item;
}

void TXrpcStruct::SetItem(int index, const TXrpcCustomItem& item)
{
    CheckIndex(index);
    members_[static_cast<size_t>(index)].item = CopyOf(item);
}

int TXrpcStruct::IndexOfKey(std::string_view name) const
{
    for (size_t i = 0; i < members_.size(); ++i)
        if (SameText(members_[i].name, name))
            return static_cast<int>(i);
    return -1;
}

TXrpcCustomItem& TXrpcStruct::GetKey(std::string_view name)
{
    return const_cast<TXrpcCustomItem&>(std::as_const(*this).GetKey(name));
}

const TXrpcCustomItem& TXrpcStruct::GetKey(std::string_view name) const
{
    const int i = IndexOfKey(name);
    if (i < 0)
        throw EXrpcError("Struct has no member \"" + std::string(name.substr(0, 80)) + "\"");
    return *members_[static_cast<size_t>(i)].item;
}

void TXrpcStruct::SetKey(std::string_view name, const TXrpcCustomItem& item)
{
    GetKey(name); // raises for a missing name
    members_[static_cast<size_t>(IndexOfKey(name))].item = CopyOf(item);
}

void TXrpcStruct::Delete(int index)
{
    CheckIndex(index);
    members_.erase(members_.begin() + index);
}

void TXrpcStruct::Delete(std::string_view name)
{
    GetKey(name);
    Delete(IndexOfKey(name));
}

TXrpcCustomItem& TXrpcStruct::Append(std::string name, std::unique_ptr<TXrpcCustomItem> item)
{
    members_.push_back({std::move(name), std::move(item)});
    return *members_.back().item;
}

TXrpcCustomItem& TXrpcStruct::AddItem(std::string name)
{
    return Append(std::move(name), std::make_unique<TXrpcCustomItem>());
}

void TXrpcStruct::AddItemInteger(std::string name, int32_t value)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetInteger(value); }));
}
void TXrpcStruct::AddItemString(std::string name, std::string_view text)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetString(text); }));
}
void TXrpcStruct::AddItemRawString(std::string name, std::string escaped)
{
    Append(std::move(name),
           Filled([&](TXrpcCustomItem& i) { i.SetRawString(std::move(escaped)); }));
}
void TXrpcStruct::AddItemDouble(std::string name, double value)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetFloat(value); }));
}
void TXrpcStruct::AddItemBoolean(std::string name, bool value)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetBoolean(value); }));
}
void TXrpcStruct::AddItemArray(std::string name, IXrpcArray value)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetArray(std::move(value)); }));
}
void TXrpcStruct::AddItemStruct(std::string name, IXrpcStruct value)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetStruct(std::move(value)); }));
}
void TXrpcStruct::AddItemDateTime(std::string name, TDateTime value)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetDateTime(value); }));
}
void TXrpcStruct::AddItemBase64(std::string name, std::string_view bytes)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetBase64(bytes); }));
}
void TXrpcStruct::AddItemBase64Text(std::string name, std::string text)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.SetBase64Text(std::move(text)); }));
}
void TXrpcStruct::AddItemBase64FromFile(std::string name, const std::string& path)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.LoadBase64FromFile(path); }));
}
void TXrpcStruct::AddItemBase64FromStream(std::string name, std::istream& in)
{
    Append(std::move(name), Filled([&](TXrpcCustomItem& i) { i.LoadBase64FromStream(in); }));
}

void TXrpcStruct::AddItemFromText(TXrpcKind kind, std::string name, std::string_view text)
{
    switch (kind) {
    case TXrpcKind::Double:
        AddItemDouble(std::move(name), ParseFloat(text));
        break;
    case TXrpcKind::Int:
        AddItemInteger(std::move(name), ParseInteger(text));
        break;
    case TXrpcKind::String:
        AddItemString(std::move(name), text);
        break;
    case TXrpcKind::Boolean:
        AddItemBoolean(std::move(name), ParseBoolean(text));
        break;
    case TXrpcKind::DateTime:
        AddItemDateTime(std::move(name), ParseIsoDate(text));
        break;
    case TXrpcKind::Base64:
        AddItemBase64Text(std::move(name), std::string(text));
        break;
    default:
        break;
    }
}

std::string TXrpcStruct::GetAsXML() const
{
    std::string out;
    out.reserve(48 + members_.size() * 96);
    Piece(out, "<value>");
    Piece(out, "  <struct>");
    for (const auto& m : members_) {
        Piece(out, "    <member>");
        if (m.item->DataType() != TXrpcKind::Error && m.item->DataType() != TXrpcKind::None) {
            Piece(out, "      <name>", EscapeXml(m.name), "</name>");
            InnerValue(out, *m.item, false);
        }
        Piece(out, "    </member>");
    }
    Piece(out, "  </struct>");
    Piece(out, "</value>");
    return out;
}

void TXrpcStruct::Assign(const TXrpcStruct& source)
{
    std::vector<Member> copy;
    copy.reserve(source.members_.size());
    for (const auto& m : source.members_) {
        const TXrpcKind kind = m.item->DataType();
        if (kind == TXrpcKind::Error || kind == TXrpcKind::None)
            throw EXrpcError("unknown data type in TXrpcStruct.Assign");
        copy.push_back({m.name, CopyOf(*m.item)});
    }
    members_ = std::move(copy);
}

// ---- TXrpcFunction ----

std::string TXrpcFunction::GetRequestXML() const
{
    std::string out;
    out.reserve(256 + items_.size() * 64);
    Piece(out, kProlog);
    Piece(out, "<methodCall>\r\n");
    Piece(out, "  <methodName>", EscapeXml(method_), "</methodName>\r\n");
    ParamsBlock(out, *this);
    Piece(out, "</methodCall>\r\n");
    return out;
}

std::string TXrpcFunction::GetResponseXML() const
{
    // Any fault code but 0 is a fault: a negative one must not go out as success.
    if (faultCode_ != 0)
        return GetErrorXML();
    std::string out;
    out.reserve(192 + items_.size() * 64);
    Piece(out, kProlog);
    Piece(out, "<methodResponse>\r\n");
    ParamsBlock(out, *this);
    Piece(out, "</methodResponse>\r\n");
    return out;
}

std::string TXrpcFunction::GetErrorXML() const
{
    return FaultDocument(faultCode_, faultText_);
}

void TXrpcFunction::Clear()
{
    TXrpcCustomArray::Clear();
    method_.clear();
    faultCode_ = 0;
    faultText_.clear();
}

void TXrpcFunction::SetError(int32_t code, std::string text)
{
    Clear();
    faultCode_ = code;
    faultText_ = std::move(text);
}

void TXrpcFunction::ParseRequest(std::string_view document)
{
    TXrpcServerParser parser;
    parser.Parse(document);
    std::vector<std::unique_ptr<TXrpcCustomItem>> params;
    for (auto& p : parser.TakeParams())
        params.push_back(std::move(p));
    Clear();
    method_ = parser.MethodName();
    items_ = std::move(params);
}

} // namespace xrpc
