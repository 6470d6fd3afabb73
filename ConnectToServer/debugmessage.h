#pragma once

// The system's debug-message format: every item is followed by one blank, the last one
// included. Text items (QString) are written in double quotation marks exactly as they are,
// with nothing inside escaped, so a server's reply appears byte for byte; char literals and
// numbers are written as they are. QDebug alone chops the final blank and escapes quoted text,
// so the message is built in a buffer first and handed on whole.

#include <QDebug>
#include <QString>

#include <type_traits>

namespace debugmessage_detail {

template <typename Item> void append(QString& line, const Item& item)
{
    if constexpr (std::is_same_v<Item, QString>) {
        line += QLatin1Char('"');
        line += item;
        line += QLatin1Char('"');
    } else {
        QDebug out(&line);
        out.nospace() << item;
    }
}

} // namespace debugmessage_detail

template <typename... Items> void debugMessage(const Items&... items)
{
    QString line;
    ((debugmessage_detail::append(line, items), line += QLatin1Char(' ')), ...);
    qDebug().noquote().nospace() << line;
}
