#include "loginform.h"

#include "modalanswerer.h"
#include "testenvironment.h"
#include "zelclient.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

template<typename T>
T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

} // namespace

void LoginForm::fill(QWidget *window, const QString &server, const QString &user, const QString &password)
{
    child<QLineEdit>(window, "serverLineEdit")->setText(server);
    child<QLineEdit>(window, "username")->setText(user);
    child<QLineEdit>(window, "password")->setText(password);
}

void LoginForm::connect(QWidget *window)
{
    QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
}

bool LoginForm::isIdle(QWidget *window)
{
    return child<QPushButton>(window, "connectButton")->isEnabled()
        && !child<QPushButton>(window, "cancelButton")->isEnabled()
        && child<QProgressBar>(window, "progressBar")->maximum() == 100
        && child<QLineEdit>(window, "username")->isEnabled();
}

bool LoginForm::connectsAgain(QWidget *window, ZELClient *session, const QString &server)
{
    // The certificate question has this button; every other dialog (the picker) is cancelled.
    ModalAnswerer answerer(ModalAnswerer::clickButton(QStringLiteral("Accept temporarily")));
    QSignalSpy listed(session, &ZELClient::vmListReceived);
    QSignalSpy terminated(session, &ZELClient::connectionTerminated);
    fill(window, server, QStringLiteral("demo"), QStringLiteral("demo"));
    connect(window);
    if (!terminated.wait(TestEnvironment::timeout(30000)) && terminated.isEmpty())
        return false;
    // Two VMs listed bring up the picker, whose cancellation ended the session.
    if (listed.count() != 1 || listed.first().first().value<QList<ZELClient::VMInfo>>().size() != 2) {
        qWarning() << "The VM list did not arrive";
        return false;
    }
    return QTest::qWaitFor([window] { return isIdle(window); }, TestEnvironment::timeout(10000)) && window->isVisible();
}
