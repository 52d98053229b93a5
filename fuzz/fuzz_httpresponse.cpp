// The broker's and the slave service's HTTP responses, read by ZELNetworkReply: the input is
// the response, delivered in two pieces split where its first byte says, then the end of the
// connection.

#include "memorysocket.h"
#include "zelnetworkreply.h"

#include <QNetworkRequest>
#include <QUrl>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray response(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const int split = response.isEmpty() ? 0 : data[0] % (response.size() + 1);

    MemorySocket socket;
    QNetworkRequest request(QUrl(QStringLiteral("https://broker.example/zel/list_vms")));
    request.setRawHeader("Host", "broker.example");
    auto *reply = new ZELNetworkReply(nullptr, request, QNetworkAccessManager::GetOperation, nullptr, socket);
    // Whatever the reply announces, its data must be readable.
    QObject::connect(reply, &QIODevice::readyRead, reply, [reply]() { reply->readAll(); });

    // The log masks credentials in the headers it prints; the log itself is compiled out here.
    ZELNetworkReply::maskedForLog(response);
    socket.deliver(response.left(split));
    socket.deliver(response.mid(split));
    reply->readAll();
    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    reply->rawHeaderPairs();
    socket.endInput();
    reply->readAll();
    delete reply;
    return 0;
}
