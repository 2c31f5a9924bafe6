// The factory image and the read mask pinned by their SHA-256 digests, so that a single wrong
// byte anywhere in the tables fails here even where no other test looks.

#include "config_tool/model/config_image.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <algorithm>

namespace model {
namespace {

std::string Sha256(const Image& bytes)
{
    const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<qsizetype>(bytes.size()));
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().toStdString();
}

TEST(TableDigests, FactoryImageAndReadMaskAreExactlyTheUnitsTables)
{
    const struct
    {
        const char* name;
        const Image& table;
        const char* sha256;
    } cases[] = {
        {"FactoryImage", FactoryImage(),
         "1ff9fc7bba873dd40608c4793e4441128827b052890dd38415fbae333d190e7b"},
        {"ReadMask", ReadMask(),
         "a13cf62289cda7bbbe40eaf80e6dc595b8c5d1db09770e0fac4f8d9eedf5328e"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sha256(c.table), c.sha256) << c.name;

    // The mask holds only 0 and 1, and 7,293 ones.
    const Image& mask = ReadMask();
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 1), 7293);
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), 7676 - 7293);
}

} // namespace
} // namespace model
