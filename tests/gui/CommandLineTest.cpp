// vintrace's own command line: --help and --version without a display, and the capture to
// open.

#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace vintrace::app {
namespace {

struct InfoCase {
    const char* name;
    std::vector<std::string> args;
    std::optional<int> exitCode;
    const char* outputStart; // what the output starts with ("" for nothing)
    friend void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }
};

class InfoOptionTest : public ::testing::TestWithParam<InfoCase> {};

TEST_P(InfoOptionTest, AnswersOrStarts) {
    const InfoCase& c = GetParam();
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "vintrace");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(AnswerInfoOption(static_cast<int>(argv.size()), argv.data(), out), c.exitCode);
    std::rewind(out);
    std::string text;
    for (int ch; (ch = std::fgetc(out)) != EOF;) {
        text += static_cast<char>(ch);
    }
    std::fclose(out);
    EXPECT_EQ(text.substr(0, std::string(c.outputStart).size()), c.outputStart);
    if (std::string(c.outputStart).empty()) {
        EXPECT_EQ(text, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, InfoOptionTest,
    ::testing::Values(InfoCase{"Nothing", {}, std::nullopt, ""},
                      InfoCase{"File", {"capture.dat"}, std::nullopt, ""},
                      InfoCase{"Version", {"--version"}, 0, "vintrace 1"},
                      InfoCase{"HelpAfterFile", {"capture.dat", "--help"}, 0, "Usage: vintrace"},
                      InfoCase{"ShortHelp", {"-h"}, 0, "Usage: vintrace"},
                      InfoCase{"FileNamedLikeOption", {"--", "--version"}, std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartupCase {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> file;
    const char* error; // "" for none
    friend void PrintTo(const StartupCase& c, std::ostream* os) { *os << c.name; }
};

class StartupArgumentsTest : public ::testing::TestWithParam<StartupCase> {};

TEST_P(StartupArgumentsTest, TakesOneFile) {
    const StartupCase& c = GetParam();
    const StartupArguments got = ParseStartupArguments(c.args);
    EXPECT_EQ(got.error, c.error);
    if (got.error.empty()) {
        EXPECT_EQ(got.file, c.file);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StartupArgumentsTest,
    ::testing::Values(StartupCase{"None", {}, std::nullopt, ""},
                      StartupCase{"OneFile", {"dir/capture.dat"}, "dir/capture.dat", ""},
                      StartupCase{"Dash", {"-"}, "-", ""},
                      StartupCase{"AfterDoubleDash", {"--", "-odd.dat"}, "-odd.dat", ""},
                      StartupCase{"UnknownOption",
                                  {"--frobnicate"},
                                  std::nullopt,
                                  "unknown option: --frobnicate"},
                      StartupCase{"TwoFiles",
                                  {"a.dat", "b.dat"},
                                  std::nullopt,
                                  "one capture file only: a.dat and b.dat"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vintrace::app
