#pragma once

// Reading vendor-server's reports database from a test, as an outsider would: the reports with
// their installation's pseudonyms, and the pseudonym a value should have, computed here from
// the secret file with Qt's own HMAC, not the server's code.

#include <QByteArray>
#include <QList>
#include <QString>

struct StoredReport
{
    QByteArray mac; // pseudonyms, 64 hex digits
    QByteArray computerName;
    QByteArray userName;
    QString version;
    int useState = -1;
    qint64 time = 0; // seconds since 1970
    QString returnedFrom;
};

// Every report in the order stored; empty when the database cannot be read.
QList<StoredReport> storedReports(const QString& database);

// HMAC-SHA-256 of field, a NUL and value under the secret in database + ".secret", in hex.
QByteArray expectedPseudonym(const QString& database, const QByteArray& field, const QString& value);

// Runs sql on the database through a connection of its own; false with the reason in error.
// BEGIN EXCLUSIVE through a LockedReportsDatabase holds the write lock as another process would.
class LockedReportsDatabase
{
public:
    explicit LockedReportsDatabase(const QString& database);
    ~LockedReportsDatabase();
    LockedReportsDatabase(const LockedReportsDatabase&) = delete;
    LockedReportsDatabase& operator=(const LockedReportsDatabase&) = delete;

    // Whether the write lock is held (BEGIN EXCLUSIVE succeeded).
    bool isLocked() const { return locked; }
    const QByteArray& error() const { return why; }

private:
    struct sqlite3* db = nullptr;
    bool locked = false;
    QByteArray why;
};
