// The date-string parser: a scanner into tokens and a grammar of whole-text forms over them.
#include "jexlink/core/JexStrToTime.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "jexlink/core/JexThread.h"

namespace {

// ---------------------------------------------------------------- tokens

enum class Kind {
    kSep,      // a run of blanks, tabs and commas
    kNum,      // one, two or four digits
    kTime,     // hh:mm[:ss][.fraction]
    kSpan,     // digits and d, h, m or s
    kChar,     // any other single character
    kWeekday,  // value 0-6, Sunday first
    kMonth,    // value 0-11
    kAm,
    kPm,
    kNow,
    kToday,
    kYesterday,
    kTomorrow,
    kNext,  // "next" and "this"
    kLast,
    kZone,   // value: seconds west of UTC
    kEpoch,  // value: the seconds given
};

struct Token {
    Kind kind;
    int64_t value = 0;  // number, span count, weekday, month, zone or epoch value
    int digits = 0;     // kNum: how many digits
    int hour = 0;       // kTime
    int minute = 0;
    int second = 0;
    char c = 0;  // kChar: the character; kSpan: the unit
};

struct Word {
    const char* text;
    Kind kind;
    int value;
};

constexpr Word kKeywords[] = {
    {"sun", Kind::kWeekday, 0},
    {"sunday", Kind::kWeekday, 0},
    {"mon", Kind::kWeekday, 1},
    {"monday", Kind::kWeekday, 1},
    {"tue", Kind::kWeekday, 2},
    {"tuesday", Kind::kWeekday, 2},
    {"wed", Kind::kWeekday, 3},
    {"wednesday", Kind::kWeekday, 3},
    {"thu", Kind::kWeekday, 4},
    {"thursday", Kind::kWeekday, 4},
    {"fri", Kind::kWeekday, 5},
    {"friday", Kind::kWeekday, 5},
    {"sat", Kind::kWeekday, 6},
    {"saturday", Kind::kWeekday, 6},
    {"jan", Kind::kMonth, 0},
    {"january", Kind::kMonth, 0},
    {"feb", Kind::kMonth, 1},
    {"february", Kind::kMonth, 1},
    {"mar", Kind::kMonth, 2},
    {"march", Kind::kMonth, 2},
    {"apr", Kind::kMonth, 3},
    {"april", Kind::kMonth, 3},
    {"may", Kind::kMonth, 4},
    {"jun", Kind::kMonth, 5},
    {"june", Kind::kMonth, 5},
    {"jul", Kind::kMonth, 6},
    {"july", Kind::kMonth, 6},
    {"aug", Kind::kMonth, 7},
    {"august", Kind::kMonth, 7},
    {"sep", Kind::kMonth, 8},
    {"september", Kind::kMonth, 8},
    {"oct", Kind::kMonth, 9},
    {"october", Kind::kMonth, 9},
    {"nov", Kind::kMonth, 10},
    {"november", Kind::kMonth, 10},
    {"dec", Kind::kMonth, 11},
    {"december", Kind::kMonth, 11},
    {"am", Kind::kAm, 0},
    {"pm", Kind::kPm, 0},
    {"now", Kind::kNow, 0},
    {"today", Kind::kToday, 0},
    {"yesterday", Kind::kYesterday, 0},
    {"tomorrow", Kind::kTomorrow, 0},
    {"next", Kind::kNext, 0},
    {"this", Kind::kNext, 0},
    {"last", Kind::kLast, 0},
};

// Named zones, in minutes west of UTC.
constexpr Word kZones[] = {
    {"nst", Kind::kZone, 210},    {"ast", Kind::kZone, 240},    {"adt", Kind::kZone, 180},
    {"est", Kind::kZone, 300},    {"edt", Kind::kZone, 240},    {"cst", Kind::kZone, 360},
    {"cdt", Kind::kZone, 300},    {"gmt", Kind::kZone, 0},      {"wet", Kind::kZone, 0},
    {"west", Kind::kZone, -60},   {"mst", Kind::kZone, 420},    {"mdt", Kind::kZone, 360},
    {"pst", Kind::kZone, 480},    {"pdt", Kind::kZone, 420},    {"yst", Kind::kZone, 540},
    {"ydt", Kind::kZone, 480},    {"hst", Kind::kZone, 600},    {"hdt", Kind::kZone, 540},
    {"bst", Kind::kZone, -60},    {"met", Kind::kZone, -60},    {"mest", Kind::kZone, -120},
    {"eet", Kind::kZone, -120},   {"eest", Kind::kZone, -180},  {"jst", Kind::kZone, -540},
    {"aest", Kind::kZone, -600},  {"aesst", Kind::kZone, -660}, {"acst", Kind::kZone, -570},
    {"acsst", Kind::kZone, -630}, {"awst", Kind::kZone, -480},
};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWordByte(char c) { return (c >= 'a' && c <= 'z') || static_cast<unsigned char>(c) >= 0x80; }
bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct LocaleWord {
    std::string text;
    Kind kind;
    int value;
};

// The current locale's weekday and month names (full and abbreviated) and
// morning/afternoon markers, lower-cased; built once per process.
const std::vector<LocaleWord>& LocaleWords() {
    static const std::vector<LocaleWord> words = [] {
        std::vector<LocaleWord> built;
        auto add = [&built](const char* format, const struct tm& t, Kind kind, int value) {
            char name[128];
            const size_t n = std::strftime(name, sizeof name, format, &t);
            if (n == 0) return;
            std::string text(name, n);
            for (char& c : text) c = AsciiLower(c);
            built.push_back({text, kind, value});
        };
        struct tm t {};
        for (int day = 0; day < 7; ++day) {
            t.tm_wday = day;
            add("%A", t, Kind::kWeekday, day);
            add("%a", t, Kind::kWeekday, day);
        }
        for (int month = 0; month < 12; ++month) {
            t.tm_mon = month;
            add("%B", t, Kind::kMonth, month);
            add("%b", t, Kind::kMonth, month);
        }
        t.tm_hour = 0;
        add("%p", t, Kind::kAm, 0);
        t.tm_hour = 12;
        add("%p", t, Kind::kPm, 0);
        return built;
    }();
    return words;
}

bool LookUpWord(std::string_view word, Token& token) {
    for (const Word& w : kKeywords) {
        if (word == w.text) {
            token = Token{w.kind, w.value};
            return true;
        }
    }
    for (const Word& w : kZones) {
        if (word == w.text) {
            token = Token{Kind::kZone, int64_t{w.value} * 60};
            return true;
        }
    }
    for (const LocaleWord& w : LocaleWords()) {
        if (word == w.text) {
            token = Token{w.kind, w.value};
            return true;
        }
    }
    return false;
}

// Digits at i, counting at most kDigitLookahead of them: no token holds
// more, and a longer run fits no form.
constexpr size_t kDigitLookahead = 16;
size_t CountDigits(const std::string& s, size_t i) {
    size_t n = 0;
    while (n < kDigitLookahead && i + n < s.size() && IsDigit(s[i + n])) ++n;
    return n;
}

int DigitsValue(const std::string& s, size_t i, size_t n) {
    int v = 0;
    for (size_t k = 0; k < n; ++k) v = v * 10 + (s[i + k] - '0');
    return v;
}

// Length of a time of day at i (0 when there is none): one or two digits of
// hours, ":" and two of minutes, optionally ":" and two of seconds, then
// optionally "." and a fraction, which is ignored.
size_t MatchTime(const std::string& s, size_t i, Token& token) {
    const size_t hourDigits = CountDigits(s, i);
    if (hourDigits < 1 || hourDigits > 2) return 0;
    size_t j = i + hourDigits;
    if (j >= s.size() || s[j] != ':' || CountDigits(s, j + 1) != 2) return 0;
    token = Token{Kind::kTime};
    token.hour = DigitsValue(s, i, hourDigits);
    token.minute = DigitsValue(s, j + 1, 2);
    j += 3;
    if (j < s.size() && s[j] == ':' && CountDigits(s, j + 1) == 2) {
        token.second = DigitsValue(s, j + 1, 2);
        j += 3;
    }
    if (j < s.size() && s[j] == '.' && CountDigits(s, j + 1) > 0) j += 1 + CountDigits(s, j + 1);
    return j - i;
}

// Spans count at most this many digits: enough for any real span, and their
// sum cannot overflow.
constexpr size_t kMaxSpanDigits = 9;

// Splits the prepared text into tokens; false when a word is unknown or a
// number is out of reach (no form could then take the text).
bool Scan(const std::string& s, std::vector<Token>& tokens) {
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (IsSeparator(c)) {
            while (i < s.size() && IsSeparator(s[i])) ++i;
            tokens.push_back(Token{Kind::kSep});
            continue;
        }
        if (IsDigit(c)) {
            // The longest of a time of day, a span and a number wins.
            Token time{Kind::kTime};
            const size_t timeLength = MatchTime(s, i, time);
            const size_t run = CountDigits(s, i);
            // Numbers stand apart or before a unit: a run of more digits
            // than a span holds can only be refused.
            if (run > kMaxSpanDigits) return false;
            const bool span = i + run < s.size() && std::strchr("dhms", s[i + run]) != nullptr;
            if (span && run + 1 > timeLength) {
                Token t{Kind::kSpan, DigitsValue(s, i, run)};
                t.c = s[i + run];
                tokens.push_back(t);
                i += run + 1;
                continue;
            }
            if (timeLength > 0) {
                tokens.push_back(time);
                i += timeLength;
                continue;
            }
            // Four digits at once where there are four, else one or two.
            const size_t n = run >= 4 ? 4 : (run == 3 ? 2 : run);
            Token t{Kind::kNum, DigitsValue(s, i, n)};
            t.digits = static_cast<int>(n);
            tokens.push_back(t);
            i += n;
            continue;
        }
        if (IsWordByte(c)) {
            // "epoch", any one character, then a number as strtoul reads it
            // (decimal, leading 0 octal, 0x hexadecimal).
            if (s.compare(i, 5, "epoch") == 0 && i + 6 < s.size()) {
                const char* start = s.c_str() + i + 6;
                char* end = nullptr;
                errno = 0;
                const unsigned long long v = std::strtoull(start, &end, 0);
                if (end != start) {
                    if (errno == ERANGE || v > static_cast<unsigned long long>(INT64_MAX)) {
                        return false;
                    }
                    tokens.push_back(Token{Kind::kEpoch, static_cast<int64_t>(v)});
                    i = static_cast<size_t>(end - s.c_str());
                    continue;
                }
            }
            size_t j = i;
            while (j < s.size() && IsWordByte(s[j])) ++j;
            Token t{Kind::kChar};
            // A word that is no name is taken character by character, and
            // letters fit no form.
            if (!LookUpWord(std::string_view(s).substr(i, j - i), t)) return false;
            tokens.push_back(t);
            i = j;
            continue;
        }
        Token t{Kind::kChar};
        t.c = c;
        tokens.push_back(t);
        ++i;
    }
    return true;
}

// ---------------------------------------------------------------- grammar

// What a text says, gathered while a form matches.
struct State {
    struct tm tm {};         // broken-down local base, then the fields the text sets
    bool fieldsSet = false;  // a field of tm was given or derived
    int dayShift = 0;        // days moved by keywords, applied after the checks
    int64_t relative = 0;    // seconds added by offsets
    bool zoneGiven = false;
    int64_t zoneWest = 0;  // seconds west of UTC
    bool absolute = false;
    int64_t absoluteValue = 0;
    int errors = 0;  // values the form accepts but that are out of range
};

constexpr int64_t kMaxRelative = int64_t{1} << 50;

class Parser {
public:
    explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

    bool End() const { return pos_ == tokens_.size(); }
    size_t Pos() const { return pos_; }
    void Reset(size_t pos) { pos_ = pos; }

    const Token* Take(Kind kind) {
        if (End() || tokens_[pos_].kind != kind) return nullptr;
        return &tokens_[pos_++];
    }
    bool TakeChar(char c) {
        if (End() || tokens_[pos_].kind != Kind::kChar || tokens_[pos_].c != c) return false;
        ++pos_;
        return true;
    }
    // A number of at most two digits, or of exactly four when four is true.
    const Token* TakeNum(bool four) {
        if (End() || tokens_[pos_].kind != Kind::kNum) return nullptr;
        const int digits = tokens_[pos_].digits;
        if (four ? digits != 4 : digits > 2) return nullptr;
        return &tokens_[pos_++];
    }
    bool Is(Kind kind) const { return !End() && tokens_[pos_].kind == kind; }

private:
    const std::vector<Token>& tokens_;
    size_t pos_ = 0;
};

bool Sep(Parser& p) { return p.Take(Kind::kSep) != nullptr; }

bool Day(Parser& p, State& st) {
    const Token* t = p.TakeNum(false);
    if (!t) return false;
    st.tm.tm_mday = static_cast<int>(t->value);
    st.fieldsSet = true;
    return true;
}

bool MonthName(Parser& p, State& st) {
    const Token* t = p.Take(Kind::kMonth);
    if (!t) return false;
    st.tm.tm_mon = static_cast<int>(t->value);
    st.fieldsSet = true;
    return true;
}

bool MonthNumber(Parser& p, State& st) {
    const Token* t = p.TakeNum(false);
    if (!t) return false;
    st.tm.tm_mon = static_cast<int>(t->value) - 1;
    st.fieldsSet = true;
    return true;
}

bool Year(Parser& p, State& st) {
    const Token* t = p.TakeNum(true);
    if (!t) return false;
    if (t->value < 1970) ++st.errors;
    st.tm.tm_year = static_cast<int>(t->value) - 1900;
    st.fieldsSet = true;
    return true;
}

bool ShortYear(Parser& p, State& st) {
    const Token* t = p.TakeNum(false);
    if (!t) return false;
    st.tm.tm_year = static_cast<int>(t->value < 69 ? t->value + 100 : t->value);
    st.fieldsSet = true;
    return true;
}

bool Weekday(Parser& p, int& weekday) {
    const Token* t = p.Take(Kind::kWeekday);
    if (!t) return false;
    weekday = static_cast<int>(t->value);
    return true;
}

void SetTime(State& st, int hour, int minute, int second) {
    if (hour < 0 || hour > 23 || minute > 59 || second > 59) ++st.errors;
    st.tm.tm_hour = hour;
    st.tm.tm_min = minute;
    st.tm.tm_sec = second;
    st.fieldsSet = true;
}

// An hour of the twelve-hour clock: 12 am is 0, 1 pm is 13.
void SetTime12(State& st, int hour, int minute, int second, bool pm) {
    if (hour < 1 || hour > 12) ++st.errors;
    if (hour == 12) hour = 0;
    SetTime(st, pm ? hour + 12 : hour, minute, second);
}

// TOD: a time, a time and am or pm, or an hour and am or pm.
bool TimeOfDay(Parser& p, State& st) {
    const size_t start = p.Pos();
    if (const Token* t = p.Take(Kind::kTime)) {
        if (p.Take(Kind::kAm)) {
            SetTime12(st, t->hour, t->minute, t->second, false);
        } else if (p.Take(Kind::kPm)) {
            SetTime12(st, t->hour, t->minute, t->second, true);
        } else {
            SetTime(st, t->hour, t->minute, t->second);
        }
        return true;
    }
    if (const Token* t = p.TakeNum(false)) {
        if (p.Take(Kind::kAm)) {
            SetTime12(st, static_cast<int>(t->value), 0, 0, false);
            return true;
        }
        if (p.Take(Kind::kPm)) {
            SetTime12(st, static_cast<int>(t->value), 0, 0, true);
            return true;
        }
    }
    p.Reset(start);
    return false;
}

bool ZoneName(Parser& p, State& st) {
    const Token* t = p.Take(Kind::kZone);
    if (!t) return false;
    st.zoneGiven = true;
    st.zoneWest = t->value;
    return true;
}

// ZN: separators, then a zone name or a sign and four digits hhmm.
bool Zone(Parser& p, State& st) {
    const size_t start = p.Pos();
    while (Sep(p)) {
    }
    if (ZoneName(p, st)) return true;
    const bool east = p.TakeChar('+');
    if (east || p.TakeChar('-')) {
        if (const Token* t = p.TakeNum(true)) {
            const int64_t hours = t->value / 100;
            const int64_t minutes = t->value % 100;
            if (hours > 23 || minutes > 59) ++st.errors;
            const int64_t seconds = hours * 3600 + minutes * 60;
            st.zoneGiven = true;
            st.zoneWest = east ? -seconds : seconds;
            return true;
        }
    }
    p.Reset(start);
    return false;
}

// [Z] closing a form.
bool OptionalZoneAtEnd(Parser& p, State& st) {
    if (p.End()) return true;
    return Zone(p, st) && p.End();
}

// OFFSET: [SEP] sign [SEP], then a time or one or more spans.
bool Offset(Parser& p, State& st) {
    const size_t start = p.Pos();
    Sep(p);
    const bool plus = p.TakeChar('+');
    if (!plus && !p.TakeChar('-')) {
        p.Reset(start);
        return false;
    }
    Sep(p);
    int64_t seconds = 0;
    if (const Token* t = p.Take(Kind::kTime)) {
        if (t->minute > 59 || t->second > 59) ++st.errors;
        seconds = int64_t{t->hour} * 3600 + t->minute * 60 + t->second;
    } else {
        int spans = 0;
        for (;;) {
            const size_t before = p.Pos();
            Sep(p);
            const Token* span = p.Take(Kind::kSpan);
            if (!span) {
                p.Reset(before);
                break;
            }
            const char u = span->c;
            const int64_t unit = u == 'd' ? 86400 : u == 'h' ? 3600 : u == 'm' ? 60 : 1;
            seconds += span->value * unit;
            if (seconds > kMaxRelative) ++st.errors;
            if (st.errors) return true;  // the parse fails; stop adding
            ++spans;
        }
        if (spans == 0) {
            p.Reset(start);
            return false;
        }
    }
    st.relative += plus ? seconds : -seconds;
    if (st.relative > kMaxRelative || st.relative < -kMaxRelative) ++st.errors;
    return true;
}

// [T] closing a form: SEP TOD [Z] or "+" TOD [Z]; without it, midnight.
bool TimeAfterDate(Parser& p, State& st) {
    if (p.End()) {
        SetTime(st, 0, 0, 0);
        return true;
    }
    if (!Sep(p) && !p.TakeChar('+')) return false;
    return TimeOfDay(p, st) && OptionalZoneAtEnd(p, st);
}

// [R] closing a date with missing parts: SEP TOD [Z] or SEP OFFSET; without
// it the time of the base stays.
bool TimeOrOffset(Parser& p, State& st) {
    if (p.End()) return true;
    if (!Sep(p)) return false;
    const size_t start = p.Pos();
    const State saved = st;
    if (TimeOfDay(p, st) && OptionalZoneAtEnd(p, st)) return true;
    st = saved;
    p.Reset(start);
    return Offset(p, st) && p.End();
}

bool OptionalOffsetAtEnd(Parser& p, State& st) {
    if (p.End()) return true;
    return Offset(p, st) && p.End();
}

using Form = bool (*)(Parser&, State&);

// Every form must take the whole text. The grammar is unambiguous: at most
// one form takes a given token sequence.
const Form kForms[] = {
    // weekday month day time zone year ("Sun Jan 5 10:00:00 EST 1997")
    [](Parser& p, State& st) {
        int w;
        return Weekday(p, w) && Sep(p) && MonthName(p, st) && Sep(p) && Day(p, st) && Sep(p) &&
               TimeOfDay(p, st) && Sep(p) && ZoneName(p, st) && Sep(p) && Year(p, st) && p.End();
    },
    // weekday month day time year [zone]
    [](Parser& p, State& st) {
        int w;
        return Weekday(p, w) && Sep(p) && MonthName(p, st) && Sep(p) && Day(p, st) && Sep(p) &&
               TimeOfDay(p, st) && Sep(p) && Year(p, st) && OptionalZoneAtEnd(p, st);
    },
    // weekday, day month year time [zone] ("Sun, 5 Jan 1997 10:00:00 -0500")
    [](Parser& p, State& st) {
        int w;
        return Weekday(p, w) && Sep(p) && Day(p, st) && Sep(p) && MonthName(p, st) && Sep(p) &&
               Year(p, st) && Sep(p) && TimeOfDay(p, st) && OptionalZoneAtEnd(p, st);
    },
    // weekday, day month yy time zone
    [](Parser& p, State& st) {
        int w;
        return Weekday(p, w) && Sep(p) && Day(p, st) && Sep(p) && MonthName(p, st) && Sep(p) &&
               ShortYear(p, st) && Sep(p) && TimeOfDay(p, st) && Zone(p, st) && p.End();
    },
    // day month yy time zone
    [](Parser& p, State& st) {
        return Day(p, st) && Sep(p) && MonthName(p, st) && Sep(p) && ShortYear(p, st) && Sep(p) &&
               TimeOfDay(p, st) && Zone(p, st) && p.End();
    },
    // day month year [T]
    [](Parser& p, State& st) {
        return Day(p, st) && Sep(p) && MonthName(p, st) && Sep(p) && Year(p, st) &&
               TimeAfterDate(p, st);
    },
    // day month [T]
    [](Parser& p, State& st) {
        return Day(p, st) && Sep(p) && MonthName(p, st) && TimeAfterDate(p, st);
    },
    // month day [T]
    [](Parser& p, State& st) {
        return MonthName(p, st) && Sep(p) && Day(p, st) && TimeAfterDate(p, st);
    },
    // month day year [T]
    [](Parser& p, State& st) {
        return MonthName(p, st) && Sep(p) && Day(p, st) && Sep(p) && Year(p, st) &&
               TimeAfterDate(p, st);
    },
    // month-day-year [T]
    [](Parser& p, State& st) {
        return MonthName(p, st) && p.TakeChar('-') && Day(p, st) && p.TakeChar('-') &&
               Year(p, st) && TimeAfterDate(p, st);
    },
    // day-month-year [T]
    [](Parser& p, State& st) {
        return Day(p, st) && p.TakeChar('-') && MonthName(p, st) && p.TakeChar('-') &&
               Year(p, st) && TimeAfterDate(p, st);
    },
    // day-month [T]
    [](Parser& p, State& st) {
        return Day(p, st) && p.TakeChar('-') && MonthName(p, st) && TimeAfterDate(p, st);
    },
    // month/day/year [T]
    [](Parser& p, State& st) {
        return MonthNumber(p, st) && p.TakeChar('/') && Day(p, st) && p.TakeChar('/') &&
               Year(p, st) && TimeAfterDate(p, st);
    },
    // day.month.year [T]
    [](Parser& p, State& st) {
        return Day(p, st) && p.TakeChar('.') && MonthNumber(p, st) && p.TakeChar('.') &&
               Year(p, st) && TimeAfterDate(p, st);
    },
    // Dates with missing parts, which keep the base's: -month- [R]
    [](Parser& p, State& st) {
        return p.TakeChar('-') && MonthName(p, st) && p.TakeChar('-') && TimeOrOffset(p, st);
    },
    // -- [R]
    [](Parser& p, State& st) { return p.TakeChar('-') && p.TakeChar('-') && TimeOrOffset(p, st); },
    // day--year [R]
    [](Parser& p, State& st) {
        return Day(p, st) && p.TakeChar('-') && p.TakeChar('-') && Year(p, st) &&
               TimeOrOffset(p, st);
    },
    // --year [R]
    [](Parser& p, State& st) {
        return p.TakeChar('-') && p.TakeChar('-') && Year(p, st) && TimeOrOffset(p, st);
    },
    // day-- [R]
    [](Parser& p, State& st) {
        return Day(p, st) && p.TakeChar('-') && p.TakeChar('-') && TimeOrOffset(p, st);
    },
    // day-month- [R]
    [](Parser& p, State& st) {
        return Day(p, st) && p.TakeChar('-') && MonthName(p, st) && p.TakeChar('-') &&
               TimeOrOffset(p, st);
    },
    // -month-year [R]
    [](Parser& p, State& st) {
        return p.TakeChar('-') && MonthName(p, st) && p.TakeChar('-') && Year(p, st) &&
               TimeOrOffset(p, st);
    },
    // a time today [zone]
    [](Parser& p, State& st) { return TimeOfDay(p, st) && OptionalZoneAtEnd(p, st); },
    // yesterday, today, tomorrow [T]
    [](Parser& p, State& st) {
        if (p.Take(Kind::kYesterday)) {
            st.dayShift = -1;
        } else if (p.Take(Kind::kTomorrow)) {
            st.dayShift = 1;
        } else if (!p.Take(Kind::kToday)) {
            return false;
        }
        return TimeAfterDate(p, st);
    },
    // now [OFFSET]
    [](Parser& p, State& st) { return p.Take(Kind::kNow) && OptionalOffsetAtEnd(p, st); },
    // weekday [T]: that day of the current Sunday-based week
    [](Parser& p, State& st) {
        int w;
        if (!Weekday(p, w)) return false;
        st.dayShift = w - st.tm.tm_wday;
        return TimeAfterDate(p, st);
    },
    // last weekday [T]: 1 to 7 days back
    [](Parser& p, State& st) {
        int w;
        if (!(p.Take(Kind::kLast) && Sep(p) && Weekday(p, w))) return false;
        const int back = (st.tm.tm_wday - w + 7) % 7;
        st.dayShift = -(back == 0 ? 7 : back);
        return TimeAfterDate(p, st);
    },
    // next or this weekday [T]: 1 to 7 days on
    [](Parser& p, State& st) {
        int w;
        if (!(p.Take(Kind::kNext) && Sep(p) && Weekday(p, w))) return false;
        const int on = (w - st.tm.tm_wday + 7) % 7;
        st.dayShift = on == 0 ? 7 : on;
        return TimeAfterDate(p, st);
    },
    // [OFFSET] alone; the empty text is the base
    [](Parser& p, State& st) { return OptionalOffsetAtEnd(p, st); },
    // epoch and seconds
    [](Parser& p, State& st) {
        const Token* t = p.Take(Kind::kEpoch);
        if (!t || !p.End()) return false;
        st.absolute = true;
        st.absoluteValue = t->value;
        return true;
    },
};

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int month, int64_t year) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 1 && IsLeapYear(year) ? 29 : kDays[month];
}

// The instant a successful match describes; false when it has none.
bool Complete(State& st, time_t base, time_t& result) {
    if (st.absolute) {
        result = static_cast<time_t>(st.absoluteValue);
        return true;
    }
    if (st.errors) return false;
    if (st.tm.tm_mon < 0 || st.tm.tm_mon > 11) return false;
    const int64_t year = int64_t{st.tm.tm_year} + 1900;
    if (st.tm.tm_mday < 1 || st.tm.tm_mday > DaysInMonth(st.tm.tm_mon, year)) return false;

    time_t t = base;
    if (st.fieldsSet || st.dayShift != 0) {
        st.tm.tm_mday += st.dayShift;
        if (st.zoneGiven) {
            // The fields are wall-clock time in the given zone, whatever the
            // local zone and its daylight time.
            errno = 0;
            t = timegm(&st.tm);
            if (t == -1 && errno != 0) return false;
            if (__builtin_add_overflow(t, st.zoneWest, &t)) return false;
        } else {
            st.tm.tm_isdst = -1;
            errno = 0;
            t = mktime(&st.tm);
            if (t == -1 && errno != 0) return false;
        }
    }
    return !__builtin_add_overflow(t, st.relative, &result);
}

}  // namespace

int JexStrToTimeParse(const char* text, time_t* result, const time_t* base) {
    time_t scratch;
    time_t& out = result ? *result : scratch;
    out = -1;
    const time_t baseTime = base ? *base : std::time(nullptr);
    if (!text) text = "";

    // Lower-cased, without leading and trailing white space.
    const char* begin = text;
    const char* end = text + std::strlen(text);
    while (begin < end && IsSpace(*begin)) ++begin;
    while (end > begin && IsSpace(end[-1])) --end;
    std::string prepared(begin, end);
    for (char& c : prepared) c = AsciiLower(c);

    std::vector<Token> tokens;
    if (!Scan(prepared, tokens)) return 0;

    State initial;
    if (!localtime_r(&baseTime, &initial.tm)) return 0;
    for (Form form : kForms) {
        Parser p(tokens);
        State st = initial;
        if (!form(p, st) || !p.End()) continue;
        time_t parsed;
        if (!Complete(st, baseTime, parsed)) return 0;
        out = parsed;
        return 1;
    }
    return 0;
}
