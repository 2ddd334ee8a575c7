#include <gtest/gtest.h>

#include "fake_smp_device.h"
#include "smp/cbor.h"

namespace Mivo::BLE {
namespace {

using Testing::Bytes;

Bytes Head(uint8_t major, uint64_t argument) {
    CborWriter writer;
    writer.WriteHead(major, argument);
    return writer.Bytes();
}

TEST(CborWriter, HeadsAreShortestBigEndianAndStopAt32Bits) {
    EXPECT_EQ(Head(0, 23), Bytes({0x17}));
    EXPECT_EQ(Head(0, 24), Bytes({0x18, 0x18}));
    EXPECT_EQ(Head(0, 255), Bytes({0x18, 0xFF}));
    EXPECT_EQ(Head(0, 256), Bytes({0x19, 0x01, 0x00}));
    EXPECT_EQ(Head(0, 65535), Bytes({0x19, 0xFF, 0xFF}));
    EXPECT_EQ(Head(0, 65536), Bytes({0x1A, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Head(0, 0xFFFFFFFFu), Bytes({0x1A, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(Head(0, 0x100000000ull).empty());
    EXPECT_EQ(Head(5, 300), Bytes({0xB9, 0x01, 0x2C}));
}

TEST(CborReader, ReadArgumentIsBoundsCheckedAtEveryWidth) {
    struct Case {
        Bytes data;
        uint64_t value;
        size_t position;
    };
    const Case cases[] = {
        {{0x17}, 23, 1},
        {{0x18, 0x2A}, 42, 2},
        {{0x18}, 0, 1},                              // argument byte missing
        {{0x19, 0x01, 0x00}, 256, 3},                // exactly at the end
        {{0x19, 0x01}, 0, 1},                        // one of two argument bytes present
        {{0x1A, 0x00, 0x01, 0x00, 0x00}, 65536, 5},  // exactly at the end
        {{0x1A, 0x00, 0x01, 0x00}, 0, 1},
        {{0x1B, 1, 2, 3, 4, 5, 6, 7, 8}, 0, 1},  // 64-bit arguments are not supported
        {{0x1C}, 0, 1},
        {{0x9F}, kCborIndefinite, 1},
        {{}, 0, 0},
    };
    for (const auto& c : cases) {
        CborReader reader(c.data.data(), c.data.size());
        EXPECT_EQ(ReadArgument(reader), c.value) << testing::PrintToString(c.data);
        EXPECT_EQ(reader.position, c.position) << testing::PrintToString(c.data);
    }
}

TEST(CborReader, ReadTextStringAcceptsOnlyWholeDefiniteTexts) {
    const Bytes good = {0x62, 'o', 'k', 0x01};
    CborReader reader(good.data(), good.size());
    EXPECT_EQ(ReadTextString(reader), "ok");
    EXPECT_EQ(reader.position, 3u);
    EXPECT_EQ(ReadTextString(reader), "");  // an unsigned, not a text: nothing consumed
    EXPECT_EQ(reader.position, 3u);

    const Bytes truncated = {0x63, 'a', 'b'};
    CborReader cut(truncated.data(), truncated.size());
    EXPECT_EQ(ReadTextString(cut), "");
    EXPECT_EQ(cut.position, 1u);  // only the head

    const Bytes huge = {0x7A, 0xFF, 0xFF, 0xFF, 0xFF, 'x'};
    CborReader lying(huge.data(), huge.size());
    EXPECT_EQ(ReadTextString(lying), "");
    EXPECT_EQ(lying.position, 5u);
}

size_t SkipLength(const Bytes& data) {
    CborReader reader(data.data(), data.size());
    SkipItem(reader);
    EXPECT_LE(reader.position, data.size());
    return reader.position;
}

TEST(CborReader, SkipItemConsumesWholeItems) {
    EXPECT_EQ(SkipLength({0x9F, 0x01, 0x02, 0xFF, 0x07}), 4u);
    EXPECT_EQ(SkipLength({0xBF, 0x61, 'a', 0x01, 0xFF, 0x07}), 5u);
    EXPECT_EQ(SkipLength({0xA1, 0x61, 'k', 0x82, 0x39, 0x01, 0x00, 0x42, 'x', 'y', 0x07}), 10u);
    EXPECT_EQ(SkipLength({0xC2, 0x43, 1, 2, 3, 0x07}), 5u);               // a tag and the item it tags
    EXPECT_EQ(SkipLength({0x7F, 0x61, 'a', 0x61, 'b', 0xFF, 0x07}), 6u);  // indefinite text in chunks
    EXPECT_EQ(SkipLength({0xF5, 0x07}), 1u);
    EXPECT_EQ(SkipLength({}), 0u);
}

TEST(CborReader, SkipItemStopsAtTheEndOfLyingData) {
    EXPECT_EQ(SkipLength({0x85, 0x01, 0x02}), 3u);                    // 5 items claimed, 2 present
    EXPECT_EQ(SkipLength({0x9B, 1, 1, 1, 1, 1, 1, 1, 1}), 1u);        // 64-bit count: head only, 0 items
    EXPECT_EQ(SkipLength({0x5A, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}), 7u);  // declared 4 GB
    EXPECT_EQ(SkipLength({0xBA, 0xFF, 0xFF, 0xFF, 0xFF, 0x61, 'a', 0x01}), 8u);
    EXPECT_EQ(SkipLength({0x9F, 0x01, 0x02}), 3u);  // break missing
}

TEST(CborReader, SkipItemDescendsAtMostSixteenLevels) {
    Bytes sixteen(16, 0x81);
    sixteen.insert(sixteen.end(), {0x01, 0x02});
    EXPECT_EQ(SkipLength(sixteen), 17u);
    Bytes seventeen(17, 0x81);
    seventeen.insert(seventeen.end(), {0x01, 0x02});
    EXPECT_EQ(SkipLength(seventeen), seventeen.size());  // as if the data ended there
    // Deep nesting of every container kind ends at the end of the data without exhausting the stack.
    for (uint8_t opener : {0x9F, 0xBF, 0x81, 0xC1, 0x7F}) {
        const Bytes deep(1'000'000, opener);
        EXPECT_EQ(SkipLength(deep), deep.size());
    }
}

TEST(CborReader, NextMapKeyWalksDefiniteAndIndefiniteMaps) {
    auto keys = [](const Bytes& data, size_t* endPosition = nullptr) {
        CborReader reader(data.data(), data.size());
        CborMapIteration map;
        std::vector<std::string> found;
        if (OpenMap(reader, map)) {
            std::string key;
            while (NextMapKey(map, key)) {
                found.push_back(key);
                SkipItem(reader);
            }
        }
        if (endPosition) *endPosition = reader.position;
        return found;
    };
    size_t end = 0;
    EXPECT_TRUE(keys({0xA0, 0x61, 'x', 0x01}, &end).empty());
    EXPECT_EQ(end, 1u);
    EXPECT_TRUE(keys({0xBF, 0xFF, 0x01}, &end).empty());
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(keys({0xBF, 0x61, 'a', 0x01, 0x61, 'b', 0x02}), (std::vector<std::string>{"a", "b"}));  // no break
    EXPECT_EQ(keys({0xB9, 0xFF, 0xFF, 0x61, 'a', 0x01}), (std::vector<std::string>{"a"}));
    // A key that is not text reads as empty and the walk stays on key/value boundaries.
    EXPECT_EQ(keys({0xA3, 0x01, 0x02, 0x82, 0x61, 'q', 0x03, 0x04, 0x61, 'x', 0x05}),
              (std::vector<std::string>{"", "", "x"}));
    EXPECT_TRUE(keys({0x81, 0xA0}).empty());  // not a map
}

}  // namespace
}  // namespace Mivo::BLE
