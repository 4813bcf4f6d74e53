// kbeplist: prints, converts and checks property-list files.

#include "platform/plist/Plist.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: kbeplist [-size-limit BYTES] FILE\n"
    "       kbeplist [-size-limit BYTES] -lint FILE...\n"
    "       kbeplist [-size-limit BYTES] -convert binary1|xml1|json [-json-text] [-o OUT] FILE\n"
    "\n"
    "Without an option, prints FILE in the old-style text form. -lint checks each FILE and\n"
    "prints the reader's error for a bad one. -convert writes FILE in the named format to\n"
    "OUT (standard output by default); -json-text writes dates and data into JSON as\n"
    "ISO-8601 text and base64. FILE and OUT may be \"-\" for standard input and output.\n"
    "-size-limit refuses files larger than BYTES (default 268435456) without reading them.\n";

// Anything but "-" (standard input) that starts with a dash is an option, not a file.
bool isOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

int usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

// Reads at most `sizeLimit` bytes, and one more to tell that a file is larger.
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::string& path,
                                                       std::size_t sizeLimit, std::string* error) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            *error = "cannot open for reading";
            return std::nullopt;
        }
        in = &file;
    }
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<std::uint8_t> bytes;
    while (*in && bytes.size() <= sizeLimit) {
        const std::size_t at = bytes.size();
        // Grown by doubling, but never past what the limit lets in.
        if (bytes.capacity() < at + kChunk) {
            const std::size_t doubled = std::max(2 * bytes.capacity(), kChunk);
            bytes.reserve(doubled >= sizeLimit ? sizeLimit + 1 : doubled);
        }
        bytes.resize(at + std::min(kChunk, sizeLimit + 1 - at));
        in->read(reinterpret_cast<char*>(bytes.data() + at),
                 static_cast<std::streamsize>(bytes.size() - at));
        bytes.resize(at + static_cast<std::size_t>(in->gcount()));
    }
    if (in->bad()) {
        *error = "cannot read";
        return std::nullopt;
    }
    if (bytes.size() > sizeLimit) {
        *error = plist::sizeLimitError(sizeLimit);
        return std::nullopt;
    }
    return bytes;
}

// Any property list in binary, XML or JSON form; errors say which file.
std::optional<plist::Value> load(const std::string& path, std::size_t sizeLimit) {
    std::string error;
    auto bytes = readWholeFile(path, sizeLimit, &error);
    std::optional<plist::Value> value;
    if (bytes) {
        value = plist::detectFormat(*bytes) == plist::Format::Json
                    ? plist::readJson(*bytes, sizeLimit, &error)
                    : plist::read(*bytes, sizeLimit, &error);
    }
    if (!value) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    }
    return value;
}

bool writeOutput(const std::string& path, std::string_view bytes) {
    if (path == "-") {
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::cout.flush();
        return static_cast<bool>(std::cout);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", path.c_str());
        return false;
    }
    return true;
}

int lint(const std::vector<std::string>& files, std::size_t sizeLimit) {
    int status = 0;
    for (const std::string& file : files) {
        if (load(file, sizeLimit)) {
            std::printf("%s: OK\n", file.c_str());
        } else {
            status = 1;
        }
    }
    return status;
}

int convert(std::string_view format, bool jsonText, const std::string& output,
            const std::string& input, std::size_t sizeLimit) {
    auto value = load(input, sizeLimit);
    if (!value) {
        return 1;
    }
    std::string error;
    std::optional<std::string> text;
    if (format == "binary1") {
        if (auto binary = plist::writeBinary(*value, &error)) {
            text = std::string(binary->begin(), binary->end());
        }
    } else if (format == "xml1") {
        text = plist::writeXml(*value, &error);
    } else {
        text = plist::writeJson(*value, &error, {.datesAndDataAsText = jsonText});
        if (text) {
            *text += '\n';
        }
    }
    if (!text) {
        std::fprintf(stderr, "%s: cannot convert to %.*s: %s\n", input.c_str(),
                     static_cast<int>(format.size()), format.data(), error.c_str());
        return 1;
    }
    return writeOutput(output, *text) ? 0 : 1;
}

// A byte count of decimal digits only.
std::optional<std::size_t> parseSize(const std::string& text) {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t sizeLimit = plist::kToolSizeLimit;
    if (!args.empty() && args[0] == "-size-limit") {
        const auto limit = args.size() > 1 ? parseSize(args[1]) : std::nullopt;
        if (!limit) {
            return usage();
        }
        sizeLimit = *limit;
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return usage();
    }
    if (args[0] == "-lint") {
        if (args.size() < 2) {
            return usage();
        }
        return lint({args.begin() + 1, args.end()}, sizeLimit);
    }
    if (args[0] == "-convert") {
        if (args.size() < 3) {
            return usage();
        }
        const std::string& format = args[1];
        if (format != "binary1" && format != "xml1" && format != "json") {
            return usage();
        }
        bool jsonText = false;
        std::string output = "-";
        std::size_t i = 2;
        for (; i + 1 < args.size(); ++i) {
            if (args[i] == "-json-text" && format == "json") {
                jsonText = true;
            } else if (args[i] == "-o" && i + 2 < args.size()) {
                output = args[++i];
            } else {
                return usage();
            }
        }
        if (i + 1 != args.size() || isOption(args[i])) {
            return usage();
        }
        return convert(format, jsonText, output, args[i], sizeLimit);
    }
    if (args.size() != 1 || isOption(args[0])) {
        return usage();
    }
    auto value = load(args[0], sizeLimit);
    if (!value) {
        return 1;
    }
    std::printf("%s\n", description(*value).c_str());
    return 0;
}
