#include "common/engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/support/temp_root.h"

namespace {

TEST(EngineTest, VersionFileNamesTheInstalledEngine) {
    ql::test::TempRoot root;
    EXPECT_EQ(QL_GetInstalledAV(), AV_NONE) << "missing file";
    struct Row {
        const char *text;
        AVType kind;
    } rows[] = {
        {"2\n", AV_KAV}, {"3", AV_BD},       {"10", AV_BD},          {"  4", AV_BD},
        {"1", AV_NONE},  {"0", AV_NONE},     {"-5", AV_NONE},        {"abc", AV_NONE},
        {"", AV_NONE},   {"\t\n2x", AV_KAV}, {"99999999999", AV_BD},
    };
    for (const Row &row : rows) {
        root.writeFixed(ql::kVersionFile, row.text);
        EXPECT_EQ(QL_GetInstalledAV(), row.kind) << row.text;
    }
    QL_SetError(907);
    setenv("QL_ROOT", "relative", 1);
    EXPECT_EQ(QL_GetInstalledAV(), AV_NONE);
    EXPECT_STREQ(QL_GetErrorText(), "File size is zero") << "sets no error";
}

}  // namespace
