#include "logging/LogDatePattern.h"

#include <ctime>

namespace quill {
namespace {

// Digits of a field: "yyyy" and "SSS", every other field two.
size_t widthOf(char letter) {
    return letter == 'y' ? 4 : letter == 'S' ? 3 : 2;
}

// The broken-down time of a whole second. Each thread remembers its last answer per zone: log lines come
// many to a second, and localtime_r takes a process-wide lock.
const struct tm& breakDown(time_t seconds, bool utc) {
    struct Cache {
        time_t seconds = -1;
        struct tm tm {};
    };
    thread_local Cache caches[2];
    Cache& cache = caches[utc ? 1 : 0];
    if (cache.seconds != seconds) {
        if (utc) {
            gmtime_r(&seconds, &cache.tm);
        } else {
            localtime_r(&seconds, &cache.tm);
        }
        cache.seconds = seconds;
    }
    return cache.tm;
}

void appendDigits(std::string& out, long value, int width) {
    char buf[8];
    for (int i = width - 1; i >= 0; --i) {
        buf[i] = char('0' + value % 10);
        value /= 10;
    }
    out.append(buf, size_t(width));
}

}  // namespace

LogDatePattern::LogDatePattern(std::string_view pattern, Zone zone) : zone_(zone) {
    auto literal = [this](std::string_view text) {
        if (pieces_.empty() || pieces_.back().field != Field::Literal)
            pieces_.push_back({Field::Literal, {}});
        pieces_.back().literal.append(text);
    };
    for (size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {  // '' outside quotes: one quote
                literal("'");
                i += 2;
                continue;
            }
            std::string text;
            size_t end = i + 1;
            for (; end < pattern.size(); ++end) {
                if (pattern[end] != '\'') {
                    text += pattern[end];
                } else if (end + 1 < pattern.size() && pattern[end + 1] == '\'') {
                    text += '\'';
                    ++end;
                } else {
                    break;
                }
            }
            literal(text);
            i = end + 1;
            continue;
        }
        size_t run = 1;
        while (i + run < pattern.size() && pattern[i + run] == c)
            ++run;
        Field field = Field::Literal;
        switch (c) {
            case 'y':
                field = Field::Year;
                break;
            case 'M':
                field = Field::Month;
                break;
            case 'd':
                field = Field::Day;
                break;
            case 'H':
                field = Field::Hour;
                break;
            case 'm':
                field = Field::Minute;
                break;
            case 's':
                field = Field::Second;
                break;
            case 'S':
                field = Field::Millisecond;
                break;
            default:
                break;
        }
        if (field != Field::Literal && run == widthOf(c)) {
            pieces_.push_back({field, {}});
        } else {
            literal(pattern.substr(i, run));
        }
        i += run;
    }
}

std::string LogDatePattern::format(std::chrono::system_clock::time_point time) const {
    std::string out;
    out.reserve(32);
    appendTo(out, time);
    return out;
}

void LogDatePattern::appendTo(std::string& out, std::chrono::system_clock::time_point time) const {
    using namespace std::chrono;
    auto since = time.time_since_epoch();
    auto secs = floor<seconds>(since);
    long millis = long(duration_cast<milliseconds>(since - secs).count());
    const struct tm& tm = breakDown(time_t(secs.count()), zone_ == Zone::UTC);
    for (const Piece& p : pieces_) {
        switch (p.field) {
            case Field::Literal:
                out += p.literal;
                break;
            case Field::Year:
                appendDigits(out, tm.tm_year + 1900L, 4);
                break;
            case Field::Month:
                appendDigits(out, tm.tm_mon + 1, 2);
                break;
            case Field::Day:
                appendDigits(out, tm.tm_mday, 2);
                break;
            case Field::Hour:
                appendDigits(out, tm.tm_hour, 2);
                break;
            case Field::Minute:
                appendDigits(out, tm.tm_min, 2);
                break;
            case Field::Second:
                appendDigits(out, tm.tm_sec, 2);
                break;
            case Field::Millisecond:
                appendDigits(out, millis, 3);
                break;
        }
    }
}

bool LogDatePattern::matches(std::string_view text) const {
    size_t at = 0;
    for (const Piece& p : pieces_) {
        if (p.field == Field::Literal) {
            if (text.substr(at, p.literal.size()) != p.literal) return false;
            at += p.literal.size();
            continue;
        }
        size_t width = p.field == Field::Year ? 4 : p.field == Field::Millisecond ? 3 : 2;
        if (at + width > text.size()) return false;
        long value = 0;
        for (size_t i = 0; i < width; ++i) {
            char c = text[at + i];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        at += width;
        bool inRange = true;
        switch (p.field) {
            case Field::Month:
                inRange = value >= 1 && value <= 12;
                break;
            case Field::Day:
                inRange = value >= 1 && value <= 31;
                break;
            case Field::Hour:
                inRange = value <= 23;
                break;
            case Field::Minute:
            case Field::Second:
                inRange = value <= 59;
                break;
            default:
                break;
        }
        if (!inRange) return false;
    }
    return at == text.size();
}

}  // namespace quill
