// Control lines: what each decodes to and the exact error text after
// "Orden de calidad: ".

#include <gtest/gtest.h>

#include "zentcap/command.h"
#include "zentcap/utf8.h"

namespace zentcap {
namespace {

using Kind = ControlAction::Kind;

ControlAction interpret(std::string text) { return interpretLine(Line{std::move(text), false}); }

struct Case {
    std::string line;
    Kind kind;
    std::string error = {};
};

class ControlLines : public testing::TestWithParam<Case> {};

TEST_P(ControlLines, AreClassified) {
    const auto& c = GetParam();
    auto action = interpret(c.line);
    EXPECT_EQ(action.kind, c.kind) << c.line;
    if (c.kind == Kind::failure && !c.error.empty()) {
        EXPECT_EQ(action.error, c.error) << c.line;
    }
}

const std::string kUnknown = "invalid(\"Orden desconocida\")";
const std::string kRange = "invalid(\"fps o bitrate fuera de rango\")";

INSTANTIATE_TEST_SUITE_P(
    Table, ControlLines,
    testing::Values(Case{"", Kind::ignore}, Case{"{\"clave\":true}", Kind::keyRequest},
                    Case{"{\"clave\":true,\"fps\":0}", Kind::keyRequest},
                    Case{"{\"clave\":true,\"fps\":30,\"bitrate\":1}", Kind::keyRequest},
                    Case{"{\"fps\":30,\"bitrate\":4000000}", Kind::qualityChange},
                    Case{"{\"fps\":30,\"bitrate\":4000000,\"clave\":false}", Kind::qualityChange},
                    Case{"{\"fps\":30,\"bitrate\":4000000,\"clave\":null}", Kind::qualityChange},
                    Case{"  {\"fps\" : 1 , \"bitrate\" : 100000, \"otra\": [1, {\"x\": null}]}  ", Kind::qualityChange},
                    Case{"{\"fps\":120,\"bitrate\":150000000}", Kind::qualityChange},
                    Case{"{\"clave\":false}", Kind::failure, kUnknown}, Case{"{\"fps\":30}", Kind::failure, kUnknown},
                    Case{"{}", Kind::failure, kUnknown}, Case{"{\"fps\":null,\"bitrate\":4000000}", Kind::failure, kUnknown},
                    Case{"{\"clave\":null}", Kind::failure, kUnknown},
                    Case{"{\"fps\":121,\"bitrate\":1000000}", Kind::failure, kRange},
                    Case{"{\"fps\":0,\"bitrate\":1000000}", Kind::failure, kRange},
                    Case{"{\"fps\":30,\"bitrate\":99999}", Kind::failure, kRange},
                    Case{"{\"fps\":30,\"bitrate\":150000001}", Kind::failure, kRange},
                    Case{"{\"fps\":-9223372036854775808,\"bitrate\":1000000}", Kind::failure, kRange},
                    // Decoder errors: wrong types, not JSON, not an object.
                    Case{"{\"fps\":\"30\",\"bitrate\":1000000}", Kind::failure},
                    // Whole numbers are integers however they are written; fractions
                    // and values beyond 64 bits are not.
                    Case{"{\"fps\":30.0,\"bitrate\":4e6}", Kind::qualityChange},
                    Case{"{\"fps\":3E1,\"bitrate\":1000000.000}", Kind::qualityChange},
                    Case{"{\"fps\":-0.0,\"bitrate\":1000000}", Kind::failure, kRange},
                    Case{"{\"fps\":30,\"bitrate\":1e300}", Kind::failure},
                    Case{"{\"fps\":30.5,\"bitrate\":1000000}", Kind::failure},
                    Case{"{\"fps\":30,\"bitrate\":4000000.5}", Kind::failure},
                    Case{"{\"fps\":30,\"bitrate\":9.3e18}", Kind::failure},
                    Case{"{\"fps\":-1e19,\"bitrate\":1000000}", Kind::failure},
                    Case{"{\"fps\":30,\"bitrate\":18446744073709551615}", Kind::failure},
                    Case{"{\"clave\":1}", Kind::failure}, Case{"{\"clave\":\"true\"}", Kind::failure},
                    Case{"{\"clave\":true", Kind::failure}, Case{"clave", Kind::failure}, Case{"[]", Kind::failure},
                    Case{"30", Kind::failure}, Case{"null", Kind::failure}, Case{" ", Kind::failure},
                    Case{"{\"clave\":true} {}", Kind::failure}, Case{"{\"clave\":\"\xff\"}", Kind::failure}));

TEST(ControlLine, DecoderErrorsUseTheJsonLibraryText) {
    EXPECT_EQ(interpret("{\"fps\":\"30\",\"bitrate\":1000000}").error,
              "[json.exception.type_error.302] type must be integer, but is string");
    EXPECT_EQ(interpret("{\"clave\":1}").error, "[json.exception.type_error.302] type must be boolean, but is number");
    EXPECT_EQ(interpret("[]").error, "[json.exception.type_error.302] type must be object, but is array");
    EXPECT_EQ(interpret("no").error.rfind("[json.exception.parse_error.101]", 0), 0u) << interpret("no").error;
}

TEST(ControlLine, NumbersThatAreNotIntegersAreDecoderErrors) {
    EXPECT_EQ(interpret("{\"fps\":30.5,\"bitrate\":1000000}").error,
              "[json.exception.type_error.302] type must be integer, but is number");
    EXPECT_EQ(interpret("{\"fps\":30,\"bitrate\":1e300}").error,
              "[json.exception.out_of_range.406] number 1e+300 is out of the signed 64-bit range");
    EXPECT_EQ(interpret("{\"fps\":30,\"bitrate\":9223372036854775808}").error,
              "[json.exception.out_of_range.406] number 9223372036854775808 is out of the signed 64-bit range");
}

TEST(ControlLine, WholeNumbersInAnyNotationCarryTheirValues) {
    for (const char* line : {"{\"fps\":30.0,\"bitrate\":4e6}", "{\"fps\":3e1,\"bitrate\":4000000.0}",
                             "{\"fps\":300e-1,\"bitrate\":0.4e7}"}) {
        auto action = interpret(line);
        ASSERT_EQ(action.kind, Kind::qualityChange) << line;
        EXPECT_EQ(action.quality.fps, 30) << line;
        EXPECT_EQ(action.quality.bitrate, 4000000) << line;
    }
}

// The error text goes to the host inside a UTF-8 line, whatever bytes the line held.
TEST(ControlLine, DecoderErrorsAboutInvalidBytesAreValidUtf8) {
    for (std::string line : {std::string("\xff\xfe"), std::string("{\"clave\":tru\xc3"), std::string("\xc0\x80"),
                             std::string("{\"fps\":\xed\xa0\x80}"), std::string("\xf4\x90\x80\x80")}) {
        auto action = interpret(line);
        ASSERT_EQ(action.kind, Kind::failure);
        EXPECT_EQ(validUtf8(action.error), action.error) << action.error;
        EXPECT_NE(action.error.find("\xEF\xBF\xBD"), std::string::npos) << action.error;
    }
}

TEST(Utf8, ReplacesEachBadByteAndKeepsWellFormedText) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(validUtf8("fps o bitrate: añade € y 𝄞"), "fps o bitrate: añade € y 𝄞");
    EXPECT_EQ(validUtf8("a\xff" "b"), "a" + r + "b");
    EXPECT_EQ(validUtf8("\xc3"), r);                         // cut short
    EXPECT_EQ(validUtf8("\xc0\xaf"), r + r);                  // overlong
    EXPECT_EQ(validUtf8("\xed\xa0\x80"), r + r + r);          // a surrogate
    EXPECT_EQ(validUtf8("\xf4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(validUtf8("\x80\xe2\x82\xac"), r + "€");
}

TEST(ControlLine, QualityChangeCarriesTheValues) {
    auto action = interpret("{\"bitrate\":4000000,\"fps\":25}");
    ASSERT_EQ(action.kind, Kind::qualityChange);
    EXPECT_EQ(action.quality.fps, 25);
    EXPECT_EQ(action.quality.bitrate, 4000000);
}

TEST(ControlLine, TooLongLineIsRefusedBeforeDecoding) {
    auto action = interpretLine(Line{"", true});
    EXPECT_EQ(action.kind, Kind::failure);
    EXPECT_EQ(action.error, "invalid(\"Orden demasiado larga\")");
}

}  // namespace
}  // namespace zentcap
