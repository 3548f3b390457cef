// The window tests run with a Qt application on the offscreen platform unless one is named.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// Qt's own internals are not built for ThreadSanitizer (tsan-qt.supp says why), and the tests
// start the command-line programs from a process that already runs Qt's threads.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0:suppressions=" SENDARI_TSAN_SUPPRESSIONS;
}
#endif

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
