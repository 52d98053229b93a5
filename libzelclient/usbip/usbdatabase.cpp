#include "usbdatabase.h"

#include "helpers/pathtools.h"

#include <QFile>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The four characters at begin as a hexadecimal number, or -1.
int hexId(const char *begin, const char *end)
{
    if (end - begin < 4)
        return -1;
    int id = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexDigit(begin[i]);
        if (digit < 0)
            return -1;
        id = id * 16 + digit;
    }
    return id;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

QString trimmedText(const char *begin, const char *end)
{
    while (begin < end && isBlank(*begin))
        ++begin;
    while (end > begin && isBlank(end[-1]))
        --end;
    return QString::fromUtf8(begin, static_cast<int>(end - begin));
}

int productKey(int vendor, int product)
{
    return static_cast<int>((static_cast<quint32>(vendor) << 16) | (static_cast<quint32>(product) & 0xffff));
}

} // namespace

UsbDatabase::UsbDatabase(const QString &path)
{
    load(path);
}

UsbDatabase::UsbDatabase(Empty)
{
}

UsbDatabase UsbDatabase::empty()
{
    return UsbDatabase(Empty());
}

bool UsbDatabase::load(const QString &path)
{
    QFile file(path.isEmpty() ? PathTools::getUsbDatabase() : path);
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    // One read and a pass over the bytes: the list is large (over 20000 entries), and a
    // line-by-line text stream costs several times as much.
    const QByteArray text = file.readAll();
    file.close();

    m_vendors.clear();
    m_products.clear();
    int currentVendor = 0;
    const char *line = text.constData();
    const char *const end = line + text.size();
    while (line < end) {
        const char *lineEnd = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (!lineEnd)
            lineEnd = end;
        parseLine(line, lineEnd, currentVendor);
        line = lineEnd + 1;
    }
    return true;
}

void UsbDatabase::parseLine(const char *begin, const char *end, int &currentVendor)
{
    if (const void *comment = memchr(begin, '#', static_cast<size_t>(end - begin)))
        end = static_cast<const char *>(comment);
    const char *text = begin;
    while (text < end && isBlank(*text))
        ++text;
    if (text == end)
        return;
    if (end - begin >= 2 && begin[0] == '\t' && begin[1] == '\t')
        return; // an interface of the current product

    if (begin[0] == '\t') {
        const int product = hexId(begin + 1, end);
        if (product < 0 || currentVendor == 0)
            return;
        m_products.insert(productKey(currentVendor, product), trimmedText(begin + qMin<qptrdiff>(6, end - begin), end));
        return;
    }

    // Heading lines of the other sections (classes, languages, ...) do not start with four
    // hexadecimal digits; they end the current vendor, so their indented lines are skipped.
    const int vendor = hexId(begin, end);
    if (vendor < 0) {
        currentVendor = 0;
        return;
    }
    m_vendors.insert(vendor, trimmedText(begin + 4, end));
    currentVendor = vendor;
}

QString UsbDatabase::getVendorName(int vendor) const
{
    return m_vendors.value(vendor);
}

QString UsbDatabase::getDeviceName(int vendor, int product) const
{
    return m_products.value(productKey(vendor, product));
}

int UsbDatabase::getVendorCount() const
{
    return m_vendors.size();
}

int UsbDatabase::getItemCount() const
{
    return m_products.size();
}
