#pragma once
// Translation files of many owners in one binary file, and the stream form of one stored
// translation component (see STREAM.md beside this file).  No Qt here: the readers of outside
// bytes run in the fuzz target exactly as they run in the program.
//
// Every reader is bounded: the whole file is in memory (at most kMostVxbBytes), every count,
// length and offset is checked against what is there, and damage raises ELanguageError before
// anything is handed back.

#include "translation/lang/lines.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace translation {

// The signature: the text and its terminating zero byte, 42 bytes.
extern const std::string_view kVxbSignature;
// Largest translation file that is read.
constexpr std::size_t kMostVxbBytes = 16u << 20;
// Deepest nesting of lists and collections inside a component stream.
constexpr int kMostStreamDepth = 16;

struct VxbEntry
{
    std::string ownerClass;   // 8-bit class name of the entry's owner
    std::uint32_t offset = 0; // absolute position of its component stream
};

struct VxbDirectory
{
    std::string fixedLanguages; // the text as stored (lines separated by CR LF)
    std::vector<VxbEntry> entries;
    std::size_t end = 0; // first byte after the directory
};

// The directory of a whole file; ELanguageError when the file is not one of ours or its
// directory does not fit in it.  Every entry's offset lies after the directory and leaves room
// for a stream's signature.
VxbDirectory ReadVxbDirectory(std::string_view file);

// The first entry for the owner class (exact letter case), or nullptr.
const VxbEntry* FindVxbEntry(const VxbDirectory& directory, std::string_view ownerClass);

struct VxbStreamOut
{
    std::string ownerClass;
    std::string stream; // a component stream (WriteStreamComponent)
};
// A whole file: the directory in the order given; the streams follow it, laid out in
// `streamOrder` (indexes into `entries`; empty keeps the entries' order).  ELanguageError when
// a name, the fixed-languages text or the file outgrows its fields.
std::string WriteVxb(std::string_view fixedLanguages, const std::vector<VxbStreamOut>& entries,
                     const std::vector<std::size_t>& streamOrder = {});

// ---- component streams

struct StreamProperty;

struct StreamValue
{
    enum class Kind { Int, Bool, String, List, Collection };
    Kind kind = Kind::Int;
    std::int32_t integer = 0;
    bool boolean = false;
    std::string text;
    std::vector<StreamValue> list;
    std::vector<std::vector<StreamProperty>> items; // a collection's items

    static StreamValue Int(std::int32_t v);
    static StreamValue Bool(bool v);
    static StreamValue String(std::string v);
    static StreamValue Strings(const StringList& v);
};

struct StreamProperty
{
    std::string name;
    StreamValue value;
};

struct StreamComponent
{
    std::string className;
    std::string name;
    std::vector<StreamProperty> properties;

    // The first property of that name (exact), or nullptr.
    const StreamProperty* Find(std::string_view property) const;
};

std::string WriteStreamComponent(const StreamComponent& component);
// The component stream starting at `offset`; ELanguageError on any damage.  Bytes after the end
// marker are not looked at.
StreamComponent ReadStreamComponent(std::string_view bytes, std::size_t offset = 0);

// A string list value, or ELanguageError when the value is of another kind or holds one.
StringList StreamStrings(const StreamValue& value, std::string_view property);

} // namespace translation
