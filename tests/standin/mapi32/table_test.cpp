#include "standin/mapi32/table.h"

#include <gtest/gtest.h>

TEST(MemoryTable, Placeholder) { SUCCEED(); }
