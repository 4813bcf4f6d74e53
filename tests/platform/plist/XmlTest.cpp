#include "platform/plist/Plist.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>

namespace {

using plist::Array;
using plist::Data;
using plist::Date;
using plist::Dictionary;
using plist::Value;

std::string readError(std::string_view xml) {
    std::string error;
    auto value = plist::readXml(plist::bytesOf(xml), plist::kMessageSizeLimit, &error);
    EXPECT_FALSE(value) << description(*value);
    return error;
}

std::optional<Value> read(std::string_view xml) {
    std::string error;
    auto value = plist::readXml(plist::bytesOf(xml), plist::kMessageSizeLimit, &error);
    EXPECT_TRUE(value) << error;
    return value;
}

constexpr std::string_view kProlog = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                     "<plist version=\"1.0\">\n";

TEST(PlistXml, WritesThePlatformLayout) {
    Data data(60);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    const Value value(Dictionary{
        {"a", 1},
        {"b", true},
        {"c", 1.5},
        {"d", Data(data.begin(), data.begin() + 55)},
        {"e", Array{}},
        {"f", Dictionary{}},
        {"g", "x<&>\xC3\xA9\r"},
        {"h", Date::fromUnixTime(1796698800.75)},
        {"i", Array{Value(Dictionary{{"x", data}}), Value(false)}},
        {"j", 1.0},
        {"k", -std::numeric_limits<double>::infinity()},
        {"l", -5},
        {"m", ""},
        {"n", Data{}},
    });
    auto xml = plist::writeXml(value, nullptr);
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, std::string(kProlog) + R"(<dict>
	<key>a</key>
	<integer>1</integer>
	<key>b</key>
	<true/>
	<key>c</key>
	<real>1.5</real>
	<key>d</key>
	<data>
	AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEy
	MzQ1Ng==
	</data>
	<key>e</key>
	<array/>
	<key>f</key>
	<dict/>
	<key>g</key>
	<string>x&lt;&amp;&gt;é&#13;</string>
	<key>h</key>
	<date>2026-12-08T03:00:00Z</date>
	<key>i</key>
	<array>
		<dict>
			<key>x</key>
			<data>
			AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUm
			JygpKissLS4vMDEyMzQ1Njc4OTo7
			</data>
		</dict>
		<false/>
	</array>
	<key>j</key>
	<real>1</real>
	<key>k</key>
	<real>-infinity</real>
	<key>l</key>
	<integer>-5</integer>
	<key>m</key>
	<string></string>
	<key>n</key>
	<data>
	</data>
</dict>
</plist>
)");
    EXPECT_EQ(*plist::writeXml(Value("top"), nullptr),
              std::string(kProlog) + "<string>top</string>\n</plist>\n");
}

TEST(PlistXml, RoundTripsEveryKind) {
    const Value value(Dictionary{
        {"unicode", "Grüße \xF0\x9F\x98\x80 \r\n\t end "},
        {"   ", "   "},
        {"numbers", Array{Value(std::numeric_limits<std::int64_t>::min()),
                          Value(std::numeric_limits<std::int64_t>::max()), Value(0.1),
                          Value(-2.5e-300), Value(std::numeric_limits<double>::infinity())}},
        {"dates", Array{Value(Date{0}), Value(Date{-3187296000.0}), Value(Date{252423993599.0})}},
        {"data", Data{0, 1, 2, 253, 254, 255}},
        {"nested", Array{Value(Array{Value(Dictionary{{"k", Array{}}})})}},
    });
    std::string error;
    auto xml = plist::writeXml(value, &error);
    ASSERT_TRUE(xml) << error;
    auto back = read(*xml);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isIdenticalTo(value)) << description(*back);
}

TEST(PlistXml, ReadsWhatOtherWritersProduce) {
    auto value = read(R"(<?xml version="1.0"?>
<!-- a comment -->
<plist version="1.0"><dict>
  <key>hex</key><integer> 0x1F </integer>
  <key>neg</key><integer>-9223372036854775808</integer>
  <key>inf</key><real>+infinity</real>
  <key>exp</key><real>1e3</real>
  <key>cdata</key><string><![CDATA[a<b]]> &amp; &#x263A;</string>
  <key>data</key><data>
      AAEC
      /w==
  </data>
  <key>empty</key><array></array>
  <key>t</key><true></true>
</dict></plist>)");
    ASSERT_TRUE(value);
    EXPECT_TRUE(value->isIdenticalTo(Value(Dictionary{
        {"hex", 31},
        {"neg", std::numeric_limits<std::int64_t>::min()},
        {"inf", std::numeric_limits<double>::infinity()},
        {"exp", 1000.0},
        {"cdata", "a<b & \xE2\x98\xBA"},
        {"data", Data{0, 1, 2, 255}},
        {"empty", Array{}},
        {"t", true},
    })));
    // A bare value without the <plist> wrapper.
    EXPECT_TRUE(read("<string>bare</string>")->isIdenticalTo(Value("bare")));
}

TEST(PlistXml, RefusesBadDocumentsWithLineAndReason) {
    EXPECT_EQ(readError("<plist><dict>\n<key>a</key>\n<integer>12x</integer>\n</dict></plist>"),
              "line 3: <integer> \"12x\" is not an integer in the signed 64-bit range");
    EXPECT_EQ(readError("<plist><integer>9223372036854775808</integer></plist>"),
              "line 1: <integer> \"9223372036854775808\" is not an integer in the signed 64-bit "
              "range");
    EXPECT_EQ(readError("<plist><dict><key>a</key><true/>\n<key>a</key><false/></dict></plist>"),
              "line 2: duplicate key \"a\"");
    EXPECT_EQ(readError("<plist><dict><key>a</key></dict></plist>"),
              "line 1: key \"a\" has no value");
    EXPECT_EQ(readError("<plist><dict><string>a</string></dict></plist>"),
              "line 1: <string> in <dict> where a <key> belongs");
    EXPECT_EQ(readError("<plist><date>2026-02-29T00:00:00Z</date></plist>"),
              "line 1: <date> \"2026-02-29T00:00:00Z\" is not a date like 2026-12-08T03:00:00Z");
    EXPECT_EQ(readError("<plist><data>AB$=</data></plist>"),
              "line 1: <data> \"AB$=\" is not base64");
    EXPECT_EQ(readError("<plist><real>1.5.</real></plist>"),
              "line 1: <real> \"1.5.\" is not a real number");
    EXPECT_EQ(readError("<plist><null/></plist>"), "line 1: unknown element <null>");
    EXPECT_EQ(readError("<plist><array>x</array></plist>"), "line 1: unexpected text in <array>");
    EXPECT_EQ(readError("<plist><true/><false/></plist>"),
              "line 1: <plist> holds more than one value");
    EXPECT_EQ(readError("<plist>\n</plist>"), "line 1: <plist> holds no value");
    EXPECT_EQ(readError("<plist><string>a</plist>").substr(0, 8), "line 1: ");
    EXPECT_EQ(readError(""), "line 1: Document is empty");
}

TEST(PlistXml, RefusesEntitiesAndNeverFetches) {
    EXPECT_EQ(readError(R"(<?xml version="1.0"?>
<!DOCTYPE plist [<!ENTITY big "aaaaaaaaaa">]>
<plist><string>&big;</string></plist>)"),
              "line 3: entity references are not supported");
    // An external entity is neither loaded nor expanded.
    const std::string error = readError(R"(<?xml version="1.0"?>
<!DOCTYPE plist [<!ENTITY ext SYSTEM "file:///etc/hostname">]>
<plist><string>&ext;</string></plist>)");
    EXPECT_EQ(error, "line 3: entity references are not supported");
}

TEST(PlistXml, DeepNestingFailsFastWithLibxml2sLimit) {
    std::string deep = "<plist>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<array>";
    }
    const std::string error = readError(deep);
    EXPECT_NE(error.find("Excessive depth"), std::string::npos) << error;
}

TEST(PlistXml, WriterRefusesWhatXmlCannotCarry) {
    std::string error;
    EXPECT_FALSE(plist::writeXml(Value("bell \x07"), &error));
    EXPECT_EQ(error, "string holds control character 7, which XML cannot carry");
    EXPECT_FALSE(plist::writeXml(Value("\xEF\xBF\xBF"), &error));
    EXPECT_EQ(error, "string holds U+FFFF, which XML cannot carry");
    EXPECT_FALSE(plist::writeXml(Value(Dictionary{{"\xC3", 1}}), &error));
    EXPECT_EQ(error, "string at byte 0 is not valid UTF-8");
    EXPECT_FALSE(plist::writeXml(Value(Date{1e300}), &error));
    EXPECT_EQ(error, "date 1e+300 lies outside the years 1 to 9999");
}

TEST(PlistRead, DetectsTheFormat) {
    const Value value(Array{Value("x"), Value(2)});
    plist::Format format;
    std::string error;
    auto binary = plist::writeBinary(value, nullptr);
    EXPECT_TRUE(
        plist::read(*binary, plist::kMessageSizeLimit, &error, &format)->isIdenticalTo(value));
    EXPECT_EQ(format, plist::Format::Binary);
    auto xml = plist::writeXml(value, nullptr);
    EXPECT_TRUE(plist::read(plist::bytesOf(*xml), plist::kMessageSizeLimit, &error, &format)
                    ->isIdenticalTo(value));
    EXPECT_EQ(format, plist::Format::Xml);
}

TEST(PlistXml, RefusesAttributesBeforeLibxml2ParsesThem) {
    std::string many = "<plist>\n<array";
    for (int i = 0; i < 20000; ++i) {
        many += " a" + std::to_string(i) + "=\"x\"";
    }
    EXPECT_EQ(readError(many + "/>\n</plist>"),
              "line 2: <array> has attributes, which property lists do not use");
    EXPECT_EQ(readError("<plist><dict>\n<key k='1'>a</key><true/></dict></plist>"),
              "line 2: <key> has attributes, which property lists do not use");
    EXPECT_EQ(readError("<plist a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' i='9'>"
                        "<true/></plist>"),
              "line 1: <plist> has more than 8 attributes");
    // Markup that only looks like attributes, and the attributes of <plist>.
    EXPECT_TRUE(read(std::string(kProlog) + "<!-- <array a='1'> -->\n<?pi <array a='1'>?>"
                                            "<string><![CDATA[<x a=\"1\">]]></string></plist>")
                    ->isIdenticalTo(Value("<x a=\"1\">")));
    EXPECT_TRUE(read("<!DOCTYPE plist [<!-- it's > here --><!ATTLIST plist v CDATA '>'>]>"
                     "<plist version='1.0' xmlns:x=\"a>b\"><integer>1</integer></plist>")
                    ->isIdenticalTo(Value(1)));
    // In UTF-16 as well.
    const std::string_view text = "<plist><array a='1'/></plist>";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    EXPECT_EQ(readError(utf16), "line 1: <array> has attributes, which property lists do not use");
}

TEST(PlistXml, ReadsUnderflowingRealsAsStrtodDoes) {
    const auto real = [](std::string_view text) {
        auto value = read("<real>" + std::string(text) + "</real>");
        return value ? value->asReal().value_or(-1) : -1;
    };
    EXPECT_EQ(real("1e-400"), 0.0);
    EXPECT_TRUE(std::signbit(real("-1e-400")));
    EXPECT_EQ(real("2.5e-320"), std::strtod("2.5e-320", nullptr));
    EXPECT_GT(real("2.5e-320"), 0.0);
    EXPECT_EQ(readError("<real>1e400</real>"), "line 1: <real> \"1e400\" is not a real number");
}

TEST(PlistRead, EveryReaderRefusesInputsOverTheCallersLimit) {
    const std::string xml = *plist::writeXml(Value(Array{Value("x")}), nullptr);
    const std::string json = "[\"x\"]";
    const auto binary = *plist::writeBinary(Value(Array{Value("x")}), nullptr);
    const auto expected = [](std::size_t size) {
        return "property list of " + std::to_string(size) + " bytes is larger than the limit of " +
               std::to_string(size - 1) + " bytes";
    };
    std::string error;
    EXPECT_TRUE(plist::readXml(plist::bytesOf(xml), xml.size(), &error)) << error;
    EXPECT_FALSE(plist::readXml(plist::bytesOf(xml), xml.size() - 1, &error));
    EXPECT_EQ(error, expected(xml.size()));
    EXPECT_TRUE(plist::readJson(plist::bytesOf(json), json.size(), &error)) << error;
    EXPECT_FALSE(plist::readJson(plist::bytesOf(json), json.size() - 1, &error));
    EXPECT_EQ(error, expected(json.size()));
    EXPECT_FALSE(plist::read(binary, binary.size() - 1, &error));
    EXPECT_EQ(error, expected(binary.size()));
    EXPECT_FALSE(plist::read(plist::bytesOf(xml), xml.size() - 1, &error));
    EXPECT_EQ(error, expected(xml.size()));
}

TEST(PlistRead, DetectsJsonByContent) {
    using plist::Format;
    for (std::string_view json : {"{}", " [1]", "\"text\"", "12", "-1.5", "true", "null"}) {
        EXPECT_EQ(plist::detectFormat(plist::bytesOf(json)), Format::Json) << json;
    }
    for (std::string_view xml : {"<plist/>", "\xEF\xBB\xBF <plist/>", "\xFF\xFE<\0", "", " "}) {
        EXPECT_EQ(plist::detectFormat(plist::bytesOf(xml)), Format::Xml) << xml;
    }
    EXPECT_EQ(plist::detectFormat(*plist::writeBinary(Value(1), nullptr)), Format::Binary);
}

} // namespace
