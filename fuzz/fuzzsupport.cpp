// Set-up shared by the fuzz targets: Qt objects need an application object, and the log
// would otherwise cost more than the parsing it reports on.

#include <QCoreApplication>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "zel-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    qInstallMessageHandler(dropMessage);
    return 0;
}
