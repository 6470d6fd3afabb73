#include "keychain.h"

#include "utctime.h"

namespace {

KeyChainResult refused(const QString& why)
{
    KeyChainResult result;
    result.why = why;
    return result;
}

} // namespace

KeyChainResult followKeyChain(const QList<SignedEnvelope>& chain, const SignedEnvelope* accepted,
    const RoleKeys& trustedRoot, const QDateTime& now)
{
    KeyChainResult result;
    bool started = false;
    if (accepted) {
        QString why;
        if (!result.newest.parse(accepted->text(), &why)) {
            return refused(QStringLiteral("the kept key document %1").arg(why));
        }
        result.envelope = *accepted;
        started = true;
    }
    qint64 newestServed = 0;
    for (const SignedEnvelope& envelope : chain) {
        KeyDocument document;
        QString why;
        if (!document.parse(envelope.text(), &why)) {
            return refused(QStringLiteral("a key document %1").arg(why));
        }
        if (document.version() <= newestServed) {
            return refused(QStringLiteral("the key documents are not in order of version"));
        }
        newestServed = document.version();
        const RoleKeys& ownRoot = document.role(RootRole);
        if (!started) {
            // Taken up at the first document the compiled-in root signs.
            if (envelope.meets(trustedRoot.keys, trustedRoot.threshold)
                && envelope.meets(ownRoot.keys, ownRoot.threshold)) {
                result.newest = document;
                result.envelope = envelope;
                started = true;
            }
            continue;
        }
        const qint64 current = result.newest.version();
        if (document.version() < current) {
            continue;
        }
        if (document.version() == current) {
            if (document.text() != result.newest.text()) {
                return refused(QStringLiteral("key document version %1 is not the one accepted before").arg(current));
            }
            continue;
        }
        if (document.version() != current + 1) {
            return refused(QStringLiteral("the key documents skip from version %1 to %2").arg(current).arg(document.version()));
        }
        const RoleKeys& previousRoot = result.newest.role(RootRole);
        if (!envelope.meets(previousRoot.keys, previousRoot.threshold)) {
            return refused(QStringLiteral("key document version %1 is not signed by the threshold of the root keys of "
                                          "version %2")
                               .arg(document.version())
                               .arg(current));
        }
        if (!envelope.meets(ownRoot.keys, ownRoot.threshold)) {
            return refused(QStringLiteral("key document version %1 is not signed by the threshold of its own root keys")
                               .arg(document.version()));
        }
        result.newest = document;
        result.envelope = envelope;
    }
    if (!started) {
        return refused(QStringLiteral("no key document is signed by the threshold of the trusted root keys"));
    }
    if (newestServed < result.newest.version()) {
        return refused(QStringLiteral("the newest key document served (version %1) is older than the one accepted "
                                      "before (version %2)")
                           .arg(newestServed)
                           .arg(result.newest.version()));
    }
    if (result.newest.expires() <= now) {
        return refused(QStringLiteral("key document version %1 expired at %2")
                           .arg(result.newest.version())
                           .arg(QString::fromStdString(utcTimeText(result.newest.expires()))));
    }
    result.accepted = true;
    return result;
}
