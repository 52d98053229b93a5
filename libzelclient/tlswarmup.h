#pragma once

// Loads the TLS library and lists its ciphers once per process on a thread of its own, while
// the user types, so that the first connection does not wait for it. The thread is joined
// before the process ends: when the application object goes, or at the latest at exit, so
// that no half-done set-up of the library is left behind.
class TlsWarmUp
{
public:
    // Starts the work the first time it is called; later calls do nothing.
    static void start();
    // Waits until the work is done. Harmless when it never started.
    static void finish();
};
