#pragma once

// The HTTP side of the vendor server. Requests, below "/" + ProductPath:
//
//   GET  /prod/Orbisnap/getVersionDiff?version=V[&channel=C]
//                                                 what installed version V needs on channel C
//                                                 (default "stable"; see below and channels.h)
//   POST /prod/Orbisnap/getProductInfo?           form "version=V": product-info.json's member
//                                                 for V, else its "*", else {"version","newest"}
//   POST /prod/Orbisnap/useReport?                form "mac, version, computerName, userName,
//                                                 useState[, returnedFrom]": stored in the
//                                                 reports database
//   GET  /dashboard, /dashboard.json              the vendor's dashboard, with its token only
//   POST /dashboard/sign-in, /dashboard/sign-out  (dashboard.h)
//   POST /prod/Orbisnap/getProductAd              ad.json, else {"ads":[]}
//   GET  /releases/VERSION/PATH                   the bytes of one file of one release
//   GET  /releases/objects/NAME                   the bytes of one object (answerobjects.h)
//
// getVersionDiff answers {} when V is the channel's version or newer, otherwise the version
// answer (versionanswer.h) towards the channel's version (the newest without channels.json),
// with the channel's "channel" and "rollout": that version, BASE/VERSION, the changed, deleted and new
// files of V's tree against the newest one's with the size and SHA-256 of each file to fetch,
// V as "installed" and the server's start-up time as "issued"; an unknown V gets every file of
// the newest in "n", and each file's objects when there are (BASE/objects, "packed", "patch").
// While the channel's version is halted (halts.h), an installation below it gets "nothing
// newer": {} unsigned, or with signed answers the set's "nothing newer" answer for its release
// ({} when there is none); one on that version or newer is answered as ever.
// BASE is --public-base, or this server's own /releases. When the releases directory
// holds signed answers (signedanswers.h) they are served instead, byte for byte, with their
// signature in the X-Orbisnap-Signature header: V's own, the newest's for the newest, "any"
// for a version the releases do not hold, {} unsigned for a version newer than the newest.
//
// Files are served only when they were part of a release (or an object) at start-up, and only after their
// real path is checked to lie inside the releases directory, so no request ("..", encoded or
// not, backslashes, absolute paths, symlinks made later) reaches anything else. Bodies are
// streamed from the file, never held whole.
//
// Every answer carries Cache-Control and, where it can be kept, a strong ETag (httpcache.h).
//
// Every request writes one access-log line (combined log format) to standard output.

#include "answerobjects.h"
#include "boundedserver.h"
#include "channels.h"
#include "releasestore.h"
#include "dashboard.h"
#include "halts.h"
#include "onlineanswers.h"
#include "reportstore.h"
#include "signedanswers.h"

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>

class VendorServer
{
public:
    VendorServer(const ReleaseStore& store, const Channels& channels, ReportStore& reports);
    VendorServer(const VendorServer&) = delete;
    VendorServer& operator=(const VendorServer&) = delete;

    // Binds host:port (port 0: any free one) without SO_REUSEPORT, so a port that another
    // server holds is refused rather than shared. Answers the bound port, or -1 with error set.
    int bind(const std::string& host, int port, std::string& error);

    // The prefix under which releases are published; BASE/VERSION is a release's download base.
    void setDownloadBase(const std::string& base) { downloadBase = base; }
    // Serve these answers (which must outlive the server) instead of computing them.
    void setSignedAnswers(const SignedAnswers* answers) { signedAnswers = answers; }
    // Make every version answer from the signed manifests and sign it with this online key
    // (which must outlive the server), valid for lifetimeSeconds; an answer is made and
    // signed again once half of that has passed, so none served is near its expiry.
    void setOnlineSigning(const OnlineSigning* signing, long long lifetimeSeconds)
    {
        online = signing;
        onlineLifetime = lifetimeSeconds;
    }
    // Serve these objects (which must outlive the server) and advertise them in unsigned answers.
    void setObjects(const AnswerObjects* served) { objects = served; }
    // Withhold the versions these halts name (which must outlive the server).
    void setHalts(const Halts* halted) { halts = halted; }
    // Serve the dashboard (which must outlive the server); without it its paths are unknown.
    void setDashboard(Dashboard* dashboard);

    // Serves until stop(); true when it stopped because stop() was called.
    bool run();
    void stop();
    bool isRunning() const;

private:
    void handleVersionDiff(const httplib::Request& request, httplib::Response& response);
    void handleProductInfo(const httplib::Request& request, httplib::Response& response);
    void handleUseReport(const httplib::Request& request, httplib::Response& response);
    void handleProductAd(const httplib::Request& request, httplib::Response& response);
    void handleFile(const httplib::Request& request, httplib::Response& response);

    struct KnownAnswer
    {
        std::string body;
        std::string signature; // empty: unsigned
        std::string etag;
        // When it must be made anew (online answers, before they expire).
        std::chrono::steady_clock::time_point renewAt = std::chrono::steady_clock::time_point::max();
    };
    // "Nothing newer" for installed below channel's halted version.
    KnownAnswer makeHaltedAnswer(const Channel& channel, const std::string& installed) const;
    KnownAnswer makeOnlineAnswer(const Channel& channel, const std::string& installed) const;
    // The answer for installed on channel, with its ETag.
    KnownAnswer makeAnswer(const Channel& channel, const std::string& installed) const;
    // The same for a release's own version, made once and kept (there are only so many).
    KnownAnswer knownAnswer(const Channel& channel, const std::string& installed);

    const ReleaseStore& store;
    const Channels& channels;
    ReportStore& reports;
    std::string downloadBase;
    // The "issued" of unsigned answers: the time the server read the releases, so an answer's
    // bytes, and with them its ETag, stay the same while it runs.
    const std::string issued;
    const SignedAnswers* signedAnswers = nullptr;
    const AnswerObjects* objects = nullptr;
    const OnlineSigning* online = nullptr;
    const Halts* halts = nullptr;
    long long onlineLifetime = 86400;
    std::mutex knownMutex;
    std::map<std::pair<std::string, std::string>, KnownAnswer> known; // by channel, installed
    BoundedServer http;
};
