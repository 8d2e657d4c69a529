// The main of every test program: a child role when asked for one, else the tests.
#include <gtest/gtest.h>

#include "tests/support/child_process.h"

int main(int argc, char** argv) {
    int exitCode = 0;
    if (testsupport::RunChildRoleIfAsked(&exitCode)) return exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
