#include "redrawingview.h"
#include "sharedfilesview.h"

#include <QApplication>
#include <QDir>
#include <QScreen>

namespace {

// The VM's display has no window manager to make a window full screen: cover it by hand.
int showFullScreen(QWidget &desktop)
{
    desktop.setWindowTitle(QStringLiteral("Demo VM desktop"));
    desktop.setGeometry(QApplication::primaryScreen()->geometry());
    desktop.show();
    return QApplication::exec();
}

} // namespace

// zel-demo-desktop: the desktop program of the demo VM. It shows the list of shared files that
// the demo slave service keeps (ZEL_SLAVE_SHARES_LIST, by default "shared-folders.txt" in HOME).
// With --redraw it draws a picture that changes all the time instead.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zel-demo-desktop"));

    if (QApplication::arguments().contains(QStringLiteral("--redraw"))) {
        RedrawingView view;
        return showFullScreen(view);
    }

    QString listPath = qEnvironmentVariable("ZEL_SLAVE_SHARES_LIST");
    if (listPath.isEmpty())
        listPath = QDir::homePath() + QStringLiteral("/shared-folders.txt");

    SharedFilesView view(listPath);
    return showFullScreen(view);
}
