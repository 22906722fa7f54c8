// Alias plans: what a plan file may hold, and the checks that keep a plan from writing
// anything when one row is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/cli/alias_plan.h"

namespace {

std::vector<PlanRow> ParseOk(const std::string& text) {
    std::vector<PlanRow> rows;
    std::string error;
    EXPECT_TRUE(ParseAliasPlan(text, &rows, &error)) << error;
    return rows;
}

std::string ParseError(const std::string& text) {
    std::vector<PlanRow> rows;
    std::string error;
    EXPECT_FALSE(ParseAliasPlan(text, &rows, &error)) << text;
    return error;
}

TEST(AliasPlanFile, ColumnsInAnyOrderOptionalChecksAndSpreadsheetHabits) {
    const std::vector<PlanRow> rows = ParseOk(
        "# line 3 of the hall\r\n"
        "serial, alias ,position,vendor,product\r\n"
        "\r\n"
        "7,0x1001,1,2,0x12345678\r\n"
        "\"8\",\"1002\",\"2\",,\r\n"
        "  ,\t0\t, 3 , 0xEC5,\n");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].line, 4);
    EXPECT_EQ(rows[0].position, 1u);
    EXPECT_EQ(rows[0].alias, 0x1001);
    EXPECT_TRUE(rows[0].has_vendor && rows[0].has_product && rows[0].has_serial);
    EXPECT_EQ(rows[0].vendor, 2u);
    EXPECT_EQ(rows[0].product, 0x12345678u);
    EXPECT_EQ(rows[0].serial, 7u);
    EXPECT_EQ(rows[1].alias, 1002);
    EXPECT_TRUE(rows[1].has_serial);
    EXPECT_FALSE(rows[1].has_vendor || rows[1].has_product) << "empty optional fields are not checked";
    EXPECT_EQ(rows[2].position, 3u);
    EXPECT_EQ(rows[2].alias, 0);
    EXPECT_FALSE(rows[2].has_serial);
    EXPECT_TRUE(rows[2].has_vendor);
    EXPECT_EQ(rows[2].vendor, 0xEC5u);
    EXPECT_EQ(ParseOk("position,alias\n1,5").size(), 1u) << "no newline at the end";
}

TEST(AliasPlanFile, MalformedFilesAreRefusedWithTheLine) {
    const struct {
        const char* text;
        const char* error_part;
    } cases[] = {
        {"", "no header"},
        {"# only a comment\n", "no header"},
        {"position,alias\n", "no rows"},
        {"position\n1\n", "must name the columns position and alias"},
        {"position,alias,colour\n1,2,red\n", "line 1: unknown column \"colour\""},
        {"position,alias,alias\n1,2,3\n", "column \"alias\" given twice"},
        {"position,alias\n1\n", "line 2: 1 fields, the header names 2"},
        {"position,alias\n1,2,3\n", "line 2: 3 fields"},
        {"position,alias\n1,70000\n", "line 2: bad alias \"70000\""},
        {"position,alias\n1,-1\n", "bad alias \"-1\""},
        {"position,alias\n1,12abc\n", "bad alias"},
        {"position,alias\n0,1\n", "bad position \"0\""},
        {"position,alias\n,1\n", "no position given"},
        {"position,alias\n1,\n", "no alias given"},
        {"position,alias,serial\n1,1,4294967296\n", "bad serial"},
        {"position,alias\n1,1\n\n1,2\n", "line 4: position 1 is already planned on line 2"},
        {"position,alias\n1,\"2\n", "stray double quote"},
        {"position,alias\n1,2,,,,,,,,,,,,,,,,,,,,\n", "too many fields"},
    };
    for (const auto& c : cases) {
        const std::string error = ParseError(c.text);
        EXPECT_NE(error.find(c.error_part), std::string::npos) << "got: " << error;
    }
    EXPECT_NE(ParseError(std::string("position,alias\n1,2\0\n", 19)).find("NUL"), std::string::npos);
}

std::vector<PlanSlave> Segment(int count) {
    std::vector<PlanSlave> slaves(static_cast<size_t>(count));
    for (int n = 0; n < count; n++) {
        PlanSlave& s = slaves[static_cast<size_t>(n)];
        s.position = n + 1;
        s.identity_read = s.serial_read = s.sii_alias_read = true;
        s.vendor = 2;
        s.product = 0x100u + static_cast<uint32_t>(n);
        s.serial = 1000u + static_cast<uint32_t>(n);
        s.sii_alias = 0;
    }
    return slaves;
}

bool Check(const std::string& plan, const std::vector<PlanSlave>& slaves, std::vector<std::vector<std::string>>* problems) {
    return CheckAliasPlan(ParseOk(plan), slaves, problems);
}

TEST(AliasPlanChecks, AGoodPlanPasses) {
    std::vector<std::vector<std::string>> problems;
    EXPECT_TRUE(Check("position,alias,vendor,product,serial\n1,10,2,0x100,1000\n3,30,2,0x102,1002\n", Segment(3),
                      &problems));
    for (const auto& p : problems) EXPECT_TRUE(p.empty());
}

TEST(AliasPlanChecks, MissingSlavesAndWrongIdentitiesAreNamedPerRow) {
    std::vector<std::vector<std::string>> problems;
    std::vector<PlanSlave> slaves = Segment(3);
    slaves[2].identity_read = false;
    EXPECT_FALSE(Check("position,alias,vendor,product,serial\n"
                       "1,10,3,0x100,1000\n"
                       "2,20,2,0x999,1001\n"
                       "3,30,2,0x102,\n"
                       "4,40,,,\n",
                       slaves, &problems));
    ASSERT_EQ(problems.size(), 4u);
    ASSERT_EQ(problems[0].size(), 1u);
    EXPECT_EQ(problems[0][0], "vendor 0x00000003 planned, the slave has 0x00000002");
    ASSERT_EQ(problems[1].size(), 1u) << "the serial matches";
    EXPECT_EQ(problems[1][0], "product 0x00000999 planned, the slave has 0x00000101");
    ASSERT_EQ(problems[2].size(), 1u);
    EXPECT_EQ(problems[2][0], "the slave's identity could not be read");
    ASSERT_EQ(problems[3].size(), 1u);
    EXPECT_EQ(problems[3][0], "no slave at position 4 (3 on the segment)");
}

TEST(AliasPlanChecks, AliasesMustBeUniqueOnTheWholeSegmentButZeroMayRepeat) {
    std::vector<PlanSlave> slaves = Segment(5);
    slaves[4].sii_alias = 50;  // not in the plan
    slaves[3].sii_alias = 40;  // in the plan: its old alias no longer counts
    std::vector<std::vector<std::string>> problems;
    EXPECT_TRUE(Check("position,alias\n1,0\n2,0\n3,40\n4,0\n", slaves, &problems))
        << "40 moves from slave 4 to slave 3, which is fine; 0 repeats";
    EXPECT_FALSE(Check("position,alias\n1,50\n2,7\n3,7\n", slaves, &problems));
    ASSERT_EQ(problems.size(), 3u);
    ASSERT_EQ(problems[0].size(), 1u);
    EXPECT_EQ(problems[0][0], "alias 50 is also on the slave at position 5");
    EXPECT_EQ(problems[1][0], "alias 7 is also on the slave at position 3");
    EXPECT_EQ(problems[2][0], "alias 7 is also on the slave at position 2");
    EXPECT_FALSE(Check("position,alias\n1,40\n", slaves, &problems)) << "slave 4 keeps 40";
    EXPECT_EQ(problems[0][0], "alias 40 is also on the slave at position 4");
}

TEST(AliasPlanChecks, AnUnreadAliasElsewhereMeansUniquenessCannotBeShown) {
    std::vector<PlanSlave> slaves = Segment(3);
    slaves[2].sii_alias_read = false;
    std::vector<std::vector<std::string>> problems;
    EXPECT_FALSE(Check("position,alias\n1,10\n", slaves, &problems));
    ASSERT_EQ(problems[0].size(), 1u);
    EXPECT_NE(problems[0][0].find("positions 3 could not be read"), std::string::npos) << problems[0][0];
    EXPECT_TRUE(Check("position,alias\n1,0\n", slaves, &problems)) << "alias 0 needs no uniqueness";
    EXPECT_TRUE(Check("position,alias\n3,10\n", slaves, &problems)) << "the unread slave is the one planned";
}

}  // namespace
