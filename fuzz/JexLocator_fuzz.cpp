// Fuzz target: locator parsing, rendering, the entry points' caller buffers and the list builders.
//
// Reaches: locator parsing and rendering, the entry points' caller buffers of every size below 64,
// e-mail and file-copy locators, the list builders.
// Cannot reach: sending mail or copying files with them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "jexlink/mail/JexLocator.h"
#include "jexlink/mail/JexLocatorExport.h"

namespace {

std::string Attr(const JexLocator& loc, int attribute) {
    JexString s("");
    loc.GetAttr(attribute, s);
    return s.Text();
}

// Rendering a parsed plain locator and parsing it again gives the same parts.
void CheckRoundTrip(const std::string& text) {
    JexLocator first(text.c_str());
    const JexString rendered = first;
    JexLocator second(rendered.Text());
    if (Attr(first, JexLocator::LOC_NODE) != Attr(second, JexLocator::LOC_PARSED_NODE) ||
        Attr(first, JexLocator::LOC_ACID) != Attr(second, JexLocator::LOC_PARSED_ACID))
        std::abort();
    if (std::strcmp(JexString(second).Text(), rendered.Text()) != 0) std::abort();
}

// An output either fits whole or leaves the empty text and -1.
void CheckBuffers(const std::string& text, size_t size) {
    std::vector<char> prefix(size + 1, 'P'), nodes(size + 1, 'N'), acids(size + 1, 'A');
    int method = -1, scope = -1;
    const int result = ParseEMailLocator(text.c_str(), prefix.data(), size, nodes.data(), size,
                                         acids.data(), size, &method, &scope);
    JexString p(""), n(""), a("");
    int m = 0, s = 0;
    ParseEMailLocator(text.c_str(), p, n, a, m, s);
    bool fit = true;
    const std::pair<std::vector<char>*, JexString*> outputs[] = {
        {&prefix, &p}, {&nodes, &n}, {&acids, &a}};
    for (auto [buffer, whole] : outputs) {
        const char fill = buffer == &prefix ? 'P' : buffer == &nodes ? 'N' : 'A';
        if ((*buffer)[size] != fill) std::abort();  // written past the size given
        if (std::strlen(whole->Text()) + 1 <= size) {
            if (std::strcmp(buffer->data(), whole->Text()) != 0) std::abort();
        } else {
            fit = false;
            if (size > 0 && (*buffer)[0] != '\0') std::abort();
        }
    }
    if ((result == 0) != fit || method != m || scope != s) std::abort();

    std::vector<char> out(size + 1, 'O');
    const int built = BuildFileCopyLocator(p.Text(), n.Text(), a.Text(), m, out.data(), size);
    if (out[size] != 'O') std::abort();
    (void)built;
}

void CheckList(const std::vector<std::string>& parts) {
    auto arg = [&](size_t i) {
        std::string s = i < parts.size() ? parts[i] : std::string();
        if (!s.empty() && s[0] == '*') s[0] = '#';  // literal lists only: no settings
        return s;
    };
    char** list = nullptr;
    int count = 0;
    BuildAddressList(arg(0).c_str(), arg(1).c_str(), arg(2).c_str(), arg(3).c_str(), arg(4).c_str(),
                     arg(5).c_str(), arg(6).c_str(), arg(7).c_str(), &list, &count);
    if (!list) {
        if (count != -1) std::abort();
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (!list[i]) std::abort();
        std::free(list[i]);
    }
    if (list[count]) std::abort();
    std::free(list);
}

}  // namespace

// The input: a locator text, then NUL-separated texts for the list builder;
// the first byte also picks the buffer size.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t nul = input.find('\0', start);
        parts.push_back(input.substr(start, nul == std::string::npos ? nul : nul - start));
        if (nul == std::string::npos) break;
        start = nul + 1;
    }
    const std::string& text = parts[0];
    CheckRoundTrip(text);
    CheckBuffers(text, size ? data[0] % 64 : 0);
    JexEMailLocator mail(text.c_str());
    JexFileCopyLocator copy(text.c_str());
    (void)JexString(mail);
    (void)JexString(copy);
    CheckList(std::vector<std::string>(parts.begin() + 1, parts.end()));
    return 0;
}
