#include "runfixture.h"

#include "testfiles.h"
#include "widget.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

ReleaseServer::ReleaseServer(
    const std::map<std::string, QByteArray>& files, std::function<void(const std::string&)> hold)
    : files(files)
    , hold(std::move(hold))
{
    http.http().Get(R"(/release/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string relative = request.matches[1].str();
        if (this->hold) {
            this->hold(relative);
        }
        const auto found = this->files.find(relative);
        if (found == this->files.end()) {
            response.status = 404;
            return;
        }
        response.set_content(found->second.toStdString(), "application/octet-stream");
    });
}

QStringList ReleaseServer::requested() const
{
    QStringList paths;
    const std::string prefix = "/release/";
    for (const SeenRequest& request : http.requests()) {
        if (request.path.rfind(prefix, 0) == 0) {
            paths << QString::fromStdString(request.path.substr(prefix.size()));
        }
    }
    return paths;
}

RunFolders::RunFolders()
{
    app = temp.path() + QStringLiteral("/app");
    work = temp.path() + QStringLiteral("/work");
    diff = work + QStringLiteral("/version_diff.txt");
    QDir().mkpath(app);
    QDir().mkpath(work);
}

bool RunFolders::writeDiff(const QString& base, const QByteArrayList& entries, const QByteArray& versions)
{
    QByteArray text = "@Orbisnap\n" + versions + '\n' + base.toUtf8() + '\n';
    for (const QByteArray& line : entries) {
        text += line + '\n';
    }
    return writeFile(diff, text);
}

QByteArrayList RunFolders::diffEntries() const
{
    QByteArrayList lines = readFile(diff).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines.mid(3);
}

WindowWatch::WindowWatch()
{
    qApp->installEventFilter(this);
}

WindowWatch::~WindowWatch()
{
    qApp->removeEventFilter(this);
}

bool WindowWatch::eventFilter(QObject* watched, QEvent* event)
{
    auto* shownNow = qobject_cast<Widget*>(watched);
    if (event->type() == QEvent::Show && shownNow && !window) {
        window = shownNow;
        wasShown = true;
        auto* bar = shownNow->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        connect(bar, &QProgressBar::valueChanged, this, [this, bar](int value) {
            values << QStringLiteral("%1/%2").arg(value).arg(bar->maximum());
            if (onProgress) {
                onProgress(values.last());
            }
        });
    }
    return false;
}

QString WindowWatch::barNow() const
{
    if (!window) {
        return QString();
    }
    const auto* bar = window->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    return QStringLiteral("%1/%2").arg(bar->value()).arg(bar->maximum());
}

QString WindowWatch::labelNow() const
{
    return window ? window->findChild<QLabel*>(QStringLiteral("label"))->text() : QString();
}

LoopWatchdog::LoopWatchdog(int ms)
{
    QTimer::singleShot(ms, &owner, [] { QCoreApplication::exit(Code); });
}

LoopWatchdog::~LoopWatchdog() = default;
