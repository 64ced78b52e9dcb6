// Tests of the SQLite wrapper's statements that are prepared once per connection and reused.
#include "platform/registry/SqliteDb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "testing/support/TempDir.h"

namespace {

using platform::SqliteDb;
using platform::SqliteStatement;
using platform::SqliteTransaction;

constexpr char kSelect[] = "SELECT v FROM t WHERE k = ?1";

class SqliteDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(db_.Open(dir_.Path() / "test.db", 1000), SQLITE_OK);
        ASSERT_EQ(db_.SetUp("CREATE TABLE t(k INTEGER, v TEXT);"
                            "INSERT INTO t VALUES (1, 'one'), (2, 'two'), (3, 'three');",
                            [](SqliteDb&) { return SQLITE_OK; }),
                  SQLITE_OK);
    }

    // The value of key k through the connection's reused statement.
    std::string Value(int64_t k) {
        SqliteStatement select(db_, kSelect);
        select.Bind(1, k);
        return select.Step() == SQLITE_ROW ? select.Text(0) : "-";
    }

    tavro::testing::TempDir dir_{"sqlitedb"};
    SqliteDb db_;
};

// Each use starts reset and without the bindings of the one before.
TEST_F(SqliteDbTest, AReusedStatementStartsResetAndUnbound) {
    EXPECT_EQ(Value(2), "two");
    EXPECT_EQ(Value(1), "one");
    {
        SqliteStatement unbound(db_, kSelect);
        EXPECT_EQ(unbound.Step(), SQLITE_DONE);  // k = NULL matches nothing
    }
    // A use that stopped at its first row does not hold the next one back.
    {
        SqliteStatement all(db_, "SELECT v FROM t ORDER BY k");
        EXPECT_EQ(all.Step(), SQLITE_ROW);
    }
    SqliteStatement all(db_, "SELECT v FROM t ORDER BY k");
    ASSERT_EQ(all.Step(), SQLITE_ROW);
    EXPECT_EQ(all.Text(0), "one");
}

// Two live statements of one text (a nested loop) each get their own.
TEST_F(SqliteDbTest, TwoLiveStatementsOfOneTextAreIndependent) {
    std::vector<std::string> pairs;
    SqliteStatement outer(db_, "SELECT v FROM t ORDER BY k");
    while (outer.Step() == SQLITE_ROW) {
        SqliteStatement inner(db_, "SELECT v FROM t ORDER BY k");
        while (inner.Step() == SQLITE_ROW) pairs.push_back(outer.Text(0) + inner.Text(0));
    }
    EXPECT_EQ(pairs.size(), 9u);
    EXPECT_EQ(pairs.front(), "oneone");
    EXPECT_EQ(pairs.back(), "threethree");
}

// Bad SQL is an error of every use, never a crash, and nothing is kept.
TEST_F(SqliteDbTest, BadSqlFailsEachTime) {
    for (int i = 0; i < 2; ++i) {
        SqliteStatement bad(db_, "SELEKT nothing");
        EXPECT_EQ(bad.Bind(1, int64_t{1}).Step(), SQLITE_ERROR);
    }
    EXPECT_NE(db_.Run("NOT SQL"), SQLITE_OK);
}

// Transactions run through the reused statements; a rolled-back write is gone.
TEST_F(SqliteDbTest, TransactionsCommitAndRollBack) {
    {
        SqliteTransaction write(db_, SqliteTransaction::Kind::Write);
        ASSERT_EQ(write.status(), SQLITE_OK);
        EXPECT_EQ(db_.Run("UPDATE t SET v = 'uno' WHERE k = 1"), SQLITE_OK);
        EXPECT_EQ(write.Commit(), SQLITE_OK);
    }
    {
        SqliteTransaction write(db_, SqliteTransaction::Kind::Write);
        ASSERT_EQ(write.status(), SQLITE_OK);
        EXPECT_EQ(db_.Run("UPDATE t SET v = 'lost' WHERE k = 2"), SQLITE_OK);
    }
    SqliteTransaction read(db_, SqliteTransaction::Kind::Read);
    ASSERT_EQ(read.status(), SQLITE_OK);
    EXPECT_EQ(Value(1), "uno");
    EXPECT_EQ(Value(2), "two");
}

// Another connection (another process) sees each commit at once, and this
// connection sees the other's, even with its statements kept prepared.
TEST_F(SqliteDbTest, AnotherConnectionsWritesAreSeenAtOnce) {
    EXPECT_EQ(Value(3), "three");
    SqliteDb other;
    ASSERT_EQ(other.Open(dir_.Path() / "test.db", 1000), SQLITE_OK);
    EXPECT_EQ(other.Run("UPDATE t SET v = 'drei' WHERE k = 3"), SQLITE_OK);
    EXPECT_EQ(Value(3), "drei");
    // A changed schema is taken in by the kept statements.
    EXPECT_EQ(other.Exec("ALTER TABLE t ADD COLUMN w TEXT"), SQLITE_OK);
    EXPECT_EQ(Value(3), "drei");
}

}  // namespace
