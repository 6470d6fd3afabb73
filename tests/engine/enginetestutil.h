#pragma once

// What the engine tests share: a release served over real HTTP, a recorder for the worker's
// events, and byte-for-byte snapshots of directory trees.

#include "download.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Every file below root (hidden ones included) with its bytes; directories appear as
// "path/" with empty content, so an empty directory left behind shows as well.

// Writes a version-difference file: marker, versions, base, then the entry lines as given.
bool writeDiff(const QString& path, const QString& base, const QByteArrayList& entries,
    const char* versions = "v1.0.3 --> v1.0.4");
// The entry lines of a version-difference file (line 4 on), without line ends.
QByteArrayList diffEntries(const QString& path);

// A release below /release/ on a loopback server. Paths not served answer 404; a path served
// with `truncated` announces its whole length and closes the connection half-way.
class ReleaseServer
{
public:
    ReleaseServer();
    bool start() { return http.start(); }
    // The download base for the version-difference file.
    QString base() const { return http.baseUrl() + QStringLiteral("/release"); }
    QString url(const QString& relative) const { return base() + QLatin1Char('/') + relative; }

    void serve(const std::string& relative, const QByteArray& body, bool truncated = false);
    // Called on the server's thread before a file is answered.
    void setHook(std::function<void(const std::string&)> hook);
    // The relative paths asked for, in order.
    QStringList requested() const;

private:
    struct File
    {
        std::string body;
        bool truncated = false;
    };
    TestHttpServer http;
    mutable std::mutex mutex;
    std::map<std::string, File> files;
    std::function<void(const std::string&)> hook;
};

// Records the worker's events; each FileStart with its entry's path, each AllDone with its flag
// and the version-difference file's bytes at that moment.
struct EventLog
{
    struct Event
    {
        std::int32_t code;
        QString file; // FileStart: the entry's path
        std::intptr_t flag; // AllDone: the completed flag
        QByteArray diffAtEvent;
        bool onOtherThread;
    };
    QString diffPath;
    Qt::HANDLE testThread = nullptr;
    std::vector<Event> events;
    // Run after recording, on the worker thread (the merge, for instance).
    std::function<void(std::int32_t, std::intptr_t)> then;

    static void callback(std::int32_t event, std::intptr_t argument, void* self);
    // "start:a.dll", "done:1", "nothing" in order.
    QStringList summary() const;
};

// Sets up the worker's folders below one temporary root: work/ and app/.
struct Folders
{
    QString root;
    QString work;
    QString app;
    QString diff;
    explicit Folders(const QString& root);
};
