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

    // Whether the session that started the NX software answers this request itself: it is
    // about the lost link to the VM, and the session resumes after a drop (the NX backend
    // says so in the environment). Nothing is shown then, and nothing is done to the asker:
    // the session ends the dead link and connects again on its own.
    static bool answeredBySession(const NXErrorCommandData &request);

private:
    void setUpButtons(QMessageBox &box);
    void carryOut(int action) const;

    NXErrorCommandData m_request;
    // Message box result code -> action number.
    QMap<int, int> m_actions;
};
