// What every class with numbered attributes promises of its row table: one parameterised suite over
// them all.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/mail/JexLocator.h"
#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/modem/JexModemLineDb.h"
#include "jexlink/modem/JexModemServDb.h"
#include "jexlink/modem/JexTp2Frame.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexK2.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexTransport.h"

namespace {

// The four accesses of an attribute.
enum class Access { kGetInt, kGetText, kSetInt, kSetText };

// A code a class gives for one access of one attribute instead of the
// contract's.
struct Override {
    Access access;
    int number;
    int code;
};

// One class's attributes as the contract sees them: its rows, a fresh
// object (its failures returned, never ending the process), the accesses
// it has (null: none of that kind), its codes for the faults of an integer
// and of a text access, whether a refused access is recorded on the object
// (otherwise it answers by its result alone), and its exceptions.
struct AttrClass {
    const char* name;
    std::span<const JexAttrRow> rows;
    std::function<std::shared_ptr<void>()> make;
    std::function<int(void*, int)> getInt;
    std::function<int(void*, int)> getText;
    std::function<int(void*, int)> setInt;
    std::function<int(void*, int)> setText;
    JexAttrCodes intCodes;
    JexAttrCodes textCodes;
    // The object's recorded code; null for a class that keeps none.
    std::function<int(void*)> code;
    bool records = true;
    std::vector<Override> overrides = {};
};

void PrintTo(const AttrClass& c, std::ostream* out) { *out << c.name; }

template <class T>
std::shared_ptr<void> Suppressed() {
    auto object = std::make_shared<T>();
    object->SetSuppress(1);
    return object;
}

template <class T>
std::shared_ptr<void> Plain() {
    return std::make_shared<T>();
}

template <class T>
int CodeOf(void* object) {
    return static_cast<T*>(object)->Code();
}

std::string Text(const JexBufferBase& value) {
    return std::string(value.Data() ? value.Data() : "", static_cast<size_t>(value.Length()));
}

// The accesses of a class whose GetAttr and SetAttr take `Number` (an int or
// the class's own enumeration), an integer of type `Int` and a text of type
// `Text`. A refused read leaves the caller's value as it was.
template <class T, class Number, class Int = int>
int GetInt(void* object, int attribute) {
    Int value = static_cast<Int>(77);
    const int code = static_cast<T*>(object)->GetAttr(static_cast<Number>(attribute), value);
    if (code != 0) {
        EXPECT_EQ(static_cast<int>(value), 77);
    }
    return code;
}
template <class T, class Number, class Text = JexString>
int GetText(void* object, int attribute) {
    Text value("kept");
    const int code = static_cast<T*>(object)->GetAttr(static_cast<Number>(attribute), value);
    if (code != 0) {
        EXPECT_EQ(::Text(value), "kept");
    }
    return code;
}
template <class T, class Number, class Int = int>
int SetInt(void* object, int attribute) {
    return static_cast<T*>(object)->SetAttr(static_cast<Number>(attribute), static_cast<Int>(1));
}
template <class T, class Number, class Text = const char*>
int SetText(void* object, int attribute) {
    return static_cast<T*>(object)->SetAttr(static_cast<Number>(attribute), Text("1"));
}

// The codes of a class whose table names them BADATTR, ATTRNOTINT,
// ATTRNOTSTRING and ATTRREADONLY, for both kinds of access.
template <class T>
constexpr JexAttrCodes kUsualCodes{T::BADATTR, T::ATTRNOTINT, T::ATTRNOTSTRING, T::ATTRREADONLY};

std::vector<AttrClass> Classes() {
    using Tp2 = JexTp2Frame;
    using L = JexLocator;
    constexpr JexAttrCodes kLocatorCodes{L::kNoSuchAttribute, L::kNotInteger, L::kNotString,
                                         L::kReadOnly};
    constexpr JexAttrCodes kSraCodes{JexSra::NOITEMCODE, JexSra::NOITEMCODE, JexSra::NOITEMCODE,
                                     JexSra::NOITEMCODE};
    return {
        {"JexTransport", JexTransport::AttributeRows(), Suppressed<JexTransport>,
         GetInt<JexTransport, int>, GetText<JexTransport, int>, SetInt<JexTransport, int>,
         SetText<JexTransport, int>, kUsualCodes<JexTransport>, kUsualCodes<JexTransport>,
         CodeOf<JexTransport>},
        // A gateway's attributes are set as texts only.
        {"JexGateway", JexGateway::AttributeRows(), Suppressed<JexGateway>,
         GetInt<JexGateway, JexGateway::Attribute>, GetText<JexGateway, JexGateway::Attribute>,
         nullptr, SetText<JexGateway, JexGateway::Attribute, JexString>, kUsualCodes<JexGateway>,
         kUsualCodes<JexGateway>, CodeOf<JexGateway>},
        // NODE_AUTH is not read as a text, not even to say it is not one.
        {"JexSession",
         JexSession::AttributeRows(),
         Suppressed<JexSession>,
         GetInt<JexSession, int>,
         GetText<JexSession, int>,
         SetInt<JexSession, int>,
         SetText<JexSession, int>,
         kUsualCodes<JexSession>,
         kUsualCodes<JexSession>,
         CodeOf<JexSession>,
         true,
         {{Access::kGetText, JexSession::NODE_AUTH, JexSession::BADATTR}}},
        // The crypto object has no read-only attribute; an unknown one and a
        // refused set share BADATTR.
        {"JexCrypto",
         JexCrypto::AttributeRows(),
         []() -> std::shared_ptr<void> {
             return std::make_shared<JexCrypto>(JexString("north"), JexString("south"), 1);
         },
         GetInt<JexCrypto, JexCrypto::Attribute>,
         GetText<JexCrypto, JexCrypto::Attribute>,
         SetInt<JexCrypto, JexCrypto::Attribute>,
         SetText<JexCrypto, JexCrypto::Attribute, JexString>,
         {JexCrypto::BADATTR, JexCrypto::ATTRNOTINT, JexCrypto::ATTRNOTSTRING, JexCrypto::BADATTR},
         {JexCrypto::BADATTR, JexCrypto::ATTRNOTINT, JexCrypto::ATTRNOTSTRING, JexCrypto::BADATTR},
         CodeOf<JexCrypto>},
        // The signing object only sets its integers.
        {"JexK2", JexK2::AttributeRows(), Suppressed<JexK2>, nullptr, nullptr,
         SetInt<JexK2, JexK2::Attribute>, nullptr, kUsualCodes<JexK2>, kUsualCodes<JexK2>,
         CodeOf<JexK2>},
        // The service request answers every fault with one code, by its
        // result alone.
        {"JexSra", JexSra::AttributeRows(), Suppressed<JexSra>, GetInt<JexSra, int, int32_t>,
         GetText<JexSra, int>, SetInt<JexSra, int>, SetText<JexSra, int>, kSraCodes, kSraCodes,
         CodeOf<JexSra>, false},
        // A frame answers by the kind of the access alone.
        {"JexTp2Frame",
         Tp2::AttributeRows(),
         Suppressed<Tp2>,
         GetInt<Tp2, int>,
         GetText<Tp2, int, JexBuffer>,
         SetInt<Tp2, int>,
         SetText<Tp2, int, JexBuffer>,
         {Tp2::ATTRNOTINT, Tp2::ATTRNOTINT, Tp2::kNotText, Tp2::ATTRNOTINT},
         {Tp2::kNotText, Tp2::ATTRNOTINT, Tp2::kNotText, Tp2::kNotText},
         CodeOf<Tp2>,
         false},
        // The gender is fixed by the side that opened the line: setting it
        // fails as an operation.
        {"JexModemAPI",
         JexModemAPI::AttributeRows(),
         Suppressed<JexModemAPI>,
         GetInt<JexModemAPI, int>,
         GetText<JexModemAPI, int>,
         SetInt<JexModemAPI, int>,
         SetText<JexModemAPI, int>,
         kUsualCodes<JexModem>,
         kUsualCodes<JexModem>,
         CodeOf<JexModemAPI>,
         true,
         {{Access::kSetInt, JexModemAPI::kGender, JexModem::FAILURE}}},
        {"JexModemLineDb", JexModemLineDb::AttributeRows(), Suppressed<JexModemLineDb>,
         GetInt<JexModemLineDb, int, int32_t>, GetText<JexModemLineDb, int>,
         SetInt<JexModemLineDb, int>, SetText<JexModemLineDb, int>, kUsualCodes<JexModemLineDb>,
         kUsualCodes<JexModemLineDb>, CodeOf<JexModemLineDb>},
        {"JexModemServDb", JexModemServDb::AttributeRows(), Suppressed<JexModemServDb>,
         GetInt<JexModemServDb, int, int32_t>, GetText<JexModemServDb, int>,
         SetInt<JexModemServDb, int>, SetText<JexModemServDb, int>, kUsualCodes<JexModemServDb>,
         kUsualCodes<JexModemServDb>, CodeOf<JexModemServDb>},
        // A locator keeps no error: it answers by its result alone; its
        // integers are methods.
        {"JexLocator", L::AttributeRows(), Plain<L>, GetInt<L, int, JexLocMethod>, GetText<L, int>,
         SetInt<L, int, JexLocMethod>, SetText<L, int>, kLocatorCodes, kLocatorCodes, nullptr},
    };
}

class AttributeContract : public ::testing::TestWithParam<AttrClass> {};

// Runs one access of `number` on a fresh object, if the class has it, and
// checks its code (the class's own where it gives one) and that the
// refusal is recorded on the object, or, for a class that answers by its
// result alone, that nothing is.
void ExpectRefused(const AttrClass& c, Access access, int number, int code) {
    const std::function<int(void*, int)>* call[] = {&c.getInt, &c.getText, &c.setInt, &c.setText};
    const auto& run = *call[static_cast<int>(access)];
    if (!run) return;
    for (const Override& o : c.overrides)
        if (o.access == access && o.number == number) code = o.code;
    SCOPED_TRACE(::testing::Message() << "access " << static_cast<int>(access));
    const std::shared_ptr<void> object = c.make();
    EXPECT_EQ(run(object.get(), number), code);
    if (c.code) {
        EXPECT_EQ(c.code(object.get()), c.records ? code : 0);
    }
}

// Numbers no row has: 0, the one past the largest, and -1.
std::vector<int> UnknownNumbers(std::span<const JexAttrRow> rows) {
    int largest = 0;
    for (const JexAttrRow& row : rows) largest = std::max(largest, row.number);
    std::vector<int> numbers;
    for (int n : {0, largest + 1, -1})
        if (!JexFindAttr(rows, n)) numbers.push_back(n);
    return numbers;
}

TEST_P(AttributeContract, UnknownNumberIsRefused) {
    const AttrClass& c = GetParam();
    ASSERT_FALSE(c.rows.empty());
    for (int number : UnknownNumbers(c.rows)) {
        SCOPED_TRACE(number);
        ExpectRefused(c, Access::kGetInt, number, c.intCodes.unknown);
        ExpectRefused(c, Access::kGetText, number, c.textCodes.unknown);
        ExpectRefused(c, Access::kSetInt, number, c.intCodes.unknown);
        ExpectRefused(c, Access::kSetText, number, c.textCodes.unknown);
    }
}

// Every row read as the kind it is not is refused with that kind's code.
TEST_P(AttributeContract, WrongKindIsRefused) {
    const AttrClass& c = GetParam();
    for (const JexAttrRow& row : c.rows) {
        SCOPED_TRACE(row.name ? row.name : "?");
        if (row.kind == JexAttrKind::kInt)
            ExpectRefused(c, Access::kGetText, row.number, c.textCodes.notText);
        if (row.kind == JexAttrKind::kText)
            ExpectRefused(c, Access::kGetInt, row.number, c.intCodes.notInt);
    }
}

// Every read-only row refuses a set of its own kind with the read-only code.
TEST_P(AttributeContract, ReadOnlyIsRefused) {
    const AttrClass& c = GetParam();
    for (const JexAttrRow& row : c.rows) {
        if (!row.readOnly) continue;
        SCOPED_TRACE(row.name ? row.name : "?");
        const unsigned kind = static_cast<unsigned>(row.kind);
        if (kind & static_cast<unsigned>(JexAttrKind::kInt))
            ExpectRefused(c, Access::kSetInt, row.number, c.intCodes.readOnly);
        if (kind & static_cast<unsigned>(JexAttrKind::kText))
            ExpectRefused(c, Access::kSetText, row.number, c.textCodes.readOnly);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryClass, AttributeContract, ::testing::ValuesIn(Classes()),
                         [](const ::testing::TestParamInfo<AttrClass>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
