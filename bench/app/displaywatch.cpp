#include "displaywatch.h"

#include "benchclock.h"

#include <algorithm>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

int ignoreErrors(Display *, XErrorEvent *)
{
    // Windows come and go under the benchmark's feet; a request on a window that just went
    // away is no failure of the benchmark.
    return 0;
}

int survivableIoError(Display *)
{
    return 0;
}

} // namespace

DisplayWatch::~DisplayWatch()
{
    close();
}

bool DisplayWatch::open(const std::string &displayName)
{
    close();
    XSetErrorHandler(ignoreErrors);
    XSetIOErrorHandler(survivableIoError);
    m_display = XOpenDisplay(displayName.c_str());
    m_lost = false;
    if (!m_display)
        return false;
    XSetIOErrorExitHandler(m_display, &DisplayWatch::connectionLost, this);
    return true;
}

void DisplayWatch::close()
{
    // A lost connection is left as it is: Xlib must not touch it again.
    if (m_display && !m_lost)
        XCloseDisplay(m_display);
    m_display = nullptr;
    m_lost = false;
}

void DisplayWatch::connectionLost(Display *, void *self)
{
    static_cast<DisplayWatch *>(self)->m_lost = true;
}

int DisplayWatch::fd() const
{
    return isOpen() ? ConnectionNumber(m_display) : -1;
}

void DisplayWatch::watchTopLevelMaps()
{
    if (!isOpen())
        return;
    XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
    XSync(m_display, False);
}

std::vector<DisplayWatch::Mapped> DisplayWatch::readMaps()
{
    std::vector<Mapped> maps;
    if (!isOpen())
        return maps;
    while (!m_lost && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == MapNotify)
            maps.push_back({BenchClock::nowMs(), event.xmap.window, std::string()});
    }
    // Names after the stamps: each lookup is a round trip.
    for (Mapped &mapped : maps)
        mapped.name = name(mapped.window);
    return maps;
}

void DisplayWatch::focus(XID window)
{
    if (!isOpen())
        return;
    XSetInputFocus(m_display, window, RevertToParent, CurrentTime);
    XSync(m_display, False);
}

bool DisplayWatch::size(XID window, int &width, int &height)
{
    XWindowAttributes attributes;
    if (!isOpen() || !XGetWindowAttributes(m_display, window, &attributes))
        return false;
    width = attributes.width;
    height = attributes.height;
    return true;
}

std::string DisplayWatch::name(XID window)
{
    if (!isOpen())
        return std::string();
    const Atom netName = XInternAtom(m_display, "_NET_WM_NAME", False);
    for (Atom property : {netName, Atom(XA_WM_NAME)}) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(m_display, window, property, 0, 1024, False, AnyPropertyType, &type, &format, &count,
                               &after, &data)
                == Success
            && data) {
            std::string text;
            if (format == 8)
                text.assign(reinterpret_cast<char *>(data), count);
            XFree(data);
            if (!text.empty())
                return text;
        }
    }
    return std::string();
}

XID DisplayWatch::findViewableAtDepth(int minDepth, int width, int height)
{
    if (!isOpen())
        return 0;
    const XID found = findIn(DefaultRootWindow(m_display), 0, minDepth, width, height);
    return m_lost ? 0 : found;
}

XID DisplayWatch::findIn(XID window, int depth, int minDepth, int width, int height)
{
    Window root = 0, parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, window, &root, &parent, &children, &count))
        return 0;
    XID found = 0;
    for (unsigned int i = 0; i < count && !found && !m_lost; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(m_display, children[i], &attributes) || attributes.map_state != IsViewable)
            continue;
        const bool sizeFits = (width == 0 || attributes.width == width) && (height == 0 || attributes.height == height);
        if (depth + 1 >= minDepth && sizeFits)
            found = children[i];
        else
            found = findIn(children[i], depth + 1, minDepth, width, height);
    }
    if (children)
        XFree(children);
    return found;
}

bool DisplayWatch::visibleRect(XID window, int &x, int &y, int &width, int &height)
{
    // The window's rectangle on the screen, cut by every ancestor: a window may reach beyond
    // its parent, and the part outside is not shown.
    int left = 0, top = 0, right = 0, bottom = 0;
    bool first = true;
    const Window root = DefaultRootWindow(m_display);
    for (Window current = window; current && current != root && !m_lost;) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(m_display, current, &attributes))
            return false;
        int absX = 0, absY = 0;
        Window child = 0;
        if (!XTranslateCoordinates(m_display, current, root, 0, 0, &absX, &absY, &child))
            return false;
        const int l = absX, t = absY, r = absX + attributes.width, b = absY + attributes.height;
        if (first) {
            left = l, top = t, right = r, bottom = b;
            first = false;
        } else {
            left = std::max(left, l), top = std::max(top, t), right = std::min(right, r), bottom = std::min(bottom, b);
        }
        Window parentRoot = 0, parent = 0;
        Window *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(m_display, current, &parentRoot, &parent, &children, &count))
            return false;
        if (children)
            XFree(children);
        current = parent;
    }
    const int screenWidth = DisplayWidth(m_display, DefaultScreen(m_display));
    const int screenHeight = DisplayHeight(m_display, DefaultScreen(m_display));
    left = std::max(left, 0), top = std::max(top, 0);
    right = std::min(right, screenWidth), bottom = std::min(bottom, screenHeight);
    if (first || right - left < 2 || bottom - top < 2)
        return false;
    x = left, y = top, width = right - left, height = bottom - top;
    return true;
}

bool DisplayWatch::looksDrawn(XID window)
{
    int x = 0, y = 0, width = 0, height = 0;
    if (!isOpen() || !visibleRect(window, x, y, width, height))
        return false;
    // Read from the root: a window partly hidden by its parent cannot be read directly.
    const Window root = DefaultRootWindow(m_display);
    bool drawn = false;
    XImage *row = XGetImage(m_display, root, x, y + height / 2, unsigned(width), 1, AllPlanes, ZPixmap);
    if (row) {
        const unsigned long first = XGetPixel(row, 0, 0);
        for (int i = 1; i < width && !drawn; ++i)
            drawn = XGetPixel(row, i, 0) != first;
        XDestroyImage(row);
    }
    if (drawn)
        return true;
    XImage *column = XGetImage(m_display, root, x + width / 2, y, 1, unsigned(height), AllPlanes, ZPixmap);
    if (column) {
        const unsigned long first = XGetPixel(column, 0, 0);
        for (int i = 1; i < height && !drawn; ++i)
            drawn = XGetPixel(column, 0, i) != first;
        XDestroyImage(column);
    }
    return drawn;
}

void DisplayWatch::coverMiddle()
{
    if (!isOpen())
        return;
    const int screen = DefaultScreen(m_display);
    const Window root = DefaultRootWindow(m_display);
    const int width = DisplayWidth(m_display, screen);
    const int height = DisplayHeight(m_display, screen);
    GC gc = XCreateGC(m_display, root, 0, nullptr);
    XSetForeground(m_display, gc, BlackPixel(m_display, screen));
    XFillRectangle(m_display, root, gc, 0, height / 2 - 2, unsigned(width), 5);
    XFillRectangle(m_display, root, gc, width / 2 - 2, 0, 5, unsigned(height));
    XFreeGC(m_display, gc);
    XSync(m_display, False);
}
