#include "failurecause.h"

#include "debugmessage.h"
#include "networkproxies.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>
#include <QUrl>

namespace FailureCause {

namespace {

QString proxyName(const QNetworkProxy& proxy)
{
    return QStringLiteral("the proxy ") + NetworkProxies::describe(proxy);
}

bool through(const QNetworkProxy& proxy)
{
    return proxy.type() == QNetworkProxy::HttpProxy;
}

QString hostAndPort(const QUrl& url)
{
    return url.host() + QLatin1Char(':') + QString::number(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
}

} // namespace

namespace {
thread_local QString lastCause;
}

void print(const QString& cause)
{
    lastCause = cause;
    debugMessage("failed because:", cause);
}

QString last()
{
    return lastCause;
}

void clear()
{
    lastCause.clear();
}

QString proxyAuthentication(const QNetworkProxy& proxy, bool credentialsGiven)
{
    return proxyName(proxy)
        + (credentialsGiven ? QStringLiteral(" refused the credentials (407 authentication required)")
                            : QStringLiteral(" asks for authentication (407), and none was given"));
}

QString proxyRefusedTunnel(const QNetworkProxy& proxy, const QString& target, const QString& answer)
{
    return proxyName(proxy) + QStringLiteral(" refused CONNECT to %1 (%2)").arg(target, answer);
}

QString proxyUnreachable(const QNetworkProxy& proxy, const QString& why)
{
    return proxyName(proxy) + QStringLiteral(" cannot be reached: ") + why;
}

QString proxyNameUnresolved(const QNetworkProxy& proxy)
{
    return QStringLiteral("the proxy's host name %1 does not resolve").arg(proxy.hostName());
}

QString hostNameUnresolved(const QString& host)
{
    return QStringLiteral("the host name %1 does not resolve").arg(host);
}

QString refused(const QString& hostAndPort)
{
    return QStringLiteral("%1 refused the connection").arg(hostAndPort);
}

QString certificateReason(const QString& text)
{
    const auto has = [&text](const char* word) { return text.contains(QLatin1String(word), Qt::CaseInsensitive); };
    QStringList reasons;
    if (has("self-signed") || has("self signed")) {
        reasons << QStringLiteral("self-signed");
    } else if (has("local issuer") || has("issuer certificate") || has("PARTIAL_CHAIN") || has("UNTRUSTED_ROOT")
        || has("unknown ca")) {
        reasons << QStringLiteral("unknown issuer");
    }
    if (has("expired") || has("NOT_TIME_VALID") || has("not yet valid")) {
        reasons << QStringLiteral("expired or not yet valid");
    }
    if (has("subject name") || has("host name") || has("WRONG_PRINCIPAL") || has("CN_NO_MATCH")
        || has("does not match")) {
        reasons << QStringLiteral("issued for another name");
    }
    return reasons.isEmpty() ? text : reasons.join(QStringLiteral(", "));
}

QString untrustedCertificate(const QString& host, const QString& why)
{
    return QStringLiteral("the certificate of %1 is not trusted: %2").arg(host, certificateReason(why));
}

QString timeOut(const QString& host, int seconds)
{
    return QStringLiteral("time-out: nothing came from %1 for %2 s").arg(host).arg(seconds);
}

QString closed(const QString& host)
{
    return QStringLiteral("%1 closed the connection before the whole answer came").arg(host);
}

QString answered(const QString& host, int status, const QNetworkProxy& proxy)
{
    QString text = QStringLiteral("%1 answered %2").arg(host).arg(status);
    if (through(proxy)) {
        text += QStringLiteral(" (through %1)").arg(proxyName(proxy));
    }
    return text;
}

QString notHttp(const QString& host)
{
    return QStringLiteral("%1 sent no valid HTTP/1.x answer").arg(host);
}

QString redirectRefused(const QString& host, const QString& target)
{
    return QStringLiteral("%1 redirected to %2, which is not followed").arg(host, target);
}

QString ofReply(const QNetworkReply& reply, int error)
{
    const QUrl url = reply.url().isValid() ? reply.url() : reply.request().url();
    const QString host = url.host();
    const QNetworkProxy proxy = NetworkProxies::forUrl(url);
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    switch (QNetworkReply::NetworkError(error)) {
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return proxyAuthentication(proxy, !proxy.user().isEmpty());
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownProxyError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::UnknownNetworkError:
        if (through(proxy) && reply.errorString().contains(QLatin1String("denied"), Qt::CaseInsensitive)) {
            // Qt's word for a CONNECT the proxy answered with a refusal.
            return proxyRefusedTunnel(proxy, hostAndPort(url), reply.errorString());
        }
        if (through(proxy) && error != QNetworkReply::UnknownNetworkError) {
            // Qt names a proxy that refuses the connection as if it were the server.
            return proxyUnreachable(proxy, reply.errorString());
        }
        if (error == QNetworkReply::ConnectionRefusedError) {
            return refused(hostAndPort(url));
        }
        break;
    case QNetworkReply::ProxyNotFoundError:
        return proxyNameUnresolved(proxy);
    case QNetworkReply::HostNotFoundError:
        return through(proxy) ? hostNameUnresolved(host) + QStringLiteral(" (for %1)").arg(proxyName(proxy))
                              : hostNameUnresolved(host);
    case QNetworkReply::SslHandshakeFailedError:
        return untrustedCertificate(host, reply.errorString());
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        // Qt ends a request that outlived its transfer time-out as cancelled.
        return timeOut(host, reply.request().transferTimeout() / 1000);
    case QNetworkReply::RemoteHostClosedError:
        return closed(host);
    case QNetworkReply::ProtocolUnknownError:
        if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
            return QStringLiteral("\"%1\" is no http or https URL").arg(url.toString());
        }
        break;
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::TooManyRedirectsError:
        return redirectRefused(host, QString::fromUtf8(reply.rawHeader("Location")));
    default:
        break;
    }
    if (status >= 400) {
        return answered(host, status, proxy);
    }
    return reply.errorString();
}

} // namespace FailureCause
