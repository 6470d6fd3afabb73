#include "loopbackhttps.h"

#include <QFile>
#include <QSslConfiguration>

namespace {

QString dataFile(const char* name)
{
    return QStringLiteral(CTS_TEST_DATA_DIR "/") + QLatin1String(name);
}

// The certificate is trusted before the server is made, as the member's constructor needs.
const char* trustedCertificate()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(dataFile("loopback.crt"));
    QSslConfiguration::setDefaultConfiguration(tls);
    static const QByteArray path = QFile::encodeName(dataFile("loopback.crt"));
    return path.constData();
}

} // namespace

LoopbackHttpsServer::LoopbackHttpsServer()
    : server(trustedCertificate(), QFile::encodeName(dataFile("loopback.key")).constData())
{
}

LoopbackHttpsServer::~LoopbackHttpsServer()
{
    stop();
}

bool LoopbackHttpsServer::start()
{
    if (!server.is_valid()) {
        return false;
    }
    port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        return false;
    }
    listener = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::yield();
    }
    return true;
}

void LoopbackHttpsServer::stop()
{
    if (listener.joinable()) {
        server.stop();
        listener.join();
    }
}
