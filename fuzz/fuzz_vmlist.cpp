// The broker's VM list, a JSON document.

#include "zelclient.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QList<ZELClient::VMInfo> list;
    QString error;
    const bool parsed =
        ZELClient::parseVMList(QByteArray(reinterpret_cast<const char *>(data), int(size)), list, error);
    if (!parsed && !list.isEmpty())
        __builtin_trap(); // a refused document yields no machines
    for (const ZELClient::VMInfo &info : list) {
        if (info.state < 0 || info.state > 2)
            __builtin_trap(); // only the three states the window knows
    }
    return 0;
}
