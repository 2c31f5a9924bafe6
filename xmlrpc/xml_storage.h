#pragma once
// TXMLStorage: the results of asynchronous calls kept in an in-memory zip archive until their
// owner has acknowledged them.  An entry is named host "." port "\" GUID and listed under the
// folder host "." port "/".  Each client's results are delivered one at a time, oldest first:
// the next is handed out only when the last one delivered has been acknowledged by its GUID.
// A client with nothing left is dropped.
//
// The store is bounded: past MaxEntries entries or MaxBytes bytes of kept text a result is
// refused, never dropped silently.  Entry names are names inside the archive only; nothing is
// ever written to a path.  An archive from outside (Load) is checked before anything of it is
// taken: each entry's name, its stated size against the caps, and the size it really inflates
// to.
//
// Threads: one thread at a time (the client's owner); the delivery callback runs in that
// thread, outside any lock.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace xrpc {

struct TXMLStorageLimits
{
    size_t maxEntries = 1000;
    size_t maxBytes = 16 * 1024 * 1024; // of kept (uncompressed) text
};

// Why Store kept nothing; StoreRefusalText gives each its own text.
enum class StoreRefusal {
    Full,
    Host,
    Port,
    Archive,
};
std::string StoreRefusalText(StoreRefusal why);

class TXMLStorage
{
public:
    // guid, host, port, the kept text.
    using Delivery = std::function<void(const std::string& guid, const std::string& host, int port,
                                        const std::string& text)>;

    explicit TXMLStorage(TXMLStorageLimits limits = {});
    ~TXMLStorage();
    TXMLStorage(const TXMLStorage&) = delete;
    TXMLStorage& operator=(const TXMLStorage&) = delete;

    void SetDelivery(Delivery delivery) { delivery_ = std::move(delivery); }

    // Keeps text for the client host:port under a new GUID and returns it; delivers it at once
    // when the client has no delivered result waiting for its acknowledgement.  nullopt, with
    // nothing kept and the reason in refusal, past a cap, for a client Load could not read back
    // (a host that is empty, holds "\", begins with "/" or "\", or whose folder name holds
    // "..", as a host ending in "." does; a port outside 0 to 65535), or when the archive
    // cannot be written.
    std::optional<std::string> Store(const std::string& host, int port, const std::string& text,
                                     StoreRefusal* refusal = nullptr);
    // Removes the delivered entry guid and delivers its client's next one.  False for a GUID
    // that is not the one its client was last given (unknown, or not yet delivered).
    bool Acknowledge(const std::string& guid);

    size_t Count() const;
    size_t Bytes() const { return bytes_; }
    // The archive's entry names in archive order (folders included).
    std::vector<std::string> EntryNames() const;
    // The kept text of an entry, read back from the archive.
    std::optional<std::string> Read(const std::string& guid) const;
    // The archive as zip bytes, and an archive from outside: checked in full first, then it
    // replaces the store's contents and each client's oldest result is delivered.  False with
    // error set when refused.
    std::string Archive() const { return archive_; }
    bool Load(const std::string& bytes, std::string* error = nullptr);
    // The name of the store's manual-reset event: set while a delivered result waits.
    const std::string& EventName() const { return eventName_; }
    bool EventSet() const;

private:
    struct Entry
    {
        std::string guid;
        size_t size = 0;
    };
    struct Client
    {
        std::string host;
        int port = 0;
        std::deque<Entry> entries;
        std::string delivered; // GUID of the result last delivered and not yet acknowledged
    };
    static std::string Folder(const std::string& host, int port);
    void DeliverNext(Client& client);

    const TXMLStorageLimits limits_;
    std::string archive_; // zip bytes; empty while the store holds nothing
    std::vector<Client> clients_;
    size_t bytes_ = 0;
    std::string eventName_;
    Delivery delivery_;
};

} // namespace xrpc
