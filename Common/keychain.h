#pragma once

// Following the chain of key documents (keydocument.h) from a trusted start, one version at a
// time. Each document after the start must be the next version and be signed by the threshold
// of the root keys of the document before it and by that of its own root keys, so a new root
// is announced by a document both the old and the new root signed, and a thief of one root
// key below its threshold can announce nothing.
//
// The start is the newest document accepted before (kept by the caller), or, where there is
// none, the root keys compiled in: then the chain is taken up at the first document they sign
// (a host built after a root rotation starts at the rotation). Documents no newer than the
// start are skipped when they are the start itself; a chain whose newest version is older than
// the start's is refused (no rollback of keys), and so is a newest document that has expired.
// Both the host's check and the vendor's tools use it.

#include "keydocument.h"
#include "signedenvelope.h"

#include <QDateTime>
#include <QList>
#include <QString>

struct KeyChainResult
{
    bool accepted = false;
    QString why;            // when not accepted: one line naming the fault
    KeyDocument newest;     // when accepted: the newest document of the chain
    SignedEnvelope envelope; // and its envelope, to keep
};

// chain: the served envelopes in order of version. accepted: the envelope of the newest
// document accepted before (null when none). trustedRoot: the root keys to start from when
// there is none.
KeyChainResult followKeyChain(const QList<SignedEnvelope>& chain, const SignedEnvelope* accepted,
    const RoleKeys& trustedRoot, const QDateTime& now);
