#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

ModalAnswerer::ModalAnswerer(Answer answer)
    : m_answer(std::move(answer))
{
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start(20);
}

void ModalAnswerer::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || modal == m_current || !modal->isVisible())
        return;
    m_current = modal;

    Seen seen;
    seen.className = QString::fromLatin1(modal->metaObject()->className());
    seen.title = modal->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        seen.text = box->text();
    m_seen << seen;

    QWidget *dialog = modal;
    // Answer outside the poll: the answer may start a nested event loop of its own.
    QTimer::singleShot(0, this, [this, dialog] {
        m_answer(dialog);
        m_current = nullptr;
    });
}

void ModalAnswerer::rejectDialog(QWidget *dialog)
{
    if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
        QAbstractButton *button = box->escapeButton();
        if (!button)
            button = box->defaultButton();
        if (button) {
            button->click();
            return;
        }
    }
    if (auto *modal = qobject_cast<QDialog *>(dialog))
        modal->reject();
    else
        dialog->close();
}

ModalAnswerer::Answer ModalAnswerer::clickButton(const QString &text)
{
    return [text](QWidget *dialog) {
        for (QAbstractButton *button : dialog->findChildren<QAbstractButton *>()) {
            if (button->text().remove(QLatin1Char('&')) == text) {
                button->click();
                return;
            }
        }
        rejectDialog(dialog);
    };
}
