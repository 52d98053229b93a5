#pragma once

#include "nxerrorcommanddata.h"

#include <QCoreApplication>
#include <QMap>

class QMessageBox;

// Answers one dialog request of the NX software: shows the message box, logs the choice and
// carries out the chosen action on the requesting process.
class NXDialog
{
    Q_DECLARE_TR_FUNCTIONS(NXDialog)

public:
    enum Action {
        SuspendAction = 1,
        AffirmativeAction = 2
    };

    explicit NXDialog(const NXErrorCommandData &request);

    // Runs the message box modally; returns the action taken, or 0 for none.
    int exec();

private:
    void setUpButtons(QMessageBox &box);
    void carryOut(int action) const;

    NXErrorCommandData m_request;
    // Message box result code -> action number.
    QMap<int, int> m_actions;
};
