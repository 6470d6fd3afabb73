#pragma once

#include <QByteArray>
#include <QString>

// Fetches url through the download pass (FileTransfers) alone, as one transfer, and answers its
// Qt error code (0: fetched); the body that arrived goes to *body when given.
int passFetch(const QString& url, QByteArray* body = nullptr);
