#include "sharedfilesview.h"

#include <QApplication>
#include <QDir>
#include <QScreen>

// zel-demo-desktop: the desktop program of the demo VM. It shows the list of shared files that
// the demo slave service keeps (ZEL_SLAVE_SHARES_LIST, by default "shared-folders.txt" in HOME).
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zel-demo-desktop"));

    QString listPath = qEnvironmentVariable("ZEL_SLAVE_SHARES_LIST");
    if (listPath.isEmpty())
        listPath = QDir::homePath() + QStringLiteral("/shared-folders.txt");

    SharedFilesView view(listPath);
    view.setWindowTitle(QStringLiteral("Demo VM desktop"));
    // The VM's display has no window manager to make a window full screen: cover it by hand.
    view.setGeometry(QApplication::primaryScreen()->geometry());
    view.show();
    return app.exec();
}
