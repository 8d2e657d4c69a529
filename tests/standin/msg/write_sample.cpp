// Writes the rich sample message into the file named on the command line, for
// the independent reader on the Linux side (check_sample.py).
#include "tests/standin/msg/msg_test_util.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: msg_write_sample FILE\n");
        return 2;
    }
    const HRESULT hr = msgtest::WriteRichFile(argv[1], true);
    if (FAILED(hr)) std::fprintf(stderr, "msg_write_sample: failed with 0x%08lx\n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : 0;
}
