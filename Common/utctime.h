#pragma once

// Times as the version answer writes them: UTC, to the second, "2026-12-08T10:00:00Z".

#include <QDateTime>

#include <optional>
#include <string>
#include <string_view>

// The time text names, when it has exactly that shape and is a real date and time.
std::optional<QDateTime> parseUtcTime(std::string_view text);

// time in that shape.
std::string utcTimeText(const QDateTime& time);
