// JexObligation: the service-obligation map and the call-handling-system operations.
#include "jexlink/obligation/JexObligation.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexTagList.h"
#include "jexlink/core/JexTrace.h"

#define JEX_TEXT_CLASS JexObligation
const JexTextRow JexObligation::kTextTable[] = JEX_TEXT_TABLE(JEXOBLIGATION_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kNotHere = "Not implemented on this platform";

struct TraceSwitches {
    bool mapDump = false;
    bool productList = false;
};

// JEXOBLIGATION_TRACE, read at the first construction in the process.
const TraceSwitches& Switches() {
    static const TraceSwitches switches = [] {
        TraceSwitches s;
        const char* value = std::getenv("JEXOBLIGATION_TRACE");
        for (const char* c = value ? value : ""; *c; ++c) {
            if (*c == '*') s.mapDump = s.productList = true;
            if (*c == 'M' || *c == 'm') s.mapDump = true;
            if (*c == 'P' || *c == 'p') s.productList = true;
        }
        return s;
    }();
    return switches;
}

}  // namespace

JexObligation::JexObligation() : JexException(kTextTable, "JexObligation") {
    const JexString path = JexDataFilePath("File.Obligation.Map", "data\\jex_obligation_map.dat");
    dataFile_ = std::make_unique<JexDataFile>(path, 0);
    JexTrace trace(__FILE__, "JexObligation()", __LINE__);
    SetSuppress(1);
    Switches();

    if (dataFile_->Code() != JexDataFile::OK) {
        JexException* cause = dataFile_->Cause() ? dataFile_->Cause() : dataFile_.get();
        ExcSet(MAPNOTFOUND, JexExcArgs("JexObligation::CheckApplication()", path), cause);
        const JexString described = Describe(1);
        std::fprintf(stderr, "%s\n", described.Text());
        std::fflush(stderr);
        return;
    }
    Load();
    if (Switches().mapDump) {
        JexTagList map;
        for (int i = 0; i < keys_.Count(); ++i) map[keys_[i].Text()] = values_[i];
        const JexString text = map.Text();
        std::fprintf(stderr, "Dump of obligation map:\n%s\n", text.Text());
        std::fflush(stderr);
    }
}

JexObligation::~JexObligation() {
    JexTrace trace(__FILE__, "~JexObligation()", __LINE__);
    dataFile_.reset();
}

void JexObligation::Load() {
    // The lists are filled once at the end: a key seen again replaces its
    // value in place, and look-ups go through an index, so a long map
    // loads in linear time.
    std::vector<std::pair<JexString, JexString>> entries;
    std::unordered_map<std::string, size_t> index;
    for (;;) {
        JexFieldedString& fields = dataFile_->NextLine();
        if (dataFile_->Code() != JexDataFile::OK || fields.Count() == 0) break;
        JexString key = fields.Remove(0).UpperCopy();
        JexFieldedString rest(fields);
        rest.SetSeparator(',');
        JexString value = rest.Text().UpperCopy();
        auto [at, added] = index.emplace(key.Text(), entries.size());
        if (added)
            entries.emplace_back(std::move(key), std::move(value));
        else
            entries[at->second].second = value;
    }
    const int n = static_cast<int>(entries.size());
    keys_.Grow(n);
    values_.Grow(n);
    for (int i = 0; i < n && i < keys_.Count() && i < values_.Count(); ++i) {
        keys_[i] = entries[static_cast<size_t>(i)].first;
        values_[i] = entries[static_cast<size_t>(i)].second;
    }
}

int JexObligation::NotOnThisPlatform() {
    ExcSet(NOT_VENDOR, JexExcArgs(kNotHere));
    Raise();
    return NOT_VENDOR;
}

int JexObligation::JexValidateSrq(const JexString& acid, const JexString& srq) {
    JexTrace trace(__FILE__, "JexValidateSrq()", __LINE__);
    JexString owner("", 1), text2("", 1), text3("", 1), text4("", 1), text5("", 1);
    JexObligation lookup;
    const int code = lookup.LookupSrq(srq, owner, text2, text3, text4, text5);
    if (code != 0) return code;
    owner.SetCaseSensitive(0);
    owner.Trim();
    return owner.Compare(acid) == 0 ? 0 : CHS_NOMATCH;
}

int JexObligation::JexValidateSrq(const JexString& srcacid, const JexString& tgtacid,
                                  const JexString& srq) {
    JexTrace trace(__FILE__, "JexValidateSrq(srcacid,tgtacid,srq)", __LINE__);
    const int code = JexValidateSrq(srcacid, srq);
    if (code != CHS_NOMATCH) return code;
    return JexValidateSrq(tgtacid, srq);
}

JexFieldedString JexObligation::GetProductList(const JexString&) {
    JexTrace trace(__FILE__, "GetProductList()", __LINE__);
    JexFieldedString products(',');
    if (Switches().productList) {
        const JexString text = products.Text();
        std::fprintf(stderr, "JexObligation:: Product List: %s\n", text.Text());
        std::fflush(stderr);
    }
    return products;
}

int JexObligation::LookupSrq(const JexString&, JexString&, JexString&, JexString&, JexString&,
                             JexString&) {
    return NotOnThisPlatform();
}

int JexObligation::CheckCHS(const JexString&, const JexString&) { return NotOnThisPlatform(); }

int JexObligation::CheckReview(const JexString&, JexString&) { return NotOnThisPlatform(); }
