#include "zelbackend.h"

ZELBackend::ZELBackend(QObject *parent)
    : QObject(parent)
{
    // The enumerations and the record travel in signals; registering them lets receivers
    // on other threads (and signal spies) carry them too.
    qRegisterMetaType<ZELBackend::NXChannel>("ZELBackend::NXChannel");
    qRegisterMetaType<ZELBackend::BackendError>("ZELBackend::BackendError");
    qRegisterMetaType<ZELBackend::Statistics>("ZELBackend::Statistics");
    qRegisterMetaType<int64_t>("int64_t");
}

ZELBackend::~ZELBackend() = default;

int64_t ZELBackend::bytesRead()
{
    return 0;
}

int64_t ZELBackend::bytesWritten()
{
    return 0;
}

ZELConnectionParameters ZELBackend::parameters() const
{
    return m_parameters;
}

void ZELBackend::setParameters(const ZELConnectionParameters &parameters)
{
    m_parameters = parameters;
}

unsigned short ZELBackend::cupsPort() const
{
    return m_cupsPort;
}

void ZELBackend::setCupsPort(const unsigned short &port)
{
    m_cupsPort = port;
}

unsigned short ZELBackend::smbPort() const
{
    return m_smbPort;
}

void ZELBackend::setSmbPort(const unsigned short &port)
{
    m_smbPort = port;
}

unsigned short ZELBackend::slavePort() const
{
    return m_slavePort;
}

void ZELBackend::setSlavePort(const unsigned short &port)
{
    m_slavePort = port;
}

unsigned short ZELBackend::audioPort() const
{
    return m_audioPort;
}

void ZELBackend::setAudioPort(const unsigned short &port)
{
    m_audioPort = port;
}

ZELBackend::Statistics ZELBackend::getStatistics() const
{
    return m_statistics;
}

void ZELBackend::addStat(NXChannel chan, int64_t in, int64_t out)
{
    auto it = m_statistics.channels.find(chan);
    if (it != m_statistics.channels.end()) {
        it->in += in;
        it->out += out;
    } else {
        m_statistics.channels.insert(chan, ChannelTraffic{in, out});
    }
    emit statisticsUpdated(m_statistics);
    emit channelStatIncrement(chan, in, out);
}

void ZELBackend::addTotalTraffic(int64_t in, int64_t out)
{
    m_statistics.totalIn += in;
    m_statistics.totalOut += out;
    emit statisticsUpdated(m_statistics);
    emit totalTrafficIncrement(in, out);
}
