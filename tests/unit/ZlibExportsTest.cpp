// A host that defines Z_PREFIX before including zlib's header calls the library's z_ functions.
#define Z_PREFIX
#include <zlib.h>

#include <gtest/gtest.h>

#include <vector>

// 1 MB through compress/uncompress comes back whole, with the same checksum.
TEST(ZlibExports, CompressRoundTrip)
{
    std::vector<Bytef> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<Bytef>((i * i >> 7) % 251);
    uLongf packedSize = z_compressBound(data.size());
    std::vector<Bytef> packed(packedSize);
    ASSERT_EQ(z_compress(packed.data(), &packedSize, data.data(), data.size()), Z_OK);
    EXPECT_LT(packedSize, data.size());
    std::vector<Bytef> back(data.size());
    uLongf backSize = back.size();
    ASSERT_EQ(z_uncompress(back.data(), &backSize, packed.data(), packedSize), Z_OK);
    EXPECT_TRUE(backSize == data.size() && back == data);

    EXPECT_EQ(z_crc32(0, data.data(), static_cast<uInt>(data.size())),
              z_crc32_z(0, back.data(), back.size()));
}
