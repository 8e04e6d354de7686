#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <clocale>
#include <langinfo.h>

namespace ORTVLocale {

// Qt works in UTF-8. Started in a locale with another character set (plain "C": a service, a
// container, a minimal board), Qt switches the process to a UTF-8 one itself; Qt 6.8 then
// writes four lines about that to stderr, which Qt 6.4 does not. Asking the environment
// for C.UTF-8 before the application object exists makes the switch without those lines, so the
// log is the same on every Qt version. Call it first thing in main.
inline void useUtf8()
{
    std::setlocale(LC_ALL, "");
    const QByteArray codeset = nl_langinfo(CODESET);
    if (codeset == "UTF-8" || codeset == "utf8")
        return;
    // LC_ALL, where set, overrides LC_CTYPE.
    qputenv(qEnvironmentVariableIsSet("LC_ALL") ? "LC_ALL" : "LC_CTYPE", "C.UTF-8");
}

} // namespace ORTVLocale
