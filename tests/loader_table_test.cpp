// Loader behaviour with tables of its own: trigger rows and rows whose code is in a code store.
#include <gtest/gtest.h>

TEST(LoaderTable, Placeholder) { SUCCEED(); }
