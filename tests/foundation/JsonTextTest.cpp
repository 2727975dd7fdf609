// What a log line shows of a wide value: a member whole up to the node
// bound, counted at every node below it, and by its member count beyond.

#include "foundation/JsonText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nlohmann::json;

json zeros(size_t count)
{
    return std::vector<int>(count);
}

TEST(JsonText, AMemberBeyondTheNodeBoundIsShownByItsCount)
{
    struct Case {
        json value;
        std::string shown;
    } const cases[] = {
        {{{"a", zeros(JsonText::kMaxNodes)}}, json{{"a", zeros(JsonText::kMaxNodes)}}.dump()},
        {{{"a", zeros(JsonText::kMaxNodes + 1)}}, R"x({"a":"(801 members)"})x"},
        {{{"a", {{"b", zeros(JsonText::kMaxNodes - 1)}}}}, json{{"a", {{"b", zeros(JsonText::kMaxNodes - 1)}}}}.dump()},
        {{{"a", {{"b", zeros(JsonText::kMaxNodes)}}}}, R"x({"a":"(1 members)"})x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonText::forLog(c.value), c.shown) << c.shown.substr(0, 40);
}

} // namespace
