// Loading database images: versions, regions, strings, records and payload expansion.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <lz4.h>

#include "DatabaseFixture.h"
#include "TestSupport.h"
#include "database/Database.h"

namespace {

using GAME::Database;

bool LoadBytes(Database& database, const std::string& bytes) {
    return database.Load(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

using test::PutU32At;

TEST(DatabaseLoad, VersionsAndShortImages) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("a.rec", fixture.Ints("x", {1}));
    for (std::uint16_t version : {0, 1}) {
        Database database;
        EXPECT_FALSE(LoadBytes(database, fixture.Bytes(false, false, version))) << version;
    }
    for (std::uint16_t version : {2, 3, 65535}) {
        Database database;
        EXPECT_TRUE(LoadBytes(database, fixture.Bytes(false, false, version))) << version;
        EXPECT_EQ(database.GetRecordNames(), std::vector<std::string>{"a.rec"});
    }
    Database database;
    EXPECT_FALSE(LoadBytes(database, fixture.Bytes(false, false).substr(0, 23)));
    EXPECT_FALSE(database.Load(nullptr, 100));
}

TEST(DatabaseLoad, ChecksumTrailerOnlyWhenFlagged) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("a.rec", fixture.Ints("x", {1}));
    Database without;
    ASSERT_TRUE(LoadBytes(without, fixture.Bytes(false, false)));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(without.Checksums()[i], 0u);
    const std::string bytes = fixture.Bytes(true, true);
    Database with;
    ASSERT_TRUE(LoadBytes(with, bytes));
    EXPECT_EQ(std::memcmp(with.Checksums(), bytes.data() + bytes.size() - 16, 16), 0);
    EXPECT_NE(with.Checksums()[0], 0u);
}

TEST(DatabaseLoad, EmptyRecordDataAndEmptyStringTable) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("a.rec", fixture.Ints("x", {1}));
    std::string bytes = fixture.Bytes(false, false);
    PutU32At(bytes, 4, 24);  // no record data region
    Database noData;
    ASSERT_TRUE(LoadBytes(noData, bytes));
    EXPECT_TRUE(noData.GetRecordNames().empty());
    EXPECT_EQ(noData.Strings().Size(), 0u);

    bytes = fixture.Bytes(false, false);
    PutU32At(bytes, 20, 0);  // no string table
    Database noStrings;
    ASSERT_TRUE(LoadBytes(noStrings, bytes));
    EXPECT_EQ(noStrings.Strings().Size(), 0u);  // not even the empty text
    EXPECT_TRUE(noStrings.GetRecordNames().empty());
}

TEST(DatabaseLoad, EmptyTextIsAddedLastWhenMissing) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("a.rec", fixture.Ints("x", {1}));
    Database database;
    ASSERT_TRUE(LoadBytes(database, fixture.Bytes(false, false)));
    EXPECT_EQ(database.Strings().Size(), 3u);
    EXPECT_EQ(database.Strings().FindStringId(""), 2);

    test::DatabaseFixture holding;
    holding.String("first");
    holding.String("");
    holding.AddRecord("a.rec", holding.Ints("x", {1}));
    Database kept;
    ASSERT_TRUE(LoadBytes(kept, holding.Bytes(false, false)));
    EXPECT_EQ(kept.Strings().FindStringId(""), 1);
    EXPECT_EQ(kept.Strings().Size(), 4u);
}

TEST(DatabaseLoad, RepeatedTextsAndRepeatedNameIds) {
    test::DatabaseFixture fixture;
    fixture.String("a");
    fixture.AppendString("a");  // a repeat: no id, later ids shift down by one
    fixture.AppendString("b");
    fixture.AppendString("c.rec");
    fixture.AddRecordById(2, fixture.Ints("a", {1}), "first");
    fixture.AddRecordById(2, fixture.Ints("a", {2}), "second");
    Database database;
    ASSERT_TRUE(LoadBytes(database, fixture.Bytes(false, false)));
    EXPECT_EQ(database.Strings().FindStringId("b"), 1);
    EXPECT_EQ(database.Strings().FindStringId("c.rec"), 2);
    EXPECT_EQ(database.GetRecordNames(), std::vector<std::string>{"c.rec"});
    std::uint32_t length = 0;
    const unsigned char* payload = database.GetRecordPayload(2, &length);
    ASSERT_NE(payload, nullptr);
    ASSERT_EQ(length, 12u);
    std::int32_t value;
    std::memcpy(&value, payload + 8, 4);
    EXPECT_EQ(value, 2);  // the later entry
}

TEST(DatabaseLoad, DecompressionBufferGrowsToThreeTimesAndNeverShrinks) {
    test::DatabaseFixture fixture;
    // One integer field of (size - 8) / 4 values makes a payload of exactly `size` bytes.
    auto payloadOf = [&](std::size_t size) {
        return fixture.Field(0, "v", std::vector<std::uint32_t>((size - 8) / 4, 1));
    };
    fixture.AddRecord("small", payloadOf(5000));
    fixture.AddRecord("large", payloadOf(20000));
    fixture.AddRecord("middle", payloadOf(15000));
    Database database;
    ASSERT_TRUE(LoadBytes(database, fixture.Bytes(true, false)));
    EXPECT_EQ(database.DecompressionCapacity(), 10240u);
    std::uint32_t length = 0;
    auto payloadNamed = [&](const char* name) {
        return database.GetRecordPayload(database.GetStringId(name), &length);
    };
    ASSERT_NE(payloadNamed("small"), nullptr);
    EXPECT_EQ(length, 5000u);
    EXPECT_EQ(database.DecompressionCapacity(), 10240u);
    ASSERT_NE(payloadNamed("large"), nullptr);
    EXPECT_EQ(length, 20000u);
    EXPECT_EQ(database.DecompressionCapacity(), 60416u);
    ASSERT_NE(payloadNamed("middle"), nullptr);
    EXPECT_EQ(database.DecompressionCapacity(), 60416u);
}

TEST(DatabaseLoad, PayloadsThatCannotBeHadFail) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("a.rec", fixture.Ints("x", {1, 2, 3}));
    std::string bytes = fixture.Bytes(true, false);
    // The index entry's fields follow nameId and the empty record type's length.
    const std::uint32_t indexOffset = test::U32At(bytes, 4);
    std::string damaged = bytes;
    damaged[24] = '\xFF';  // the LZ4 token: a literal run far beyond the block
    Database broken;
    ASSERT_TRUE(LoadBytes(broken, damaged));
    std::uint32_t length = 99;
    EXPECT_EQ(broken.GetRecordPayload(broken.GetStringId("a.rec"), &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(std::string(broken.DecompressionMessage()).rfind("Error decompressing database record: -", 0), 0u)
        << broken.DecompressionMessage();

    damaged = bytes;
    PutU32At(damaged, indexOffset + 12, 1000);  // storedSize beyond the record data
    Database outside;
    ASSERT_TRUE(LoadBytes(outside, damaged));
    EXPECT_EQ(outside.GetRecordPayload(outside.GetStringId("a.rec"), &length), nullptr);

    damaged = bytes;
    PutU32At(damaged, indexOffset + 16, 0xFFFFFFFFu);  // an expanded size no block can reach
    Database huge;
    ASSERT_TRUE(LoadBytes(huge, damaged));
    EXPECT_EQ(huge.GetRecordPayload(huge.GetStringId("a.rec"), &length), nullptr);
    EXPECT_EQ(huge.DecompressionCapacity(), 10240u);

    Database missing;
    ASSERT_TRUE(LoadBytes(missing, bytes));
    EXPECT_EQ(missing.GetRecordPayload(12345, &length), nullptr);
}

TEST(LiteralIdCache, SizedByTheStringCount) {
    const struct {
        std::int64_t count;
        std::uint32_t buckets, capacity;
    } cases[] = {{100, 16, 50}, {1000, 128, 500}, {10000000, 65536, 5000000}, {0, 4, 0}, {1, 4, 0}, {-5, 4, 0}};
    for (const auto& c : cases) {
        GAME::LiteralIdCache cache;
        cache.Reset(c.count);
        EXPECT_EQ(cache.BucketCount(), c.buckets) << c.count;
        EXPECT_EQ(cache.Capacity(), c.capacity) << c.count;
        EXPECT_EQ(cache.Used(), 0u);
    }
    GAME::LiteralIdCache cache;
    cache.Reset(1);
    static const char text[] = "x";
    cache.Add(text, 3);
    EXPECT_EQ(cache.Capacity(), 1u);  // grown from none to one slot
    cache.Add(text + 1, 4);
    EXPECT_EQ(cache.Capacity(), 2u);
    ASSERT_NE(cache.Find(text), nullptr);
    EXPECT_EQ(*cache.Find(text), 3);
    EXPECT_EQ(cache.Find(&cache), nullptr);
}

TEST(StringMap, LiteralIdsFollowTheTexts) {
    test::DatabaseFixture fixture;
    for (int i = 0; i < 99; ++i) fixture.String("s" + std::to_string(i));
    fixture.AddRecord("s0", fixture.Ints("s1", {1}));  // names already in the table
    fixture.String("last");
    Database database;
    const std::string bytes = fixture.Bytes(false, false);
    ASSERT_TRUE(LoadBytes(database, bytes));
    const GAME::StringMap& strings = database.Strings();
    EXPECT_EQ(strings.Cache().BucketCount(), 16u);
    EXPECT_EQ(strings.Cache().Capacity(), 50u);
    EXPECT_EQ(strings.Cache().Used(), 1u);  // the empty text, entered by the load

    GAME::StringMap map;
    std::string region;
    auto put = [&](std::uint32_t v) { region.append(reinterpret_cast<const char*>(&v), 4); };
    put(3);
    put(2);
    region += "hi";
    put(2000000);  // too long: takes nothing, repeats "hi"
    put(1);
    region += "x";
    map.Load(reinterpret_cast<const unsigned char*>(region.data()), static_cast<std::uint32_t>(region.size()));
    EXPECT_EQ(map.Size(), 2u);
    EXPECT_EQ(map.FindStringId("x"), 1);
    EXPECT_EQ(map.GetLiteralId("x"), 1);
    EXPECT_EQ(map.GetLiteralId("nothing"), -1);
    EXPECT_EQ(map.GetString(2), nullptr);
    EXPECT_EQ(map.GetString(-1), nullptr);
}

}  // namespace
