#include "xmlrpc/xrpc_types.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

using namespace xrpc;
using namespace std::string_literals;

namespace {

std::string ErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EXrpcError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(XrpcItem, StringIsKeptEscaped)
{
    TXrpcCustomItem item;
    item.SetString("a<b&c");
    EXPECT_EQ(item.AsRawString(), "a&lt;b&amp;c");
    EXPECT_EQ(item.AsString(), "a<b&c");
    item.SetString("a\0b"s);
    EXPECT_EQ(item.AsString(), "ab");
    item.SetRawString("x&amp;lt;y"); // stored as given
    EXPECT_EQ(item.AsString(), "x&lt;y");

    TXrpcArray array;
    array.AddItem("n\0ul"s);
    array.AddItem("lit");
    EXPECT_EQ(array.GetItem(0).AsString(), "nul");
    EXPECT_TRUE(array.GetItem(1).IsString()); // a literal is a string, not a boolean
}

TEST(XrpcItem, ReadingAnotherKindRaisesTheReadersTextAndChangesNothing)
{
    struct Reader
    {
        const char* message;
        std::function<void(const TXrpcResult&)> read;
    };
    const Reader readers[] = {
        {"Item is not a string type", [](const TXrpcResult& i) { (void)i.AsRawString(); }},
        {"Item is not a string type", [](const TXrpcResult& i) { (void)i.AsString(); }},
        {"Item is not a integer type", [](const TXrpcResult& i) { (void)i.AsInteger(); }},
        {"Item is not a double type", [](const TXrpcResult& i) { (void)i.AsFloat(); }},
        {"Item is not a boolean type", [](const TXrpcResult& i) { (void)i.AsBoolean(); }},
        {"Item is not a date type", [](const TXrpcResult& i) { (void)i.AsDateTime(); }},
        {"Item is not a base64 type", [](const TXrpcResult& i) { (void)i.AsBase64(); }},
        {"Item is not a base64 type", [](const TXrpcResult& i) { (void)i.AsBase64Text(); }},
        {"Item is not a array type", [](const TXrpcResult& i) { (void)i.AsArray(); }},
        {"Item is not a struct type", [](const TXrpcResult& i) { (void)i.AsStruct(); }},
        {"Item is not an error type", [](const TXrpcResult& i) { (void)i.ErrorCode(); }},
        {"Item is not an error type", [](const TXrpcResult& i) { (void)i.ErrorMsg(); }},
    };
    TXrpcResult fresh;
    EXPECT_EQ(fresh.DataType(), TXrpcKind::None);
    for (const auto& r : readers)
        EXPECT_EQ(ErrorOf([&] { r.read(fresh); }), r.message);

    TXrpcResult number;
    number.SetInteger(42);
    for (const auto& r : readers) {
        if (std::string(r.message) != "Item is not a integer type") {
            EXPECT_EQ(ErrorOf([&] { r.read(number); }), r.message);
        }
    }
    EXPECT_EQ(number.AsInteger(), 42);
}

TEST(XrpcItem, SettingAValueReplacesTheOldOne)
{
    TXrpcResult r;
    r.SetError(5, "bad");
    r.SetInteger(1);
    EXPECT_FALSE(r.IsError());
    r.SetArray(std::make_shared<TXrpcArray>());
    r.SetBoolean(true);
    EXPECT_TRUE(r.IsBoolean());
    EXPECT_THROW(r.AsArray(), EXrpcError);
    // Values no document can carry are refused before the old value goes.
    EXPECT_THROW(r.SetFloat(1.0 / 0.0), EXrpcError);
    EXPECT_THROW(r.SetDateTime(1e9), EXrpcError);
    EXPECT_THROW(r.SetArray(nullptr), EXrpcError);
    EXPECT_TRUE(r.AsBoolean());
}

TEST(XrpcResult, SetStructFaultRule)
{
    struct Case
    {
        const char* codeName;
        bool isFault;
    };
    for (const Case c : {Case{"faultCode", true}, Case{"FAULTCODE", true},
                         Case{"faultcodes", false}, Case{"code", false}}) {
        auto s = std::make_shared<TXrpcStruct>();
        s->AddItemInteger(c.codeName, 1002);
        s->AddItemString("faultString", "bad <one>");
        TXrpcResult r;
        r.SetStruct(s);
        EXPECT_EQ(r.IsError(), c.isFault) << c.codeName;
        if (c.isFault) {
            EXPECT_EQ(r.ErrorCode(), 1002);
            EXPECT_EQ(r.ErrorMsg(), "bad <one>");
            EXPECT_THROW(r.AsStruct(), EXrpcError); // the struct is dropped
        } else {
            EXPECT_EQ(r.AsStruct(), s);
        }
    }
    // A fault struct whose code is no integer raises and leaves the result as it was.
    auto odd = std::make_shared<TXrpcStruct>();
    odd->AddItemString("faultCode", "12");
    odd->AddItemString("faultString", "x");
    TXrpcResult r;
    r.SetInteger(3);
    EXPECT_EQ(ErrorOf([&] { r.SetStruct(odd); }), "Item is not a integer type");
    EXPECT_EQ(r.AsInteger(), 3);
    // Plain items keep any struct.
    TXrpcCustomItem plain;
    plain.SetStruct(odd);
    EXPECT_TRUE(plain.IsStruct());
}

TEST(XrpcStruct, DuplicateNamesAreKeptAndLookUpTakesTheFirst)
{
    TXrpcStruct s;
    s.AddItemInteger("A", 1);
    s.AddItemInteger("a", 2);
    s.AddItemInteger("\xC8\xEC\xFF", 3); // Имя
    EXPECT_EQ(s.Count(), 3);
    EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"A", "a", "\xC8\xEC\xFF"}));
    EXPECT_EQ(s.GetKey("a").AsInteger(), 1);
    EXPECT_EQ(s.IndexOfKey("A"), 0);
    EXPECT_EQ(s.GetKey("\xE8\xCC\xDF").AsInteger(), 3); // иМЯ
    EXPECT_EQ(s.IndexOfKey("b"), -1);
    s.Delete("a");
    EXPECT_EQ(s.GetKey("A").AsInteger(), 2);
    EXPECT_EQ(s.GetName(0), "a");
    EXPECT_THROW(s.GetKey("missing"), EXrpcError);
    EXPECT_THROW(s.Delete("missing"), EXrpcError);
    EXPECT_THROW(s.GetItem(2), EXrpcError);
    EXPECT_THROW(s.GetItem(-1), EXrpcError);
    EXPECT_EQ(s.Count(), 2);
}

TEST(XrpcArray, IndexErrorsAndFailingAddsChangeNothing)
{
    TXrpcArray a;
    a.AddItem(int32_t{1});
    EXPECT_EQ(ErrorOf([&] { a.GetItem(1); }), "List index out of bounds (1)");
    EXPECT_THROW(a.Delete(-1), EXrpcError);
    EXPECT_THROW(a.AddItemFromText(TXrpcKind::Int, "abc"), EXrpcError);
    EXPECT_THROW(a.AddItemFromText(TXrpcKind::Boolean, "maybe"), EXrpcError);
    EXPECT_THROW(a.AddItemFromText(TXrpcKind::DateTime, "2026"), EXrpcError);
    EXPECT_THROW(a.AddItem(0.0 / 0.0), EXrpcError);
    EXPECT_THROW(a.AddItemBase64FromFile("/nonexistent/file"), EXrpcError);
    a.AddItemFromText(TXrpcKind::Struct, "ignored");
    a.AddItemFromText(TXrpcKind::None, "ignored");
    EXPECT_EQ(a.Count(), 1);
}

TEST(XrpcArray, AddItemFromTextTable)
{
    TXrpcArray a;
    a.AddItemFromText(TXrpcKind::Double, "1.5e1");
    a.AddItemFromText(TXrpcKind::Int, "-7");
    a.AddItemFromText(TXrpcKind::String, "a<b");
    a.AddItemFromText(TXrpcKind::Boolean, "true");
    a.AddItemFromText(TXrpcKind::DateTime, "20260131T07:05:09");
    a.AddItemFromText(TXrpcKind::Base64, "AAEC");
    ASSERT_EQ(a.Count(), 6);
    EXPECT_EQ(a.GetItem(0).AsFloat(), 15.0);
    EXPECT_EQ(a.GetItem(1).AsInteger(), -7);
    EXPECT_EQ(a.GetItem(2).AsRawString(), "a&lt;b");
    EXPECT_TRUE(a.GetItem(3).AsBoolean());
    EXPECT_EQ(a.GetItem(4).AsDateTime(), EncodeDateTime(2026, 1, 31, 7, 5, 9));
    EXPECT_EQ(a.GetItem(5).AsBase64(), "\x00\x01\x02"s);

    TXrpcStruct s;
    s.AddItemFromText(TXrpcKind::Int, "n", "5");
    EXPECT_THROW(s.AddItemFromText(TXrpcKind::Double, "d", "1,5"), EXrpcError);
    EXPECT_EQ(s.Count(), 1);
}

TEST(XrpcAssign, CopiesDeep)
{
    auto inner = std::make_shared<TXrpcArray>();
    inner->AddItem("x&y");
    inner->AddItemBase64("\x01\x02"s);
    auto s = std::make_shared<TXrpcStruct>();
    s->AddItemArray("list", inner);
    s->AddItemDateTime("when", EncodeDateTime(2026, 1, 31, 7, 5, 9));

    TXrpcCustomItem source;
    source.SetStruct(s);
    TXrpcCustomItem copy;
    copy.Assign(source);
    inner->AddItem(int32_t{9});
    s->AddItemInteger("late", 1);

    const auto& c = *copy.AsStruct();
    EXPECT_NE(copy.AsStruct(), s);
    EXPECT_EQ(c.Count(), 2);
    const auto& list = *c.GetKey("list").AsArray();
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.GetItem(0).AsString(), "x&y");
    EXPECT_EQ(list.GetItem(1).AsBase64(), "\x01\x02"s);
    EXPECT_EQ(c.GetKey("when").AsDateTime(), EncodeDateTime(2026, 1, 31, 7, 5, 9));

    // A character reference kept in a string survives the copy.
    TXrpcArray refs;
    refs.AddItemRawString("&#20013;");
    TXrpcArray refsCopy;
    refsCopy.Assign(refs);
    EXPECT_EQ(refsCopy.GetItem(0).AsRawString(), "&#20013;");
}

TEST(XrpcAssign, UnknownKindsRaiseAndLeaveTheTargetAsItWas)
{
    TXrpcCustomItem none;
    TXrpcCustomItem target;
    target.SetInteger(1);
    EXPECT_EQ(ErrorOf([&] { target.Assign(none); }),
              "unknown data type in TXrpcCustomItem.Assign");
    TXrpcResult fault;
    fault.SetError(1, "x");
    EXPECT_EQ(ErrorOf([&] { target.Assign(fault); }),
              "unknown data type in TXrpcCustomItem.Assign");
    EXPECT_EQ(target.AsInteger(), 1);

    TXrpcArray withNone;
    withNone.AddItem(int32_t{1});
    withNone.AddNewItem();
    TXrpcArray a;
    a.AddItem("keep");
    EXPECT_EQ(ErrorOf([&] { a.Assign(withNone); }),
              "unknown data type in TXrpcCustomArray.Assign");
    EXPECT_EQ(a.Count(), 1);
    EXPECT_EQ(a.GetItem(0).AsString(), "keep");

    TXrpcStruct sNone;
    sNone.AddItem("empty");
    TXrpcStruct s;
    s.AddItemInteger("keep", 1);
    EXPECT_EQ(ErrorOf([&] { s.Assign(sNone); }), "unknown data type in TXrpcStruct.Assign");
    EXPECT_EQ(s.KeyList(), std::vector<std::string>{"keep"});

    a.Assign(a); // onto itself: unchanged
    EXPECT_EQ(a.Count(), 1);
}

TEST(XrpcShared, ArraysAndStructsAreSharedByReference)
{
    auto list = std::make_shared<TXrpcArray>();
    TXrpcStruct a, b;
    a.AddItemArray("l", list);
    b.AddItemArray("l", list);
    list->AddItem(int32_t{5});
    EXPECT_EQ(a.GetKey("l").AsArray()->Count(), 1);
    EXPECT_EQ(b.GetKey("l").AsArray(), list);
    EXPECT_EQ(list.use_count(), 3);
    a.Clear();
    EXPECT_EQ(list.use_count(), 2);
}

TEST(XrpcBase64Item, StreamsAndFiles)
{
    const std::string bytes = "\x00\xFF payload\r\n"s;
    std::istringstream in(bytes);
    TXrpcCustomItem item;
    item.LoadBase64FromStream(in);
    EXPECT_TRUE(item.IsBase64());
    std::ostringstream out;
    item.SaveBase64ToStream(out);
    EXPECT_EQ(out.str(), bytes);

    const auto dir = std::filesystem::temp_directory_path() /
                     ("xrpc_b64_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "blob.bin").string();
    item.SaveBase64ToFile(path);
    TXrpcStruct s;
    s.AddItemBase64FromFile("blob", path);
    EXPECT_EQ(s.GetKey("blob").AsBase64(), bytes);
    EXPECT_THROW(item.SaveBase64ToFile((dir / "no" / "such" / "dir").string()), EXrpcError);
    TXrpcCustomItem bad;
    bad.SetBase64Text("AAECA"); // cannot be decoded: the file is not touched
    EXPECT_THROW(bad.SaveBase64ToFile(path), EXrpcError);
    std::ifstream check(path, std::ios::binary);
    EXPECT_EQ(StreamToString(check), bytes);
    std::filesystem::remove_all(dir);
}

TEST(XrpcFunction, ClearAndSetError)
{
    TXrpcFunction f;
    f.SetObjectMethod("SendData");
    f.AddItem("x");
    f.SetError(1001, "failed");
    EXPECT_EQ(f.ObjectMethod(), "");
    EXPECT_EQ(f.Count(), 0);
    EXPECT_EQ(f.FaultCode(), 1001);
    EXPECT_EQ(f.FaultText(), "failed");
    f.Clear();
    EXPECT_EQ(f.FaultCode(), 0);
    EXPECT_EQ(f.FaultText(), "");
}

} // namespace
