#pragma once

#include "connectionstatistics.h"
#include "passwordstore.h"
#include "trafficaverage.h"
#include "usbdevicelistmodel.h"
#include "usbip/usbdevicelist.h"
#include "zelclient.h"
#include "zelconnectionparameters.h"
#include "zellistmodel.h"

#include <QMainWindow>
#include <QSettings>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QStringList>
#include <QStringListModel>
#include <QTimer>

class QSystemTrayIcon;
class ServerAddress;

#include <memory>

namespace Ui {
class MainWindow;
}

// The login window: the form, the settings and version tabs, and the connection flow. It owns
// the session for its whole life and creates one backend per connection attempt.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void setExperimental(bool experimental);
    // Which of the parameters handed over next the command line gave: for this run they win
    // over the stored choices even where they equal a default.
    void setGivenOnCommandLine(bool port, bool connectionType);
    ZELClient *session() const { return m_session; }
    UsbDeviceList *usbDeviceList() { return &m_usbDevices; }

public slots:
    void setConnectionParms(ZELConnectionParameters params);
    void connectToVM();
    void vmListReceived(QList<ZELClient::VMInfo> vmlist);
    void socketError(QAbstractSocket::SocketError error);
    void connectionEstablished();
    void vmConnected(int id);
    void vmPoweredDown(int id);
    void connectionError(ZELClient::ConnectionError error, QString error_desc);
    void connectionTerminated();
    void folderNotShared(const QString &folder, const QString &reason);
    void usbDeviceNotShared(const QString &device, const QString &reason);
    void audioNotAvailable(const QString &reason);
    void sslErrors(QList<QSslError> errors, QList<QSslCertificate> cert_chain, bool &continueConnection);
    void addSharedFolder();
    void removeSharedFolder();
    void enableSharedFoldersClicked();
    void cancelButtonClicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void backendTrafficInc(int64_t in, int64_t out);
    void printTraffic();
    void on_enableTwoFactorAuthCheck_toggled(bool checked);
    void usbDevicesUpdated(bool success);

private:
    void connectSessionSignals();
    void fillConnectionTypes();
    void saveSettings();
    void loadSettings();
    void setConnectionSpeedChoice(int speed);
    QString getTimeZone() const;
    void setFormEnabled(bool enabled);
    void updateVersionInfo();
    void setMainTabVisible(QWidget *tab, bool visible);
    void setStatus(const QString &text);
    void focusCredentials();
    // The host of the server field, which a remembered password belongs to with the user name.
    QString formHost() const;
    void requestRememberedPassword();
    void rememberedPasswordLoaded(const QString &host, const QString &user, const QString &password);
    void serverOrUserChanged();
    void showKeyringProblem(const QString &reason);
    bool acceptServer(const ServerAddress &server);
    void createTrayIcon();
    void showWindowAgain();
    void refreshSharedFolders();
    void setUpUsbTab();
    void saveUsbDevices(QSettings &settings) const;
    void loadUsbDevices(QSettings &settings);
    void releaseBackend();
    ZELConnectionParameters parametersFromForm(const ServerAddress &server,
                                               ZELConnectionParameters::ConnectionSpeed speed) const;
    int chooseVM(const QList<ZELClient::VMInfo> &vmlist);
    // An error box needs a visible window: a box whose window is hidden would, once closed,
    // leave the program without a visible window, and it would end.
    void showError(const QString &text);
    // The session the picker was choosing for has ended: the choice has nothing left to act on.
    void closePicker();

    ZELClient *m_session;
    std::unique_ptr<Ui::MainWindow> ui;
    ZELConnectionParameters m_parameters;
    QStringList m_sharedFolders;
    QStringListModel m_sharedFoldersModel;
    QStringList m_environmentVariableNames;
    ZELListModel m_environmentModel;
    UsbDeviceList m_usbDevices;
    USBDeviceListModel m_usbModel;
    TrafficAverage m_trafficIn;
    TrafficAverage m_trafficOut;
    QTimer m_trafficTimer;
    ConnectionStatistics m_statistics;
    PasswordStore m_passwords;
    // The remembered password put into the form, and whose it is: it stays only while the
    // server and user name are still theirs, so that it never goes to another server.
    QString m_filledPassword;
    QString m_filledHost;
    QString m_filledUser;
    bool m_experimental = false;
    // The folders of this connection that did not reach the VM, each with its reason; shown
    // when the window comes back.
    QStringList m_unsharedFolders;
    // Likewise the USB devices, each named with its reason.
    QStringList m_unsharedUsbDevices;
    // Why this connection had no sound; shown with them.
    QString m_soundProblem;
    bool m_portGiven = false;
    bool m_connectionTypeGiven = false;
    // While a VM runs and the window is hidden, the way back to it (when the desktop has a tray).
    QSystemTrayIcon *m_trayIcon = nullptr;
    QPointer<QDialog> m_picker;
};
