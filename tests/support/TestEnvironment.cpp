// Linked into every test program: it runs without a display and never opens one of the
// machine's real serial ports, whichever way it was started.
#include <cstdlib>

namespace {
struct TestEnvironment {
    TestEnvironment() {
        setenv("SENDARI_TEST", "1", 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
} g_testEnvironment;
} // namespace
