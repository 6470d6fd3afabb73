#pragma once

// How every request of this project names its sender, so that a vendor's logs tell its updater
// from browsers and the three senders from each other:
//
//   User-Agent: Orbisnap/<version> (<component>)
//
// version is the build's (OrbisnapVersion); component is "update check" (the question for the
// newest version), "updater" (the download pass) or "host" (every other server call a host
// application makes through UploadManager or the transports).

#include <QByteArray>

enum class RequestSender { UpdateCheck, Updater, Host };

QByteArray userAgent(RequestSender sender);
