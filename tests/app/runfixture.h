#pragma once

// What the update-run tests share: a release on a loopback server, the folders of one run,
// byte-for-byte snapshots, a log of the debug messages, and a watch on the progress window.

#include "debuglog.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "widget.h"

// A release below /release/ on a free loopback port. Paths not served answer 404. `hold`, when
// given, runs on the server's thread before each answer, with the relative path.
class ReleaseServer
{
public:
    explicit ReleaseServer(
        const std::map<std::string, QByteArray>& files, std::function<void(const std::string&)> hold = {});
    bool start() { return http.start(); }
    QString base() const { return http.baseUrl() + QStringLiteral("/release"); }
    // Relative paths asked for, in order.
    QStringList requested() const;

private:
    TestHttpServer http;
    const std::map<std::string, QByteArray> files;
    const std::function<void(const std::string&)> hold;
};

// One run's folders below a temporary root: app/ (the installation) and work/ with
// version_diff.txt.
struct RunFolders
{
    QTemporaryDir temp;
    QString app;
    QString work;
    QString diff;
    RunFolders();
    // Marker, versions, base, then the entry lines.
    bool writeDiff(
        const QString& base, const QByteArrayList& entries, const QByteArray& versions = "v1.0.3 --> v1.0.4");
    // The entry lines (line 4 on) of the version-difference file, without line ends.
    QByteArrayList diffEntries() const;
};

// Watches the application for the progress window: notes when a Widget is shown and records
// every value its bar takes as "value/maximum".
class WindowWatch final : public QObject
{
    Q_OBJECT

public:
    WindowWatch();
    ~WindowWatch() override;

    // Whether a window was shown; the window itself goes with the run.
    bool shown() const { return wasShown; }
    Widget* shownWindow() const { return window; }
    const QStringList& progress() const { return values; }
    QString barNow() const;
    QString labelNow() const;
    // Called on the GUI thread for each recorded value.
    std::function<void(const QString&)> onProgress;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<Widget> window;
    bool wasShown = false;
    QStringList values;
};

// Ends a loop that nobody else ends, so a hanging run fails the test instead of the timeout.
class LoopWatchdog
{
public:
    static constexpr int Code = 99;
    explicit LoopWatchdog(int ms = 20000);
    ~LoopWatchdog();

private:
    QObject owner;
};
