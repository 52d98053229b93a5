#pragma once

#include <string>

// The kernel's USB/IP host driver (usbip-host) as its sysfs files show it, for one device at a
// time. Every file is named from a fixed root ("/sys" in the installed helper); nothing here
// runs another program or reads the environment.
class UsbipHost
{
public:
    // What a call left behind; the helper's exit code.
    enum Outcome {
        Done = 0,
        // Nothing was changed: the device was not taken from its driver.
        Refused = 1,
        // The kernel refused a step; the device is back with its own driver.
        FailedGivenBack = 3,
        // The kernel refused a step and the device could not be given back.
        FailedStillBound = 4,
    };

    explicit UsbipHost(std::string sysfsRoot);

    // Takes the device at busId from its driver, binds it to usbip-host and hands it the
    // connected socket so that the kernel serves the device on that connection. Only the
    // device whose ids (and serial, when identity names one; none when it does not) are
    // identity's is ever handed over: every step after the check goes through the folder
    // that was checked, so a device plugged in at the same place meanwhile is never served.
    Outcome bind(const std::string &busId, const std::string &identity, int socket);
    // Gives the device at busId back to its own driver and makes usbip-host forget the bus id.
    // Done also when there was nothing to give back.
    Outcome giveBack(const std::string &busId);

    // "1-1.4": bus and port numbers from 1 to 999, at most seven levels of ports.
    static bool isBusId(const std::string &text);
    // "<vendor>:<product>[:<serial>]": four lower-case hexadecimal digits each, and a serial
    // of printable characters that neither starts nor ends with a blank.
    static bool isIdentity(const std::string &text);

private:
    std::string devicesFolder() const;
    std::string hostDriverFile(const char *name) const;
    bool isHostDriverLoaded() const;
    bool matches(int deviceFolder, const std::string &identity) const;
    bool isStillTheCheckedDevice(int deviceFolder, const std::string &busId, const std::string &identity) const;
    Outcome undo(const std::string &busId, const std::string &what);

    std::string m_root;
};
