#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <regex>

#include "logging/TTYLogger.h"

namespace quill {
namespace {

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string drain() {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, size_t(n));
        return out;
    }
    int fds[2];
};

auto envOf(std::map<std::string, std::string> vars) {
    return [vars = std::move(vars)](const char* name) -> const char* {
        auto it = vars.find(name);
        return it == vars.end() ? nullptr : it->second.c_str();
    };
}

class SameTextFormatter : public LogFormatter {
  public:
    LogText formatLogMessage(const LogMessage& m) override { return m.logMsg(); }
};
class UpperFormatter : public LogFormatter {
  public:
    LogText formatLogMessage(const LogMessage& m) override { return makeLogText("<" + *m.logMsg() + ">"); }
};

LogMessage message(const std::string& text, int32_t flag = 4, int32_t context = 0,
                   const void* tag = nullptr) {
    return LogMessage(makeLogText(text), 31, flag, context, nullptr, nullptr, 0, tag, 0);
}

TEST(TTYLoggerTest, LineHasHeaderAndOneLineFeed) {
    LogRegistry r;
    Pipe p;
    auto logger = TTYLogger::create(r, p.fds[1], envOf({}), "quillaran", 4242);
    logger->logMessage(message("hello"));
    logger->logMessage(message("already ends\n"));
    std::string out = p.drain();
    std::regex line(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} quillaran\[4242:[0-9a-f]+\] hello\n)"
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} quillaran\[4242:[0-9a-f]+\] already ends\n)");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
    char tid[16];
    std::snprintf(tid, sizeof tid, ":%x] ", static_cast<unsigned>(gettid()));
    EXPECT_NE(out.find(tid), std::string::npos) << "thread number is the Linux thread id in hexadecimal";
}

TEST(TTYLoggerTest, FormattedMeansADifferentTextObject) {
    LogRegistry r;
    Pipe p;
    auto logger = TTYLogger::create(r, p.fds[1], envOf({}), "q", 1);
    logger->setLogFormatter(std::make_shared<SameTextFormatter>());
    (void)logger->logFormatter();
    ASSERT_TRUE(logger->isOnInternalLoggerQueue() == false);
    logger->loggerQueue()->sync([&] { logger->logMessage(message("same")); });
    EXPECT_NE(p.drain().find("q[1:"), std::string::npos);
    logger->setLogFormatter(std::make_shared<UpperFormatter>());
    (void)logger->logFormatter();
    logger->loggerQueue()->sync([&] { logger->logMessage(message("new")); });
    EXPECT_EQ(p.drain(), "<new>\n");
}

TEST(TTYLoggerTest, ColoursOffByDefaultAndDefaultRulesWhenEnabled) {
    LogRegistry r;
    Pipe p;
    auto logger = TTYLogger::create(r, p.fds[1], envOf({{"TERM", "xterm-color"}}), "q", 1);
    EXPECT_EQ(logger->palette().mode, TTYColorMode::Terminal);
    EXPECT_EQ(logger->palette().colors.size(), 16u);
    logger->setColorsEnabled(true);
    EXPECT_TRUE(logger->colorsEnabled());
    auto rules = logger->colorProfiles();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].mask, 1);
    EXPECT_EQ(rules[1].mask, 2);
    EXPECT_EQ(rules[0].fgCode, "\x1b[31m");  // 214,57,30 is nearest to 194,54,33
    logger->loggerQueue()->sync([&] {
        logger->logMessage(message("error", 1));
        logger->logMessage(message("info", 4));
    });
    std::string out = p.drain();
    EXPECT_EQ(out.rfind("\x1b[31m", 0), 0u);
    EXPECT_NE(out.find("error\n\x1b[0m"), std::string::npos);
    EXPECT_NE(out.find("] info\n"), std::string::npos);
    EXPECT_EQ(out.find("info\n\x1b"), std::string::npos);
}

TEST(TTYLoggerTest, ContextRuleWinsAndTagRuleWinsOverFlags) {
    LogRegistry r;
    Pipe p;
    auto logger = TTYLogger::create(r, p.fds[1], envOf({{"TERM", "xterm-256color"}}), "q", 1);
    EXPECT_EQ(logger->palette().colors.size(), 240u);
    int tag = 0;
    logger->setForegroundColor(LogColor::rgb(255, 0, 0), std::nullopt, 4);     // any context
    logger->setForegroundColor(LogColor::rgb(0, 255, 0), std::nullopt, 4, 9);  // context 9
    logger->setForegroundColor(LogColor::rgb(0, 0, 255), std::nullopt, 4);     // replaces the first
    logger->setForegroundColorForTag(LogColor::rgb(255, 255, 255), std::nullopt, &tag);
    logger->setColorsEnabled(true);
    auto rules = logger->colorProfiles();
    ASSERT_EQ(rules.size(), 2u);
    logger->loggerQueue()->sync([&] {
        logger->logMessage(message("ctx9", 4, 9));
        logger->logMessage(message("ctx1", 4, 1));
        logger->logMessage(message("tagged", 4, 9, &tag));
    });
    std::string out = p.drain();
    std::string green = "\x1b" + std::string("[") + rules[1].fgCodeRaw;
    std::string blue = "\x1b" + std::string("[") + rules[0].fgCodeRaw;
    EXPECT_NE(green, blue);
    EXPECT_NE(out.find(green), std::string::npos);
    auto ctx1 = out.find("ctx1");
    EXPECT_NE(out.rfind(blue, ctx1), std::string::npos);
    EXPECT_NE(out.find("38;5;231m"), std::string::npos) << "white tag rule";

    // Clearing a flag clears the rule the flag setter stored.
    logger->clearColorsForFlag(4);
    EXPECT_EQ(logger->colorProfiles().size(), 1u);
    EXPECT_EQ(logger->colorProfiles()[0].context, 9);
}

TEST(TTYLoggerTest, CalibratedRowsOfThe256ColourPalette) {
    auto palette = TTYPalette::fromEnvironment(envOf({{"TERM", "xterm-256color"}}));
    ASSERT_EQ(palette.colors.size(), 240u);
    struct Row {
        int n, r, g, b;
    };
    const Row rows[] = {{16, 47, 49, 49},    {21, 88, 51, 255},    {46, 27, 254, 30}, {196, 255, 61, 30},
                        {226, 251, 252, 15}, {231, 254, 255, 255}, {232, 52, 53, 53}, {255, 240, 242, 242}};
    for (const Row& row : rows) {
        const LogColor& c = palette.colors[size_t(row.n - 16)];
        EXPECT_EQ(std::lround(c.r * 255), row.r) << "colour " << row.n;
        EXPECT_EQ(std::lround(c.g * 255), row.g) << "colour " << row.n;
        EXPECT_EQ(std::lround(c.b * 255), row.b) << "colour " << row.n;
        EXPECT_EQ(palette.codes_fg[size_t(row.n - 16)], "38;5;" + std::to_string(row.n) + "m");
    }
}

TEST(TTYLoggerTest, TermWithoutColourDisablesEvenXcodeColors) {
    EXPECT_EQ(TTYPalette::fromEnvironment(envOf({{"TERM", "dumb"}, {"XcodeColors", "YES"}})).mode,
              TTYColorMode::None);
    EXPECT_EQ(TTYPalette::fromEnvironment(envOf({{"XcodeColors", "YES"}})).mode, TTYColorMode::XcodeColors);
    EXPECT_EQ(TTYPalette::fromEnvironment(envOf({{"XcodeColors", "yes"}})).mode, TTYColorMode::None);
    auto p = TTYLoggerColorProfile::make(LogColor::rgb(1, 2, 3), LogColor::rgb(4, 5, 6), 1, 0,
                                         TTYPalette::fromEnvironment(envOf({{"XcodeColors", "YES"}})));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->fgCode, "\x1b[fg1,2,3;");
    EXPECT_EQ(p->bgCode, "\x1b[bg4,5,6;");
    EXPECT_EQ(p->resetCode, "\x1b[;");
}

}  // namespace
}  // namespace quill
