// The kbeplist tool, run as a program.

#include "platform/plist/Plist.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

class Kbeplist : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kbeplist-XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(folder_); }

    Outcome run(const std::string& arguments) {
        const fs::path out = folder_ / "stdout", err = folder_ / "stderr";
        const int raw = std::system(
            (std::string(KBEPLIST) + " " + arguments + " >" + out.string() + " 2>" + err.string())
                .c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    }

    static std::string slurp(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path write(const std::string& name, std::string_view bytes) {
        std::ofstream(folder_ / name, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return folder_ / name;
    }

    fs::path writeBinary(const std::string& name, const Value& value) {
        auto bytes = plist::writeBinary(value, nullptr);
        return write(name, {reinterpret_cast<const char*>(bytes->data()), bytes->size()});
    }

    fs::path folder_;
};

TEST_F(Kbeplist, PrintsTheOldStyleText) {
    const auto file = writeBinary(
        "s.plist",
        Value(Dictionary{{"Backups", true}, {"Name", "a b"}, {"List", Array{Value(1)}}}));
    const Outcome o = run(file.string());
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out,
              "{\n    Backups = 1;\n    List = (\n        1\n    );\n    Name = \"a b\";\n}\n");
}

TEST_F(Kbeplist, ConvertsBetweenForms) {
    const Value value(Dictionary{{"n", 5}, {"s", "Grüße"}, {"a", Array{Value(1.5), Value(false)}}});
    const auto binary = writeBinary("v.plist", value);
    const auto xml = folder_ / "v.xml";
    const auto json = folder_ / "v.json";
    const auto back = folder_ / "back.plist";
    ASSERT_EQ(run("-convert xml1 -o " + xml.string() + " " + binary.string()).status, 0);
    EXPECT_EQ(slurp(xml), *plist::writeXml(value, nullptr));
    ASSERT_EQ(run("-convert json -o " + json.string() + " " + xml.string()).status, 0);
    EXPECT_EQ(slurp(json), *plist::writeJson(value, nullptr) + "\n");
    ASSERT_EQ(run("-convert binary1 -o " + back.string() + " " + json.string()).status, 0);
    EXPECT_EQ(slurp(back), slurp(binary));
    // Without -o the result goes to standard output.
    EXPECT_EQ(run("-convert xml1 " + binary.string()).out, slurp(xml));
}

TEST_F(Kbeplist, JsonTakesDatesAndDataOnlyAsText) {
    const auto file = writeBinary("d.plist", Value(Dictionary{{"d", Date{0}}, {"x", Data{1}}}));
    const Outcome refused = run("-convert json " + file.string());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, file.string() + ": cannot convert to json: JSON cannot hold date\n");
    const Outcome text = run("-convert json -json-text " + file.string());
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "{\n  \"d\": \"2001-01-01T00:00:00Z\",\n  \"x\": \"AQ==\"\n}\n");
}

TEST_F(Kbeplist, LintReportsTheReadersText) {
    const auto good = writeBinary("good.plist", Value(1));
    const auto bad = write("bad.plist", "<plist><integer>x</integer></plist>");
    const Outcome o = run("-lint " + good.string() + " " + bad.string());
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, good.string() + ": OK\n");
    EXPECT_EQ(o.err, bad.string() + ": line 1: <integer> \"x\" is not an integer in the signed "
                                    "64-bit range\n");
    EXPECT_EQ(run("-lint " + good.string()).status, 0);
    EXPECT_EQ(run("-lint " + (folder_ / "missing").string()).err,
              (folder_ / "missing").string() + ": cannot open for reading\n");
}

TEST_F(Kbeplist, StandardStreamsAndAnOutputFileReplacedWhole) {
    const Value value(Dictionary{{"k", "v"}});
    const auto binary = writeBinary("in.plist", value);
    const Outcome piped = run("-convert xml1 - <" + binary.string());
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, *plist::writeXml(value, nullptr));

    // An output that is a symbolic link is replaced by the new file; its target is kept.
    const auto target = write("target", "keep me");
    const auto out = folder_ / "out.xml";
    fs::create_symlink(target, out);
    ASSERT_EQ(run("-convert xml1 -o " + out.string() + " " + binary.string()).status, 0);
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_EQ(slurp(out), *plist::writeXml(value, nullptr));
    EXPECT_EQ(slurp(target), "keep me");

    const Outcome nowhere =
        run("-convert xml1 -o " + (folder_ / "no/such/out").string() + " " + binary.string());
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_EQ(nowhere.err, (folder_ / "no/such/out").string() + ": cannot write\n");
}

TEST_F(Kbeplist, BadArgumentsPrintTheUsage) {
    for (const char* arguments : {"", "-lint", "-convert xml2 f", "-convert json -o", "-x f",
                                  "-convert xml1 -json-text f", "a b"}) {
        const Outcome o = run(arguments);
        EXPECT_EQ(o.status, 1) << arguments;
        EXPECT_EQ(o.err.rfind("usage: kbeplist", 0), 0u) << arguments;
    }
}

TEST_F(Kbeplist, JsonScalarsReadBack) {
    for (const Value& scalar : {Value("text"), Value(12), Value(-1.5), Value(true)}) {
        const fs::path in = writeBinary("scalar.plist", scalar);
        ASSERT_EQ(run("-convert json -o " + (folder_ / "scalar.json").string() + " " + in.string())
                      .status,
                  0);
        const Outcome back = run("-convert binary1 -o " + (folder_ / "back.plist").string() + " " +
                                 (folder_ / "scalar.json").string());
        ASSERT_EQ(back.status, 0) << back.err;
        const std::string bytes = slurp(folder_ / "back.plist");
        EXPECT_TRUE(plist::readBinary(plist::bytesOf(bytes), plist::kToolSizeLimit, nullptr)
                        ->isIdenticalTo(scalar))
            << description(scalar);
    }
}

TEST_F(Kbeplist, RefusesFilesOverTheSizeLimitUnread) {
    const fs::path file = writeBinary("big.plist", Value(std::string(2000, 'x')));
    const Outcome over = run("-size-limit 1000 -lint " + file.string());
    EXPECT_EQ(over.status, 1);
    EXPECT_EQ(over.err, file.string() + ": property list is larger than the limit of 1000 bytes\n");
    EXPECT_EQ(run("-size-limit 3000 -lint " + file.string()).status, 0);
    // An endless input ends at the limit.
    const Outcome zero = run("-size-limit 1000000 -lint /dev/zero");
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.err, "/dev/zero: property list is larger than the limit of 1000000 bytes\n");
    EXPECT_EQ(run("-size-limit x -lint " + file.string()).status, 1);
    EXPECT_EQ(run("-size-limit").status, 1);
}

} // namespace
