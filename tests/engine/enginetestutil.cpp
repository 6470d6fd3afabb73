#include "enginetestutil.h"

#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QThread>

bool writeDiff(const QString& path, const QString& base, const QByteArrayList& entries, const char* versions)
{
    QByteArray text = "@Orbisnap\n" + QByteArray(versions) + '\n' + base.toUtf8() + '\n';
    for (const QByteArray& line : entries) {
        text += line + '\n';
    }
    return writeFile(path, text);
}

QByteArrayList diffEntries(const QString& path)
{
    QByteArrayList lines = readFile(path).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines.mid(3);
}

ReleaseServer::ReleaseServer()
{
    http.http().Get(R"(/release/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string relative = request.matches[1];
        std::function<void(const std::string&)> hookCopy;
        File file;
        bool found = false;
        {
            std::lock_guard lock(mutex);
            hookCopy = hook;
            const auto it = files.find(relative);
            if (it != files.end()) {
                file = it->second;
                found = true;
            }
        }
        if (hookCopy) {
            hookCopy(relative);
        }
        if (!found) {
            response.status = 404;
            response.set_content("not found", "text/plain");
            return;
        }
        if (!file.truncated) {
            response.set_content(file.body, "application/octet-stream");
            return;
        }
        const std::string body = file.body;
        response.set_content_provider(body.size(), "application/octet-stream",
            [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (offset > 0) {
                    return false; // the connection closes with half the body sent
                }
                sink.write(body.data(), body.size() / 2);
                return true;
            });
    });
}

void ReleaseServer::serve(const std::string& relative, const QByteArray& body, bool truncated)
{
    std::lock_guard lock(mutex);
    files[relative] = File { body.toStdString(), truncated };
}

void ReleaseServer::setHook(std::function<void(const std::string&)> newHook)
{
    std::lock_guard lock(mutex);
    hook = std::move(newHook);
}

QStringList ReleaseServer::requested() const
{
    QStringList paths;
    for (const SeenRequest& request : http.requests()) {
        const std::string prefix = "/release/";
        if (request.path.rfind(prefix, 0) == 0) {
            paths.append(QString::fromStdString(request.path.substr(prefix.size())));
        }
    }
    return paths;
}

void EventLog::callback(std::int32_t event, std::intptr_t argument, void* self)
{
    auto* log = static_cast<EventLog*>(self);
    Event recorded { event, {}, 0, {}, QThread::currentThreadId() != log->testThread };
    if (event == FileStart) {
        recorded.file = QString::fromUtf8(reinterpret_cast<const FileEntry*>(argument)->file);
    } else if (event == AllDone) {
        recorded.flag = argument;
        recorded.diffAtEvent = readFile(log->diffPath);
    }
    log->events.push_back(recorded);
    if (log->then) {
        log->then(event, argument);
    }
}

QStringList EventLog::summary() const
{
    QStringList lines;
    for (const Event& event : events) {
        switch (event.code) {
        case FileStart:
            lines.append(QStringLiteral("start:") + event.file);
            break;
        case AllDone:
            lines.append(QStringLiteral("done:%1").arg(event.flag));
            break;
        case NothingToUpdate:
            lines.append(QStringLiteral("nothing"));
            break;
        default:
            lines.append(QStringLiteral("unknown:%1").arg(event.code));
        }
    }
    return lines;
}

Folders::Folders(const QString& rootDir)
    : root(rootDir)
    , work(rootDir + QStringLiteral("/work"))
    , app(rootDir + QStringLiteral("/app"))
    , diff(rootDir + QStringLiteral("/work/version_diff.txt"))
{
    QDir().mkpath(work);
    QDir().mkpath(app);
}
