#include "networkproxies.h"

#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QNetworkProxyQuery>

#include <cstdlib>

namespace {

#ifndef _WIN32
QByteArray environmentVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? QByteArray(value) : QByteArray();
}
#endif

QByteArray firstSet(const std::function<QByteArray(const char*)>& variable, const char* lower, const char* upper)
{
    QByteArray value = variable(lower).trimmed();
    return value.isEmpty() ? variable(upper).trimmed() : value;
}

// Whether no_proxy's list names host (port-less entries; a name covers its subdomains).
bool listed(const QByteArray& list, const QString& host)
{
    const QString name = host.toLower();
    const QHostAddress address(name);
    for (const QByteArray& raw : list.split(',')) {
        QString entry = QString::fromUtf8(raw.trimmed()).toLower();
        if (entry.isEmpty()) {
            continue;
        }
        if (entry == QLatin1String("*")) {
            return true;
        }
        if (entry.startsWith(QLatin1String("*."))) {
            entry.remove(0, 1);
        }
        if (entry.startsWith(QLatin1Char('.'))) {
            entry.remove(0, 1);
        }
        if (entry.startsWith(QLatin1Char('[')) && entry.endsWith(QLatin1Char(']'))) {
            entry = entry.mid(1, entry.size() - 2);
        }
        if (!address.isNull()) {
            const qsizetype slash = entry.indexOf(QLatin1Char('/'));
            if (slash > 0) {
                const auto subnet = QHostAddress::parseSubnet(entry);
                if (!subnet.first.isNull() && address.isInSubnet(subnet)) {
                    return true;
                }
                continue;
            }
            if (QHostAddress(entry) == address) {
                return true;
            }
            continue;
        }
        if (name == entry || name.endsWith(QLatin1Char('.') + entry)) {
            return true;
        }
    }
    return false;
}

QNetworkProxy parseProxy(const QByteArray& text)
{
    QByteArray spelled = text;
    if (!spelled.contains("://")) {
        spelled.prepend("http://");
    }
    const QUrl url = QUrl::fromEncoded(spelled, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty() || url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0) {
        return QNetworkProxy(QNetworkProxy::NoProxy);
    }
    return QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(1080)),
        url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
}

#ifdef _WIN32
QNetworkProxy fromSystem(const QUrl& url)
{
    static QMutex mutex;
    static QHash<QString, QNetworkProxy> asked;
    const QString key = url.scheme().toLower() + QLatin1String("://") + url.host().toLower() + QLatin1Char(':')
        + QString::number(url.port(-1));
    QMutexLocker lock(&mutex);
    const auto known = asked.constFind(key);
    if (known != asked.constEnd()) {
        return *known;
    }
    QNetworkProxy chosen(QNetworkProxy::NoProxy);
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy& proxy : proxies) {
        // The first the settings list that this project can speak to; DIRECT ends the list.
        if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy) {
            break;
        }
        if (proxy.type() == QNetworkProxy::HttpProxy) {
            chosen = proxy;
            break;
        }
    }
    asked.insert(key, chosen);
    return chosen;
}
#endif

} // namespace

bool NetworkProxies::isLoopback(const QString& host)
{
    QString name = host.toLower();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        name = name.mid(1, name.size() - 2);
    }
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost"))) {
        return true;
    }
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

QString NetworkProxies::describe(const QNetworkProxy& proxy)
{
    const QString host = proxy.hostName().contains(QLatin1Char(':')) ? QLatin1Char('[') + proxy.hostName() + QLatin1Char(']')
                                                                     : proxy.hostName();
    return host + QLatin1Char(':') + QString::number(proxy.port());
}

QNetworkProxy NetworkProxies::fromEnvironment(
    const QUrl& url, const std::function<QByteArray(const char*)>& variable)
{
    const QNetworkProxy none(QNetworkProxy::NoProxy);
    const QString scheme = url.scheme().toLower();
    if (isLoopback(url.host()) || listed(firstSet(variable, "no_proxy", "NO_PROXY"), url.host())) {
        return none;
    }
    QByteArray setting;
    if (scheme == QLatin1String("http")) {
        setting = firstSet(variable, "http_proxy", "HTTP_PROXY");
    } else if (scheme == QLatin1String("https")) {
        setting = firstSet(variable, "https_proxy", "HTTPS_PROXY");
    } else {
        return none;
    }
    if (setting.isEmpty()) {
        setting = firstSet(variable, "all_proxy", "ALL_PROXY");
    }
    return setting.isEmpty() ? none : parseProxy(setting);
}

QNetworkProxy NetworkProxies::forUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if (isLoopback(url.host()) || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        return QNetworkProxy(QNetworkProxy::NoProxy);
    }
#ifdef _WIN32
    return fromSystem(url);
#else
    return fromEnvironment(url, environmentVariable);
#endif
}

void NetworkProxies::applyToQt()
{
    static const bool applied = [] {
        // Qt takes ownership of the factory.
        QNetworkProxyFactory::setApplicationProxyFactory(new NetworkProxies);
        return true;
    }();
    (void)applied;
}

QList<QNetworkProxy> NetworkProxies::queryProxy(const QNetworkProxyQuery& query)
{
    if (query.queryType() != QNetworkProxyQuery::UrlRequest) {
        return { QNetworkProxy(QNetworkProxy::NoProxy) };
    }
    return { forUrl(query.url()) };
}
