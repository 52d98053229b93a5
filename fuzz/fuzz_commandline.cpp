// The program's command line: the input is the argument list, arguments separated by zero
// bytes.

#include "commandlineparser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList arguments{QStringLiteral("ZEL_Client")};
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    for (const QByteArray &argument : input.split('\0'))
        arguments << QString::fromUtf8(argument);

    ZELConnectionParameters parameters;
    NXErrorCommandData nx;
    CommandLineParser::MiscParameters misc;
    // A refused connection or dialog type has no error text on purpose: the program then
    // prints just the help.
    CommandLineParser::instance().parse(arguments, parameters, nx, misc);
    return 0;
}
