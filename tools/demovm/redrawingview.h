#pragma once

#include <QTimer>
#include <QWidget>

// A desktop whose picture never rests: text scrolls and bands of colour move across the whole
// window at a steady frame rate, as a video or a scrolling document keeps a remote display
// busy. For measuring what continuous drawing costs the session's link.
class RedrawingView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int FrameMs = 20;

    explicit RedrawingView(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer m_timer;
    int m_frame = 0;
};
