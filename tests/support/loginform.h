#pragma once

#include <QString>

class QWidget;
class ZELClient;

// Drives the program's login window the way a user does, through its form widgets.
class LoginForm
{
public:
    // Types the server, user name and password into the form.
    static void fill(QWidget *window, const QString &server, const QString &user, const QString &password);
    // Clicks Connect.
    static void connect(QWidget *window);
    // Clicks Connect and waits until the session has connected its VM (the remote desktop
    // runs); false when that did not happen within the bound.
    static bool connectVm(QWidget *window, ZELClient *session);
    // Whether the form is back in its idle look: Connect enabled, Cancel disabled, the busy bar
    // still and the fields editable.
    static bool isIdle(QWidget *window);
    // Whether the window connects again after whatever happened to it: logged in as demo/demo
    // to a broker listing two VMs, accepting its certificate for this once, the VM picker comes
    // up; cancelling it ends the session in the idle look, the window visible.
    static bool connectsAgain(QWidget *window, ZELClient *session, const QString &server);
};
