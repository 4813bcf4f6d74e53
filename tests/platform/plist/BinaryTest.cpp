#include "platform/plist/Plist.h"

#include "BinaryBuilder.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;
using plist::testing::BinaryBuilder;
using Bytes = std::vector<std::uint8_t>;

Value roundTrip(const Value& value) {
    std::string error;
    auto bytes = plist::writeBinary(value, &error);
    EXPECT_TRUE(bytes) << error;
    auto back = plist::readBinary(*bytes, plist::kMessageSizeLimit, &error);
    EXPECT_TRUE(back) << error;
    return back ? *back : Value("read failed");
}

std::string readError(const Bytes& bytes) {
    std::string error;
    auto value = plist::readBinary(bytes, plist::kMessageSizeLimit, &error);
    EXPECT_FALSE(value) << description(*value);
    return error;
}

TEST(PlistBinary, RoundTripsEveryKind) {
    const Value value(Dictionary{
        {"string", "plain"},
        {"unicode", "Grüße \xF0\x9F\x98\x80 ✓"},
        {"empty", ""},
        {"long", std::string(300, 'x')},
        {"true", true},
        {"false", false},
        {"real", 0.1},
        {"negative zero", -0.0},
        {"infinity", std::numeric_limits<double>::infinity()},
        {"date", Date{-31622400.123456789}},
        {"data", Data{0, 1, 255}},
        {"empty data", Data{}},
        {"array", Array{Value(1), Value("1"), Value(true), Value(1.0), Value(Array{})}},
        {"dictionary", Dictionary{{"", Dictionary{}}}},
    });
    EXPECT_TRUE(roundTrip(value).isIdenticalTo(value));
    EXPECT_TRUE(roundTrip(Value(42)).isIdenticalTo(Value(42)));
}

TEST(PlistBinary, IntegersKeepTheirValueAtEverySize) {
    const std::int64_t edges[] = {0,
                                  1,
                                  255,
                                  256,
                                  65535,
                                  65536,
                                  4294967295,
                                  4294967296,
                                  -1,
                                  -256,
                                  std::numeric_limits<std::int64_t>::max(),
                                  std::numeric_limits<std::int64_t>::min()};
    for (std::int64_t edge : edges) {
        EXPECT_TRUE(roundTrip(Value(edge)).isIdenticalTo(Value(edge))) << edge;
    }
    // Minimal widths: 1, 2, 4 bytes unsigned, 8 bytes for the rest.
    EXPECT_EQ(plist::writeBinary(Value(255), nullptr)->at(8), 0x10);
    EXPECT_EQ(plist::writeBinary(Value(256), nullptr)->at(8), 0x11);
    EXPECT_EQ(plist::writeBinary(Value(65536), nullptr)->at(8), 0x12);
    EXPECT_EQ(plist::writeBinary(Value(-1), nullptr)->at(8), 0x13);
}

TEST(PlistBinary, ReadsSixteenByteIntegersOnlyInTheSignedRange) {
    const auto file = [](std::uint64_t high, std::uint64_t low) {
        Bytes object{0x14};
        BinaryBuilder::append(object, high, 8);
        BinaryBuilder::append(object, low, 8);
        BinaryBuilder b;
        b.add(object);
        return b.build();
    };
    std::string error;
    EXPECT_TRUE(
        plist::readBinary(file(0, 5), plist::kMessageSizeLimit, &error)->isIdenticalTo(Value(5)));
    EXPECT_TRUE(plist::readBinary(file(~0ull, ~0ull), plist::kMessageSizeLimit, &error)
                    ->isIdenticalTo(Value(-1)));
    EXPECT_EQ(readError(file(0, 1ull << 63)),
              "object 0 at offset 0x8: 128-bit integer out of the signed 64-bit range");
    EXPECT_EQ(readError(file(1, 0)),
              "object 0 at offset 0x8: 128-bit integer out of the signed 64-bit range");
}

TEST(PlistBinary, ReadsFourByteRealsAndWideReferences) {
    BinaryBuilder b(/*refSize=*/3, /*offsetSize=*/8);
    b.add(b.container(0xA0, {1, 2}));
    b.add({0x22, 0x3f, 0xc0, 0x00, 0x00}); // 1.5f
    b.add(BinaryBuilder::ascii("x"));
    std::string error;
    auto value = plist::readBinary(b.build(), plist::kMessageSizeLimit, &error);
    ASSERT_TRUE(value) << error;
    EXPECT_TRUE(value->isIdenticalTo(Value(Array{Value(1.5), Value("x")})));
}

TEST(PlistBinary, WritesSharedObjectsOnce) {
    const Value shared(Array{Value("same"), Value("same"), Value(1), Value(true), Value(1.0)});
    const Value twice(Array{shared, shared});
    auto bytes = plist::writeBinary(twice, nullptr);
    ASSERT_TRUE(bytes);
    // top array, shared array, "same", 1, true, 1.0
    const std::size_t objectCount = bytes->at(bytes->size() - 17);
    EXPECT_EQ(objectCount, 6u);
    EXPECT_TRUE(roundTrip(twice).isIdenticalTo(twice));
}

TEST(PlistBinary, RefusesMalformedFilesWithPlaceAndReason) {
    EXPECT_EQ(readError(Bytes{'b', 'p'}),
              "file of 2 bytes is too short for a binary property list");

    BinaryBuilder good;
    good.add(BinaryBuilder::ascii("abc"));
    Bytes bytes = good.build();
    bytes[0] = 'x';
    EXPECT_EQ(readError(bytes), "offset 0x0: missing \"bplist00\" signature");

    BinaryBuilder overlong;
    overlong.add({0x5F, 0x10, 100, 'a'}); // a string that claims 100 bytes
    EXPECT_EQ(readError(overlong.build()),
              "object 0 at offset 0x8: string of 100 bytes runs past the object area");

    BinaryBuilder outOfRange;
    outOfRange.add(outOfRange.container(0xA0, {0, 40}));
    EXPECT_EQ(readError(outOfRange.build()),
              "object 0 at offset 0x8: reference 40 out of range (1 objects)");

    BinaryBuilder badTop;
    badTop.add(BinaryBuilder::ascii("a"));
    EXPECT_EQ(readError(badTop.build(3)),
              "trailer at offset 0xb: top object 3 out of range (1 objects)");
}

TEST(PlistBinary, RefusesCyclesButAcceptsSharing) {
    BinaryBuilder self;
    self.add(self.container(0xA0, {0}));
    EXPECT_EQ(readError(self.build()),
              "object 0 at offset 0x8: reference cycle back to this object");

    BinaryBuilder loop;
    loop.add(loop.container(0xA0, {1}));
    loop.add(loop.container(0xD0, {2, 0}));
    loop.add(BinaryBuilder::ascii("k"));
    EXPECT_EQ(readError(loop.build()),
              "object 0 at offset 0x8: reference cycle back to this object");

    BinaryBuilder diamond;
    diamond.add(diamond.container(0xA0, {1, 1}));
    diamond.add(diamond.container(0xA0, {2}));
    diamond.add(BinaryBuilder::ascii("leaf"));
    std::string error;
    auto value = plist::readBinary(diamond.build(), plist::kMessageSizeLimit, &error);
    ASSERT_TRUE(value) << error;
    EXPECT_EQ(description(*value), "(\n    (\n        leaf\n    ),\n    (\n        leaf\n    )\n)");
}

TEST(PlistBinary, RefusesBadObjects) {
    const auto single = [](Bytes object) {
        BinaryBuilder b;
        b.add(std::move(object));
        return readError(b.build());
    };
    EXPECT_EQ(single({0x00}), "object 0 at offset 0x8: marker 0x0 (null or fill) is not a value");
    EXPECT_EQ(single({0x80, 0x01}),
              "object 0 at offset 0x8: marker 0x80 is not a supported object type");
    EXPECT_EQ(single({0x51, 0xe9}),
              "object 0 at offset 0x8: ASCII string holds byte 0xe9 at offset 0x9");
    EXPECT_EQ(single({0x61, 0xd8, 0x00}),
              "object 0 at offset 0x8: string holds an unpaired UTF-16 surrogate");
    EXPECT_EQ(single({0x24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              "object 0 at offset 0x8: real of 16 bytes is not supported");
    // A count claiming 2^64-1 elements.
    EXPECT_NE(
        single({0x4F, 0x13, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}).find("runs past"),
        std::string::npos);

    BinaryBuilder numberKey;
    numberKey.add(numberKey.container(0xD0, {1, 1}));
    numberKey.add({0x10, 0x05});
    EXPECT_EQ(readError(numberKey.build()),
              "object 0 at offset 0x8: key 0 (object 1) is of type integer, not a string");

    BinaryBuilder duplicate;
    duplicate.add(duplicate.container(0xD0, {1, 2, 3, 3}));
    duplicate.add(BinaryBuilder::ascii("k"));
    duplicate.add(BinaryBuilder::ascii("k"));
    duplicate.add({0x09});
    EXPECT_EQ(readError(duplicate.build()), "object 0 at offset 0x8: duplicate key \"k\"");
}

TEST(PlistBinary, LimitsNesting) {
    const auto nested = [](std::size_t levels) {
        BinaryBuilder b(/*refSize=*/2);
        for (std::size_t i = 0; i + 1 < levels; ++i) {
            b.add(b.container(0xA0, {i + 1}));
        }
        b.add(b.container(0xA0, {}));
        return b.build();
    };
    std::string error;
    EXPECT_TRUE(plist::readBinary(nested(512), plist::kMessageSizeLimit, &error)) << error;
    EXPECT_NE(readError(nested(513)).find("containers nest deeper than 512 levels"),
              std::string::npos);

    // Sharing cannot smuggle extra depth: a 300-level chain used at depth 1 and at 300.
    BinaryBuilder b(/*refSize=*/2);
    b.add(b.container(0xA0, {1, 300}));
    for (std::size_t i = 1; i < 300; ++i) {
        b.add(b.container(0xA0, {i + 1}));
    }
    b.add(b.container(0xA0, {}));
    EXPECT_TRUE(plist::readBinary(b.build(), plist::kMessageSizeLimit, &error)) << error;
    BinaryBuilder c(/*refSize=*/2);
    c.add(c.container(0xA0, {300, 1}));
    for (std::size_t i = 1; i < 300; ++i) {
        c.add(c.container(0xA0, {i + 1}));
    }
    c.add(c.container(0xA0, {301}));
    for (std::size_t i = 301; i < 560; ++i) {
        c.add(c.container(0xA0, {i + 1}));
    }
    c.add(c.container(0xA0, {}));
    EXPECT_NE(readError(c.build()).find("nest deeper"), std::string::npos);
}

TEST(PlistBinary, RefusesExponentialExpansion) {
    // Each array holds the next one twice: 2^levels leaves from a few hundred bytes.
    const auto doubling = [](std::size_t levels) {
        BinaryBuilder b;
        for (std::size_t i = 0; i < levels; ++i) {
            b.add(b.container(0xA0, {i + 1, i + 1}));
        }
        b.add(BinaryBuilder::ascii("boom"));
        return b.build();
    };
    std::string error;
    EXPECT_TRUE(plist::readBinary(doubling(12), plist::kMessageSizeLimit, &error)) << error;
    // A long string shared by many references counts with its length.
    Bytes refs{0xAF, 0x11, 0x40, 0x00}; // 16384 references to object 1
    for (int i = 0; i < 16384; ++i) {
        refs.insert(refs.end(), {0x00, 0x01});
    }
    Bytes text{0x5F, 0x11, 0x01, 0x00}; // a string of 256 bytes
    text.insert(text.end(), 256, 'x');
    BinaryBuilder shared(/*refSize=*/2);
    shared.add(refs);
    shared.add(text);
    EXPECT_NE(readError(shared.build()).find("shared objects expand to more than"),
              std::string::npos);
    EXPECT_NE(readError(doubling(40)).find("shared objects expand to more than 4194304 bytes"),
              std::string::npos);
}

TEST(PlistBinary, WriterRefusesWhatCannotBeRead) {
    std::string error;
    EXPECT_FALSE(plist::writeBinary(Value(std::string("bad \xff")), &error));
    EXPECT_EQ(error, "string at byte 4 is not valid UTF-8");
    Value deep(Array{});
    for (int i = 0; i < 512; ++i) {
        deep = Value(Array{deep});
    }
    EXPECT_FALSE(plist::writeBinary(deep, &error));
    EXPECT_EQ(error, "containers nest deeper than 512 levels");
}

} // namespace

namespace bounds {

// A marker with its count, inline or as a one-, two- or four-byte integer that follows.
Bytes marker(std::uint8_t kind, std::size_t count) {
    if (count < 15) {
        return {static_cast<std::uint8_t>(kind << 4 | count)};
    }
    Bytes bytes{static_cast<std::uint8_t>(kind << 4 | 0xF), 0x12};
    BinaryBuilder::append(bytes, count, 4);
    return bytes;
}

// An object shared `references` times from the innermost of `depth` nested arrays.
Bytes sharedFromDepth(Bytes shared, std::size_t references, std::size_t depth) {
    BinaryBuilder b(/*refSize=*/2);
    b.add(std::move(shared));
    Bytes inner = marker(0xA, references);
    for (std::size_t i = 0; i < references; ++i) {
        BinaryBuilder::append(inner, 0, 2);
    }
    b.add(inner);
    for (std::size_t level = 2; level <= depth; ++level) {
        b.add(b.container(0xA0, {level - 1}));
    }
    return b.build(depth);
}

Bytes data(std::size_t size) {
    Bytes bytes = marker(0x4, size);
    bytes.insert(bytes.end(), size, 0xAB);
    return bytes;
}

Bytes asciiOf(std::size_t size, char c) {
    Bytes bytes = marker(0x5, size);
    bytes.insert(bytes.end(), size, static_cast<std::uint8_t>(c));
    return bytes;
}

} // namespace bounds

TEST(PlistBinary, ObjectCountIsBoundedByTheObjectArea) {
    // One boolean and 100,000 offset-table entries pointing at it: memory would follow the
    // declared count, not the input.
    Bytes file{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x09};
    file.insert(file.end(), 100000, 0x08);
    file.insert(file.end(), 6, 0);
    file.insert(file.end(), {1, 1});
    BinaryBuilder::append(file, 100000, 8);
    BinaryBuilder::append(file, 0, 8);
    BinaryBuilder::append(file, 9, 8);
    EXPECT_EQ(
        readError(file),
        "trailer at offset 0x186a9: 100000 objects do not fit the 1 bytes of the object area");
}

TEST(PlistBinary, ExpansionCountsWhatTheWritersEmit) {
    // Data printed from deep inside nested arrays: every base64 line carries the indentation.
    EXPECT_NE(readError(bounds::sharedFromDepth(bounds::data(16384), 31, 500))
                  .find("shared objects expand to more than"),
              std::string::npos);
    // Control characters print as six-character escapes.
    EXPECT_NE(readError(bounds::sharedFromDepth(bounds::asciiOf(32000, '\x01'), 31, 1))
                  .find("shared objects expand to more than"),
              std::string::npos);

    // Whatever is accepted prints within the limit, in every form.
    for (std::size_t depth : {1, 8, 100, 500}) {
        for (std::size_t references : {1, 8, 31}) {
            for (const Bytes& shared : {bounds::data(4096), bounds::asciiOf(2000, '\x01'),
                                        bounds::asciiOf(2000, '&'), bounds::data(20)}) {
                const Bytes file = bounds::sharedFromDepth(shared, references, depth);
                const std::size_t limit = std::max<std::size_t>(4 << 20, 32 * file.size());
                std::string error;
                const auto value = plist::readBinary(file, plist::kMessageSizeLimit, &error);
                if (!value) {
                    EXPECT_NE(error.find("shared objects expand"), std::string::npos) << error;
                    continue;
                }
                EXPECT_LE(description(*value).size(), limit) << depth << " " << references;
                const auto json = plist::writeJson(*value, nullptr, {.datesAndDataAsText = true});
                EXPECT_LE(json ? json->size() : 0, limit) << depth << " " << references;
                const auto xml = plist::writeXml(*value, nullptr);
                EXPECT_LE(xml ? xml->size() : 0, limit) << depth << " " << references;
            }
        }
    }
}

TEST(PlistBinary, RefusesInputsOverTheCallersLimit) {
    const auto bytes = *plist::writeBinary(Value(Array{Value("a"), Value(2)}), nullptr);
    std::string error;
    EXPECT_TRUE(plist::readBinary(bytes, bytes.size(), &error)) << error;
    EXPECT_FALSE(plist::readBinary(bytes, bytes.size() - 1, &error));
    EXPECT_EQ(error, "property list of " + std::to_string(bytes.size()) +
                         " bytes is larger than the limit of " + std::to_string(bytes.size() - 1) +
                         " bytes");
}
