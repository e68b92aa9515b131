#pragma once
// The console logger: each message becomes one line on standard error, with a header of local time,
// process name, process number and thread number, and optional terminal colours chosen per severity
// flag, per context or per tag. Colours stay off unless switched on.

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "logging/Log.h"

namespace quill {

// A colour as red, green and blue fractions from 0 to 1.
struct LogColor {
    double r = 0, g = 0, b = 0;
    static LogColor rgb(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0}; }
};

enum class TTYColorMode { None, Terminal, XcodeColors };

// The colour mode and palette chosen from the environment ("TERM", "XcodeColors").
struct TTYPalette {
    TTYColorMode mode = TTYColorMode::None;
    std::vector<std::string> codes_fg;
    std::vector<std::string> codes_bg;
    std::vector<LogColor> colors;

    static TTYPalette fromEnvironment(const std::function<const char*(const char*)>& getenv);
    // Index of the nearest palette colour (Euclidean distance over the fractions; the first of equally
    // near entries wins); 0 for an empty palette.
    size_t codeIndexForColor(const LogColor& color) const;
};

class TTYLoggerColorProfile {
  public:
    // Null when a code cannot be built.
    static std::optional<TTYLoggerColorProfile> make(const std::optional<LogColor>& fg,
                                                     const std::optional<LogColor>& bg, int32_t mask,
                                                     int32_t context, const TTYPalette& palette);
    int32_t mask = 0;
    int32_t context = 0;
    uint8_t fg_r = 0, fg_g = 0, fg_b = 0, bg_r = 0, bg_g = 0, bg_b = 0;
    size_t fgCodeIndex = 0, bgCodeIndex = 0;
    std::string fgCodeRaw, bgCodeRaw;
    std::string fgCode, bgCode, resetCode;

    std::string description() const;
};

class TTYLogger : public AbstractLogger {
  public:
    // The process-wide console logger, registered with the process-wide Log.
    static std::shared_ptr<TTYLogger> sharedInstance();

    // For tests: writes to fd, reads the colour mode from getenv, names the process processName.
    static std::shared_ptr<TTYLogger> create(LogRegistry& registry, int fd,
                                             const std::function<const char*(const char*)>& getenv,
                                             std::string processName, int processID);

    void logMessage(const LogMessage& message) override;

    bool colorsEnabled();
    // Switching colours on while no rules exist adds the default rules for flags 1 and 2.
    void setColorsEnabled(bool enabled);
    void setForegroundColor(std::optional<LogColor> fg, std::optional<LogColor> bg, int32_t flag,
                            int32_t context = LOG_CONTEXT_ANY);
    void setForegroundColorForTag(std::optional<LogColor> fg, std::optional<LogColor> bg, const void* tag);
    // Clears the rule that setForegroundColor(fg, bg, flag) made (the any-context one).
    void clearColorsForFlag(int32_t flag) { clearColorsForFlag(flag, LOG_CONTEXT_ANY); }
    void clearColorsForFlag(int32_t flag, int32_t context);
    void clearColorsForTag(const void* tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();

    const TTYPalette& palette() const { return palette_; }
    // The rules by flag and context, in order (read on the logger's queue).
    std::vector<TTYLoggerColorProfile> colorProfiles();

  private:
    TTYLogger(LogRegistry& registry, int fd, const std::function<const char*(const char*)>& getenv,
              std::string processName, int processID);
    void loadDefaultColorProfiles();
    const TTYLoggerColorProfile* profileFor(const LogMessage& message) const;

    int fd_;
    TTYPalette palette_;
    std::string appName_;
    std::string processID_;
    bool colorsEnabled_ = false;
    std::vector<TTYLoggerColorProfile> colorProfilesArray_;
    std::map<const void*, TTYLoggerColorProfile> colorProfilesDict_;
};

}  // namespace quill
