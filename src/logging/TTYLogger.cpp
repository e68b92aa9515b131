#include "logging/TTYLogger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace quill {
namespace {

bool containsNoCase(const std::string& hay, const std::string& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(uint8_t(a)) == std::tolower(uint8_t(b));
    });
    return it != hay.end();
}

const char kEscape[] = "\x1b[";

uint8_t component(double fraction) {
    double v = fraction * 255.0;
    if (v <= 0) return 0;
    if (v >= 255) return 255;
    return static_cast<uint8_t>(v);  // truncated toward zero
}

// The calibrated colour of terminal colour n (16..255). Colours 16..231 form a 6x6x6 cube (blue varying
// fastest) over the terminal's steps 0, 95, 135, 175, 215, 255; its eight corners are measured colours and
// the rest is blended between them. Colours 232..255 are a ramp of 24 greys.
LogColor calibrated256(int n) {
    if (n >= 232) {
        int k = n - 232;
        auto ramp = [k](int first, int last) { return int(std::lround(first + k * (last - first) / 23.0)); };
        return LogColor::rgb(ramp(52, 240), ramp(53, 242), ramp(53, 242));
    }
    // Corners indexed by red, green and blue each at step 0 or 5 (bit 2 red, bit 1 green, bit 0 blue).
    static const double kCorners[8][3] = {
        {47, 49, 49},     // 16: black
        {88, 51, 255},    // 21: blue
        {27, 254, 30},    // 46: green
        {45, 254, 254},   // 51: cyan
        {255, 61, 30},    // 196: red
        {255, 68, 254},   // 201: magenta
        {251, 252, 15},   // 226: yellow
        {254, 255, 255},  // 231: white
    };
    static const double kSteps[6] = {0, 95, 135, 175, 215, 255};
    int i = n - 16;
    double r = kSteps[i / 36] / 255.0, g = kSteps[(i / 6) % 6] / 255.0, b = kSteps[i % 6] / 255.0;
    double out[3] = {0, 0, 0};
    for (int corner = 0; corner < 8; ++corner) {
        double weight = ((corner & 4) ? r : 1 - r) * ((corner & 2) ? g : 1 - g) * ((corner & 1) ? b : 1 - b);
        for (int c = 0; c < 3; ++c)
            out[c] += weight * kCorners[corner][c];
    }
    return LogColor::rgb(int(std::lround(out[0])), int(std::lround(out[1])), int(std::lround(out[2])));
}

}  // namespace

TTYPalette TTYPalette::fromEnvironment(const std::function<const char*(const char*)>& getenv) {
    TTYPalette p;
    const char* term = getenv("TERM");
    if (term != nullptr) {
        std::string t = term;
        if (!containsNoCase(t, "color")) return p;
        p.mode = TTYColorMode::Terminal;
        if (containsNoCase(t, "256")) {
            for (int n = 16; n <= 255; ++n) {
                char fg[16], bg[16];
                std::snprintf(fg, sizeof fg, "38;5;%dm", n);
                std::snprintf(bg, sizeof bg, "48;5;%dm", n);
                p.codes_fg.push_back(fg);
                p.codes_bg.push_back(bg);
                p.colors.push_back(calibrated256(n));
            }
        } else {
            static const char* fg[16] = {"30m",   "31m",   "32m",   "33m",   "34m",   "35m",
                                         "36m",   "37m",   "1;30m", "1;31m", "1;32m", "1;33m",
                                         "1;34m", "1;35m", "1;36m", "1;37m"};
            static const char* bg[16] = {"40m",   "41m",   "42m",   "43m",   "44m",   "45m",
                                         "46m",   "47m",   "1;40m", "1;41m", "1;42m", "1;43m",
                                         "1;44m", "1;45m", "1;46m", "1;47m"};
            static const int rgb[16][3] = {{0, 0, 0},       {194, 54, 33},  {37, 188, 36},  {173, 173, 39},
                                           {73, 46, 225},   {211, 56, 211}, {51, 187, 200}, {203, 204, 205},
                                           {129, 131, 131}, {252, 57, 31},  {49, 231, 34},  {234, 236, 35},
                                           {88, 51, 255},   {249, 53, 248}, {20, 240, 240}, {233, 235, 235}};
            for (int i = 0; i < 16; ++i) {
                p.codes_fg.push_back(fg[i]);
                p.codes_bg.push_back(bg[i]);
                p.colors.push_back(LogColor::rgb(rgb[i][0], rgb[i][1], rgb[i][2]));
            }
        }
        return p;
    }
    const char* xcode = getenv("XcodeColors");
    if (xcode != nullptr && std::string(xcode) == "YES") p.mode = TTYColorMode::XcodeColors;
    return p;
}

size_t TTYPalette::codeIndexForColor(const LogColor& c) const {
    double best = 100.0;
    size_t index = 0;
    for (size_t i = 0; i < colors.size(); ++i) {
        double dr = c.r - colors[i].r, dg = c.g - colors[i].g, db = c.b - colors[i].b;
        double d = std::sqrt(dr * dr + dg * dg + db * db);
        if (d < best) {
            best = d;
            index = i;
        }
    }
    return index;
}

std::optional<TTYLoggerColorProfile> TTYLoggerColorProfile::make(const std::optional<LogColor>& fg,
                                                                 const std::optional<LogColor>& bg,
                                                                 int32_t mask, int32_t context,
                                                                 const TTYPalette& palette) {
    TTYLoggerColorProfile p;
    p.mask = mask;
    p.context = context;
    if (fg) {
        p.fg_r = component(fg->r);
        p.fg_g = component(fg->g);
        p.fg_b = component(fg->b);
    }
    if (bg) {
        p.bg_r = component(bg->r);
        p.bg_g = component(bg->g);
        p.bg_b = component(bg->b);
    }
    auto xcodeCode = [](const char* which, unsigned r, unsigned g, unsigned b) {
        char buf[24];
        int n = std::snprintf(buf, sizeof buf, "%s%s%u,%u,%u;", kEscape, which, r, g, b);
        return std::string(buf, size_t(std::min(n, 23)));
    };
    switch (palette.mode) {
        case TTYColorMode::Terminal:
            if (fg) {
                p.fgCodeIndex = palette.codeIndexForColor(*fg);
                if (p.fgCodeIndex >= palette.codes_fg.size()) return std::nullopt;
                p.fgCodeRaw = palette.codes_fg[p.fgCodeIndex];
                p.fgCode = kEscape + p.fgCodeRaw;
            }
            if (bg) {
                p.bgCodeIndex = palette.codeIndexForColor(*bg);
                if (p.bgCodeIndex >= palette.codes_bg.size()) return std::nullopt;
                p.bgCodeRaw = palette.codes_bg[p.bgCodeIndex];
                p.bgCode = kEscape + p.bgCodeRaw;
            }
            p.resetCode = "\x1b[0m";
            break;
        case TTYColorMode::XcodeColors:
            if (fg) p.fgCode = xcodeCode("fg", p.fg_r, p.fg_g, p.fg_b);
            if (bg) p.bgCode = xcodeCode("bg", p.bg_r, p.bg_g, p.bg_b);
            p.resetCode = "\x1b[;";
            break;
        case TTYColorMode::None:
            break;
    }
    return p;
}

std::string TTYLoggerColorProfile::description() const {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "<TTYLoggerColorProfile: %p mask:%i ctxt:%i fg:%u,%u,%u bg:%u,%u,%u fgCode:%s bgCode:%s>",
                  static_cast<const void*>(this), mask, context, fg_r, fg_g, fg_b, bg_r, bg_g, bg_b,
                  fgCodeRaw.c_str(), bgCodeRaw.c_str());
    return buf;
}

std::shared_ptr<TTYLogger> TTYLogger::sharedInstance() {
    static std::shared_ptr<TTYLogger> instance = create(
        Log::shared(), STDERR_FILENO, [](const char* name) -> const char* { return std::getenv(name); },
        program_invocation_short_name, static_cast<int>(getpid()));
    return instance;
}

std::shared_ptr<TTYLogger> TTYLogger::create(LogRegistry& registry, int fd,
                                             const std::function<const char*(const char*)>& getenv,
                                             std::string processName, int processID) {
    return std::shared_ptr<TTYLogger>(new TTYLogger(registry, fd, getenv, std::move(processName), processID));
}

TTYLogger::TTYLogger(LogRegistry& registry, int fd, const std::function<const char*(const char*)>& getenv,
                     std::string processName, int processID)
    : AbstractLogger("app.logging.ttyLogger", registry),
      fd_(fd),
      palette_(TTYPalette::fromEnvironment(getenv)),
      appName_(std::move(processName)),
      processID_(std::to_string(processID)) {}

bool TTYLogger::colorsEnabled() {
    bool out = false;
    readSettings([&] { out = colorsEnabled_; });
    return out;
}

void TTYLogger::setColorsEnabled(bool enabled) {
    changeSettings([this, enabled] {
        colorsEnabled_ = enabled;
        if (colorProfilesArray_.empty()) loadDefaultColorProfiles();
    });
}

void TTYLogger::loadDefaultColorProfiles() {
    if (auto p = TTYLoggerColorProfile::make(LogColor::rgb(214, 57, 30), std::nullopt, LOG_FLAG_ERROR,
                                             LOG_CONTEXT_ANY, palette_))
        colorProfilesArray_.push_back(*p);
    if (auto p = TTYLoggerColorProfile::make(LogColor::rgb(204, 121, 32), std::nullopt, LOG_FLAG_WARN,
                                             LOG_CONTEXT_ANY, palette_))
        colorProfilesArray_.push_back(*p);
}

void TTYLogger::setForegroundColor(std::optional<LogColor> fg, std::optional<LogColor> bg, int32_t flag,
                                   int32_t context) {
    changeSettings([this, fg, bg, flag, context] {
        auto p = TTYLoggerColorProfile::make(fg, bg, flag, context, palette_);
        if (!p) return;
        for (auto& existing : colorProfilesArray_) {
            if (existing.mask == flag && existing.context == context) {
                existing = *p;
                return;
            }
        }
        colorProfilesArray_.push_back(*p);
    });
}

void TTYLogger::setForegroundColorForTag(std::optional<LogColor> fg, std::optional<LogColor> bg,
                                         const void* tag) {
    changeSettings([this, fg, bg, tag] {
        auto p = TTYLoggerColorProfile::make(fg, bg, 0, 0, palette_);
        if (p) colorProfilesDict_.insert_or_assign(tag, *p);
    });
}

void TTYLogger::clearColorsForFlag(int32_t flag, int32_t context) {
    changeSettings([this, flag, context] {
        for (auto it = colorProfilesArray_.begin(); it != colorProfilesArray_.end(); ++it) {
            if (it->mask == flag && it->context == context) {
                colorProfilesArray_.erase(it);
                return;
            }
        }
    });
}

void TTYLogger::clearColorsForTag(const void* tag) {
    changeSettings([this, tag] { colorProfilesDict_.erase(tag); });
}
void TTYLogger::clearColorsForAllFlags() {
    changeSettings([this] { colorProfilesArray_.clear(); });
}
void TTYLogger::clearColorsForAllTags() {
    changeSettings([this] { colorProfilesDict_.clear(); });
}
void TTYLogger::clearAllColors() {
    changeSettings([this] {
        colorProfilesArray_.clear();
        colorProfilesDict_.clear();
    });
}

std::vector<TTYLoggerColorProfile> TTYLogger::colorProfiles() {
    std::vector<TTYLoggerColorProfile> out;
    readSettings([&] { out = colorProfilesArray_; });
    return out;
}

const TTYLoggerColorProfile* TTYLogger::profileFor(const LogMessage& message) const {
    if (!colorsEnabled_) return nullptr;
    if (message.tag() != nullptr) {
        auto it = colorProfilesDict_.find(message.tag());
        if (it != colorProfilesDict_.end()) return &it->second;
    }
    const TTYLoggerColorProfile* anyContext = nullptr;
    for (const auto& p : colorProfilesArray_) {
        if ((p.mask & message.logFlag()) == 0) continue;
        if (p.context == message.logContext()) return &p;
        if (p.context == LOG_CONTEXT_ANY) anyContext = &p;
    }
    return anyContext;
}

void TTYLogger::logMessage(const LogMessage& message) {
    LogText text = textOf(message);
    if (!text) return;
    bool formatted = text != message.logMsg();
    const TTYLoggerColorProfile* profile = profileFor(message);
    static const std::string empty;
    const std::string& fg = profile ? profile->fgCode : empty;
    const std::string& bg = profile ? profile->bgCode : empty;
    const std::string& reset = profile ? profile->resetCode : empty;
    const std::string& t = *text;
    bool needsNewline = t.empty() || t.back() != '\n';
    static const char newline = '\n';

    auto piece = [](const void* p, size_t n) { return iovec{const_cast<void*>(p), n}; };
    if (formatted) {
        iovec v[5] = {piece(fg.data(), fg.size()), piece(bg.data(), bg.size()), piece(t.data(), t.size()),
                      piece(&newline, needsNewline ? 1 : 0), piece(reset.data(), reset.size())};
        ssize_t ignored = ::writev(fd_, v, 5);
        (void)ignored;
        return;
    }
    auto since = message.timestamp().time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    int millis =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(since - secs).count());
    time_t tt = static_cast<time_t>(secs.count());
    struct tm tm;
    localtime_r(&tt, &tm);
    char ts[24];
    int tsLen = std::snprintf(ts, sizeof ts, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                              long(tm.tm_year + 1900), long(tm.tm_mon + 1), long(tm.tm_mday),
                              long(tm.tm_hour), long(tm.tm_min), long(tm.tm_sec), millis);
    tsLen = std::min(tsLen, 23);
    char tid[9];
    int tidLen = std::snprintf(tid, sizeof tid, "%x", message.machThreadID());
    tidLen = std::min(tidLen, 8);
    iovec v[13] = {piece(fg.data(), fg.size()),
                   piece(bg.data(), bg.size()),
                   piece(ts, size_t(tsLen)),
                   piece(" ", 1),
                   piece(appName_.data(), appName_.size()),
                   piece("[", 1),
                   piece(processID_.data(), processID_.size()),
                   piece(":", 1),
                   piece(tid, size_t(tidLen)),
                   piece("] ", 2),
                   piece(t.data(), t.size()),
                   piece(&newline, needsNewline ? 1 : 0),
                   piece(reset.data(), reset.size())};
    ssize_t ignored = ::writev(fd_, v, 13);
    (void)ignored;
}

}  // namespace quill
