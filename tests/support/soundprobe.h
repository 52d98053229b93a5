#pragma once

#include <QString>
#include <QStringList>

// Plays and records sound on real PulseAudio servers with pacat, parec and sox, so that tests
// can tell whether a tone played at one place is heard at another.
class SoundProbe
{
public:
    // A two-second 440 Hz tone as raw 16-bit stereo at 44100 Hz, made with sox in dir.
    static QString makeTone(const QString &dir);

    // Records from source (e.g. "@DEFAULT_MONITOR@") on server (e.g. "tcp:127.0.0.1:4713")
    // while the tone is played to playServer, and returns the RMS amplitude of the recording
    // (sox stat); -1 when a program failed. What went on is appended to log.
    static double rmsWhilePlaying(const QString &recordServer, const QString &source, const QString &playServer,
                                  const QString &tone, QString *log);
    // The RMS amplitude of a recording of source on server, over about two seconds.
    static double rmsOfRecording(const QString &server, const QString &source, const QString &dir, QString *log);
    // RMS amplitude of raw 16-bit stereo 44100 Hz data, read by sox.
    static double rms(const QString &rawFile, QString *log);
    static double rmsOf(const QByteArray &recorded, const QString &dir, QString *log);

    static QStringList formatArguments();
};
