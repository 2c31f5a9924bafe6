#include "xmlrpc/xml_storage.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <algorithm>
#include <utility>

namespace xrpc {
namespace {

struct Delivered
{
    std::string guid, host, text;
    int port;
};

struct Fixture
{
    TXMLStorage store;
    std::vector<Delivered> seen;
    explicit Fixture(TXMLStorageLimits limits = {}) : store(limits)
    {
        store.SetDelivery([this](const std::string& guid, const std::string& host, int port,
                                 const std::string& text) {
            seen.push_back({guid, host, text, port});
        });
    }
};

bool Has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Two clients' results: each client gets its oldest result at once and the next only when it
// acknowledged that one; an acknowledgement of a result not yet delivered is refused; the
// archive lists the entries under their client's folder and drops the folder with the last.
TEST(XMLStorage, DeliversEachClientsResultsInOrderAndRemovesThemWhenAcknowledged)
{
    Fixture f;
    const std::string big(20000, 'x'); // deflated in the archive
    auto a1 = f.store.Store("127.0.0.1", 8080, "a1" + big);
    auto a2 = f.store.Store("127.0.0.1", 8080, "a2");
    auto b1 = f.store.Store("10.0.0.5", 9000, "b1");
    auto a3 = f.store.Store("127.0.0.1", 8080, "a3");
    ASSERT_TRUE(a1 && a2 && b1 && a3);
    EXPECT_NE(*a1, *a2);
    EXPECT_EQ(a1->size(), 38u);
    EXPECT_LT(f.store.Archive().size(), big.size() / 4);
    ASSERT_EQ(f.seen.size(), 2u);
    EXPECT_EQ(f.seen[0].guid, *a1);
    EXPECT_EQ(f.seen[0].text, "a1" + big);
    EXPECT_EQ(f.seen[0].host, "127.0.0.1");
    EXPECT_EQ(f.seen[0].port, 8080);
    EXPECT_EQ(f.seen[1].guid, *b1);
    EXPECT_EQ(f.seen[1].port, 9000);
    EXPECT_TRUE(f.store.EventSet());

    const auto names = f.store.EntryNames();
    EXPECT_TRUE(Has(names, "127.0.0.1.8080/"));
    EXPECT_TRUE(Has(names, "10.0.0.5.9000/"));
    EXPECT_TRUE(Has(names, "127.0.0.1.8080\\" + *a3));
    EXPECT_EQ(f.store.Read(*a2), "a2");

    EXPECT_FALSE(f.store.Acknowledge(*a2)); // not delivered yet
    EXPECT_FALSE(f.store.Acknowledge("{nothing}"));
    EXPECT_FALSE(f.store.Acknowledge(""));
    EXPECT_TRUE(f.store.Acknowledge(*a1));
    EXPECT_FALSE(f.store.Acknowledge(*a1)); // only once
    ASSERT_EQ(f.seen.size(), 3u);
    EXPECT_EQ(f.seen[2].guid, *a2);
    EXPECT_EQ(f.seen[2].text, "a2");
    EXPECT_FALSE(f.store.Read(*a1));

    EXPECT_TRUE(f.store.Acknowledge(*b1));
    EXPECT_FALSE(Has(f.store.EntryNames(), "10.0.0.5.9000/"));
    EXPECT_TRUE(f.store.Acknowledge(*a2));
    EXPECT_TRUE(f.store.Acknowledge(*a3));
    EXPECT_EQ(f.seen.size(), 4u);
    EXPECT_EQ(f.store.Count(), 0u);
    EXPECT_EQ(f.store.Bytes(), 0u);
    EXPECT_TRUE(f.store.EntryNames().empty());
    EXPECT_FALSE(f.store.EventSet());
    // And it starts again from nothing.
    auto c = f.store.Store("127.0.0.1", 8080, "c");
    ASSERT_TRUE(c);
    EXPECT_EQ(f.seen.back().text, "c");
}

TEST(XMLStorage, RefusesResultsPastItsCapsAndTakesThemAgainOnceThereIsRoom)
{
    struct Case
    {
        const char* name;
        TXMLStorageLimits limits;
        std::vector<size_t> sizes; // the last one is refused
    };
    const Case cases[] = {
        {"entries", {3, 1000}, {1, 1, 1, 1}},
        {"bytes", {100, 1000}, {600, 300, 101}},
        {"one too big", {100, 1000}, {1001}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(c.limits);
        std::vector<std::string> kept;
        for (size_t i = 0; i + 1 < c.sizes.size(); ++i) {
            auto g = f.store.Store("h", 1, std::string(c.sizes[i], 'a'));
            ASSERT_TRUE(g);
            kept.push_back(*g);
        }
        const size_t count = f.store.Count(), bytes = f.store.Bytes();
        StoreRefusal why = StoreRefusal::Host;
        EXPECT_FALSE(f.store.Store("h", 1, std::string(c.sizes.back(), 'b'), &why));
        EXPECT_EQ(why, StoreRefusal::Full);
        EXPECT_EQ(f.store.Count(), count);
        EXPECT_EQ(f.store.Bytes(), bytes);
        if (!kept.empty() && c.sizes.back() <= c.limits.maxBytes) {
            for (const auto& g : kept)
                ASSERT_TRUE(f.store.Acknowledge(g));
            EXPECT_TRUE(f.store.Store("h", 1, std::string(c.sizes.back(), 'b')));
        }
    }
}

// Builds a zip with the given (name, data) entries.
std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(src);
    zip_t* z = zip_open_from_source(src, ZIP_CREATE | ZIP_TRUNCATE, &error);
    for (const auto& [name, data] : entries) {
        if (!name.empty() && name.back() == '/')
            zip_dir_add(z, name.c_str(), 0);
        else
            zip_file_add(z, name.c_str(), zip_source_buffer(z, data.data(), data.size(), 0), 0);
    }
    zip_close(z);
    std::string out;
    zip_source_open(src);
    zip_source_seek(src, 0, SEEK_END);
    out.resize(static_cast<size_t>(zip_source_tell(src)));
    zip_source_seek(src, 0, SEEK_SET);
    zip_source_read(src, out.data(), out.size());
    zip_source_close(src);
    zip_source_free(src);
    zip_error_fini(&error);
    return out;
}

TEST(XMLStorage, AnArchiveFromOutsideIsCheckedBeforeAnythingOfItIsTaken)
{
    Fixture f({4, 1000});
    const std::string guid = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
    const std::string good = MakeZip({{"127.0.0.1.8080/", ""}, {"127.0.0.1.8080\\" + guid, "r"}});
    struct Case
    {
        const char* why;
        std::string bytes;
    };
    const Case bad[] = {
        {"parent", MakeZip({{"..\\" + guid, "r"}})},
        {"parent inside", MakeZip({{"h.1\\..\\x", "r"}})},
        {"leading slash", MakeZip({{"/etc.1\\x", "r"}})},
        {"leading backslash", MakeZip({{"\\h.1\\x", "r"}})},
        {"no port", MakeZip({{"host\\x", "r"}})},
        {"port past 65535", MakeZip({{"h.65536\\x", "r"}})},
        {"five-digit port past 65535", MakeZip({{"h.99999\\x", "r"}})},
        {"stated size past the cap", MakeZip({{"h.1\\x", std::string(1001, 'z')}})},
        {"too many entries",
         MakeZip({{"h.1\\a", ""}, {"h.1\\b", ""}, {"h.1\\c", ""}, {"h.1\\d", ""}, {"h.1\\e", ""}})},
        {"not a zip", "PK\x03\x04 not really"},
    };
    auto kept = f.store.Store("k", 1, "kept");
    ASSERT_TRUE(kept);
    for (const Case& c : bad) {
        SCOPED_TRACE(c.why);
        std::string error;
        EXPECT_FALSE(f.store.Load(c.bytes, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(f.store.Read(*kept), "kept"); // nothing of the store lost
    }
    ASSERT_TRUE(f.store.Load(good));
    EXPECT_EQ(f.store.Count(), 1u);
    EXPECT_EQ(f.store.Read(guid), "r");
    // Our own archive round-trips.
    Fixture g;
    ASSERT_TRUE(g.store.Load(f.store.Archive()));
    EXPECT_EQ(g.store.Read(guid), "r");
}

// A loaded archive's results go out as they would have when stored: each client's oldest at
// once, the next after its acknowledgement, so none waits for a new result of its client.
TEST(XMLStorage, ALoadedArchiveDeliversEachClientsOldestResult)
{
    Fixture f;
    f.store.SetDelivery(nullptr);
    const auto a1 = f.store.Store("127.0.0.1", 8080, "a1");
    const auto a2 = f.store.Store("127.0.0.1", 8080, "a2");
    const auto b1 = f.store.Store("10.0.0.5", 9000, "b1");
    ASSERT_TRUE(a1 && a2 && b1);

    Fixture g;
    ASSERT_TRUE(g.store.Load(f.store.Archive()));
    ASSERT_EQ(g.seen.size(), 2u);
    EXPECT_EQ(g.seen[0].guid, *a1);
    EXPECT_EQ(g.seen[0].text, "a1");
    EXPECT_EQ(g.seen[1].guid, *b1);
    EXPECT_EQ(g.seen[1].host, "10.0.0.5");
    EXPECT_EQ(g.seen[1].port, 9000);
    EXPECT_TRUE(g.store.EventSet());
    EXPECT_TRUE(g.store.Acknowledge(*a1));
    ASSERT_EQ(g.seen.size(), 3u);
    EXPECT_EQ(g.seen[2].guid, *a2);
    EXPECT_TRUE(g.store.Acknowledge(*a2));
    EXPECT_TRUE(g.store.Acknowledge(*b1));
    EXPECT_EQ(g.store.Count(), 0u);
}

// Store takes no client whose entries Load would refuse, so every archive it writes loads.
TEST(XMLStorage, StoreRefusesAClientItsArchiveCouldNotBeLoadedWith)
{
    struct Case
    {
        std::string host;
        int port;
        StoreRefusal why = StoreRefusal::Host;
    };
    const Case refused[] = {
        {"", 1},
        {"..", 1},
        {"a..b", 1},
        {"/etc", 1},
        {"\\h", 1},
        {"a\\b", 1},
        {"example.com.", 80}, // its folder "example.com..80" would make the archive unloadable
        {std::string("a\0b", 3), 1},
        {"h", -1, StoreRefusal::Port},
        {"h", 65536, StoreRefusal::Port},
    };
    Fixture f;
    for (const Case& c : refused) {
        SCOPED_TRACE(c.host + " " + std::to_string(c.port));
        StoreRefusal why = StoreRefusal::Full;
        EXPECT_FALSE(f.store.Store(c.host, c.port, "r", &why));
        EXPECT_EQ(why, c.why);
    }
    EXPECT_EQ(f.store.Count(), 0u);
    EXPECT_TRUE(f.store.Archive().empty());
    const Case taken[] = {{"a/b", 0}, {"10.0.0.5", 65535}, {"host.name", 80}, {".host", 1}};
    for (const Case& c : taken)
        ASSERT_TRUE(f.store.Store(c.host, c.port, "r")) << c.host;
    Fixture g;
    std::string error;
    ASSERT_TRUE(g.store.Load(f.store.Archive(), &error)) << error;
    ASSERT_EQ(g.seen.size(), std::size(taken));
    for (size_t i = 0; i < std::size(taken); ++i) {
        EXPECT_EQ(g.seen[i].host, taken[i].host);
        EXPECT_EQ(g.seen[i].port, taken[i].port);
    }
}

} // namespace
} // namespace xrpc
