#pragma once

#include "zelclient_export.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Turns the arbitrary chunks in which a child process's output arrives into whole text lines.
// LF, CR and any run of them end a line; lines are kept without their terminators.
class ZELCLIENT_EXPORT LineBuffer
{
public:
    LineBuffer() = default;

    // Appends a chunk and moves every line it completes into the list of waiting lines.
    void add(const QByteArray &data);

    bool hasLine() const;
    // Removes and returns the oldest complete line; an empty string when none is waiting.
    QString getLine();
    int count() const;

    bool hasPartialLine() const;
    // The bytes of the unterminated line, decoded as UTF-8 up to the first zero byte.
    // They stay in the buffer.
    QString getPartialLine();

private:
    QByteArray m_buffer;
    QStringList m_lines;
};
