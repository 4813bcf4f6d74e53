// Round trips against independent implementations: Python's plistlib (oracle.py) and
// plistutil (libplist). Values are compared in the typed form that oracle.py describes.

#include "platform/plist/Plist.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

struct Case {
    std::string name;
    Value value;
    // XML carries whole seconds only; cases with fractional dates stay binary.
    bool xml = true;
    // plistlib turns a carriage return into a line feed when it writes XML.
    bool pythonWritesXml = true;
    // plistutil (libplist 2.2) writes a carriage return raw into XML, where readers turn it
    // into a line feed, and writes -0.0 as "0.0".
    bool plistutilWritesXml = true;
};

std::string hexBytes(const std::uint8_t* p, std::size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

Json canonical(const Value& v) {
    switch (v.type()) {
    case plist::Type::String:
        return {"str", *v.asString()};
    case plist::Type::Integer:
        return {"int", std::to_string(*v.asInteger())};
    case plist::Type::Real: {
        const double d = *v.asReal();
        if (std::isnan(d)) {
            return {"real", "nan"};
        }
        std::uint8_t bytes[8];
        const auto bits = std::bit_cast<std::uint64_t>(d);
        for (int i = 0; i < 8; ++i) {
            bytes[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        }
        return {"real", hexBytes(bytes, 8)};
    }
    case plist::Type::Boolean:
        return {"bool", *v.asBoolean()};
    case plist::Type::Date:
        return {"date", std::to_string(std::llround(v.asDate()->secondsSinceReferenceDate * 1e6))};
    case plist::Type::Data:
        return {"data", hexBytes(v.asData()->data(), v.asData()->size())};
    case plist::Type::Array: {
        Json items = Json::array();
        for (const Value& item : *v.asArray()) {
            items.push_back(canonical(item));
        }
        return {"array", items};
    }
    case plist::Type::Dictionary: {
        Json entries = Json::array();
        for (const auto& [key, item] : *v.asDictionary()) {
            entries.push_back({key, canonical(item)});
        }
        return {"dict", entries};
    }
    }
    return nullptr;
}

Value randomValue(std::mt19937_64& rng, int depth) {
    std::uniform_int_distribution<int> kind(0, depth > 0 ? 8 : 6);
    switch (kind(rng)) {
    case 0: {
        static const char* const kWords[] = {"Backups",          "a b", "Grüße", "日本語",
                                             "\xF0\x9F\x92\xBE", "",    "<&>",   "tab\there"};
        return Value(kWords[rng() % std::size(kWords)]);
    }
    case 1:
        return Value(static_cast<std::int64_t>(rng()) >> (rng() % 64));
    case 2:
        return Value(std::ldexp(static_cast<double>(static_cast<std::int32_t>(rng())), -16));
    case 3:
        return Value(rng() % 2 == 0);
    case 4:
        return Value(Date{static_cast<double>(static_cast<std::int32_t>(rng())) * 8});
    case 5: {
        Data data(rng() % 40);
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(rng());
        }
        return Value(data);
    }
    case 6:
        return Value(static_cast<std::int64_t>(rng() % 300));
    case 7: {
        Array items;
        for (std::size_t n = rng() % 6; n > 0; --n) {
            items.push_back(randomValue(rng, depth - 1));
        }
        return Value(items);
    }
    default: {
        Dictionary entries;
        for (std::size_t n = rng() % 6; n > 0; --n) {
            entries.insert_or_assign("k" + std::to_string(rng() % 50), randomValue(rng, depth - 1));
        }
        return Value(entries);
    }
    }
}

std::vector<Case> cases() {
    std::vector<Case> all;
    Array integers;
    for (std::int64_t i :
         {std::int64_t{0}, std::int64_t{1}, std::int64_t{255}, std::int64_t{256},
          std::int64_t{65535}, std::int64_t{65536}, std::int64_t{4294967295},
          std::int64_t{4294967296}, std::int64_t{-1}, std::int64_t{-255},
          std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
        integers.push_back(Value(i));
    }
    all.push_back({"integers", Value(integers)});
    const double inf = std::numeric_limits<double>::infinity();
    all.push_back(
        {"reals", Value(Array{Value(0.0), Value(0.1), Value(1.0), Value(-2.5), Value(1e-300),
                              Value(1.7976931348623157e308), Value(inf), Value(-inf),
                              Value(std::numeric_limits<double>::quiet_NaN())})});
    all.push_back(
        {"strings", Value(Array{Value(""), Value("plain"), Value("Grüße"), Value("日本語テキスト"),
                                Value("emoji \xF0\x9F\x98\x80 outside the BMP"), Value("<&> \"'"),
                                Value("line\nfeed\ttab"), Value(std::string(300, 'x'))})});
    all.push_back({"carriage return", Value("a\rb\r\n"), true, false, false});
    // Alone: with 0.0 in the same list, plistlib's object sharing (by value) would merge them.
    all.push_back({"negative zero", Value(Array{Value(-0.0)}), true, true, false});
    all.push_back({"whole-second dates",
                   Value(Array{Value(Date{0}), Value(Date::fromUnixTime(1796698800)),
                               Value(Date{-3187296000.0}), Value(Date::fromUnixTime(-86400)),
                               Value(Date{-978307200.0})})});
    all.push_back(
        {"fractional dates", Value(Array{Value(Date{-0.5}), Value(Date{123.25})}), false});
    Data bytes300(300);
    for (std::size_t i = 0; i < bytes300.size(); ++i) {
        bytes300[i] = static_cast<std::uint8_t>(i * 7);
    }
    all.push_back({"data", Value(Array{Value(Data{}), Value(Data{0, 1, 255}), Value(bytes300)})});
    all.push_back(
        {"empty containers", Value(Dictionary{{"array", Array{}}, {"dict", Dictionary{}}})});
    Dictionary wide;
    for (int i = 0; i < 20; ++i) {
        wide.insert_or_assign("key " + std::to_string(i), Value(i % 2 == 0));
    }
    wide.insert_or_assign("ключ", Value("значение"));
    all.push_back({"wide dictionary", Value(wide)});
    Array many;
    for (int i = 0; i < 300; ++i) {
        many.push_back(Value("item " + std::to_string(i)));
    }
    all.push_back({"many objects", Value(many)});
    Value deep(Dictionary{{"leaf", 1}});
    for (int i = 0; i < 100; ++i) {
        deep = i % 2 ? Value(Array{deep}) : Value(Dictionary{{"d", deep}});
    }
    all.push_back({"deep nesting", deep});
    for (const Value& scalar : {Value("top"), Value(7), Value(true), Value(Date{86400})}) {
        all.push_back({"scalar " + std::string(typeName(scalar.type())), scalar});
    }
    std::mt19937_64 rng(20261208);
    for (int i = 0; i < 30; ++i) {
        all.push_back({"random " + std::to_string(i), randomValue(rng, 4)});
    }
    return all;
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "plist-oracle-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct CommandResult {
    int status;
    std::string output;
};

CommandResult run(const std::string& command) {
    CommandResult result{-1, {}};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        return result;
    }
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        result.output.append(buffer, n);
    }
    result.status = pclose(pipe);
    return result;
}

std::vector<std::uint8_t> slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string fileName(std::size_t index) {
    return "case" + std::to_string(index);
}

class PlistOracle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(run("command -v python3").status, 0) << "python3 is needed (scripts/setup)";
        ASSERT_EQ(run("command -v plistutil").status, 0) << "plistutil is needed (scripts/setup)";
    }

    // What `value` reads back as from `path`, in canonical form (or the reader's error).
    static Json readBack(const fs::path& path) {
        std::string error;
        auto value = plist::read(slurp(path), plist::kMessageSizeLimit, &error);
        return value ? canonical(*value) : Json("read failed: " + error);
    }

    TempFolder folder_;
    const std::vector<Case> cases_ = cases();
};

TEST_F(PlistOracle, PlistlibReadsWhatWeWrite) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& c = cases_[i];
        const fs::path stem = folder_.path() / fileName(i);
        std::string error;
        auto binary = plist::writeBinary(c.value, &error);
        ASSERT_TRUE(binary) << c.name << ": " << error;
        spit(stem.string() + ".bin",
             {reinterpret_cast<const char*>(binary->data()), binary->size()});
        if (c.xml) {
            auto xml = plist::writeXml(c.value, &error);
            ASSERT_TRUE(xml) << c.name << ": " << error;
            spit(stem.string() + ".xml", *xml);
        }
        spit(stem.string() + ".json", Json{{"value", canonical(c.value)}, {"xml", c.xml}}.dump());
    }
    const CommandResult check = run("python3 " ORACLE_SCRIPT " check " + folder_.path().string());
    EXPECT_EQ(check.status, 0) << check.output;
}

TEST_F(PlistOracle, WeReadWhatPlistlibWrites) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& c = cases_[i];
        spit(folder_.path() / (fileName(i) + ".json"),
             Json{{"value", canonical(c.value)}, {"xml", c.xml && c.pythonWritesXml}}.dump());
    }
    const CommandResult write = run("python3 " ORACLE_SCRIPT " write " + folder_.path().string());
    ASSERT_EQ(write.status, 0) << write.output;
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& c = cases_[i];
        const Json expected = canonical(c.value);
        EXPECT_EQ(readBack(folder_.path() / (fileName(i) + ".py.bin")), expected) << c.name;
        if (c.xml && c.pythonWritesXml) {
            EXPECT_EQ(readBack(folder_.path() / (fileName(i) + ".py.xml")), expected) << c.name;
        }
    }
}

// plistutil rewrites our binary as binary and as XML, and our XML as binary; we read the
// results.
TEST_F(PlistOracle, PlistutilConvertsWhatWeWrite) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& c = cases_[i];
        const Json expected = canonical(c.value);
        const fs::path stem = folder_.path() / fileName(i);
        auto binary = plist::writeBinary(c.value, nullptr);
        ASSERT_TRUE(binary);
        spit(stem.string() + ".bin",
             {reinterpret_cast<const char*>(binary->data()), binary->size()});
        const CommandResult rewritten =
            run("plistutil -f bin -i " + stem.string() + ".bin -o " + stem.string() + ".util2.bin");
        ASSERT_EQ(rewritten.status, 0) << c.name << ": " << rewritten.output;
        EXPECT_EQ(readBack(stem.string() + ".util2.bin"), expected) << c.name;
        if (c.xml) {
            const CommandResult toXml = run("plistutil -f xml -i " + stem.string() + ".bin -o " +
                                            stem.string() + ".util.xml");
            ASSERT_EQ(toXml.status, 0) << c.name << ": " << toXml.output;
            if (c.plistutilWritesXml) {
                EXPECT_EQ(readBack(stem.string() + ".util.xml"), expected) << c.name;
            }

            spit(stem.string() + ".xml", *plist::writeXml(c.value, nullptr));
            const CommandResult toBinary = run("plistutil -f bin -i " + stem.string() + ".xml -o " +
                                               stem.string() + ".util.bin");
            ASSERT_EQ(toBinary.status, 0) << c.name << ": " << toBinary.output;
            EXPECT_EQ(readBack(stem.string() + ".util.bin"), expected) << c.name;
        }
    }
}

} // namespace
