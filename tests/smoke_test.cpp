#include <gtest/gtest.h>

#include "support.h"

TEST(Smoke, NoArgumentsPrintsUsage)
{
	std::string root = support::make_root();
	support::run_result r = support::run(root, {});
	EXPECT_EQ(r.code, 2);
	EXPECT_EQ(r.err.size(), 84u);
	support::remove_tree(root);
}
