#pragma once

// The system's debug-message format: every item is followed by one blank, the last one
// included, and text items (QString) are written in double quotation marks, other items
// (char literals, numbers) as they are. QDebug alone chops the final blank, so the message is
// built in a buffer first and handed on whole.

#include <QDebug>
#include <QString>

template <typename... Items>
void debugMessage(const Items&... items)
{
    QString line;
    {
        QDebug out(&line);
        out.nospace();
        ((out << items << ' '), ...);
    }
    qDebug().noquote().nospace() << line;
}
