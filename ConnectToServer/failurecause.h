#pragma once

// The line that follows a failed request's "... failed error code: N" line and names its cause
// in words an administrator can act on: the proxy and what it answered, a host name that does
// not resolve, the host whose certificate is not trusted and why, a time-out. The download pass
// (libcurl) and Qt's network access describe their failures through the same texts.
//
//   failed because: "the proxy 10.0.0.1:3128 asks for authentication (407)"

#include <QNetworkProxy>
#include <QString>

class QNetworkReply;

namespace FailureCause {

// Prints the cause line; last() gives it back on the same thread until the next request
// starts there (each request calls clear() first), so a failure that has no cause line of its
// own (an answer that is no JSON, a refused picture) never shows an earlier request's cause.
void print(const QString& cause);
QString last();
void clear();

QString proxyAuthentication(const QNetworkProxy& proxy, bool credentialsGiven);
QString proxyRefusedTunnel(const QNetworkProxy& proxy, const QString& target, const QString& answer);
QString proxyUnreachable(const QNetworkProxy& proxy, const QString& why);
QString proxyNameUnresolved(const QNetworkProxy& proxy);
QString hostNameUnresolved(const QString& host);
QString refused(const QString& hostAndPort);
// why: a TLS library's own text; its reason is named in plain words when it is one of the
// usual ones (self-signed, unknown issuer, expired, another name).
QString untrustedCertificate(const QString& host, const QString& why);
QString timeOut(const QString& host, int seconds);
QString closed(const QString& host);
QString answered(const QString& host, int status, const QNetworkProxy& proxy);
QString notHttp(const QString& host);
QString redirectRefused(const QString& host, const QString& target);

// The plain reason within a TLS library's text, or the text itself.
QString certificateReason(const QString& text);

// The cause of a Qt reply that failed with error (NetworkAccessBlock::errorOf), with the proxy
// NetworkProxies names for its URL.
QString ofReply(const QNetworkReply& reply, int error);

} // namespace FailureCause
