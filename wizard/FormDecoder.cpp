// Decoder of form-encoded request bodies.
#include "wizard/FormDecoder.h"

namespace wizard {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Unescape(std::string_view text, size_t maxLength) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (out.size() == maxLength) return std::nullopt;
        out += c;
    }
    return out;
}

}  // namespace

std::optional<FormFields> DecodeForm(std::string_view body, size_t maxFields, size_t maxLength) {
    FormFields fields;
    size_t at = 0;
    while (at <= body.size()) {
        size_t end = body.find('&', at);
        if (end == std::string_view::npos) end = body.size();
        std::string_view pair = body.substr(at, end - at);
        at = end + 1;
        if (pair.empty()) continue;
        size_t equals = pair.find('=');
        if (equals == std::string_view::npos || fields.size() == maxFields) return std::nullopt;
        auto name = Unescape(pair.substr(0, equals), maxLength);
        auto value = Unescape(pair.substr(equals + 1), maxLength);
        if (!name || !value) return std::nullopt;
        fields.emplace_back(std::move(*name), std::move(*value));
    }
    return fields;
}

}  // namespace wizard
