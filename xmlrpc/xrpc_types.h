#pragma once
// XML-RPC values: items of ten kinds, arrays, structs, the call object TXrpcFunction and the
// result object TXrpcResult, each with the writer of its XML text.
//
// Arrays, structs, results and functions are shared through shared_ptr (the I... names); the
// items inside an array or struct belong to it.  Strings are Windows-1251 and are kept in
// their escaped form: SetString/AsString escape and unescape, SetRawString/AsRawString take and
// give the stored form.  Base64 values are kept encoded.
//
// Threads: a value is used by one thread at a time.

#include "xmlrpc/xrpc_common.h"

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace xrpc {

// The numbers are those of the text-to-value routine (AddItemFromText).
enum class TXrpcKind : uint8_t {
    Double = 0,
    Int = 1,
    String = 2,
    Boolean = 3,
    DateTime = 4,
    Base64 = 5,
    Struct = 6,
    Array = 7,
    Error = 8,
    None = 9,
};

class TXrpcArray;
class TXrpcStruct;
class TXrpcResult;
class TXrpcFunction;
using IXrpcArray = std::shared_ptr<TXrpcArray>;
using IXrpcStruct = std::shared_ptr<TXrpcStruct>;
using IXrpcResult = std::shared_ptr<TXrpcResult>;
using IXrpcFunction = std::shared_ptr<TXrpcFunction>;

class TXrpcBaseClass
{
public:
    TXrpcBaseClass() = default;
    TXrpcBaseClass(const TXrpcBaseClass&) = delete;
    TXrpcBaseClass& operator=(const TXrpcBaseClass&) = delete;
    virtual ~TXrpcBaseClass() = default;
};

// One value.  Setting a value first clears the item, so it holds exactly one.  A reader of
// another kind raises EXrpcError ("Item is not a integer type", ...) and changes nothing.
class TXrpcCustomItem : public TXrpcBaseClass
{
public:
    TXrpcKind DataType() const { return kind_; }

    const std::string& AsRawString() const;
    void SetRawString(std::string escaped);
    std::string AsString() const;
    void SetString(std::string_view text);
    int32_t AsInteger() const;
    void SetInteger(int32_t value);
    double AsFloat() const;
    void SetFloat(double value); // raises for infinities and NaN
    bool AsBoolean() const;
    void SetBoolean(bool value);
    TDateTime AsDateTime() const;
    void SetDateTime(TDateTime value); // raises outside the years 1 to 9999
    std::string AsBase64() const;      // the decoded bytes
    void SetBase64(std::string_view bytes);
    const std::string& AsBase64Text() const;
    void SetBase64Text(std::string text);
    IXrpcArray AsArray() const;
    void SetArray(IXrpcArray array);
    IXrpcStruct AsStruct() const;
    virtual void SetStruct(IXrpcStruct value);

    // Copies kind and payload; arrays and structs are copied deep.  Kinds 8 and 9 raise.
    virtual void Assign(const TXrpcCustomItem& source);
    virtual void Clear();

    bool IsArray() const { return kind_ == TXrpcKind::Array; }
    bool IsBase64() const { return kind_ == TXrpcKind::Base64; }
    bool IsBoolean() const { return kind_ == TXrpcKind::Boolean; }
    bool IsDate() const { return kind_ == TXrpcKind::DateTime; }
    bool IsFloat() const { return kind_ == TXrpcKind::Double; }
    bool IsErrorItem() const { return kind_ == TXrpcKind::Error; }
    bool IsInteger() const { return kind_ == TXrpcKind::Int; }
    bool IsString() const { return kind_ == TXrpcKind::String; }
    bool IsStruct() const { return kind_ == TXrpcKind::Struct; }

    // Loading stores the whole stream or file encoded (kind 5); saving decodes and writes, a
    // file being created anew.  A file that cannot be opened raises.
    void LoadBase64FromStream(std::istream& in);
    void SaveBase64ToStream(std::ostream& out) const;
    void LoadBase64FromFile(const std::string& path);
    void SaveBase64ToFile(const std::string& path) const;

protected:
    void Require(TXrpcKind kind, const char* message) const;
    void StoreStruct(IXrpcStruct value);

    TXrpcKind kind_ = TXrpcKind::None;
    std::string text_; // string (escaped) or Base64 text
    int32_t integer_ = 0;
    double float_ = 0; // double or date-time
    bool boolean_ = false;
    IXrpcStruct struct_;
    IXrpcArray array_;
};

// The items arrays and structs hold are plain items.
using TXrpcArrayItem = TXrpcCustomItem;
using TXrpcStructItem = TXrpcCustomItem;

// A call's parameter, a call's answer.  SetStruct turns a struct with a member "faultCode"
// into the error kind (code from "faultCode", text from "faultString").
class TXrpcResult : public TXrpcCustomItem
{
public:
    void SetStruct(IXrpcStruct value) override;
    void Clear() override;

    int32_t ErrorCode() const;
    const std::string& ErrorMsg() const;
    void SetError(int32_t code, std::string text);
    bool IsError() const { return IsErrorItem(); }
    int GetTag() const { return tag_; }
    void SetTag(int tag) { tag_ = tag; }

private:
    int32_t errorCode_ = 0;
    std::string errorText_;
    int tag_ = 0;
};

// An ordered list of items that it owns.  Indexes out of range raise EXrpcError.
class TXrpcCustomArray : public TXrpcBaseClass
{
public:
    int Count() const { return static_cast<int>(items_.size()); }
    TXrpcCustomItem& GetItem(int index);
    const TXrpcCustomItem& GetItem(int index) const;
    void SetItem(int index, const TXrpcCustomItem& item); // copies the item into the slot
    void Delete(int index);

    // The adds append one new item at the end; one that fails adds nothing.
    TXrpcCustomItem& AddNewItem();
    void AddItem(const std::string& text); // escaped
    void AddItem(std::string_view text);
    void AddItem(const char* text);
    void AddItem(int32_t value);
    void AddItem(bool value);
    void AddItem(double value);
    template <class T> void AddItem(T) = delete; // no silent conversions to bool or int
    void AddItemRawString(std::string escaped);
    void AddItemStruct(IXrpcStruct value);
    void AddItemArray(IXrpcArray value);
    void AddItemBase64Text(std::string text);
    void AddItemBase64(std::string_view bytes);
    void AddItemBase64FromFile(const std::string& path);
    void AddItemBase64FromStream(std::istream& in);
    void AddItemDateTime(TDateTime value);

    // Replaces the contents with a copy of source's (all or nothing).
    virtual void Assign(const TXrpcCustomArray& source);
    virtual void Clear();

protected:
    TXrpcCustomItem& Append(std::unique_ptr<TXrpcCustomItem> item);
    void CheckIndex(int index) const;

    std::vector<std::unique_ptr<TXrpcCustomItem>> items_;
};

class TXrpcArray : public TXrpcCustomArray
{
public:
    std::string GetAsXML() const;
    // Kind 0 float, 1 integer, 2 string (escaped here), 3 boolean, 4 date-time, 5 Base64 text;
    // other kinds add nothing.  A conversion fails before anything is added.
    void AddItemFromText(TXrpcKind kind, std::string_view text);
};

// Ordered (name, item) pairs.  Names need not be unique; look-up by name ignores letter case
// and takes the first match.  A missing name or index raises EXrpcError.
class TXrpcStruct : public TXrpcBaseClass
{
public:
    int Count() const { return static_cast<int>(members_.size()); }
    std::vector<std::string> KeyList() const;
    const std::string& GetName(int index) const;
    TXrpcCustomItem& GetItem(int index);
    const TXrpcCustomItem& GetItem(int index) const;
    void SetItem(int index, const TXrpcCustomItem& item);
    TXrpcCustomItem& GetKey(std::string_view name);
    const TXrpcCustomItem& GetKey(std::string_view name) const;
    void SetKey(std::string_view name, const TXrpcCustomItem& item);
    bool KeyExists(std::string_view name) const { return IndexOfKey(name) >= 0; }
    int IndexOfKey(std::string_view name) const; // -1 when absent
    void Delete(int index);
    void Delete(std::string_view name);
    void Clear() { members_.clear(); }

    TXrpcCustomItem& AddItem(std::string name); // a new empty member
    void AddItemInteger(std::string name, int32_t value);
    void AddItemString(std::string name, std::string_view text); // escaped
    void AddItemRawString(std::string name, std::string escaped);
    void AddItemDouble(std::string name, double value);
    void AddItemBoolean(std::string name, bool value);
    void AddItemArray(std::string name, IXrpcArray value);
    void AddItemStruct(std::string name, IXrpcStruct value);
    void AddItemDateTime(std::string name, TDateTime value);
    void AddItemBase64(std::string name, std::string_view bytes);
    void AddItemBase64Text(std::string name, std::string text);
    void AddItemBase64FromFile(std::string name, const std::string& path);
    void AddItemBase64FromStream(std::string name, std::istream& in);
    void AddItemFromText(TXrpcKind kind, std::string name, std::string_view text);

    std::string GetAsXML() const;
    void Assign(const TXrpcStruct& source); // all or nothing

private:
    struct Member
    {
        std::string name;
        std::unique_ptr<TXrpcCustomItem> item;
    };
    TXrpcCustomItem& Append(std::string name, std::unique_ptr<TXrpcCustomItem> item);
    void CheckIndex(int index) const;

    std::vector<Member> members_;
};

// A call (method name and parameters) or an answer (parameters, or a fault).
class TXrpcFunction : public TXrpcCustomArray
{
public:
    const std::string& ObjectMethod() const { return method_; }
    void SetObjectMethod(std::string name) { method_ = std::move(name); }
    int32_t FaultCode() const { return faultCode_; }
    const std::string& FaultText() const { return faultText_; }

    std::string GetRequestXML() const;
    // The fault document when the fault code is not 0, else the parameters.
    std::string GetResponseXML() const;
    std::string GetErrorXML() const;

    // Name emptied, fault code 0, items removed.
    void Clear() override;
    // Clears, then stores the fault.
    void SetError(int32_t code, std::string text);
    // Fills name and items from a methodCall document; a malformed document raises and leaves
    // the function as it was.
    void ParseRequest(std::string_view document);

private:
    std::string method_;
    int32_t faultCode_ = 0;
    std::string faultText_;
};

} // namespace xrpc
