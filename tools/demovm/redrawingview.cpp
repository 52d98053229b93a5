#include "redrawingview.h"

#include <QFont>
#include <QPainter>

namespace {

constexpr int LineHeight = 28;
constexpr int BandCount = 6;

} // namespace

RedrawingView::RedrawingView(QWidget *parent)
    : QWidget(parent)
{
    // Every pixel is painted each frame; Qt need not clear the window first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    QFont big = font();
    big.setPointSize(16);
    setFont(big);
    connect(&m_timer, &QTimer::timeout, this, [this]() {
        ++m_frame;
        update();
    });
    m_timer.start(FrameMs);
}

void RedrawingView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromHsv((m_frame / 4) % 360, 90, 60));

    // Bands of colour crossing the window, each at its own pace.
    const int bandWidth = qMax(1, width() / (2 * BandCount));
    for (int band = 0; band < BandCount; ++band) {
        const int x = (m_frame * (band + 2) * 3) % (width() + bandWidth) - bandWidth;
        painter.fillRect(x, band * height() / BandCount, bandWidth, height() / BandCount,
                         QColor::fromHsv((band * 60 + m_frame) % 360, 200, 220));
    }

    // A document scrolling by one pixel a frame.
    painter.setPen(QColor(241, 250, 238));
    const int scrolled = m_frame % LineHeight;
    const int firstLine = m_frame / LineHeight;
    for (int y = -scrolled, line = firstLine; y < height(); y += LineHeight, ++line) {
        painter.drawText(32, y + LineHeight,
                         QStringLiteral("Line %1 of a document that scrolls by without end, frame %2")
                             .arg(line)
                             .arg(m_frame));
    }
}
