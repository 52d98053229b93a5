#include "nxdialog.h"

#include "backends/zelnxbackend.h"

#include <QDebug>
#include <QMessageBox>
#include <QRegularExpression>

NXDialog::NXDialog(const NXErrorCommandData &request)
    : m_request(request)
{
}

bool NXDialog::answeredBySession(const NXErrorCommandData &request)
{
    static const QRegularExpression lostLink(QStringLiteral("(No response received from|connection with) the remote"));
    return qEnvironmentVariableIsSet(ZELNXBackend::ResumingVariable) && lostLink.match(request.message).hasMatch();
}

int NXDialog::exec()
{
    if (answeredBySession(m_request)) {
        qInfo() << "Not showing message of type " << m_request.type << " with title " << m_request.caption
                << ": the session resumes after the lost link itself (" << m_request.message << ")";
        return 0;
    }
    qInfo() << "Showing message of type " << m_request.type << " with title " << m_request.caption << ", content "
            << m_request.message;

    QMessageBox box;
    box.setText(m_request.message);
    box.setWindowTitle(m_request.caption);
    setUpButtons(box);

    const int result = box.exec();
    qDebug() << "Selection made: " << QMessageBox::StandardButtons(result);

    const auto action = m_actions.constFind(result);
    if (action == m_actions.constEnd())
        return 0;

    qDebug() << "Will execute action" << action.value() << "on PID" << m_request.pid;
    if (m_request.pid == 0)
        qWarning() << "Can't execute action without a PID";
    else
        carryOut(action.value());
    return action.value();
}

void NXDialog::setUpButtons(QMessageBox &box)
{
    // Only the answers to questions act on the NX process. The one-button boxes are notices:
    // acknowledging one only closes it, and must not end the session.
    switch (m_request.type) {
    case NXErrorCommandData::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        box.setIcon(QMessageBox::Information);
        break;
    case NXErrorCommandData::Error:
        box.setStandardButtons(QMessageBox::Ok);
        box.setIcon(QMessageBox::Warning);
        break;
    case NXErrorCommandData::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setIcon(QMessageBox::Question);
        m_actions.insert(QMessageBox::Yes, AffirmativeAction);
        break;
    case NXErrorCommandData::YesNoSuspend:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setIcon(QMessageBox::Question);
        box.addButton(tr("Suspend"), QMessageBox::ApplyRole);
        m_actions.insert(QMessageBox::Yes, AffirmativeAction);
        // A message box returns the position of an added button among the added ones.
        m_actions.insert(0, SuspendAction);
        break;
    case NXErrorCommandData::Panic:
        box.setStandardButtons(QMessageBox::Ok);
        box.setIcon(QMessageBox::Critical);
        break;
    case NXErrorCommandData::Pulldown:
    case NXErrorCommandData::Quit:
        box.setStandardButtons(QMessageBox::Ok);
        box.setIcon(QMessageBox::Question);
        break;
    default:
        break;
    }
}
