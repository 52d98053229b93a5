// Measures how long loading the USB ID list takes, to decide whether it may run while the
// window starts. Usage: zel-usbids-bench [path to usb.ids] [runs]
#include "usbip/usbdatabase.h"
#include "helpers/pathtools.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString path = args.value(1).isEmpty() ? PathTools::getUsbDatabase() : args.value(1);
    const int runs = std::max(1, args.value(2, QStringLiteral("20")).toInt());

    std::vector<double> ms;
    int vendors = 0;
    int products = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const UsbDatabase db(path);
        ms.push_back(timer.nsecsElapsed() / 1e6);
        vendors = db.getVendorCount();
        products = db.getItemCount();
    }
    std::sort(ms.begin(), ms.end());
    QTextStream(stdout) << "file " << path << "\n"
                        << "vendors " << vendors << ", products " << products << "\n"
                        << "load ms: min " << ms.front() << ", median " << ms[ms.size() / 2] << ", max "
                        << ms.back() << " (" << runs << " runs)\n";
    return vendors > 0 ? 0 : 1;
}
