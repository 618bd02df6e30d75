// CErrorObject: instance tags numbered process-wide, and the tag text.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "sharedcode/errorobject.h"

namespace {

TEST(ErrorObject, ConsecutiveTagsFromTheCounter) {
    CErrorObject a, b;
    const unsigned long n = std::stoul(a.GetTag(), nullptr, 16);
    EXPECT_GE(n, 0x1001ul);
    EXPECT_EQ(std::string(a.GetTag()).size(), 8u);
    EXPECT_EQ(std::stoul(b.GetTag(), nullptr, 16), n + 1);
}

TEST(ErrorObject, NumbersStayUniqueAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<std::vector<std::string>> tags(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &tags] {
            for (int i = 0; i < 500; ++i) {
                CErrorObject o;
                tags[t].push_back(o.GetTag());
            }
        });
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (auto& v : tags) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), 2000u);
}

// A new object: flag clear, level -1, no tag. A tag is copied, also from the
// object's own buffer; an empty one reads as null.
TEST(ErrorObject, StartsClearAndCopiesItsTag) {
    CErrorObject o;
    EXPECT_FALSE(o.TestFlag());
    EXPECT_EQ(o.GetLevel(), -1);
    EXPECT_STREQ(o.SetTag("ini:settings"), "ini:settings");
    EXPECT_STREQ(o.SetTag(o.GetTag()), "ini:settings");
    EXPECT_EQ(o.SetTagResult(nullptr), 0);
    EXPECT_EQ(o.GetTag(), nullptr);
    EXPECT_EQ(o.LastResult(), 0u);
}

}  // namespace
