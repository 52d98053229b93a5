#include "nxdialog.h"

#include <QDebug>

void NXDialog::carryOut(int action) const
{
    Q_UNUSED(action)
    qWarning() << "Actions not implemented on this OS";
}
