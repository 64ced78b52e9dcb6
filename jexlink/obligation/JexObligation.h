// JexObligation: the service-obligation map and the call-handling-system operations.
#pragma once

#include <memory>

#include "jexlink/core/JexDataFile.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

#define JEXOBLIGATION_TEXTS(JEX_TEXT)                                  \
    JEX_TEXT(0, OK, "Operation successful")                            \
    JEX_TEXT(1, ATTRNOTINT, "Attribute requires use of an integer")    \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute requires use of a string")   \
    JEX_TEXT(3, ATTRREADONLY, "Attribute is read-only")                \
    JEX_TEXT(4, BADATTR, "Missing or bad information given")           \
    JEX_TEXT(5, CHS_LOCKED, "CHS information locked")                  \
    JEX_TEXT(6, CHS_NOCUST, "No such customer")                        \
    JEX_TEXT(7, CHS_NOMATCH, "SRQ not valid with this customer")       \
    JEX_TEXT(8, CHS_NOSRQ, "No such service request")                  \
    JEX_TEXT(9, CHS_NOSUPPORT, "Product or application not supported") \
    JEX_TEXT(10, CHS_UNAVAIL, "Call Handling System is not available") \
    JEX_TEXT(11, FAILURE, "Operating system or internal failure")      \
    JEX_TEXT(12, FISFAIL, "Image symbol (%1$s) lookup failure")        \
    JEX_TEXT(15, MAPNOTFOUND, "Obligation map %1$s not found")         \
    JEX_TEXT(13, NOT_VENDOR, "Not running on a vendor system")         \
    JEX_TEXT(14, PSSFAIL, "JEX$PROBLEM_SUBMISSION_SERVER error occurred")

// The service-obligation map (setting File.Obligation.Map, default
// "data\jex_obligation_map.dat"): per key, the items a site is entitled
// to, and the front for the call-handling-system checks of customers,
// service requests and products.
//
// The call-handling system is not reachable from this platform: every
// check records NOT_VENDOR ("Not implemented on this platform") and
// returns 13, and product lists are empty, so callers treat a request as
// not validated and a domain as not entitled. The map itself is loaded,
// upper-cased and can be dumped (JEXOBLIGATION_TRACE "m").
//
// Objects are built per call and read the map file again each time; the
// suppress flag is set, so errors are only recorded.
class JexObligation : public JexException {
public:
    enum : int { JEXOBLIGATION_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Loads the map. A map file that cannot be opened records MAPNOTFOUND,
    // prints its description on standard error and leaves the map empty.
    JexObligation();
    ~JexObligation() override;

    // 0 when service request `srq` belongs to `acid`; CHS_NOMATCH when it
    // belongs to another access id; else the look-up's failure code (13 on
    // this platform).
    int JexValidateSrq(const JexString& acid, const JexString& srq);
    // The check against `srcacid`; when that gives CHS_NOMATCH, the check
    // against `tgtacid`.
    int JexValidateSrq(const JexString& srcacid, const JexString& tgtacid, const JexString& srq);

    // The products the obligation of `domain` covers, separator ",";
    // always empty on this platform.
    JexFieldedString GetProductList(const JexString& domain);

    // Call-handling-system operations; on this platform each records
    // NOT_VENDOR and returns 13.
    // The owner of service request `srq`: access id, and four further texts.
    int LookupSrq(const JexString& srq, JexString& acid, JexString& text2, JexString& text3,
                  JexString& text4, JexString& text5);
    // 0 when `domain` may use `application`.
    int CheckCHS(const JexString& domain, const JexString& application);
    // Whether service request `srq` may be reviewed; `text` receives the answer.
    int CheckReview(const JexString& srq, JexString& text);

    // The loaded map: keys and their values, in the order of the keys' first
    // appearance, both upper-cased.
    const JexFieldedString& Keys() const { return keys_; }
    const JexFieldedString& Values() const { return values_; }

private:
    int NotOnThisPlatform();
    void Load();

    std::unique_ptr<JexDataFile> dataFile_;
    JexFieldedString keys_{' '};
    JexFieldedString values_{' '};
};
