#include "text/json.h"

#include <gtest/gtest.h>

namespace vr {
namespace {

TEST(JsonSmoke, ParsesAndWrites) {
    const JsonFields f = ParseJsonObject(R"({"cmd":"patch.start","n":42})");
    EXPECT_EQ(JsonGetString(f, "cmd", ""), "patch.start");
    EXPECT_EQ(JsonGetInt(f, "n", 0), 42);
    JsonWriter w;
    AddDouble(AddInt(w, "i", INT64_MIN), "d", 0.5);
    EXPECT_EQ(FinishObject(w), R"({"i":-9223372036854775808,"d":0.50})");
}

}  // namespace
}  // namespace vr
