#include "translation/lang/vxb.h"

namespace translation {

const std::string_view kVxbSignature("VXB file: TvxLang binary translation data\0", 42);

namespace {

constexpr std::size_t kHeaderBytes = 46; // signature, entry count, fixed-languages length
constexpr std::string_view kStreamSignature = "TPF0";

// Value tags of a component stream.
enum Tag : unsigned char {
    tagEnd = 0x00,
    tagList = 0x01,
    tagInt = 0x02,
    tagFalse = 0x08,
    tagTrue = 0x09,
    tagString = 0x0C,
    tagCollection = 0x0E,
    tagItem = 0x01,
};

[[noreturn]] void Damaged(const std::string& what)
{
    throw ELanguageError("The translation file is damaged: " + what + ".");
}

// What a stream's values may take in memory, whatever their count.  A value of one input byte
// becomes a record of about a hundred bytes, so without this bound a 16 MiB file of one list
// would take gigabytes; a stored translation component is mostly one long text and stays far
// below it.
constexpr std::size_t kMostStreamMemory = 64u << 20;

class Cursor
{
public:
    Cursor(std::string_view bytes, std::size_t pos) : bytes_(bytes), pos_(pos)
    {
        if (pos > bytes.size())
            Damaged("a position lies beyond the end");
    }
    // Counts memory that is about to be taken; refuses the stream once the bound is passed.
    void Charge(std::size_t bytes)
    {
        if (bytes > kMostStreamMemory - charged_)
            Damaged("its values would take more than " + std::to_string(kMostStreamMemory >> 20) +
                    " MiB of memory");
        charged_ += bytes;
    }
    // Appends to a vector, counting each growth of its storage before it happens.
    template <typename T> void Append(std::vector<T>& v, T&& item)
    {
        if (v.size() == v.capacity())
            Charge((v.capacity() == 0 ? 1 : v.capacity()) * sizeof(T));
        v.push_back(std::move(item));
    }
    std::size_t Pos() const { return pos_; }
    std::size_t Left() const { return bytes_.size() - pos_; }
    unsigned U8()
    {
        Need(1, "a byte");
        return static_cast<unsigned char>(bytes_[pos_++]);
    }
    std::uint32_t Uint(int width, const char* what)
    {
        Need(static_cast<std::size_t>(width), what);
        std::uint32_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[pos_ + i]))
                 << (8 * i);
        pos_ += static_cast<std::size_t>(width);
        return v;
    }
    std::string Bytes(std::size_t n, const char* what)
    {
        Need(n, what);
        std::string s(bytes_.substr(pos_, n));
        pos_ += n;
        return s;
    }

private:
    void Need(std::size_t n, const char* what) const
    {
        if (Left() < n)
            Damaged(std::string(what) + " runs past the end");
    }
    std::string_view bytes_;
    std::size_t pos_;
    std::size_t charged_ = 0;
};

void PutUint(std::string& out, std::uint32_t v, int width)
{
    for (int i = 0; i < width; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutShort(std::string& out, std::string_view s, const char* what)
{
    if (s.size() > 255)
        throw ELanguageError(std::string(what) +
                             " is longer than 255 characters: " + std::string(s.substr(0, 40)));
    out += static_cast<char>(s.size());
    out += s;
}

void PutProperties(std::string& out, const std::vector<StreamProperty>& props, int depth);

void PutValue(std::string& out, const StreamValue& v, int depth)
{
    if (depth > kMostStreamDepth)
        throw ELanguageError("A stored value nests deeper than " +
                             std::to_string(kMostStreamDepth) + " levels.");
    switch (v.kind) {
    case StreamValue::Kind::Int:
        out += static_cast<char>(tagInt);
        PutUint(out, static_cast<std::uint32_t>(v.integer), 4);
        break;
    case StreamValue::Kind::Bool:
        out += static_cast<char>(v.boolean ? tagTrue : tagFalse);
        break;
    case StreamValue::Kind::String:
        if (v.text.size() > 0xFFFFFFFFu)
            throw ELanguageError("A stored text is too long.");
        out += static_cast<char>(tagString);
        PutUint(out, static_cast<std::uint32_t>(v.text.size()), 4);
        out += v.text;
        break;
    case StreamValue::Kind::List:
        out += static_cast<char>(tagList);
        for (const StreamValue& item : v.list)
            PutValue(out, item, depth + 1);
        out += static_cast<char>(tagEnd);
        break;
    case StreamValue::Kind::Collection:
        out += static_cast<char>(tagCollection);
        for (const auto& item : v.items) {
            out += static_cast<char>(tagItem);
            PutProperties(out, item, depth + 1);
        }
        out += static_cast<char>(tagEnd);
        break;
    }
}

void PutProperties(std::string& out, const std::vector<StreamProperty>& props, int depth)
{
    for (const StreamProperty& p : props) {
        if (p.name.empty())
            throw ELanguageError("A stored property has no name.");
        PutShort(out, p.name, "A property name");
        PutValue(out, p.value, depth);
    }
    out += static_cast<char>(tagEnd);
}

std::vector<StreamProperty> GetProperties(Cursor& in, int depth);

StreamValue GetValue(Cursor& in, unsigned tag, int depth)
{
    if (depth > kMostStreamDepth)
        Damaged("values nest too deep");
    StreamValue v;
    switch (tag) {
    case tagInt:
        v.kind = StreamValue::Kind::Int;
        v.integer = static_cast<std::int32_t>(in.Uint(4, "a number"));
        return v;
    case tagFalse:
    case tagTrue:
        v.kind = StreamValue::Kind::Bool;
        v.boolean = tag == tagTrue;
        return v;
    case tagString: {
        v.kind = StreamValue::Kind::String;
        const std::uint32_t n = in.Uint(4, "a text's length");
        v.text = in.Bytes(n, "a text");
        in.Charge(n);
        return v;
    }
    case tagList:
        v.kind = StreamValue::Kind::List;
        for (unsigned t = in.U8(); t != tagEnd; t = in.U8())
            in.Append(v.list, GetValue(in, t, depth + 1));
        return v;
    case tagCollection:
        v.kind = StreamValue::Kind::Collection;
        for (unsigned t = in.U8(); t != tagEnd; t = in.U8()) {
            if (t != tagItem)
                Damaged("a collection item has no start");
            in.Append(v.items, GetProperties(in, depth + 1));
        }
        return v;
    default:
        Damaged("a value of unknown kind " + std::to_string(tag));
    }
}

std::vector<StreamProperty> GetProperties(Cursor& in, int depth)
{
    if (depth > kMostStreamDepth)
        Damaged("values nest too deep");
    std::vector<StreamProperty> props;
    for (unsigned n = in.U8(); n != 0; n = in.U8()) {
        StreamProperty p;
        p.name = in.Bytes(n, "a property name");
        p.value = GetValue(in, in.U8(), depth);
        in.Append(props, std::move(p));
    }
    return props;
}

} // namespace

VxbDirectory ReadVxbDirectory(std::string_view file)
{
    if (file.size() > kMostVxbBytes)
        throw ELanguageError("The translation file is larger than " +
                             std::to_string(kMostVxbBytes >> 20) + " MiB.");
    if (file.size() < kHeaderBytes || file.substr(0, kVxbSignature.size()) != kVxbSignature)
        throw ELanguageError("Unrecognized stream format!");
    Cursor in(file, kVxbSignature.size());
    VxbDirectory dir;
    const std::uint32_t count = in.Uint(2, "the entry count");
    const std::uint32_t fixedLength = in.Uint(2, "the fixed-languages length");
    dir.fixedLanguages = in.Bytes(fixedLength, "the fixed-languages text");
    dir.entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        VxbEntry e;
        e.ownerClass = in.Bytes(in.Uint(2, "an owner name's length"), "an owner name");
        e.offset = in.Uint(4, "an entry's position");
        dir.entries.push_back(std::move(e));
    }
    dir.end = in.Pos();
    for (const VxbEntry& e : dir.entries)
        if (e.offset < dir.end || e.offset > file.size() ||
            file.size() - e.offset < kStreamSignature.size() + 2)
            Damaged("the stream of \"" + e.ownerClass + "\" lies outside the file's streams");
    return dir;
}

const VxbEntry* FindVxbEntry(const VxbDirectory& directory, std::string_view ownerClass)
{
    for (const VxbEntry& e : directory.entries)
        if (e.ownerClass == ownerClass)
            return &e;
    return nullptr;
}

std::string WriteVxb(std::string_view fixedLanguages, const std::vector<VxbStreamOut>& entries,
                     const std::vector<std::size_t>& streamOrder)
{
    if (entries.size() > 0xFFFF)
        throw ELanguageError("A translation file holds at most 65535 entries.");
    if (fixedLanguages.size() > 0xFFFF)
        throw ELanguageError("The fixed-languages text is longer than 65535 bytes.");
    std::vector<std::size_t> order = streamOrder;
    if (order.empty())
        for (std::size_t i = 0; i < entries.size(); ++i)
            order.push_back(i);
    std::size_t directory = kHeaderBytes + fixedLanguages.size();
    for (const VxbStreamOut& e : entries) {
        if (e.ownerClass.size() > 0xFFFF)
            throw ELanguageError("An owner's class name is too long.");
        directory += 2 + e.ownerClass.size() + 4;
    }
    std::vector<std::uint32_t> offsets(entries.size(), 0);
    std::vector<bool> placed(entries.size(), false);
    std::string streams;
    for (std::size_t index : order) {
        if (index >= entries.size() || placed[index])
            throw ELanguageError("The stream order names an entry twice or one that is absent.");
        placed[index] = true;
        offsets[index] = static_cast<std::uint32_t>(directory + streams.size());
        streams += entries[index].stream;
        if (directory + streams.size() > kMostVxbBytes)
            throw ELanguageError("The translation file would be larger than " +
                                 std::to_string(kMostVxbBytes >> 20) + " MiB.");
    }
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!placed[i])
            throw ELanguageError("The stream order leaves an entry out.");
    std::string out(kVxbSignature);
    PutUint(out, static_cast<std::uint32_t>(entries.size()), 2);
    PutUint(out, static_cast<std::uint32_t>(fixedLanguages.size()), 2);
    out += fixedLanguages;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PutUint(out, static_cast<std::uint32_t>(entries[i].ownerClass.size()), 2);
        out += entries[i].ownerClass;
        PutUint(out, offsets[i], 4);
    }
    return out + streams;
}

StreamValue StreamValue::Int(std::int32_t v)
{
    StreamValue s;
    s.kind = Kind::Int;
    s.integer = v;
    return s;
}

StreamValue StreamValue::Bool(bool v)
{
    StreamValue s;
    s.kind = Kind::Bool;
    s.boolean = v;
    return s;
}

StreamValue StreamValue::String(std::string v)
{
    StreamValue s;
    s.kind = Kind::String;
    s.text = std::move(v);
    return s;
}

StreamValue StreamValue::Strings(const StringList& v)
{
    StreamValue s;
    s.kind = Kind::List;
    for (const std::string& line : v)
        s.list.push_back(String(line));
    return s;
}

const StreamProperty* StreamComponent::Find(std::string_view property) const
{
    for (const StreamProperty& p : properties)
        if (p.name == property)
            return &p;
    return nullptr;
}

std::string WriteStreamComponent(const StreamComponent& component)
{
    if (component.className.empty())
        throw ELanguageError("A stored component has no class name.");
    std::string out(kStreamSignature);
    PutShort(out, component.className, "A class name");
    PutShort(out, component.name, "A component name");
    PutProperties(out, component.properties, 0);
    return out;
}

StreamComponent ReadStreamComponent(std::string_view bytes, std::size_t offset)
{
    Cursor in(bytes, offset);
    if (in.Bytes(kStreamSignature.size(), "the stream signature") != kStreamSignature)
        Damaged("a component stream does not start with its signature");
    StreamComponent c;
    c.className = in.Bytes(in.U8(), "a class name");
    if (c.className.empty())
        Damaged("a component stream has no class name");
    c.name = in.Bytes(in.U8(), "a component name");
    c.properties = GetProperties(in, 0);
    return c;
}

StringList StreamStrings(const StreamValue& value, std::string_view property)
{
    if (value.kind != StreamValue::Kind::List)
        throw ELanguageError("The stored " + std::string(property) + " is not a list of texts.");
    StringList out;
    out.reserve(value.list.size());
    for (const StreamValue& item : value.list) {
        if (item.kind != StreamValue::Kind::String)
            throw ELanguageError("The stored " + std::string(property) +
                                 " holds something other than texts.");
        out.push_back(item.text);
    }
    return out;
}

} // namespace translation
