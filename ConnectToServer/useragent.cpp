#include "useragent.h"

#include "serverconfig.h"

QByteArray userAgent(RequestSender sender)
{
    const char* component = "host";
    switch (sender) {
    case RequestSender::UpdateCheck:
        component = "update check";
        break;
    case RequestSender::Updater:
        component = "updater";
        break;
    case RequestSender::Host:
        break;
    }
    return QByteArray("Orbisnap/") + OrbisnapVersion + " (" + component + ')';
}
