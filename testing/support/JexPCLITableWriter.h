// Test support: writes compiled syntax tables (.cli) from a readable description.
#pragma once

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavro::testing {

// One item record of a table, as stored (the level before the loader's
// adjustment of parameters, switches and forbids).
struct CliRecord {
    int category = 0;
    std::string name;
    std::string defaultValue;
    std::string help;
    std::string internalName;
    std::vector<std::string> options;
    int level = 1;
    uint8_t flags = 0;
    uint8_t flags2 = 0;
};

// Parses a description, one item a line:
//   <category> <stored level> <name> [flag...] [key=value...]
// categories None Verb Param Switch Forbid Alias; flags n1 n2 kv ng pe re 1f
// a2 hi; keys default (also when= for a Forbid, to= for an Alias), help,
// internal, options (comma-separated). A value may be written in double
// quotes to hold blanks. Blank lines and lines starting with '#' are skipped.
inline std::vector<CliRecord> ParseCliDescription(const std::string& text) {
    static const char* const kCategories[] = {"None", "Verb", "Param", "Switch", "Forbid", "Alias"};
    static const char* const kFlags[] = {"n1", "n2", "kv", "ng", "pe", "re", "1f", "a2"};
    std::vector<CliRecord> records;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> words;
        for (size_t i = 0; i < line.size();) {
            if (line[i] == ' ' || line[i] == '\t') {
                ++i;
                continue;
            }
            std::string word;
            bool quoted = false;
            for (; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
                if (line[i] == '"') {
                    quoted = !quoted;
                    continue;
                }
                word += line[i];
            }
            words.push_back(word);
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (words.size() < 3) throw std::invalid_argument("short item line: " + line);
        CliRecord r;
        r.category = -1;
        for (int c = 0; c < 6; ++c)
            if (words[0] == kCategories[c]) r.category = c;
        if (r.category < 0) r.category = std::stoi(words[0]);
        r.level = std::stoi(words[1]);
        r.name = words[2];
        for (size_t w = 3; w < words.size(); ++w) {
            const std::string& word = words[w];
            const size_t eq = word.find('=');
            if (eq == std::string::npos) {
                bool known = word == "hi";
                if (known) r.flags2 |= 1;
                for (int b = 0; b < 8; ++b)
                    if (word == kFlags[b]) {
                        r.flags = static_cast<uint8_t>(r.flags | (1 << b));
                        known = true;
                    }
                if (!known) throw std::invalid_argument("unknown flag: " + word);
                continue;
            }
            const std::string key = word.substr(0, eq);
            const std::string value = word.substr(eq + 1);
            if (key == "default" || key == "when" || key == "to")
                r.defaultValue = value;
            else if (key == "help")
                r.help = value;
            else if (key == "internal")
                r.internalName = value;
            else if (key == "options") {
                std::istringstream parts(value);
                for (std::string part; std::getline(parts, part, ',');) r.options.push_back(part);
            } else {
                throw std::invalid_argument("unknown key: " + key);
            }
        }
        records.push_back(r);
    }
    return records;
}

inline void AppendCliString(std::string& out, const std::string& text) {
    if (text.size() > 255) throw std::invalid_argument("string longer than 255 bytes");
    out += static_cast<char>(text.size());
    out += text;
}

// The bytes of a table file: length word, version and the records. The
// length word counts the whole table unless a value is given for it.
inline std::string CliTableBytes(int version, const std::vector<CliRecord>& records,
                                 int64_t lengthWord = -1) {
    std::string body;
    body += static_cast<char>(version);
    for (const CliRecord& r : records) {
        body += static_cast<char>(r.category);
        AppendCliString(body, r.name);
        AppendCliString(body, r.defaultValue);
        AppendCliString(body, r.help);
        AppendCliString(body, r.internalName);
        if (version > 10) {
            body += static_cast<char>(r.options.size());
            for (const std::string& option : r.options) AppendCliString(body, option);
        }
        body += static_cast<char>(r.level);
        body += static_cast<char>(r.flags);
        body += static_cast<char>(r.flags2);
    }
    const uint32_t length = lengthWord >= 0 ? static_cast<uint32_t>(lengthWord)
                                            : static_cast<uint32_t>(body.size() + 4);
    std::string out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
    return out + body;
}

inline std::string CliTableBytes(int version, const std::string& description,
                                 int64_t lengthWord = -1) {
    return CliTableBytes(version, ParseCliDescription(description), lengthWord);
}

}  // namespace tavro::testing
