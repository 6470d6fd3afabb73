#include "utctime.h"


#include <cctype>

std::optional<QDateTime> parseUtcTime(std::string_view text)
{
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) {
            return std::nullopt;
        }
    }
    const QDateTime time = QDateTime::fromString(
        QString::fromLatin1(text.data(), qsizetype(text.size())), QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
    if (!time.isValid()) {
        return std::nullopt;
    }
    return QDateTime(time.date(), time.time(), Qt::UTC);
}

std::string utcTimeText(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toStdString();
}
