#pragma once

#include <string>
#include <vector>

typedef struct _XDisplay Display;
typedef unsigned long XID;

// One Xlib connection to an X server that the benchmark watches: which top-level windows are
// mapped (and when), and what is drawn in the remote desktop.
class DisplayWatch
{
public:
    struct Mapped
    {
        double atMs;
        XID window;
        std::string name;
    };

    DisplayWatch() = default;
    ~DisplayWatch();
    DisplayWatch(const DisplayWatch &) = delete;
    DisplayWatch &operator=(const DisplayWatch &) = delete;

    // Quiet: a server that does not listen yet just gives false.
    bool open(const std::string &displayName);
    void close();
    // False once the server went away under an open connection.
    bool isOpen() const { return m_display && !m_lost; }
    int fd() const;

    // Asks for the map events of the root's children; they are then read by readMaps().
    void watchTopLevelMaps();
    std::vector<Mapped> readMaps();

    void focus(XID window);
    bool size(XID window, int &width, int &height);
    std::string name(XID window);

    // The first viewable window at least minDepth levels below the root (the root's children
    // being level 1), of the given size when width and height are not 0; 0 when there is none.
    XID findViewableAtDepth(int minDepth, int width = 0, int height = 0);
    // Whether the window shows more than one colour along its middle row and column: a
    // window that is mapped but not yet drawn is one flat background.
    bool looksDrawn(XID window);
    // Paints the root window's middle row and column in one colour, so that looksDrawn() finds
    // a window flat there until something draws over the paint.
    void coverMiddle();

private:
    static void connectionLost(Display *display, void *self);
    bool visibleRect(XID window, int &x, int &y, int &width, int &height);
    XID findIn(XID window, int depth, int minDepth, int width, int height);

    Display *m_display = nullptr;
    bool m_lost = false;
};
