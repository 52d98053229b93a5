#pragma once

#include "serviceconfig.h"
#include "servicereport.h"
#include "streamchannel.h"

#include <QByteArray>
#include <QJsonObject>

class SlaveRequest;

// Serves one slave connection: reads one request, checks the slave key, answers it and,
// after a switch to SFTP, lists the shared folder and reads one file from it. Everything it
// received and did goes into the report.
class SlaveService
{
public:
    static constexpr int MaxLineLength = 8192;
    static constexpr int MaxHeadLength = 32768;

    SlaveService(const ServiceConfig &config, StreamChannel &channel);

    // Returns the process exit code.
    int run();

private:
    enum class KeyCheck { Accepted, Wrong, Missing, Unconfigured };

    KeyCheck checkKey(const SlaveRequest &request) const;
    void refuse(int status, const QByteArray &reason, QJsonObject entry);
    void serveSftp(const QString &folder);
    // Notes the files seen in a shared folder in the list the VM's desktop shows.
    void noteSharedFiles(const QString &folder, const QJsonObject &sftp);

    const ServiceConfig &m_config;
    StreamChannel &m_channel;
    ServiceReport m_report;
};
