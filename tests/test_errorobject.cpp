// CErrorObject: instance tags numbered process-wide, flag, level and tag.
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

TEST(ErrorObject, FlagLevelAndTag) {
    CErrorObject o;
    EXPECT_FALSE(o.TestFlag());
    EXPECT_TRUE(o.SetFlag(true));
    EXPECT_TRUE(o.TestFlag());
    EXPECT_FALSE(o.SetFlag(false));
    EXPECT_FALSE(o.TestFlag());

    EXPECT_EQ(o.GetLevel(), -1);
    EXPECT_EQ(o.IncrementLevel(), 0);
    EXPECT_EQ(o.SetLevel(32767), 32767);
    o.LevelRef() = 5;
    EXPECT_EQ(o.DecrementLevel(), 4);
    EXPECT_EQ(static_cast<const CErrorObject&>(o).LevelRef(), 4);

    EXPECT_STREQ(o.SetTag("ini:settings"), "ini:settings");
    EXPECT_STREQ(o.SetTag(o.GetTag()), "ini:settings") << "its own buffer";
    EXPECT_EQ(o.SetTagResult(nullptr), 0);
    EXPECT_EQ(o.GetTag(), nullptr) << "an empty tag reads as null";
    EXPECT_EQ(o.LastResult(), 0u);
}

}  // namespace
