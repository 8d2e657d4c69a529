// Writes the rich sample message into the file named on the command line, for
// the independent reader on the Linux side (check_sample.py).
#include "tests/standin/msg/msg_test_util.h"

int wmain(int argc, wchar_t** argv) {
    return argc == 2 && SUCCEEDED(msgtest::WriteRichFile(argv[1], true)) ? 0 : 1;
}
