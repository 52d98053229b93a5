#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QObject>

// The main function of a test program some of whose functions are ctest entries of their own
// (zel_own_test_entries in tests/CMakeLists.txt): its main entry runs every other function,
// and an entry that skipped (ZEL_SKIP) without a failure exits with SkipExitCode, which ctest
// shows as skipped.
class TestMain
{
public:
    static constexpr int SkipExitCode = 77;

    static int run(QObject *test, int argc, char *argv[]);
};

#define ZEL_TEST_MAIN(TestClass)                                                                   \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestClass test;                                                                            \
        return TestMain::run(&test, argc, argv);                                                   \
    }

#define ZEL_TEST_GUILESS_MAIN(TestClass)                                                           \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QCoreApplication app(argc, argv);                                                          \
        TestClass test;                                                                            \
        return TestMain::run(&test, argc, argv);                                                   \
    }
