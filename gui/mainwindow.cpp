#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "backends/zelnxbackend.h"
#include "buildinfo.h"
#include "connectionerrortext.h"
#include "helpers/keyboarddetector.h"
#include "helpers/privatefiles.h"
#include "listdialog.h"
#include "serveraddress.h"
#include "sessionkeeper.h"
#include "sslerrordialog.h"
#include "usbip/boundusbdevices.h"
#include "usbip/usbbindhelper.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QSettings>
#include <QMenu>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QTimeZone>

namespace {

constexpr int trafficWindowMs = 15000;
// How long closing the window waits for the keyring to take the password.
constexpr int passwordStoreBoundMs = 1500;

} // namespace

// The pixmaps are compiled into the program's static library, whose resource initialiser
// the linker would otherwise leave out.
static void initPixmaps()
{
    Q_INIT_RESOURCE(pixmaps);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_session(new ZELClient(this))
    , m_keeper(new SessionKeeper(m_session, this))
    , ui(std::make_unique<Ui::MainWindow>())
    , m_passwords(this)
{
    initPixmaps();
    m_trafficIn.setWindow(trafficWindowMs);
    m_trafficOut.setWindow(trafficWindowMs);
    connectSessionSignals();

    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/pixmaps/zel.ico")));
    fillConnectionTypes();

    ui->sharedFoldersList->setModel(&m_sharedFoldersModel);

    m_environmentVariableNames = QProcessEnvironment::systemEnvironment().keys();
    m_environmentModel.setStringList(m_environmentVariableNames);
    ui->EnvVarList->setModel(&m_environmentModel);
    ui->EnvVarList->setSelectionMode(QAbstractItemView::SingleSelection);

    setUpUsbTab();

    ui->mainTabWidget->setCurrentWidget(ui->connectTab);
    ui->sharedResourcesTabWidget->setCurrentWidget(ui->SharedFolders);
    resize(438, 544);

    connect(ui->connectButton, &QPushButton::clicked, this, &MainWindow::connectToVM);
    // Return (and Enter on the keypad) connects from the fields a connection is made of and from
    // the Connect button (its own default-button handling), at once; elsewhere, on the folder
    // buttons or in the lists, it is no request to connect.
    for (QLineEdit *field : {ui->username, ui->password, ui->secondFactor, ui->serverLineEdit}) {
        connect(field, &QLineEdit::returnPressed, this, [this] {
            if (ui->connectButton->isEnabled())
                connectToVM();
        });
    }
    connect(ui->cancelButton, &QPushButton::clicked, this, &MainWindow::cancelButtonClicked);
    auto *cancelShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(cancelShortcut, &QShortcut::activated, this, [this] {
        if (ui->cancelButton->isEnabled())
            cancelButtonClicked();
    });
    connect(ui->enableSharedFoldersCheck, &QCheckBox::clicked, this, &MainWindow::enableSharedFoldersClicked);
    connect(ui->addSharedFolderButton, &QPushButton::clicked, this, &MainWindow::addSharedFolder);
    connect(ui->removeSharedFolderButton, &QPushButton::clicked, this, &MainWindow::removeSharedFolder);
    ui->showBandwidthGraphCheck->setVisible(false);
    // The bandwidth graph is a side window: closing it while the main window is hidden (a VM
    // runs) must not end the program and the session with it.
    m_statistics.setAttribute(Qt::WA_QuitOnClose, false);
    // Known by the time the user connects, without holding up the window then.
    KeyboardDetector::detectInBackground();

    connect(&m_passwords, &PasswordStore::loaded, this, &MainWindow::rememberedPasswordLoaded);
    connect(&m_passwords, &PasswordStore::keyringFailed, this, &MainWindow::showKeyringProblem);
    ui->keyringStatusLabel->hide();
    for (QLineEdit *field : {ui->serverLineEdit, ui->username}) {
        connect(field, &QLineEdit::textChanged, this, &MainWindow::serverOrUserChanged);
        connect(field, &QLineEdit::editingFinished, this, &MainWindow::requestRememberedPassword);
    }
    // Typed by the user, the password is theirs to send wherever they connect.
    connect(ui->password, &QLineEdit::textEdited, this, [this] { m_filledPassword.clear(); });
    // Idle, the busy bar is hidden; it keeps its place so that nothing moves when it appears.
    QSizePolicy barPolicy = ui->progressBar->sizePolicy();
    barPolicy.setRetainSizeWhenHidden(true);
    ui->progressBar->setSizePolicy(barPolicy);
    ui->progressBar->hide();
    ui->statusLabel->setTextInteractionFlags(Qt::NoTextInteraction);

    // Shown from the tray while the window is hidden: closing it must not end the program.
    m_statistics.setAttribute(Qt::WA_QuitOnClose, false);
    createTrayIcon();

    updateVersionInfo();
    loadSettings();
    focusCredentials();
}

MainWindow::~MainWindow()
{
    // A field that has the cursor loses it as the window's widgets go, and would call back into
    // a window that is no longer whole.
    for (QLineEdit *field : {ui->serverLineEdit, ui->username, ui->password, ui->secondFactor})
        field->disconnect(this);
}

void MainWindow::connectSessionSignals()
{
    connect(m_session, &ZELClient::socketError, this, &MainWindow::socketError);
    connect(m_session, &ZELClient::connectionEstablished, this, &MainWindow::connectionEstablished);
    connect(m_session, &ZELClient::vmListReceived, this, &MainWindow::vmListReceived);
    connect(m_session, &ZELClient::connectionError, this, &MainWindow::connectionError);
    connect(m_session, &ZELClient::connectionTerminated, this, &MainWindow::connectionTerminated);
    // Answered inside the emission: the session reads the flag as soon as the signal returns.
    connect(m_session, &ZELClient::sslErrors, this, &MainWindow::sslErrors, Qt::DirectConnection);
    connect(m_session, &ZELClient::vmConnected, this, &MainWindow::vmConnected);
    connect(m_session, &ZELClient::vmPoweredDown, this, &MainWindow::vmPoweredDown);
    connect(m_session, &ZELClient::folderNotShared, this, &MainWindow::folderNotShared);
    connect(m_session, &ZELClient::audioNotAvailable, this, &MainWindow::audioNotAvailable);
    connect(m_session, &ZELClient::usbDeviceNotShared, this, &MainWindow::usbDeviceNotShared);
    connect(m_keeper, &SessionKeeper::dropped, this, &MainWindow::sessionDropped);
    connect(m_keeper, &SessionKeeper::progress, this, &MainWindow::reconnectProgress);
    connect(m_keeper, &SessionKeeper::resumed, this, &MainWindow::sessionResumed);
    connect(m_keeper, &SessionKeeper::credentialsNeeded, this, &MainWindow::credentialsNeeded);
    connect(m_keeper, &SessionKeeper::gaveUp, this, &MainWindow::resumeGaveUp);
}

void MainWindow::fillConnectionTypes()
{
    ui->connectionTypeComboBox->addItem(tr("Modem"), int(ZELConnectionParameters::Modem));
    ui->connectionTypeComboBox->addItem(tr("ISDN"), int(ZELConnectionParameters::ISDN));
    ui->connectionTypeComboBox->addItem(tr("ADSL"), int(ZELConnectionParameters::ADSL));
    ui->connectionTypeComboBox->addItem(tr("WAN"), int(ZELConnectionParameters::WAN));
    ui->connectionTypeComboBox->addItem(tr("LAN"), int(ZELConnectionParameters::LAN));
    ui->connectionTypeComboBox->addItem(tr("Local"), int(ZELConnectionParameters::Local));
}

void MainWindow::setGivenOnCommandLine(bool port, bool connectionType)
{
    m_portGiven = port;
    m_connectionTypeGiven = connectionType;
}

void MainWindow::setConnectionParms(ZELConnectionParameters params)
{
    m_parameters = params;

    // What the stored settings and the command line say goes into the form. A host alone keeps
    // the port already shown for that host; another port, or one given on the command line,
    // is shown with it.
    if (!params.host().isEmpty()) {
        const QString shownHost = ServerAddress::parse(ui->serverLineEdit->text()).host();
        if (m_portGiven || params.port() != ServerAddress::defaultPort)
            ui->serverLineEdit->setText(params.host() + QLatin1Char(':') + QString::number(params.port()));
        else if (shownHost != params.host())
            ui->serverLineEdit->setText(params.host());
    }
    if (!params.username().isEmpty())
        ui->username->setText(params.username());
    if (!params.password().isEmpty()) {
        ui->password->setText(params.password());
        m_filledPassword.clear();
    }

    // The stored-settings loader reads a missing speed as modem while the form defaults to
    // ADSL; only a speed that the store or the command line really gave replaces the choice.
    QSettings settings;
    const bool speedStored = settings.contains(QStringLiteral("Connection/speed"));
    if (m_connectionTypeGiven || speedStored || params.connectionSpeed() != ZELConnectionParameters::Modem)
        setConnectionSpeedChoice(params.connectionSpeed());
    requestRememberedPassword();
    focusCredentials();
}

void MainWindow::setExperimental(bool experimental)
{
    m_experimental = experimental;
    ui->showBandwidthGraphCheck->setVisible(experimental);
}

void MainWindow::setStatus(const QString &text)
{
    ui->statusLabel->setText(text);
}

void MainWindow::focusCredentials()
{
    // The first field still to fill in: with the user name known, the password.
    if (ui->username->text().isEmpty())
        ui->username->setFocus();
    else
        ui->password->setFocus();
}

QString MainWindow::formHost() const
{
    return ServerAddress::parse(ui->serverLineEdit->text()).host();
}

void MainWindow::requestRememberedPassword()
{
    if (!ui->rememberPasswordCheck->isChecked() || !ui->password->text().isEmpty())
        return;
    const QString host = formHost();
    const QString user = ui->username->text();
    if (!host.isEmpty() && !user.isEmpty())
        m_passwords.load(host, user);
}

void MainWindow::rememberedPasswordLoaded(const QString &host, const QString &user, const QString &password)
{
    // The keyring answers later: by then the form may name another server or user, or hold a
    // password typed (or given on the command line) meanwhile, which wins.
    if (password.isEmpty() || host != formHost() || user != ui->username->text() || !ui->password->text().isEmpty())
        return;
    ui->password->setText(password);
    m_filledPassword = password;
    m_filledHost = host;
    m_filledUser = user;
}

void MainWindow::serverOrUserChanged()
{
    if (m_filledPassword.isEmpty() || (formHost() == m_filledHost && ui->username->text() == m_filledUser))
        return;
    if (ui->password->text() == m_filledPassword)
        ui->password->clear();
    m_filledPassword.clear();
}

void MainWindow::showKeyringProblem(const QString &reason)
{
    if (ui->keyringStatusLabel->isVisibleTo(this))
        return;
    ui->keyringStatusLabel->setText(
        tr("The desktop keyring did not answer (%1): remembered passwords are kept in the settings file.").arg(reason));
    ui->keyringStatusLabel->show();
}

void MainWindow::setFormEnabled(bool enabled)
{
    for (int i = 0; i < ui->credentialsLayout->count(); ++i) {
        if (QWidget *widget = ui->credentialsLayout->itemAt(i)->widget())
            widget->setEnabled(enabled);
    }
    if (enabled) {
        // The user may have switched layouts during the session; the next connection gets
        // the new one without waiting for it.
        KeyboardDetector::detectInBackground();
        ui->progressBar->setMaximum(100);
        ui->progressBar->setValue(0);
        ui->progressBar->hide();
        ui->connectButton->setEnabled(true);
        ui->cancelButton->setEnabled(false);
        m_trafficTimer.stop();
        setStatus(QString());
    } else {
        ui->progressBar->setMaximum(0);
        ui->progressBar->setValue(0);
        ui->progressBar->show();
        ui->connectButton->setEnabled(false);
        ui->cancelButton->setEnabled(true);
        m_trafficTimer.start(trafficWindowMs);
    }
}

void MainWindow::connectToVM()
{
    if (m_keeper->needsCredentials()) {
        // The same session, with the credentials the broker wanted: no new VM choice.
        qInfo() << "Resuming with new credentials";
        setFormEnabled(false);
        m_keeper->resumeWith(ui->password->text(),
                             ui->enableTwoFactorAuthCheck->isChecked() ? ui->secondFactor->text() : QString());
        return;
    }
    qInfo() << "Connecting to " << ui->serverLineEdit->text();
    // A server the connection cannot use is refused before anything is stored or sent.
    const ServerAddress server = ServerAddress::parse(ui->serverLineEdit->text());
    if (!acceptServer(server))
        return;
    ui->serverLineEdit->setText(server.text());
    setFormEnabled(false);
    saveSettings();

    const auto speed = static_cast<ZELConnectionParameters::ConnectionSpeed>(
        ui->connectionTypeComboBox->currentData().toInt());

    auto *backend = new ZELNXBackend(this);
    QSettings settings;
    if (settings.value(QStringLiteral("Connection/enable_networkTraffic"), false).toBool()) {
        connect(backend, &ZELBackend::totalTrafficIncrement, this, &MainWindow::backendTrafficInc);
        connect(&m_trafficTimer, &QTimer::timeout, this, &MainWindow::printTraffic, Qt::UniqueConnection);
    }
    connect(backend, &ZELBackend::started, this, [this] { setStatus(tr("Starting the remote desktop...")); });

    const ZELConnectionParameters parameters = parametersFromForm(server, speed);
    qInfo() << "Connecting with parameters " << parameters;

    backend->setParameters(parameters);
    m_session->setBackend(backend);
    m_statistics.setBackend(backend);
    m_session->setParameters(parameters);
    m_keeper->setResumeSeconds(settings.value(QStringLiteral("Connection/reconnect_seconds"), 300).toInt());
    setStatus(tr("Connecting to %1...").arg(parameters.host()));
    m_unsharedFolders.clear();
    m_unsharedUsbDevices.clear();
    m_soundProblem.clear();
    m_session->connectToZEL();
}

bool MainWindow::acceptServer(const ServerAddress &server)
{
    if (server.isValid())
        return true;
    const QString text = server.problem() == ServerAddress::NoHost
        ? tr("Server is not set.\nPlease configure a server to connect to.")
        : tr("The port \"%1\" is not valid.\nGive a number from 1 to 65535 after the server's name.")
              .arg(server.portText());
    QMessageBox::critical(this, tr("ZEL"), text, QMessageBox::Ok);
    setFormEnabled(true);
    m_statistics.stop();
    ui->mainTabWidget->setCurrentWidget(ui->settingsTab);
    ui->serverLineEdit->setFocus();
    return false;
}

ZELConnectionParameters MainWindow::parametersFromForm(const ServerAddress &server,
                                                       ZELConnectionParameters::ConnectionSpeed speed) const
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("Connection"));

    ZELConnectionParameters parameters;
    parameters.setPrinting(ui->enablePrintingCheck->isChecked());
    parameters.setFullscreen(ui->fullScreenCheck->isChecked());
    if (ui->enableSharedFoldersCheck->isChecked())
        parameters.setSharedFolders(m_sharedFolders);
    parameters.setKeyboard(KeyboardDetector::getKeyboardLayout());
    parameters.setSecondFactor(ui->enableTwoFactorAuthCheck->isChecked() ? ui->secondFactor->text() : QString());

    // The stored "port" was just written from the same field.
    parameters.setHost(server.host());
    parameters.setPort(server.port());

    parameters.setConnectionSpeed(speed);
    parameters.setUsb_forwarding(ui->enableUSBRedirectionCheck->isChecked());
    parameters.setSharedUsbDevices(m_usbModel.selectedDevices());
    parameters.setAudio(ui->enableAudioCheck->isChecked());
    parameters.setMicrophone(ui->enableMicrophoneCheck->isChecked());
    parameters.setTimezone(getTimeZone());
    parameters.setUsername(ui->username->text());
    parameters.setPassword(ui->password->text());

    if (settings.contains(QStringLiteral("nxproxy_extra_args")))
        parameters.setNxproxy_extra_args(settings.value(QStringLiteral("nxproxy_extra_args")).toString());
    if (settings.contains(QStringLiteral("nxagent_extra_args")))
        parameters.setNxagent_extra_args(settings.value(QStringLiteral("nxagent_extra_args")).toString());
    if (settings.contains(QStringLiteral("geometry")))
        parameters.setGeometry(settings.value(QStringLiteral("geometry")).toSize());
    settings.endGroup();
    return parameters;
}

void MainWindow::connectionEstablished()
{
    if (m_keeper->isResuming())
        return;
    setStatus(tr("Fetching the list of virtual machines..."));
    m_session->requestVMList();
}

void MainWindow::vmListReceived(QList<ZELClient::VMInfo> vmlist)
{
    const int chosenId = chooseVM(vmlist);
    // The broker may have gone while the user was choosing: then nothing is sent, and the
    // session's end has already brought back the idle window.
    if (!m_session->isConnected()) {
        qInfo() << "The session ended while the VM was being chosen";
        return;
    }

    if (chosenId <= 0) {
        m_session->disconnectFromZEL();
        return;
    }
    for (const ZELClient::VMInfo &vm : vmlist) {
        if (vm.id != chosenId)
            continue;
        if (auto *backend = qobject_cast<ZELNXBackend *>(m_session->getBackend()))
            backend->setDesktopTitle(tr("%1 - ZEL").arg(vm.name));
        m_keeper->watch(vm.id, vm.name);
    }
    setStatus(tr("Waiting for the virtual machine to start..."));
    if (ui->restartSession->isChecked()) {
        ui->restartSession->setChecked(false);
        m_session->stopVM(chosenId);
    } else {
        m_session->connectToVM(chosenId);
    }
}

int MainWindow::chooseVM(const QList<ZELClient::VMInfo> &vmlist)
{
    if (vmlist.isEmpty()) {
        qInfo() << "The VM list is empty";
        QMessageBox::information(this, tr("ZEL"), tr("You have no virtual machines"));
        return 0;
    }
    if (vmlist.size() == 1) {
        qDebug() << "Only one VM available, auto-connecting to VM id " << vmlist.first().id;
        return vmlist.first().id;
    }
    auto *dialog = new ListDialog(this);
    dialog->resize(350, 150);
    dialog->setVMList(vmlist);
    m_picker = dialog;
    const int chosenId = dialog->exec();
    dialog->deleteLater();
    return chosenId;
}

void MainWindow::vmPoweredDown(int id)
{
    qInfo() << "VM " << id << "was powered down";
    m_session->connectToVM(id);
}

void MainWindow::vmConnected(int id)
{
    qInfo() << "Connection to VM " << id << "established";
    setStatus(tr("Connected"));
    hide();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon->show();
    if (m_experimental && ui->showBandwidthGraphCheck->isChecked())
        m_statistics.show();
}

void MainWindow::createTrayIcon()
{
    m_trayIcon = new QSystemTrayIcon(windowIcon(), this);
    m_trayIcon->setToolTip(tr("ZEL: connected"));
    auto *menu = new QMenu(this);
    menu->addAction(tr("Show bandwidth"), this, [this] {
        m_statistics.show();
        m_statistics.raise();
    });
    menu->addAction(tr("Disconnect"), this, [this] {
        qInfo() << "Disconnecting on the user's request";
        m_session->disconnectFromZEL();
    });
    m_trayIcon->setContextMenu(menu);
}

void MainWindow::showWindowAgain()
{
    m_trayIcon->hide();
    show();
}

void MainWindow::socketError(QAbstractSocket::SocketError error)
{
    // A failed reconnect attempt is the keeper's: it tries again.
    if (m_keeper->isResuming())
        return;
    const ZELConnectionParameters parameters = m_session->getParameters();
    QTcpSocket *socket = m_session->getSocket();
    const QString errorText = socket ? socket->errorString() : QString();
    qWarning() << "socketError " << error << " connecting with " << parameters;
    qWarning() << "Socket error: " << errorText;
    qWarning() << "Socket error: " << (socket ? socket->error() : error);

    showError(tr("Failed to connect to ZEL at %1:%2\n%3").arg(parameters.host()).arg(parameters.port()).arg(errorText));
    setFormEnabled(true);
    m_statistics.stop();
    releaseBackend();
}

void MainWindow::connectionError(ZELClient::ConnectionError error, QString error_desc)
{
    if (m_keeper->isResuming())
        return;
    qCritical() << "Connection error " << int(error) << ": " << error_desc;
    showError(ConnectionErrorText::title(error) + QLatin1Char('\n')
              + ConnectionErrorText::description(error, error_desc));
    setFormEnabled(true);
    m_statistics.stop();
    if (error == ZELClient::AuthenticationError) {
        ui->mainTabWidget->setCurrentWidget(ui->connectTab);
        if (ui->enableTwoFactorAuthCheck->isChecked()) {
            // A second factor is good for one login at most: the next one needs a new code.
            ui->secondFactor->clear();
            ui->secondFactor->setFocus();
        } else {
            // Most likely a mistyped password: ready to be typed again.
            ui->password->setFocus();
            ui->password->selectAll();
        }
    }
}

void MainWindow::sslErrors(QList<QSslError> errors, QList<QSslCertificate> cert_chain, bool &continueConnection)
{
    // During a resume the keeper accepts the session's certificates and no others, unasked.
    if (m_keeper->isResuming())
        return;
    qInfo() << "In sslErrors";
    continueConnection = SSLErrorDialog::decide(errors, cert_chain, m_session->getParameters().host(), this);
}

void MainWindow::connectionTerminated()
{
    if (m_keeper->isResuming())
        return;
    qInfo() << "Connection terminated";
    closePicker();
    setFormEnabled(true);
    QStringList notes;
    if (!m_unsharedFolders.isEmpty())
        notes << tr("Not shared with the VM: %1").arg(m_unsharedFolders.join(QStringLiteral("; ")));
    if (!m_unsharedUsbDevices.isEmpty())
        notes << tr("USB devices not shared with the VM: %1").arg(m_unsharedUsbDevices.join(QStringLiteral("; ")));
    if (!m_soundProblem.isEmpty())
        notes << tr("No sound: %1").arg(m_soundProblem);
    if (!notes.isEmpty())
        setStatus(notes.join(QLatin1Char('\n')));
    m_statistics.stop();
    releaseBackend();
    showWindowAgain();
}

void MainWindow::audioNotAvailable(const QString &reason)
{
    m_soundProblem = reason;
}

void MainWindow::folderNotShared(const QString &folder, const QString &reason)
{
    m_unsharedFolders << tr("%1 (%2)").arg(folder, reason);
}

void MainWindow::usbDeviceNotShared(const QString &device, const QString &reason)
{
    m_unsharedUsbDevices << tr("%1 (%2)").arg(device, reason);
}

void MainWindow::showError(const QString &text)
{
    closePicker();
    showWindowAgain();
    QMessageBox::critical(this, tr("ZEL"), text);
}

void MainWindow::closePicker()
{
    if (m_picker && m_picker->isVisible())
        m_picker->reject();
}

void MainWindow::releaseBackend()
{
    // The backend of an attempt that is over goes now, and its local X server (with the last
    // picture of the remote desktop) with it.
    ZELBackend *backend = m_session->getBackend();
    if (!backend)
        return;
    m_session->setBackend(nullptr);
    backend->deleteLater();
}

void MainWindow::cancelButtonClicked()
{
    qWarning() << "Cancelling active connection";
    if (m_keeper->isResuming())
        m_keeper->cancel();
    else
        m_session->disconnectFromZEL();
}

void MainWindow::showResumeState(const QString &text)
{
    setStatus(text);
    m_trayIcon->setToolTip(text);
    show();
    raise();
}

void MainWindow::sessionDropped(const QString &vmName)
{
    setFormEnabled(false);
    // The remote desktop's window keeps its last picture; this window says what happens.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_trayIcon->show();
    showResumeState(tr("The connection to %1 was lost").arg(vmName));
}

void MainWindow::reconnectProgress(const QString &vmName, int attempt, int secondsToNext)
{
    showResumeState(tr("Reconnecting to %1 (attempt %2, next in %3 s)").arg(vmName).arg(attempt).arg(secondsToNext));
}

void MainWindow::sessionResumed()
{
    m_trayIcon->setToolTip(tr("ZEL: connected"));
}

void MainWindow::credentialsNeeded(const QString &vmName, bool secondFactor)
{
    // The fields are the user's again; Connect resumes the same session, Cancel ends it.
    setFormEnabled(true);
    ui->cancelButton->setEnabled(true);
    ui->mainTabWidget->setCurrentWidget(ui->connectTab);
    if (secondFactor) {
        showResumeState(tr("Enter a new second factor to reconnect to %1").arg(vmName));
        ui->secondFactor->clear();
        ui->secondFactor->setFocus();
    } else {
        showResumeState(tr("The server refused the password: enter it to reconnect to %1").arg(vmName));
        ui->password->setFocus();
        ui->password->selectAll();
    }
}

void MainWindow::resumeGaveUp(const QString &text)
{
    m_trayIcon->setToolTip(tr("ZEL: connected"));
    // A cancel says nothing; the session's end has brought back the idle window.
    if (!text.isEmpty())
        showError(text);
}

void MainWindow::refreshSharedFolders()
{
    m_sharedFoldersModel.setStringList(m_sharedFolders);
}

void MainWindow::addSharedFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Select a folder to share"), QDir::homePath(),
                                                             QFileDialog::ShowDirsOnly);
    // A cancelled dialog answers with nothing, which is no folder to share.
    if (folder.isEmpty())
        return;
    m_sharedFolders.append(folder);
    m_sharedFolders.removeDuplicates();
    refreshSharedFolders();
}

void MainWindow::removeSharedFolder()
{
    const QModelIndex current = ui->sharedFoldersList->currentIndex();
    if (!current.isValid())
        return;
    m_sharedFolders.removeAt(current.row());
    refreshSharedFolders();
}

void MainWindow::enableSharedFoldersClicked()
{
    const bool enabled = ui->enableSharedFoldersCheck->isChecked();
    ui->sharedFoldersList->setEnabled(enabled);
    ui->addSharedFolderButton->setEnabled(enabled);
    ui->removeSharedFolderButton->setEnabled(enabled);
}

void MainWindow::backendTrafficInc(int64_t in, int64_t out)
{
    m_trafficIn.add(in);
    m_trafficOut.add(out);
}

void MainWindow::printTraffic()
{
    qInfo() << "Traffic avg in =" << m_trafficIn.average() << "bytes/s; out =" << m_trafficOut.average() << "bytes/s";
}

void MainWindow::on_enableTwoFactorAuthCheck_toggled(bool checked)
{
    ui->secondFactorLabel->setVisible(checked);
    ui->secondFactor->setVisible(checked);
}

QString MainWindow::getTimeZone() const
{
    const QString zone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    qInfo() << "Detected timezone: " << zone;
    return zone;
}

void MainWindow::updateVersionInfo()
{
    QString text;
    if (QStringLiteral(ZEL_VERSION_NUMBER).isEmpty()) {
        text = tr("Running from source\n");
    } else {
        text = QStringLiteral("ZEL Client ") + QStringLiteral(ZEL_VERSION_TEXT) + QLatin1Char('\n');
        text += tr("Copyright (C) Pelsor. All rights reserved.") + QStringLiteral("\n\n");
        text += QStringLiteral("Build ") + QStringLiteral(ZEL_BUILD_NUMBER) + QLatin1Char('\n');
    }
    if (!QStringLiteral(ZEL_GIT_COMMIT).isEmpty())
        text += QStringLiteral("Git commit ") + QStringLiteral(ZEL_GIT_COMMIT) + QLatin1Char('\n');
    ui->versionInfoEdit->setPlainText(text);
}

void MainWindow::setMainTabVisible(QWidget *tab, bool visible)
{
    const int index = ui->mainTabWidget->indexOf(tab);
    if (index >= 0)
        ui->mainTabWidget->setTabVisible(index, visible);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveSettings();
    m_passwords.finishPending(passwordStoreBoundMs);
    event->accept();
}

void MainWindow::saveSettings()
{
    qDebug() << "Saving settings";
    QSettings settings;
    PrivateFiles::ensureFile(settings.fileName());

    // The UI switches are set by administrators; writing them back makes them visible in the store.
    settings.beginGroup(QStringLiteral("UI"));
    for (const char *key : {"settingsTabVisible", "versionTabVisible", "rememberPasswordVisible", "restartSessionVisible"})
        settings.setValue(QLatin1String(key), settings.value(QLatin1String(key), true).toBool());
    settings.setValue(QStringLiteral("windowGeometry"), saveGeometry());
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Connection"));
    // A server that cannot be used leaves the stored one alone.
    const ServerAddress server = ServerAddress::parse(ui->serverLineEdit->text());
    if (server.isValid()) {
        settings.setValue(QStringLiteral("host"), server.host());
        settings.setValue(QStringLiteral("port"), server.portText().isEmpty() ? QString::number(server.port())
                                                                             : server.portText());
    }
    const bool rememberPassword = ui->rememberPasswordCheck->isChecked();
    settings.setValue(QStringLiteral("speed"), ui->connectionTypeComboBox->currentData().toInt());
    settings.setValue(QStringLiteral("username"), ui->username->text());
    settings.setValue(QStringLiteral("remember_password"), rememberPassword);
    settings.setValue(QStringLiteral("enable_two_factor_auth"), ui->enableTwoFactorAuthCheck->isChecked());
    settings.setValue(QStringLiteral("enable_file_sharing"), ui->enableSharedFoldersCheck->isChecked());
    settings.setValue(QStringLiteral("enable_audio"), ui->enableAudioCheck->isChecked());
    settings.setValue(QStringLiteral("enable_microphone"), ui->enableMicrophoneCheck->isChecked());
    settings.setValue(QStringLiteral("enable_printing"), ui->enablePrintingCheck->isChecked());
    settings.setValue(QStringLiteral("fullscreen"), ui->fullScreenCheck->isChecked());
    settings.setValue(QStringLiteral("shared_folders"), m_sharedFolders);
    settings.setValue(QStringLiteral("enable_usb_redirection"), ui->enableUSBRedirectionCheck->isChecked());
    saveUsbDevices(settings);
    settings.setValue(QStringLiteral("show_bandwidth_graph"), ui->showBandwidthGraphCheck->isChecked());
    settings.endGroup();
    settings.sync();
    // The settings may hold the password: private to the user, after every save.
    PrivateFiles::ensureFile(settings.fileName());

    // The password belongs to the server saved with it: the one in the field, or, while the
    // field cannot be used, the one kept.
    const QString passwordHost = server.isValid() ? server.host() : settings.value(QStringLiteral("Connection/host")).toString();
    if (passwordHost.isEmpty() || ui->username->text().isEmpty())
        return;
    if (rememberPassword)
        m_passwords.remember(passwordHost, ui->username->text(), ui->password->text());
    else
        m_passwords.forget(passwordHost, ui->username->text());
}

void MainWindow::setConnectionSpeedChoice(int speed)
{
    // Stops at the first matching entry; with no match the last one ("Local") stays selected.
    for (int i = 0; i < ui->connectionTypeComboBox->count(); ++i) {
        ui->connectionTypeComboBox->setCurrentIndex(i);
        if (ui->connectionTypeComboBox->itemData(i).toInt() == speed)
            break;
    }
}

void MainWindow::loadSettings()
{
    qDebug() << "Loading settings";
    QSettings settings;

    settings.beginGroup(QStringLiteral("UI"));
    setMainTabVisible(ui->settingsTab, settings.value(QStringLiteral("settingsTabVisible"), true).toBool());
    setMainTabVisible(ui->versionTab, settings.value(QStringLiteral("versionTabVisible"), true).toBool());
    ui->rememberPasswordCheck->setVisible(settings.value(QStringLiteral("rememberPasswordVisible"), true).toBool());
    ui->restartSession->setVisible(settings.value(QStringLiteral("restartSessionVisible"), true).toBool());
    // Where the user left the window; on a smaller screen Qt brings it back onto the screen.
    restoreGeometry(settings.value(QStringLiteral("windowGeometry")).toByteArray());
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Connection"));
    const QString host = settings.value(QStringLiteral("host")).toString();
    const QString port = settings.value(QStringLiteral("port")).toString();
    if (!host.isEmpty())
        ui->serverLineEdit->setText(port.isEmpty() ? host : host + QLatin1Char(':') + port);

    setConnectionSpeedChoice(settings.value(QStringLiteral("speed"), int(ZELConnectionParameters::ADSL)).toInt());

    ui->enableTwoFactorAuthCheck->setChecked(settings.value(QStringLiteral("enable_two_factor_auth"), false).toBool());
    ui->enableSharedFoldersCheck->setChecked(settings.value(QStringLiteral("enable_file_sharing"), false).toBool());
    ui->enableAudioCheck->setChecked(settings.value(QStringLiteral("enable_audio"), false).toBool());
    ui->enableMicrophoneCheck->setChecked(settings.value(QStringLiteral("enable_microphone"), false).toBool());
    ui->enablePrintingCheck->setChecked(settings.value(QStringLiteral("enable_printing"), false).toBool());
    ui->fullScreenCheck->setChecked(settings.value(QStringLiteral("fullscreen"), false).toBool());

    m_sharedFolders = settings.value(QStringLiteral("shared_folders")).toStringList();
    refreshSharedFolders();
    enableSharedFoldersClicked();

    ui->enableUSBRedirectionCheck->setChecked(settings.value(QStringLiteral("enable_usb_redirection"), false).toBool());
    loadUsbDevices(settings);
    ui->showBandwidthGraphCheck->setChecked(settings.value(QStringLiteral("show_bandwidth_graph"), false).toBool());

    ui->username->setText(settings.value(QStringLiteral("username")).toString());
    ui->rememberPasswordCheck->setChecked(settings.value(QStringLiteral("remember_password"), false).toBool());
    settings.endGroup();
    requestRememberedPassword();

    on_enableTwoFactorAuthCheck_toggled(ui->enableTwoFactorAuthCheck->isChecked());
}

void MainWindow::setUpUsbTab()
{
    ui->sharedDevicesList->setModel(&m_usbModel);
    ui->sharedDevicesList->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->sharedDevicesList->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    ui->usbStatusLabel->setVisible(false);
    m_usbModel.setDeviceList(&m_usbDevices);
    connect(&m_usbDevices, &UsbDeviceList::updated, this, &MainWindow::usbDevicesUpdated);
    connect(ui->rescanUSBButton, &QPushButton::clicked, &m_usbDevices, &UsbDeviceList::refresh);
    // The first scan reads the USB ID list, which takes longer than the window should wait
    // to appear; it runs as soon as the event loop does. Devices ticked in the stored
    // settings are ticked when it arrives.
    QTimer::singleShot(0, &m_usbDevices, &UsbDeviceList::refresh);
    // Devices an earlier run left lent to the kernel (it crashed, or was killed) go back, while
    // the window goes on.
    QTimer::singleShot(0, this, [] { BoundUsbDevices::releaseLeftovers(UsbBindHelper::defaultCommand()); });
}

void MainWindow::usbDevicesUpdated(bool success)
{
    QString problem = m_usbDevices.sharingUnavailableReason();
    if (!success)
        problem = tr("The list of USB devices could not be read.");
    ui->usbStatusLabel->setText(problem);
    ui->usbStatusLabel->setVisible(!problem.isEmpty());
}

void MainWindow::saveUsbDevices(QSettings &settings) const
{
    // Until the first scan the table is empty: the stored devices are kept as they are.
    if (!m_usbModel.hasDevices())
        return;
    const QList<USBDevice> devices = m_usbModel.selectedDevices();
    settings.beginWriteArray(QStringLiteral("shared_usb_devices"), devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("vendor"), devices.at(i).vendorId());
        settings.setValue(QStringLiteral("product"), devices.at(i).productId());
        settings.setValue(QStringLiteral("serial"), devices.at(i).serial());
    }
    settings.endArray();
}

void MainWindow::loadUsbDevices(QSettings &settings)
{
    const int count = settings.beginReadArray(QStringLiteral("shared_usb_devices"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        m_usbModel.selectDevice(settings.value(QStringLiteral("vendor")).toInt(),
                                settings.value(QStringLiteral("product")).toInt(),
                                settings.value(QStringLiteral("serial")).toString());
    }
    settings.endArray();
}
