#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

// Answers the modal dialogs a widget test runs into: each one that comes up is recorded
// (class, title, text) and handed to the answer function, which closes it somehow.
class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    using Answer = std::function<void(QWidget *dialog)>;

    explicit ModalAnswerer(Answer answer = rejectDialog);

    struct Seen {
        QString className;
        QString title;
        QString text;
    };
    QList<Seen> seen() const { return m_seen; }
    int count() const { return m_seen.size(); }
    void setAnswer(Answer answer) { m_answer = std::move(answer); }

    static void rejectDialog(QWidget *dialog);
    // Clicks the button whose text (without "&") is the given one.
    static Answer clickButton(const QString &text);

private:
    void poll();

    Answer m_answer;
    QTimer m_timer;
    QList<Seen> m_seen;
    QWidget *m_current = nullptr;
};
