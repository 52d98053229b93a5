#include "sharedfilesview.h"

#include <QFile>
#include <QFont>

namespace {

const int RefreshMs = 500;

} // namespace

SharedFilesView::SharedFilesView(const QString &listPath, QWidget *parent)
    : QLabel(parent)
    , m_listPath(listPath)
{
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setMargin(32);
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    QFont big = font();
    big.setPointSize(18);
    setFont(big);
    setStyleSheet(QStringLiteral("background: #1d3557; color: #f1faee;"));
    connect(&m_timer, &QTimer::timeout, this, &SharedFilesView::refresh);
    m_timer.start(RefreshMs);
    refresh();
}

void SharedFilesView::refresh()
{
    QString text = QStringLiteral("Demo VM\n\n");
    QFile list(m_listPath);
    if (list.open(QIODevice::ReadOnly))
        text += QStringLiteral("Files read through SFTP from the client:\n\n") + QString::fromUtf8(list.readAll());
    else
        text += QStringLiteral("No folder is shared with this VM yet.");
    if (text != m_shown) {
        m_shown = text;
        setText(text);
    }
}
