// The command line the host starts the streamer with: which lines stream, which get
// the usage text (status 2) and which the parameter message (status 2).

#include <gtest/gtest.h>

#include "zentcap/command_line.h"

namespace zentcap {
namespace {

using Kind = CommandLine::Kind;

struct Case {
    std::vector<std::string> args;
    Kind expected;
};

class CommandLineTable : public testing::TestWithParam<Case> {};

TEST_P(CommandLineTable, ClassifiesTheLine) {
    const auto& c = GetParam();
    EXPECT_EQ(parseCommandLine(c.args).kind, c.expected) << testing::PrintToString(c.args);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineTable,
    testing::Values(
        Case{{"1", "1920", "1080", "30", "8000000", "0"}, Kind::stream},
        Case{{"--permiso"}, Kind::permissionQuery},
        // Argument counts.
        Case{{}, Kind::usageError}, Case{{"1", "1920", "1080", "30", "8000000"}, Kind::usageError},
        Case{{"1", "1920", "1080", "30", "8000000", "0", "x"}, Kind::usageError},
        Case{{"--permiso", "1"}, Kind::usageError}, Case{{"--otro"}, Kind::usageError},
        // Sizes: bounds inclusive, even only; size faults are usage errors.
        Case{{"1", "8192", "2", "30", "8000000", "0"}, Kind::stream},
        Case{{"1", "8193", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "0", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1281", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920", "8194", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "-2", "1080", "30", "8000000", "0"}, Kind::usageError},
        // drawMouse is exactly "0" or "1".
        Case{{"1", "1920", "1080", "30", "8000000", "1"}, Kind::stream},
        Case{{"1", "1920", "1080", "30", "8000000", "2"}, Kind::usageError},
        Case{{"1", "1920", "1080", "30", "8000000", "true"}, Kind::usageError},
        Case{{"1", "1920", "1080", "30", "8000000", "01"}, Kind::usageError},
        // Number syntax: sign allowed, nothing else, must fit the type.
        Case{{"+1", "+1920", "1080", "+30", "8000000", "0"}, Kind::stream},
        Case{{" 1", "1920", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920 ", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"4294967295", "1920", "1080", "30", "8000000", "0"}, Kind::stream},
        Case{{"4294967296", "1920", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"-1", "1920", "1080", "30", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920", "1080", "", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920", "1080", "+", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920", "1080", "3e1", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920", "1080", "30", "99999999999999999999", "0"}, Kind::usageError},
        // Ranges of fps and bitrate are parameter errors, checked after every usage check.
        Case{{"1", "1920", "1080", "0", "8000000", "0"}, Kind::parameterError},
        Case{{"1", "1920", "1080", "121", "8000000", "0"}, Kind::parameterError},
        Case{{"1", "1920", "1080", "30", "99999", "0"}, Kind::parameterError},
        Case{{"1", "1920", "1080", "30", "150000001", "0"}, Kind::parameterError},
        Case{{"1", "1920", "1080", "120", "150000000", "0"}, Kind::stream},
        Case{{"1", "1920", "1080", "1", "100000", "0"}, Kind::stream},
        Case{{"1", "1281", "1080", "0", "8000000", "0"}, Kind::usageError},
        Case{{"1", "1920", "1080", "0", "8000000", "2"}, Kind::usageError}));

TEST(CommandLine, StreamParametersCarryTheArguments) {
    auto line = parseCommandLine({"7", "1280", "720", "60", "4000000", "1"});
    ASSERT_EQ(line.kind, Kind::stream);
    EXPECT_EQ(line.parameters.displayID, 7u);
    EXPECT_EQ(line.parameters.width, 1280);
    EXPECT_EQ(line.parameters.height, 720);
    EXPECT_EQ(line.parameters.quality.fps, 60);
    EXPECT_EQ(line.parameters.quality.bitrate, 4000000);
    EXPECT_TRUE(line.parameters.drawMouse);
    EXPECT_FALSE(parseCommandLine({"7", "1280", "720", "60", "4000000", "0"}).parameters.drawMouse);
}

TEST(CommandLine, ParameterErrorCarriesTheHostText) {
    auto line = parseCommandLine({"1", "1920", "1080", "121", "8000000", "0"});
    EXPECT_EQ(line.message, "Parámetros inválidos: invalid(\"fps o bitrate fuera de rango\")\n");
    EXPECT_EQ(kUsageText, "Uso: zentcap displayID width height fps bitrate drawMouse(0|1)\n");
}

TEST(CommandLine, DecimalIntegersFitTheirTypes) {
    EXPECT_EQ(parseSigned64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parseSigned64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(parseSigned64("9223372036854775808"), std::nullopt);
    EXPECT_EQ(parseSigned64("-0"), 0);
    EXPECT_EQ(parseUnsigned32("-0"), 0u);
    EXPECT_EQ(parseSigned64("1-"), std::nullopt);
    EXPECT_EQ(parseSigned64("--1"), std::nullopt);
    EXPECT_EQ(parseSigned64(std::string(500, '9')), std::nullopt);
    EXPECT_EQ(parseSigned64("٣"), std::nullopt);  // digits outside ASCII do not count
}

}  // namespace
}  // namespace zentcap
