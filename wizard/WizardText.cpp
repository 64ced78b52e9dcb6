// Text procedures of the configuration wizard.
#include "wizard/WizardText.h"

#include <cstdint>
#include <cstdio>

namespace wizard {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Code points of Windows-1252's bytes 0x80 to 0x9F; the five bytes it
// leaves undefined keep their C1 code point, as Windows converts them.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::string Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string ValueAfterDelimiter(std::string_view text, std::string_view delimiter) {
    size_t at = text.find(delimiter);
    if (delimiter.empty() || at == std::string_view::npos) return {};
    return std::string(text.substr(at + delimiter.size()));
}

bool CheckForComma(std::string_view text) { return text.find(',') != std::string_view::npos; }

bool IsNumeric(std::string_view text) {
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && IsBlank(text[i])) ++i;
    };
    auto digits = [&] {
        size_t from = i;
        while (i < text.size() && IsDigit(text[i])) ++i;
        return i - from;
    };
    skipBlanks();
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t count = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        count += digits();
    }
    if (count == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    skipBlanks();
    return i == text.size();
}

bool HasEmailForm(std::string_view text) {
    return text.find('@') != std::string_view::npos && text.find('.') != std::string_view::npos;
}

std::string GeneralDate(const std::tm& time) {
    int hour = time.tm_hour % 12;
    if (hour == 0) hour = 12;
    char text[64];
    std::snprintf(text, sizeof text, "%d/%d/%d %d:%02d:%02d %s", time.tm_mon + 1, time.tm_mday,
                  time.tm_year + 1900, hour, time.tm_min, time.tm_sec,
                  time.tm_hour < 12 ? "AM" : "PM");
    return text;
}

bool IsUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t code = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
            code = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            code = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            code = b & 0x07u;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            code = (code << 6) | (c & 0x3Fu);
        }
        // No overlong forms, no surrogates, nothing above U+10FFFF.
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
            (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

std::string TextFromFileBytes(std::string_view bytes) {
    if (IsUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b < 0xA0) {
            AppendUtf8(out, kCp1252High[b - 0x80]);
        } else {
            AppendUtf8(out, b);
        }
    }
    return out;
}

std::vector<std::string> ReadSettingsItems(std::string_view text, size_t count) {
    std::vector<std::string> items(count);
    size_t i = 0;
    auto atLineEnd = [&] { return i < text.size() && (text[i] == '\n' || text[i] == '\r'); };
    // Steps over the comma or line end that closes an item.
    auto endItem = [&] {
        if (i >= text.size()) return;
        if (text[i] == ',') {
            ++i;
        } else if (text[i] == '\r') {
            ++i;
            if (i < text.size() && text[i] == '\n') ++i;
        } else if (text[i] == '\n') {
            ++i;
        }
    };
    for (size_t n = 0; n < count && i < text.size(); ++n) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        std::string item;
        if (i < text.size() && text[i] == '"') {
            size_t close = i + 1;
            while (close < text.size() && text[close] != '"' && text[close] != '\n' &&
                   text[close] != '\r')
                ++close;
            item.assign(text.substr(i + 1, close - i - 1));
            i = close < text.size() && text[close] == '"' ? close + 1 : close;
            while (i < text.size() && text[i] != ',' && !atLineEnd()) ++i;
        } else {
            size_t from = i;
            while (i < text.size() && text[i] != ',' && !atLineEnd()) ++i;
            item = Trim(text.substr(from, i - from));
        }
        endItem();
        items[n] = std::move(item);
    }
    return items;
}

SerialAndName SplitSerialLine(std::string_view item) {
    // 1-based positions, 0 when absent, as the line was first cut.
    size_t colon = item.find(':');
    size_t c = colon == std::string_view::npos ? 0 : colon + 1;
    size_t label = item.find("System Name");
    size_t s = label == std::string_view::npos ? 0 : label + 1;
    SerialAndName out;
    if (s > c + 1) out.serial = Trim(item.substr(c, s - c - 1));
    size_t nameFrom = s + 11;  // 0-based start of what follows "System Name:"
    if (nameFrom < item.size()) out.name = Trim(item.substr(nameFrom));
    return out;
}

}  // namespace wizard
