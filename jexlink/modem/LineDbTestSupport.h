// What the tests of JexModemLineDb share: line rows built for a case and the fixture over the
// temporary line file.
#pragma once

#include "jexlink/modem/JexModemLineDb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "testing/support/ModemDbTestSupport.h"

namespace tavro::testing::line_db {

using tavro::testing::Error;
using tavro::testing::ExpectAccessModes;
using tavro::testing::ExpectError;
using tavro::testing::FileState;
using tavro::testing::IntArg;
using tavro::testing::kMissing;
using tavro::testing::LineRecord;
using tavro::testing::LineRow;
using tavro::testing::ModemDbFiles;
using tavro::testing::ModemDbFileTest;
using tavro::testing::PutFile;
using tavro::testing::Records;
using tavro::testing::RemovedLine;

using Db = JexModemLineDb;

inline LineRow Row(const std::string& name, uint32_t pid = 1) {
    LineRow r;
    r.name = name;
    r.pid = pid;
    return r;
}

// A line a selection can take: Originate, idle, one free link.
inline LineRow Idle(const std::string& name, int allowed = Db::kOriginate, int state = Db::kIdle) {
    LineRow r = Row(name);
    r.allowed = allowed;
    r.current = 1;
    r.state = state;
    r.maxLinks = 1;
    r.speed = 9600;
    r.type = "pstn";
    return r;
}

inline JexString Text(Db& db, int attribute) {
    JexString value;
    EXPECT_EQ(db.GetAttr(attribute, value), Db::OK);
    return value;
}

class LineDbTest : public ModemDbFileTest<&ModemDbFiles::Lines> {
protected:
    // The selection order a test may set stays with it.
    void TearDown() override {
        EXPECT_TRUE(DeleteSetting(JexConfig::kGlobalParameters, "Modem.LookupSequence"));
    }
    // Registers `name` for `pid` on `db` and expects success.
    void Registered(Db& db, const char* name, int32_t pid) {
        ASSERT_EQ(db.Register(name, pid), Db::OK) << name;
        ASSERT_EQ(db.AccessMode(), 2);
    }
};

}  // namespace tavro::testing::line_db
