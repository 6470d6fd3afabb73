#include "reportsdatabase.h"

#include <QFile>
#include <QMessageAuthenticationCode>

#include <sqlite3.h>

QList<StoredReport> storedReports(const QString& database)
{
    QList<StoredReport> reports;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return reports;
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* statement = nullptr;
    const char* sql = "SELECT hex(i.mac), hex(i.computerName), hex(i.userName), r.version, r.state, r.time, r.returnedFrom "
                      "FROM reports r JOIN installations i ON i.id = r.installation ORDER BY r.id";
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
        const auto text = [&](int column) {
            return QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                sqlite3_column_bytes(statement, column));
        };
        while (sqlite3_step(statement) == SQLITE_ROW) {
            StoredReport report;
            report.mac = text(0).toLower();
            report.computerName = text(1).toLower();
            report.userName = text(2).toLower();
            report.version = QString::fromUtf8(text(3));
            report.useState = sqlite3_column_int(statement, 4);
            report.time = sqlite3_column_int64(statement, 5);
            report.returnedFrom = QString::fromUtf8(text(6));
            reports.append(report);
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return reports;
}

QByteArray expectedPseudonym(const QString& database, const QByteArray& field, const QString& value)
{
    QFile secret(database + QStringLiteral(".secret"));
    if (!secret.open(QIODevice::ReadOnly)) {
        return {};
    }
    QMessageAuthenticationCode code(QCryptographicHash::Sha256, secret.readAll());
    code.addData(field);
    code.addData(QByteArray(1, '\0'));
    code.addData(value.toUtf8());
    return code.result().toHex();
}

LockedReportsDatabase::LockedReportsDatabase(const QString& database)
{
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        return;
    }
    char* message = nullptr;
    locked = sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, &message) == SQLITE_OK;
    if (!locked) {
        why = message ? message : sqlite3_errmsg(db);
    }
    sqlite3_free(message);
}

LockedReportsDatabase::~LockedReportsDatabase()
{
    if (locked) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
}
