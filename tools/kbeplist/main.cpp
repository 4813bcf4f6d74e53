// kbeplist: prints, converts and checks property-list files.

#include "platform/files/Files.h"
#include "platform/plist/Plist.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <span>
#include <string_view>
#include <unistd.h>
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
    files::Descriptor file;
    if (path != "-") {
        file = files::openFile(path, O_RDONLY);
        if (!file.valid()) {
            *error = "cannot open for reading";
            return std::nullopt;
        }
    }
    files::Error readError;
    auto bytes =
        files::readAll(file.valid() ? file.get() : STDIN_FILENO, sizeLimit, path, &readError);
    if (!bytes) {
        *error = readError.number == EFBIG ? plist::sizeLimitError(sizeLimit) : "cannot read";
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

// Standard output, or OUT replaced atomically (a new OUT is created as tools create files).
bool writeOutput(const std::string& path, std::string_view text) {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    files::ReplaceOptions asATool;
    asATool.modeIfNew = 0666;
    asATool.umaskForNew = true;
    const bool written = path == "-" ? files::writeAll(STDOUT_FILENO, bytes, path)
                                     : files::replaceFile(path, bytes, asATool);
    if (!written) {
        std::fprintf(stderr, "%s: cannot write\n", path.c_str());
    }
    return written;
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
