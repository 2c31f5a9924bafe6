#include "xmlrpc/xml_storage.h"

#include "platform/guid.h"

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace xrpc {

namespace {

// One open archive over bytes in memory.  Commit() writes the changes back into the bytes.
class MemoryZip
{
public:
    explicit MemoryZip(const std::string& bytes)
    {
        zip_error_t error;
        zip_error_init(&error);
        // libzip gets a copy of its own to free: when an archive is rewritten into the buffer
        // it came from, libzip may let go of the old data whatever it was told.
        void* copy = nullptr;
        if (!bytes.empty()) {
            copy = std::malloc(bytes.size());
            if (copy)
                std::memcpy(copy, bytes.data(), bytes.size());
        }
        if (bytes.empty() || copy)
            source_ = zip_source_buffer_create(copy, bytes.size(), 1, &error);
        if (!source_)
            std::free(copy);
        if (source_) {
            zip_ = zip_open_from_source(source_, bytes.empty() ? ZIP_CREATE | ZIP_TRUNCATE : 0,
                                        &error);
            if (zip_)
                zip_source_keep(source_); // it outlives the archive, which writes into it
        }
        if (!zip_)
            error_ = zip_error_strerror(&error);
        zip_error_fini(&error);
    }
    ~MemoryZip()
    {
        if (zip_)
            zip_discard(zip_);
        if (source_)
            zip_source_free(source_);
    }
    MemoryZip(const MemoryZip&) = delete;
    MemoryZip& operator=(const MemoryZip&) = delete;

    zip_t* Get() const { return zip_; }
    const std::string& Error() const { return error_; }

    // The archive's new bytes (empty when it holds no entry), or nullopt when writing failed.
    std::optional<std::string> Commit()
    {
        zip_t* z = zip_;
        zip_ = nullptr;
        if (zip_close(z) != 0) {
            zip_discard(z);
            return std::nullopt;
        }
        std::string out;
        if (zip_source_open(source_) != 0)
            return out; // an archive without entries leaves no data behind
        zip_source_seek(source_, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(source_);
        zip_source_seek(source_, 0, SEEK_SET);
        if (size > 0) {
            out.resize(static_cast<size_t>(size));
            if (zip_source_read(source_, out.data(), out.size()) != size)
                out.clear();
        }
        zip_source_close(source_);
        return out;
    }

    // The entry's bytes, read no further than limit + 1 so a false stated size shows.
    std::optional<std::string> ReadEntry(zip_uint64_t index, size_t limit) const
    {
        zip_file_t* f = zip_fopen_index(zip_, index, 0);
        if (!f)
            return std::nullopt;
        std::string out(limit + 1, '\0');
        size_t got = 0;
        while (got < out.size()) {
            const zip_int64_t n = zip_fread(f, out.data() + got, out.size() - got);
            if (n < 0) {
                zip_fclose(f);
                return std::nullopt;
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        zip_fclose(f);
        out.resize(got);
        return out;
    }

private:
    zip_source_t* source_ = nullptr;
    zip_t* zip_ = nullptr;
    std::string error_;
};

bool SafeName(const std::string& name)
{
    return !name.empty() && name.front() != '/' && name.front() != '\\' &&
           name.find("..") == std::string::npos && name.find('\0') == std::string::npos;
}

// A host whose entry names Load reads back as that host: not empty, no "..", no "/" or "\" in
// front, no "\" (the separator before the GUID) and no NUL.
bool StorableHost(const std::string& host)
{
    return SafeName(host) && host.find('\\') == std::string::npos;
}

constexpr int kMaxPort = 65535;

} // namespace

TXMLStorage::TXMLStorage(TXMLStorageLimits limits)
    : limits_(limits), eventName_(platform::GuidText(platform::NewGuid()))
{
}

TXMLStorage::~TXMLStorage() = default;

std::string TXMLStorage::Folder(const std::string& host, int port)
{
    return host + "." + std::to_string(port);
}

size_t TXMLStorage::Count() const
{
    size_t n = 0;
    for (const Client& c : clients_)
        n += c.entries.size();
    return n;
}

bool TXMLStorage::EventSet() const
{
    return std::any_of(clients_.begin(), clients_.end(),
                       [](const Client& c) { return !c.delivered.empty(); });
}

std::optional<std::string> TXMLStorage::Store(const std::string& host, int port,
                                              const std::string& text, StoreRefusal* refusal)
{
    auto refuse = [&](StoreRefusal why) -> std::optional<std::string> {
        if (refusal)
            *refusal = why;
        return std::nullopt;
    };
    const std::string folder = Folder(host, port);
    // The whole folder name, as Load checks it: a host ending in "." gives "host..port".
    if (!StorableHost(host) || !SafeName(folder))
        return refuse(StoreRefusal::Host);
    if (port < 0 || port > kMaxPort)
        return refuse(StoreRefusal::Port);
    if (Count() >= limits_.maxEntries || text.size() > limits_.maxBytes - bytes_)
        return refuse(StoreRefusal::Full);
    const std::string guid = platform::GuidText(platform::NewGuid());
    auto client = std::find_if(clients_.begin(), clients_.end(),
                               [&](const Client& c) { return c.host == host && c.port == port; });
    {
        MemoryZip zip(archive_);
        if (!zip.Get())
            return refuse(StoreRefusal::Archive);
        if (client == clients_.end() && zip_name_locate(zip.Get(), (folder + "/").c_str(), 0) < 0 &&
            zip_dir_add(zip.Get(), (folder + "/").c_str(), ZIP_FL_ENC_UTF_8) < 0)
            return refuse(StoreRefusal::Archive);
        zip_source_t* data = zip_source_buffer(zip.Get(), text.data(), text.size(), 0);
        if (!data)
            return refuse(StoreRefusal::Archive);
        const zip_int64_t index =
            zip_file_add(zip.Get(), (folder + "\\" + guid).c_str(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(data);
            return refuse(StoreRefusal::Archive);
        }
        zip_set_file_compression(zip.Get(), static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0);
        std::optional<std::string> bytes = zip.Commit(); // text is read here, still alive
        if (!bytes)
            return refuse(StoreRefusal::Archive);
        archive_ = std::move(*bytes);
    }
    if (client == clients_.end()) {
        clients_.push_back(Client{host, port, {}, {}});
        client = std::prev(clients_.end());
    }
    client->entries.push_back(Entry{guid, text.size()});
    bytes_ += text.size();
    if (client->delivered.empty())
        DeliverNext(*client);
    return guid;
}

void TXMLStorage::DeliverNext(Client& client)
{
    if (client.entries.empty() || !client.delivered.empty())
        return;
    const Entry entry = client.entries.front();
    client.delivered = entry.guid;
    if (!delivery_)
        return;
    const std::optional<std::string> text = Read(entry.guid);
    // A copy: the callback may store or acknowledge, which changes the client list.
    const std::string host = client.host;
    const int port = client.port;
    delivery_(entry.guid, host, port, text.value_or(std::string()));
}

bool TXMLStorage::Acknowledge(const std::string& guid)
{
    auto client = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) {
        return !guid.empty() && c.delivered == guid;
    });
    if (client == clients_.end())
        return false;
    const std::string folder = Folder(client->host, client->port);
    const bool last = client->entries.size() == 1;
    MemoryZip zip(archive_);
    if (!zip.Get())
        return false;
    for (const std::string& name : {folder + "\\" + guid, last ? folder + "/" : std::string()}) {
        if (name.empty())
            continue;
        const zip_int64_t index = zip_name_locate(zip.Get(), name.c_str(), 0);
        if (index >= 0)
            zip_delete(zip.Get(), static_cast<zip_uint64_t>(index));
    }
    std::optional<std::string> bytes = zip.Commit();
    if (!bytes)
        return false;
    archive_ = std::move(*bytes);
    bytes_ -= client->entries.front().size;
    client->entries.pop_front();
    client->delivered.clear();
    if (client->entries.empty()) {
        clients_.erase(client);
        return true;
    }
    DeliverNext(*client);
    return true;
}

std::vector<std::string> TXMLStorage::EntryNames() const
{
    std::vector<std::string> names;
    if (archive_.empty())
        return names;
    MemoryZip zip(archive_);
    if (!zip.Get())
        return names;
    const zip_int64_t n = zip_get_num_entries(zip.Get(), 0);
    for (zip_int64_t i = 0; i < n; ++i)
        if (const char* name = zip_get_name(zip.Get(), static_cast<zip_uint64_t>(i), 0))
            names.emplace_back(name);
    return names;
}

std::optional<std::string> TXMLStorage::Read(const std::string& guid) const
{
    for (const Client& c : clients_)
        for (const Entry& e : c.entries) {
            if (e.guid != guid)
                continue;
            MemoryZip zip(archive_);
            if (!zip.Get())
                return std::nullopt;
            const std::string name = Folder(c.host, c.port) + "\\" + guid;
            const zip_int64_t index = zip_name_locate(zip.Get(), name.c_str(), 0);
            if (index < 0)
                return std::nullopt;
            std::optional<std::string> text =
                zip.ReadEntry(static_cast<zip_uint64_t>(index), e.size);
            if (!text || text->size() != e.size)
                return std::nullopt;
            return text;
        }
    return std::nullopt;
}

bool TXMLStorage::Load(const std::string& bytes, std::string* error)
{
    auto refuse = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    std::vector<Client> clients;
    size_t total = 0;
    size_t count = 0;
    if (!bytes.empty()) {
        MemoryZip zip(bytes);
        if (!zip.Get())
            return refuse("Not a zip archive: " + zip.Error());
        const zip_int64_t n = zip_get_num_entries(zip.Get(), 0);
        for (zip_int64_t i = 0; i < n; ++i) {
            const auto index = static_cast<zip_uint64_t>(i);
            zip_stat_t st;
            zip_stat_init(&st);
            if (zip_stat_index(zip.Get(), index, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME) ||
                !(st.valid & ZIP_STAT_SIZE))
                return refuse("Unreadable entry " + std::to_string(i));
            const std::string name = st.name;
            if (!SafeName(name))
                return refuse("Entry name refused: " + name);
            if (name.back() == '/') {
                if (st.size != 0)
                    return refuse("Folder entry with data: " + name);
                continue;
            }
            const size_t slash = name.find('\\');
            const size_t dot = name.rfind('.', slash);
            if (slash == std::string::npos || dot == std::string::npos || dot == 0 ||
                slash + 1 == name.size() || name.find('\\', slash + 1) != std::string::npos)
                return refuse("Entry name refused: " + name);
            const std::string host = name.substr(0, dot);
            if (!StorableHost(host))
                return refuse("Entry name refused: " + name);
            const std::string portText = name.substr(dot + 1, slash - dot - 1);
            if (portText.empty() || portText.size() > 5 ||
                portText.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(portText) > kMaxPort)
                return refuse("Entry name refused: " + name);
            // The stated size first: nothing is inflated past the caps.
            if (++count > limits_.maxEntries || st.size > limits_.maxBytes - total)
                return refuse("Archive exceeds the store's limits");
            const std::optional<std::string> text =
                zip.ReadEntry(index, static_cast<size_t>(st.size));
            if (!text || text->size() != st.size)
                return refuse("Entry size differs from its stated size: " + name);
            total += text->size();
            const int port = std::stoi(portText);
            auto client = std::find_if(clients.begin(), clients.end(), [&](const Client& c) {
                return c.host == host && c.port == port;
            });
            if (client == clients.end()) {
                clients.push_back(Client{host, port, {}, {}});
                client = std::prev(clients.end());
            }
            client->entries.push_back(Entry{name.substr(slash + 1), text->size()});
        }
    }
    archive_ = bytes;
    clients_ = std::move(clients);
    bytes_ = total;
    // Each client's oldest result goes out now, as it would have when it was stored.  The
    // callback may store or acknowledge, which changes the list: each client is looked up anew.
    std::vector<std::pair<std::string, int>> loaded;
    for (const Client& c : clients_)
        loaded.emplace_back(c.host, c.port);
    for (const auto& key : loaded) {
        auto client = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) {
            return c.host == key.first && c.port == key.second;
        });
        if (client != clients_.end())
            DeliverNext(*client);
    }
    return true;
}

std::string StoreRefusalText(StoreRefusal why)
{
    switch (why) {
    case StoreRefusal::Full:
        return "The result store is full";
    case StoreRefusal::Host:
        return "The result store cannot keep results of this host";
    case StoreRefusal::Port:
        return "The result store cannot keep results of this port";
    case StoreRefusal::Archive:
        break;
    }
    return "The result store could not write its archive";
}

} // namespace xrpc
