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
#include "jexlink/modem/JexTp2Frame.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexK2.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexTransport.h"

namespace {

// One class's attributes as the contract sees them: its rows, a fresh
// object (its failures returned, never ending the process), the accesses
// it has (null: none of that kind) and its codes for the faults of an
// integer and of a text access.
struct AttrClass {
    const char* name;
    std::span<const JexAttrRow> rows;
    std::function<std::unique_ptr<JexException>()> make;
    std::function<int(JexException&, int)> getInt;
    std::function<int(JexException&, int)> getText;
    std::function<int(JexException&, int)> setInt;
    std::function<int(JexException&, int)> setText;
    JexAttrCodes intCodes;
    JexAttrCodes textCodes;
    // Integers that a text read refuses as unknown rather than as not a text.
    std::vector<int> unknownAsText = {};
};

void PrintTo(const AttrClass& c, std::ostream* out) { *out << c.name; }

template <class T>
std::function<std::unique_ptr<JexException>()> Suppressed() {
    return [] {
        auto object = std::make_unique<T>();
        object->SetSuppress(1);
        return object;
    };
}

// The accesses of a class whose GetAttr and SetAttr take `Number` (an int or
// the class's own enumeration) and a text of type `Text`.
template <class T, class Number, class Int = int>
int GetInt(JexException& object, int attribute) {
    Int value{};
    return static_cast<T&>(object).GetAttr(static_cast<Number>(attribute), value);
}
template <class T, class Number, class Text = JexString>
int GetText(JexException& object, int attribute) {
    Text value;
    return static_cast<T&>(object).GetAttr(static_cast<Number>(attribute), value);
}
template <class T, class Number>
int SetInt(JexException& object, int attribute) {
    return static_cast<T&>(object).SetAttr(static_cast<Number>(attribute), 1);
}
template <class T, class Number, class Text = const char*>
int SetText(JexException& object, int attribute) {
    return static_cast<T&>(object).SetAttr(static_cast<Number>(attribute), Text("1"));
}

std::vector<AttrClass> Classes() {
    using Tp2 = JexTp2Frame;
    return {
        {"JexTransport",
         JexTransport::AttributeRows(),
         Suppressed<JexTransport>(),
         GetInt<JexTransport, int>,
         GetText<JexTransport, int>,
         SetInt<JexTransport, int>,
         SetText<JexTransport, int>,
         {JexTransport::BADATTR, JexTransport::ATTRNOTINT, JexTransport::ATTRNOTSTRING,
          JexTransport::ATTRREADONLY},
         {JexTransport::BADATTR, JexTransport::ATTRNOTINT, JexTransport::ATTRNOTSTRING,
          JexTransport::ATTRREADONLY}},
        {"JexGateway",
         JexGateway::AttributeRows(),
         Suppressed<JexGateway>(),
         GetInt<JexGateway, JexGateway::Attribute>,
         GetText<JexGateway, JexGateway::Attribute>,
         nullptr,
         SetText<JexGateway, JexGateway::Attribute, JexString>,
         {JexGateway::BADATTR, JexGateway::ATTRNOTINT, JexGateway::ATTRNOTSTRING,
          JexGateway::ATTRREADONLY},
         {JexGateway::BADATTR, JexGateway::ATTRNOTINT, JexGateway::ATTRNOTSTRING,
          JexGateway::ATTRREADONLY}},
        // NODE_AUTH is not read as a text, not even to say it is not one.
        {"JexSession",
         JexSession::AttributeRows(),
         Suppressed<JexSession>(),
         GetInt<JexSession, int>,
         GetText<JexSession, int>,
         SetInt<JexSession, int>,
         SetText<JexSession, int>,
         {JexSession::BADATTR, JexSession::ATTRNOTINT, JexSession::ATTRNOTSTRING,
          JexSession::ATTRREADONLY},
         {JexSession::BADATTR, JexSession::ATTRNOTINT, JexSession::ATTRNOTSTRING,
          JexSession::ATTRREADONLY},
         {JexSession::NODE_AUTH}},
        // The crypto object has no read-only attribute; an unknown one and a
        // refused set share BADATTR.
        {"JexCrypto",
         JexCrypto::AttributeRows(),
         [] { return std::make_unique<JexCrypto>(JexString("north"), JexString("south"), 1); },
         GetInt<JexCrypto, JexCrypto::Attribute>,
         GetText<JexCrypto, JexCrypto::Attribute>,
         SetInt<JexCrypto, JexCrypto::Attribute>,
         SetText<JexCrypto, JexCrypto::Attribute, JexString>,
         {JexCrypto::BADATTR, JexCrypto::ATTRNOTINT, JexCrypto::ATTRNOTSTRING, JexCrypto::BADATTR},
         {JexCrypto::BADATTR, JexCrypto::ATTRNOTINT, JexCrypto::ATTRNOTSTRING, JexCrypto::BADATTR}},
        // The signing object only sets its integers.
        {"JexK2",
         JexK2::AttributeRows(),
         Suppressed<JexK2>(),
         nullptr,
         nullptr,
         SetInt<JexK2, JexK2::Attribute>,
         nullptr,
         {JexK2::BADATTR, JexK2::ATTRNOTINT, JexK2::ATTRNOTSTRING, JexK2::ATTRREADONLY},
         {JexK2::BADATTR, JexK2::ATTRNOTINT, JexK2::ATTRNOTSTRING, JexK2::ATTRREADONLY}},
        // The service request answers every fault with one code.
        {"JexSra",
         JexSra::AttributeRows(),
         Suppressed<JexSra>(),
         GetInt<JexSra, int, int32_t>,
         GetText<JexSra, int>,
         SetInt<JexSra, int>,
         SetText<JexSra, int>,
         {JexSra::NOITEMCODE, JexSra::NOITEMCODE, JexSra::NOITEMCODE, JexSra::NOITEMCODE},
         {JexSra::NOITEMCODE, JexSra::NOITEMCODE, JexSra::NOITEMCODE, JexSra::NOITEMCODE}},
        // A frame answers by the kind of the access alone.
        {"JexTp2Frame",
         Tp2::AttributeRows(),
         Suppressed<Tp2>(),
         GetInt<Tp2, int>,
         GetText<Tp2, int, JexBuffer>,
         SetInt<Tp2, int>,
         SetText<Tp2, int, JexBuffer>,
         {Tp2::ATTRNOTINT, Tp2::ATTRNOTINT, Tp2::kNotText, Tp2::ATTRNOTINT},
         {Tp2::kNotText, Tp2::ATTRNOTINT, Tp2::kNotText, Tp2::kNotText}},
    };
}

class AttributeContract : public ::testing::TestWithParam<AttrClass> {};

// Numbers no row has: the one past the largest, and -1.
std::vector<int> UnknownNumbers(std::span<const JexAttrRow> rows) {
    int largest = 0;
    for (const JexAttrRow& row : rows) largest = std::max(largest, row.number);
    std::vector<int> numbers;
    for (int n : {largest + 1, -1})
        if (!JexFindAttr(rows, n)) numbers.push_back(n);
    return numbers;
}

TEST_P(AttributeContract, UnknownNumberIsRefused) {
    const AttrClass& c = GetParam();
    ASSERT_FALSE(c.rows.empty());
    for (int number : UnknownNumbers(c.rows)) {
        SCOPED_TRACE(number);
        auto object = c.make();
        if (c.getInt) {
            EXPECT_EQ(c.getInt(*object, number), c.intCodes.unknown);
        }
        if (c.getText) {
            EXPECT_EQ(c.getText(*object, number), c.textCodes.unknown);
        }
        if (c.setInt) {
            EXPECT_EQ(c.setInt(*object, number), c.intCodes.unknown);
        }
        if (c.setText) {
            EXPECT_EQ(c.setText(*object, number), c.textCodes.unknown);
        }
    }
}

// Every row read as the kind it is not is refused with that kind's code.
TEST_P(AttributeContract, WrongKindIsRefused) {
    const AttrClass& c = GetParam();
    for (const JexAttrRow& row : c.rows) {
        SCOPED_TRACE(row.name ? row.name : "?");
        auto object = c.make();
        if (row.kind == JexAttrKind::kInt && c.getText) {
            const bool unknown = std::ranges::count(c.unknownAsText, row.number) > 0;
            EXPECT_EQ(c.getText(*object, row.number),
                      unknown ? c.textCodes.unknown : c.textCodes.notText);
        }
        if (row.kind == JexAttrKind::kText && c.getInt) {
            EXPECT_EQ(c.getInt(*object, row.number), c.intCodes.notInt);
        }
    }
}

// Every read-only row refuses a set of its own kind with the read-only code.
TEST_P(AttributeContract, ReadOnlyIsRefused) {
    const AttrClass& c = GetParam();
    for (const JexAttrRow& row : c.rows) {
        if (!row.readOnly) continue;
        SCOPED_TRACE(row.name ? row.name : "?");
        auto object = c.make();
        const unsigned kind = static_cast<unsigned>(row.kind);
        if ((kind & static_cast<unsigned>(JexAttrKind::kInt)) && c.setInt) {
            EXPECT_EQ(c.setInt(*object, row.number), c.intCodes.readOnly);
        }
        if ((kind & static_cast<unsigned>(JexAttrKind::kText)) && c.setText) {
            EXPECT_EQ(c.setText(*object, row.number), c.textCodes.readOnly);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryClass, AttributeContract, ::testing::ValuesIn(Classes()),
                         [](const ::testing::TestParamInfo<AttrClass>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
