// The plist codecs against libplist (2.2): parsing and serialising a 1 MiB binary and a
// 1 MiB XML property list of settings-like records.

#include "platform/plist/Plist.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

namespace {

using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

constexpr std::size_t kTargetSize = 1 << 20;

Value record(int i) {
    Data blob(16);
    for (std::size_t k = 0; k < blob.size(); ++k) {
        blob[k] = static_cast<std::uint8_t>(i * 31 + static_cast<int>(k));
    }
    return Value(Dictionary{
        {"Name", "Backup volume " + std::to_string(i)},
        {"Identifier", i},
        {"Size", std::int64_t{1} << (20 + i % 20)},
        {"Ratio", i / 7.0},
        {"Enabled", i % 3 != 0},
        {"Modified", Date{8e8 + i * 3600.0}},
        {"Tags", Array{Value("daily"), Value("tag " + std::to_string(i % 50))}},
        {"Checksum", blob},
    });
}

// Records are added until the file reaches 1 MiB in the given form.
template <typename Encode>
Value valueOfSize(Encode encode) {
    Array records;
    std::size_t perRecord = 0;
    for (int i = 0;; ++i) {
        records.push_back(record(i));
        if (i == 99) {
            perRecord = encode(Value(Dictionary{{"Records", records}})) / 100;
        }
        if (perRecord && records.size() * perRecord >= kTargetSize) {
            return Value(Dictionary{{"Records", records}});
        }
    }
}

const Value& binaryValue() {
    static const Value value =
        valueOfSize([](const Value& v) { return plist::writeBinary(v, nullptr)->size(); });
    return value;
}

const Value& xmlValue() {
    static const Value value =
        valueOfSize([](const Value& v) { return plist::writeXml(v, nullptr)->size(); });
    return value;
}

const std::vector<std::uint8_t>& binaryFile() {
    static const auto bytes = *plist::writeBinary(binaryValue(), nullptr);
    return bytes;
}

const std::string& xmlFile() {
    static const auto text = *plist::writeXml(xmlValue(), nullptr);
    return text;
}

struct LibplistNode {
    plist_t node = nullptr;
    ~LibplistNode() { plist_free(node); }
};

void BM_Binary_Read_Ours(benchmark::State& state) {
    const auto& bytes = binaryFile();
    for (auto _ : state) {
        auto value = plist::readBinary(bytes, plist::kToolSizeLimit, nullptr);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Binary_Read_Libplist(benchmark::State& state) {
    const auto& bytes = binaryFile();
    for (auto _ : state) {
        LibplistNode parsed;
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::uint32_t>(bytes.size()), &parsed.node);
        benchmark::DoNotOptimize(parsed.node);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Binary_Write_Ours(benchmark::State& state) {
    const Value& value = binaryValue();
    for (auto _ : state) {
        auto bytes = plist::writeBinary(value, nullptr);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * binaryFile().size()));
}

void BM_Binary_Write_Libplist(benchmark::State& state) {
    const auto& bytes = binaryFile();
    LibplistNode parsed;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()), &parsed.node);
    for (auto _ : state) {
        char* out = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(parsed.node, &out, &length);
        benchmark::DoNotOptimize(out);
        plist_to_bin_free(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Xml_Read_Ours(benchmark::State& state) {
    const auto& text = xmlFile();
    const auto bytes = plist::bytesOf(text);
    for (auto _ : state) {
        auto value = plist::readXml(bytes, plist::kToolSizeLimit, nullptr);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Xml_Read_Libplist(benchmark::State& state) {
    const auto& text = xmlFile();
    for (auto _ : state) {
        LibplistNode parsed;
        plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &parsed.node);
        benchmark::DoNotOptimize(parsed.node);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Xml_Write_Ours(benchmark::State& state) {
    const Value& value = xmlValue();
    for (auto _ : state) {
        auto text = plist::writeXml(value, nullptr);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xmlFile().size()));
}

void BM_Xml_Write_Libplist(benchmark::State& state) {
    const auto& text = xmlFile();
    LibplistNode parsed;
    plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &parsed.node);
    for (auto _ : state) {
        char* out = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(parsed.node, &out, &length);
        benchmark::DoNotOptimize(out);
        plist_to_xml_free(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_Binary_Read_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Binary_Read_Libplist)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Binary_Write_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Binary_Write_Libplist)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xml_Read_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xml_Read_Libplist)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xml_Write_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xml_Write_Libplist)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
