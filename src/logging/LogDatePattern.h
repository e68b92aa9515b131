#pragma once
// Date patterns of the log lines and log file names ("yyyy/MM/dd HH:mm:ss:SSS",
// "yyyy'-'MM'-'dd' 'HH'-'mm'"): the fields yyyy, MM, dd, HH, mm, ss and SSS, text in single quotes ('' is
// one quote), and any other character taken as it stands.
//
// A pattern is compiled once and never changes; format() and matches() keep no state between calls
// (each thread caches its own last broken-down second), so one pattern may serve any number of threads.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

class LogDatePattern {
  public:
    enum class Zone { Local, UTC };

    explicit LogDatePattern(std::string_view pattern, Zone zone = Zone::Local);

    std::string format(std::chrono::system_clock::time_point time) const;
    // Appends the date text to out.
    void appendTo(std::string& out, std::chrono::system_clock::time_point time) const;
    // True when text is one date in this pattern: each field its full count of digits and in range.
    bool matches(std::string_view text) const;

  private:
    enum class Field { Literal, Year, Month, Day, Hour, Minute, Second, Millisecond };
    struct Piece {
        Field field;
        std::string literal;
    };
    std::vector<Piece> pieces_;
    Zone zone_;
};

}  // namespace quill
