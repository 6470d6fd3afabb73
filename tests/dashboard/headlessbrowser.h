#pragma once

// Headless Chromium started by a test and driven through its DevTools protocol over a pipe
// (--remote-debugging-pipe): JSON messages ended by a NUL, read by the browser on its fd 3 and
// written on its fd 4. One browser, one page; commands wait for their answer by id.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

class HeadlessBrowser
{
public:
    HeadlessBrowser() = default;
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // The chromium executable on PATH (or ORBISNAP_CHROMIUM); empty when there is none.
    static QString executable();

    // Starts the browser with a fresh profile and opens one page of width x height pixels.
    bool start(int width, int height);
    // Sends method with params to the page (or to the browser), waits for its answer and gives
    // its "result"; on an error answer, a timeout or a browser that ended, false with error().
    bool call(const QString& method, const QJsonObject& params, QJsonObject& result, bool toPage = true);
    // Waits for the page's event `method`, or one that came since the last wait.
    bool waitForEvent(const QString& method, int timeoutMs);

    const QString& error() const { return why; }

private:
    bool send(const QJsonObject& message);
    bool receive(QJsonObject& message, int timeoutMs);

    QTemporaryDir profile;
    pid_t pid = -1;
    int toBrowser = -1;
    int fromBrowser = -1;
    int nextId = 1;
    QString session;
    QByteArray pending;
    QList<QJsonObject> events;
    QString why;
};
