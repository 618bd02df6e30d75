// Objects of the caller's that outlive the process-wide heaps at exit: a
// static made before the heaps is destroyed after them.
#include <cstdlib>
#include <optional>

#include "gtest/gtest.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/tsz.h"

namespace {

TEST(ExitOrder, BlocksOutlivingTheirHeapAreLeftAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Both statics are complete before the heaps exist, so they go
            // after them.
            static std::optional<TSz<char>> s_text;
            static void* s_block = nullptr;
            static struct Release {
                ~Release() { CModuleHeap::Free(s_block); }
            } s_release;
            s_text.emplace("made after its holder");
            s_text->Append(" and grown");
            s_block = CModuleHeap::Malloc(64);
            std::exit(s_block ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
