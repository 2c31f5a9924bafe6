#include "platform/registry.h"

#include "platform/file_util.h"
#include "platform/last_error.h"
#include "platform/text1251.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

enum : uint32_t { kRegSz = 1, kRegBinary = 3, kRegDword = 4 };

struct Value
{
    std::string name; // as written; empty for the default value "@"
    std::string folded;
    uint32_t type = kRegSz;
    std::string text;           // kRegSz
    uint32_t dword = 0;         // kRegDword
    std::vector<uint8_t> bytes; // kRegBinary and the hex(n) types
    // A line this layer does not understand (a comment or a malformed entry), written back as
    // it was so that saving never drops what a person put in the file.
    std::optional<std::string> raw;
};

struct Key
{
    std::string path; // full path with the hive, as first written
    std::string folded;
    std::vector<Value> values;
};

std::string_view Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string EscapeString(std::string_view s)
{
    std::string out;
    out.reserve(s.size() + 2);
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// Reads a quoted string at s[pos] (pos at the opening quote); pos ends after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view s, size_t& pos)
{
    if (pos >= s.size() || s[pos] != '"')
        return std::nullopt;
    std::string out;
    for (size_t i = pos + 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else if (c == '"') {
            pos = i + 1;
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view s)
{
    std::vector<uint8_t> out;
    s = Trim(s);
    if (s.empty())
        return out;
    size_t pos = 0;
    for (;;) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
        if (pos + 2 > s.size())
            return std::nullopt;
        const int hi = HexDigit(s[pos]);
        const int lo = HexDigit(s[pos + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        pos += 2;
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
        if (pos == s.size())
            return out;
        if (s[pos] != ',')
            return std::nullopt;
        ++pos;
    }
}

bool IsHexContinuation(std::string_view line)
{
    line = Trim(line);
    return !line.empty() && line.find_first_not_of("0123456789abcdefABCDEF, \t\\") == std::string_view::npos;
}

bool AwaitsContinuation(std::string_view line)
{
    line = Trim(line);
    return line.ends_with('\\') && !line.starts_with('[') && line.find("=hex") != std::string_view::npos;
}

// One "name"=data line (continuations already joined) into v; false when malformed.
// *deleted tells a "name"=- line, which removes the value.
bool ParseValueLine(std::string_view line, Value& v, bool* deleted)
{
    *deleted = false;
    size_t pos = 0;
    if (line.starts_with('@')) {
        v.name.clear();
        pos = 1;
    } else {
        auto name = ParseQuoted(line, pos);
        if (!name)
            return false;
        v.name = std::move(*name);
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return false;
    const std::string_view data = Trim(line.substr(pos + 1));
    v.folded = FoldCaseUtf8(v.name);
    if (data == "-") {
        *deleted = true;
        return true;
    }
    if (data.starts_with('"')) {
        size_t p = 0;
        auto text = ParseQuoted(data, p);
        if (!text || p != data.size())
            return false;
        v.type = kRegSz;
        v.text = std::move(*text);
        return true;
    }
    if (data.starts_with("dword:")) {
        const std::string_view digits = data.substr(6);
        if (digits.empty() || digits.size() > 8)
            return false;
        uint32_t value = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0)
                return false;
            value = value * 16 + static_cast<uint32_t>(d);
        }
        v.type = kRegDword;
        v.dword = value;
        return true;
    }
    uint32_t type = kRegBinary;
    std::string_view hex;
    if (data.starts_with("hex:")) {
        hex = data.substr(4);
    } else if (data.starts_with("hex(")) {
        const auto close = data.find("):");
        if (close == std::string_view::npos || close == 4)
            return false;
        type = 0;
        for (char c : data.substr(4, close - 4)) {
            const int d = HexDigit(c);
            if (d < 0 || type > 0x0FFFFFFF)
                return false;
            type = type * 16 + static_cast<uint32_t>(d);
        }
        hex = data.substr(close + 2);
    } else {
        return false;
    }
    auto bytes = ParseHexBytes(hex);
    if (!bytes)
        return false;
    v.type = type;
    v.bytes = std::move(*bytes);
    return true;
}

void AppendValueLine(std::string& out, const Value& v)
{
    if (v.raw) {
        out += *v.raw;
        out += "\r\n";
        return;
    }
    std::string line = v.name.empty() ? std::string("@") : "\"" + EscapeString(v.name) + "\"";
    line += '=';
    if (v.type == kRegSz) {
        line += "\"" + EscapeString(v.text) + "\"";
    } else if (v.type == kRegDword) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
        line += buf;
    } else {
        char buf[24];
        if (v.type == kRegBinary)
            std::snprintf(buf, sizeof buf, "hex:");
        else
            std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
        // Long data continues on indented lines, each ending in a backslash.
        for (size_t i = 0; i < v.bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%02x", v.bytes[i]);
            line += buf;
            if (i + 1 < v.bytes.size()) {
                line += ',';
                if (line.size() >= 76) {
                    out += line;
                    out += "\\\r\n";
                    line = "  ";
                }
            }
        }
    }
    out += line;
    out += "\r\n";
}

const char* HiveName(Hive hive)
{
    return hive == Hive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// The full key path, or nullopt for a name that cannot stand in the file.
std::optional<std::string> FullPath(Hive hive, const std::string& key)
{
    std::string_view k = key;
    while (k.starts_with('\\'))
        k.remove_prefix(1);
    while (k.ends_with('\\'))
        k.remove_suffix(1);
    if (k.find_first_of("\r\n") != std::string_view::npos || k.find("\\\\") != std::string_view::npos)
        return std::nullopt;
    std::string path = HiveName(hive);
    if (!k.empty()) {
        path += '\\';
        path += k;
    }
    return path;
}

bool ValidName(const std::string& s)
{
    return s.find_first_of("\r\n") == std::string::npos;
}

// Serial devices of this machine: ttyUSB*, ttyACM*, and ttyS* with a UART behind it.
std::vector<std::string> ScanSystemSerialDevices()
{
    std::vector<std::string> names;
    DIR* dir = ::opendir("/sys/class/tty");
    if (!dir)
        return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        bool wanted = name.starts_with("ttyUSB") || name.starts_with("ttyACM");
        if (name.starts_with("ttyS")) {
            // The kernel makes ttyS0..ttyS31 whether or not a port exists; type 0 means none.
            // A number of a few digits.
            const auto type = detail::ReadWholeFile("/sys/class/tty/" + name + "/type", 16);
            wanted = type && std::atoi(type->c_str()) != 0;
        }
        if (wanted && ::access(("/dev/" + name).c_str(), F_OK) == 0)
            names.push_back("/dev/" + name);
    }
    ::closedir(dir);
    return names;
}

// Name order with numbers compared by value, so /dev/ttyUSB2 comes before /dev/ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9';
        const bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ei = i;
            size_t ej = j;
            while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9')
                ++ei;
            while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9')
                ++ej;
            const auto na = std::strtoull(a.substr(i, ei - i).c_str(), nullptr, 10);
            const auto nb = std::strtoull(b.substr(j, ej - j).c_str(), nullptr, 10);
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string CanonicalPath(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string out = real;
    std::free(real);
    return out;
}

// The number of "COM<n>" (any case), or 0.
unsigned ComNumber(std::string_view text)
{
    if (text.size() < 4 || text.size() > 6 || FoldCaseUtf8(text.substr(0, 3)) != "com")
        return 0;
    unsigned n = 0;
    for (char c : text.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n;
}

bool IsSerialComm(Hive hive, const std::string& full)
{
    return hive == Hive::LocalMachine &&
           FoldCaseUtf8(full) == std::string("hkey_local_machine\\") + kSerialCommKey;
}

// The serialcomm values of the file followed by the devices that it does not list.
std::vector<Value> PresentedSerialComm(const Key* key, const std::function<std::vector<std::string>()>& scan)
{
    std::vector<Value> values;
    if (key)
        for (const Value& v : key->values)
            if (!v.raw)
                values.push_back(v);
    if (!scan)
        return values;
    std::vector<std::string> devices = scan();
    std::sort(devices.begin(), devices.end(), NaturalLess);
    std::vector<std::string> listed;
    std::vector<unsigned> used;
    for (const Value& v : values) {
        listed.push_back(CanonicalPath(v.name));
        if (v.type == kRegSz)
            used.push_back(ComNumber(v.text));
    }
    unsigned next = 1;
    for (const std::string& dev : devices) {
        const std::string canonical = CanonicalPath(dev);
        if (std::find(listed.begin(), listed.end(), canonical) != listed.end())
            continue;
        listed.push_back(canonical);
        while (std::find(used.begin(), used.end(), next) != used.end())
            ++next;
        Value v;
        v.name = dev;
        v.folded = FoldCaseUtf8(dev);
        v.text = "COM" + std::to_string(next);
        used.push_back(next);
        values.push_back(std::move(v));
    }
    return values;
}

} // namespace

struct RegistryFile::Data
{
    std::vector<Value> preamble; // lines before the first key
    std::vector<Key> keys;
    bool loaded = false;
    struct stat seen{};
    bool seen_exists = false;
    bool reported_bad_line = false;
    // The file exists but was not read (it cannot be, or it is beyond kMaxRegistryFileBytes):
    // it reads as empty and is never written, so nothing of it is lost.
    bool unreadable = false;
    bool reported_unreadable = false;
    std::function<std::vector<std::string>()> scan = ScanSystemSerialDevices;

    Key* FindKey(const std::string& folded)
    {
        for (Key& k : keys)
            if (k.folded == folded)
                return &k;
        return nullptr;
    }

    Key& GetOrAddKey(const std::string& path)
    {
        const std::string folded = FoldCaseUtf8(path);
        if (Key* k = FindKey(folded))
            return *k;
        keys.push_back(Key{path, folded, {}});
        return keys.back();
    }

    // The values as callers see them: the file's, and under serialcomm also the presented
    // devices.  fn returns false to stop.
    template <typename Fn> void ForEachShown(Hive hive, const std::string& full, Fn fn)
    {
        const Key* k = FindKey(FoldCaseUtf8(full));
        if (IsSerialComm(hive, full)) {
            for (const Value& v : PresentedSerialComm(k, scan))
                if (!fn(v))
                    return;
        } else if (k) {
            for (const Value& v : k->values)
                if (!v.raw && !fn(v))
                    return;
        }
    }

    void RemoveKeyTree(const std::string& folded)
    {
        std::erase_if(keys, [&](const Key& k) {
            return k.folded == folded || (k.folded.size() > folded.size() && k.folded.starts_with(folded) &&
                                          k.folded[folded.size()] == '\\');
        });
    }

    // Builds the keys in one pass, each looked up through an index, so that a file of many
    // keys or values is read in n log n: a key that a later "[-...]" removes, or a value that a
    // later "name"=- deletes, is only marked, and the marks are dropped at the end.
    void Parse(const std::string& text, const std::string& path)
    {
        preamble.clear();
        keys.clear();
        struct Building
        {
            Key key;
            std::vector<char> deleted;                     // per value
            std::unordered_map<std::string, size_t> names; // folded name -> value, if not deleted
            bool gone = false;
        };
        std::vector<Building> built;
        std::map<std::string, size_t> index; // folded path -> built, for the keys not removed
        constexpr size_t kNone = static_cast<size_t>(-1);
        size_t current_at = kNone;
        size_t bad_line = 0;
        std::string_view all = text;
        if (all.starts_with("\xEF\xBB\xBF"))
            all.remove_prefix(3);
        bool header_seen = false;
        size_t line_no = 0;
        size_t pos = 0;
        auto next_line = [&](std::string_view& line) {
            if (pos >= all.size())
                return false;
            auto end = all.find('\n', pos);
            if (end == std::string_view::npos)
                end = all.size();
            line = all.substr(pos, end - pos);
            pos = end + 1;
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            ++line_no;
            return true;
        };
        std::string_view line;
        while (next_line(line)) {
            const size_t first_line = line_no;
            std::string joined(line);
            // A value's data may continue on the next lines after a trailing backslash.  Only
            // a line of hex bytes continues one: a key, a value or a blank line after a bad line
            // that happens to end in a backslash stays what it is.  Each line is appended once,
            // so a value of many lines is read in time linear in its length.
            for (bool awaits = AwaitsContinuation(joined), trimmed = false; awaits;) {
                const size_t line_start = pos;
                const size_t line_count = line_no;
                std::string_view more;
                if (!next_line(more))
                    break;
                if (!IsHexContinuation(more)) {
                    pos = line_start;
                    line_no = line_count;
                    break;
                }
                if (!trimmed) {
                    joined = std::string(Trim(joined));
                    trimmed = true;
                }
                joined.pop_back(); // the backslash
                more = Trim(more);
                joined += more;
                awaits = more.ends_with('\\');
            }
            const std::string_view t = Trim(joined);
            auto keep_raw = [&](bool bad) {
                if (bad && bad_line == 0)
                    bad_line = first_line;
                Value raw;
                raw.raw = std::string(joined);
                if (current_at == kNone) {
                    preamble.push_back(std::move(raw));
                } else {
                    built[current_at].key.values.push_back(std::move(raw));
                    built[current_at].deleted.push_back(0);
                }
            };
            if (t.empty())
                continue;
            if (!header_seen && current_at == kNone &&
                (t == "Windows Registry Editor Version 5.00" || t == "REGEDIT4")) {
                header_seen = true;
                continue;
            }
            if (t.starts_with(';')) {
                keep_raw(false);
                continue;
            }
            if (t.starts_with('[')) {
                if (!t.ends_with(']') || t.size() < 3) {
                    keep_raw(true);
                    continue;
                }
                std::string_view name = t.substr(1, t.size() - 2);
                const bool remove = name.starts_with('-');
                if (remove)
                    name.remove_prefix(1);
                const std::string folded = FoldCaseUtf8(name);
                if (!folded.starts_with("hkey_")) {
                    keep_raw(true);
                    continue;
                }
                if (remove) {
                    // The key and every key below it: those sort right after it.
                    if (const auto it = index.find(folded); it != index.end()) {
                        built[it->second].gone = true;
                        index.erase(it);
                    }
                    const std::string below = folded + '\\';
                    auto it = index.lower_bound(below);
                    while (it != index.end() && it->first.starts_with(below)) {
                        built[it->second].gone = true;
                        it = index.erase(it);
                    }
                    current_at = kNone;
                } else if (const auto it = index.find(folded); it != index.end()) {
                    current_at = it->second;
                } else {
                    current_at = built.size();
                    index.emplace(folded, current_at);
                    built.push_back(Building{Key{std::string(name), folded, {}}, {}, {}, false});
                }
                continue;
            }
            Value v;
            bool deleted = false;
            if (current_at == kNone || !ParseValueLine(t, v, &deleted)) {
                keep_raw(true);
                continue;
            }
            Building& b = built[current_at];
            const auto it = b.names.find(v.folded);
            if (deleted) {
                if (it != b.names.end()) {
                    b.deleted[it->second] = 1;
                    b.names.erase(it);
                }
            } else if (it != b.names.end()) {
                b.key.values[it->second] = std::move(v);
            } else {
                b.names.emplace(v.folded, b.key.values.size());
                b.key.values.push_back(std::move(v));
                b.deleted.push_back(0);
            }
        }
        for (Building& b : built) {
            if (b.gone)
                continue;
            size_t kept = 0;
            for (size_t i = 0; i < b.key.values.size(); ++i)
                if (!b.deleted[i]) {
                    if (kept != i)
                        b.key.values[kept] = std::move(b.key.values[i]);
                    ++kept;
                }
            b.key.values.resize(kept);
            keys.push_back(std::move(b.key));
        }
        if (bad_line != 0 && !reported_bad_line) {
            reported_bad_line = true;
            std::fprintf(stderr, "%s:%zu: malformed registry line ignored\n", path.c_str(), bad_line);
        }
    }

    std::string Serialize() const
    {
        std::string out = "Windows Registry Editor Version 5.00\r\n";
        auto append = [&out](const std::vector<Value>& values) {
            for (size_t i = 0; i < values.size(); ++i) {
                AppendValueLine(out, values[i]);
                // A blank line kept these two apart in the file they came from.
                const Value* next = i + 1 < values.size() ? &values[i + 1] : nullptr;
                if (values[i].raw && AwaitsContinuation(*values[i].raw) && next && next->raw &&
                    IsHexContinuation(*next->raw))
                    out += "\r\n";
            }
        };
        append(preamble);
        for (const Key& k : keys) {
            out += "\r\n[" + k.path + "]\r\n";
            append(k.values);
        }
        return out;
    }
};

namespace {

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The lock beside the file: the file itself is replaced by every save, so it cannot carry one.
class FileLock
{
public:
    FileLock(const std::string& path, bool exclusive)
    {
        const std::string lock_path = path + ".lock";
        if (exclusive) {
            const auto slash = path.find_last_of('/');
            if (slash != std::string::npos && slash > 0)
                detail::MakeDirectories(path.substr(0, slash));
            fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        } else {
            fd_ = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd_ < 0)
            return;
        int r;
        do {
            r = ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
        } while (r < 0 && errno == EINTR);
        locked_ = r == 0;
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the flock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Locked() const { return locked_; }

private:
    int fd_ = -1;
    bool locked_ = false;
};

} // namespace

RegistryFile::RegistryFile(std::string path) : path_(std::move(path)), data_(std::make_unique<Data>())
{
    if (const char* off = std::getenv("VENDAXO_NO_DEVICE_SCAN"); off && std::string_view(off) == "1")
        data_->scan = nullptr;
}

RegistryFile::~RegistryFile() = default;

std::string RegistryFile::DefaultPath()
{
    if (const char* p = std::getenv("VENDAXO_REGISTRY"); p && *p)
        return p;
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/')
        base = x;
    else if (const char* h = std::getenv("HOME"); h && *h)
        base = std::string(h) + "/.config";
    else
        base = "/tmp";
    return base + "/vendaxo/registry.reg";
}

void RegistryFile::SetDeviceScan(std::function<std::vector<std::string>()> scan)
{
    std::lock_guard lock(mutex_);
    data_->scan = std::move(scan);
}

// Under mutex_.  Loads the file when it is new or changed on disk; a writer that holds the
// exclusive lock already forces the load (a second flock of this process would wait on it).
void RegistryFile::Refresh(bool force)
{
    struct stat st{};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    if (!force && data_->loaded && exists == data_->seen_exists && (!exists || SameFile(st, data_->seen)))
        return;
    if (!exists) {
        data_->unreadable = false;
        data_->Parse({}, path_);
    } else {
        std::optional<FileLock> lock;
        if (!force)
            lock.emplace(path_, false);
        ::stat(path_.c_str(), &st);
        errno = 0;
        auto text = detail::ReadWholeFile(path_, kMaxRegistryFileBytes + 1);
        if (text && text->size() > kMaxRegistryFileBytes) {
            text.reset();
            errno = EFBIG;
        }
        data_->unreadable = !text;
        if (!text && !data_->reported_unreadable) {
            data_->reported_unreadable = true;
            if (errno == EFBIG)
                std::fprintf(stderr, "%s: registry file larger than %zu bytes not read\n",
                             path_.c_str(), kMaxRegistryFileBytes);
            else
                std::fprintf(stderr, "%s: registry file not read: %s\n", path_.c_str(),
                             std::strerror(errno));
        }
        if (!text)
            SetLastErrorFromErrno(errno);
        data_->Parse(text ? *text : std::string(), path_);
    }
    data_->loaded = true;
    data_->seen = st;
    data_->seen_exists = exists;
}

// Under mutex_: loads the newest file under the writers' lock, applies change and saves.
template <typename Change> bool RegistryFile::Modify(Change change)
{
    FileLock lock(path_, true);
    if (!lock.Locked())
        return false;
    Refresh(true);
    if (data_->unreadable)
        return false; // the last error tells why
    if (!change(*data_))
        return true; // nothing to change
    if (!ReplaceFile(path_, data_->Serialize(), true)) {
        data_->loaded = false; // the copy in memory went ahead of the file
        return false;
    }
    struct stat st{};
    data_->seen_exists = ::stat(path_.c_str(), &st) == 0;
    data_->seen = st;
    return true;
}


bool RegistryFile::KeyExists(Hive hive, const std::string& key)
{
    const auto full = FullPath(hive, key);
    if (!full)
        return false;
    std::lock_guard lock(mutex_);
    Refresh(false);
    const std::string folded = FoldCaseUtf8(*full);
    if (folded.find('\\') == std::string::npos)
        return true; // a hive always exists
    for (const Key& k : data_->keys)
        if (k.folded == folded || (k.folded.starts_with(folded) && k.folded[folded.size()] == '\\'))
            return true;
    return IsSerialComm(hive, *full) && !PresentedSerialComm(nullptr, data_->scan).empty();
}

bool RegistryFile::CreateKey(Hive hive, const std::string& key)
{
    const auto full = FullPath(hive, key);
    if (!full)
        return false;
    std::lock_guard lock(mutex_);
    return Modify([&](Data& d) {
        if (d.FindKey(FoldCaseUtf8(*full)))
            return false;
        d.GetOrAddKey(*full);
        return true;
    });
}

bool RegistryFile::DeleteKey(Hive hive, const std::string& key)
{
    const auto full = FullPath(hive, key);
    if (!full || full->find('\\') == std::string::npos)
        return false;
    std::lock_guard lock(mutex_);
    bool existed = false;
    const bool saved = Modify([&](Data& d) {
        const auto before = d.keys.size();
        d.RemoveKeyTree(FoldCaseUtf8(*full));
        existed = d.keys.size() != before;
        return existed;
    });
    return saved && existed;
}

std::optional<RegistryFile::Found> RegistryFile::Lookup(Hive hive, const std::string& key, const std::string& name)
{
    const auto full = FullPath(hive, key);
    if (!full)
        return std::nullopt;
    Refresh(false);
    const std::string folded_name = FoldCaseUtf8(name);
    std::optional<Found> found;
    data_->ForEachShown(hive, *full, [&](const Value& v) {
        if (v.folded != folded_name)
            return true;
        found = Found{v.type, v.text, v.dword, v.bytes};
        return false;
    });
    return found;
}

std::optional<std::string> RegistryFile::ReadString(Hive hive, const std::string& key, const std::string& name)
{
    std::lock_guard lock(mutex_);
    const auto f = Lookup(hive, key, name);
    if (!f || f->type != kRegSz)
        return std::nullopt;
    return f->text;
}

std::optional<int32_t> RegistryFile::ReadDword(Hive hive, const std::string& key, const std::string& name)
{
    std::lock_guard lock(mutex_);
    const auto f = Lookup(hive, key, name);
    if (!f || f->type != kRegDword)
        return std::nullopt;
    return static_cast<int32_t>(f->dword);
}

std::optional<std::vector<uint8_t>> RegistryFile::ReadBinary(Hive hive, const std::string& key,
                                                             const std::string& name)
{
    std::lock_guard lock(mutex_);
    const auto f = Lookup(hive, key, name);
    if (!f || f->type != kRegBinary)
        return std::nullopt;
    return f->bytes;
}

bool RegistryFile::ValueExists(Hive hive, const std::string& key, const std::string& name)
{
    std::lock_guard lock(mutex_);
    return Lookup(hive, key, name).has_value();
}

bool RegistryFile::WriteValue(Hive hive, const std::string& key, const std::string& name, uint32_t type,
                              const std::string& text, uint32_t dword, const std::vector<uint8_t>& bytes)
{
    const auto full = FullPath(hive, key);
    if (!full || !ValidName(name) || !ValidName(text))
        return false;
    std::lock_guard lock(mutex_);
    return Modify([&](Data& d) {
        Key& k = d.GetOrAddKey(*full);
        Value v;
        v.name = name;
        v.folded = FoldCaseUtf8(name);
        v.type = type;
        v.text = text;
        v.dword = dword;
        v.bytes = bytes;
        auto it = std::find_if(k.values.begin(), k.values.end(),
                               [&](const Value& x) { return !x.raw && x.folded == v.folded; });
        if (it != k.values.end()) {
            v.name = it->name; // the value keeps its place and its spelling
            *it = std::move(v);
        } else {
            k.values.push_back(std::move(v));
        }
        return true;
    });
}

bool RegistryFile::WriteString(Hive hive, const std::string& key, const std::string& name, const std::string& value)
{
    return WriteValue(hive, key, name, kRegSz, value, 0, {});
}

bool RegistryFile::WriteDword(Hive hive, const std::string& key, const std::string& name, int32_t value)
{
    return WriteValue(hive, key, name, kRegDword, {}, static_cast<uint32_t>(value), {});
}

bool RegistryFile::WriteBinary(Hive hive, const std::string& key, const std::string& name,
                               const std::vector<uint8_t>& value)
{
    return WriteValue(hive, key, name, kRegBinary, {}, 0, value);
}

bool RegistryFile::DeleteValue(Hive hive, const std::string& key, const std::string& name)
{
    const auto full = FullPath(hive, key);
    if (!full)
        return false;
    std::lock_guard lock(mutex_);
    bool existed = false;
    const bool saved = Modify([&](Data& d) {
        Key* k = d.FindKey(FoldCaseUtf8(*full));
        if (!k)
            return false;
        const std::string folded = FoldCaseUtf8(name);
        existed = std::erase_if(k->values, [&](const Value& x) { return !x.raw && x.folded == folded; }) > 0;
        return existed;
    });
    return saved && existed;
}

std::vector<std::string> RegistryFile::ValueNames(Hive hive, const std::string& key)
{
    std::vector<std::string> names;
    const auto full = FullPath(hive, key);
    if (!full)
        return names;
    std::lock_guard lock(mutex_);
    Refresh(false);
    data_->ForEachShown(hive, *full, [&](const Value& v) {
        names.push_back(v.name);
        return true;
    });
    return names;
}

std::vector<std::string> RegistryFile::SubKeys(Hive hive, const std::string& key)
{
    std::vector<std::string> names;
    const auto full = FullPath(hive, key);
    if (!full)
        return names;
    std::lock_guard lock(mutex_);
    Refresh(false);
    const std::string prefix = FoldCaseUtf8(*full) + "\\";
    std::vector<std::string> folded_names;
    auto add = [&](const std::string& path) {
        const std::string folded = FoldCaseUtf8(path);
        if (!folded.starts_with(prefix) || folded.size() == prefix.size())
            return;
        const auto end = folded.find('\\', prefix.size());
        const std::string child_folded = folded.substr(prefix.size(), end - prefix.size());
        if (std::find(folded_names.begin(), folded_names.end(), child_folded) != folded_names.end())
            return;
        // Folding keeps the byte length of every letter, so the offsets agree.
        std::string_view rest = std::string_view(path).substr(full->size() + 1);
        names.emplace_back(rest.substr(0, rest.find('\\')));
        folded_names.push_back(child_folded);
    };
    for (const Key& k : data_->keys)
        add(k.path);
    const std::string serialcomm = std::string("HKEY_LOCAL_MACHINE\\") + kSerialCommKey;
    if (hive == Hive::LocalMachine && !PresentedSerialComm(nullptr, data_->scan).empty())
        add(serialcomm);
    return names;
}

RegistryFile& ProcessRegistry()
{
    static const std::unique_ptr<RegistryFile> registry = std::make_unique<RegistryFile>(RegistryFile::DefaultPath());
    return *registry;
}

std::optional<std::string> ResolveComPort(RegistryFile& reg, const std::string& name)
{
    std::string_view n = name;
    if (n.starts_with('/'))
        return name;
    if (n.starts_with("\\\\.\\"))
        n.remove_prefix(4);
    const unsigned number = ComNumber(n);
    if (number == 0)
        return std::nullopt;
    for (const std::string& device : reg.ValueNames(Hive::LocalMachine, kSerialCommKey)) {
        const auto text = reg.ReadString(Hive::LocalMachine, kSerialCommKey, device);
        if (text && ComNumber(*text) == number && !device.empty())
            return device;
    }
    return std::nullopt;
}

} // namespace platform
