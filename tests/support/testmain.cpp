#include "testmain.h"

#include "testenvironment.h"

#include <QMetaMethod>
#include <QSet>
#include <QStringList>
#include <QTest>

namespace {

// The test functions of the object, as Qt Test finds them: its own private slots without
// arguments, but the set-up and clean-up ones and the data functions.
QStringList testFunctions(const QObject *test)
{
    static const QSet<QByteArray> special{"initTestCase", "initTestCase_data", "cleanupTestCase", "init", "cleanup"};
    const QMetaObject *meta = test->metaObject();
    QStringList functions;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() != QMetaMethod::Slot || method.access() != QMetaMethod::Private
            || method.parameterCount() != 0 || special.contains(method.name()) || method.name().endsWith("_data"))
            continue;
        functions << QString::fromLatin1(method.name());
    }
    return functions;
}

} // namespace

int TestMain::run(QObject *test, int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    // Started by the main entry with no function named: everything but the own entries' functions.
    const QStringList ownEntries = qEnvironmentVariable("ZEL_TEST_OWN_ENTRIES").split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (arguments.size() == 1 && !ownEntries.isEmpty()) {
        QStringList functions = testFunctions(test);
        for (const QString &own : ownEntries)
            functions.removeAll(own);
        if (functions.isEmpty())
            return 0;
        arguments += functions;
    }

    const int status = QTest::qExec(test, arguments);
    return status == 0 && TestEnvironment::skipped() ? SkipExitCode : status;
}
