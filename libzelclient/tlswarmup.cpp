#include "tlswarmup.h"

#include <QCoreApplication>
#include <QSslConfiguration>
#include <QSslSocket>

#include <mutex>
#include <thread>

namespace {

// Joins the thread when static objects are destroyed at exit, for a program that ends without
// destroying its application object.
struct WarmUpThread
{
    ~WarmUpThread() { join(); }

    void join()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (thread.joinable())
            thread.join();
    }

    std::mutex mutex;
    std::thread thread;
    bool started = false;
};

WarmUpThread &warmUpThread()
{
    static WarmUpThread instance;
    return instance;
}

} // namespace

void TlsWarmUp::start()
{
    WarmUpThread &warmUp = warmUpThread();
    std::lock_guard<std::mutex> lock(warmUp.mutex);
    if (warmUp.started)
        return;
    warmUp.started = true;
    qAddPostRoutine(&TlsWarmUp::finish);
    warmUp.thread = std::thread([]() {
        QSslSocket::supportsSsl();
        // Also lists the library's ciphers, which every new socket would otherwise wait for.
        QSslConfiguration::defaultConfiguration();
    });
}

void TlsWarmUp::finish()
{
    warmUpThread().join();
}
