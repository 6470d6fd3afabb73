#pragma once

// The vendor's dashboard on vendor-server:
//
//   GET /dashboard        the page (dashboardpage.h), for a browser
//   GET /dashboard.json   the same figures for scripts
//
// Only for the vendor: both answer only when the server was given a token (--dashboard-token
// FILE) and the request carries it as "Authorization: Bearer TOKEN". Any other request gets
// the 404 an unknown path gets, so nothing tells that the dashboard exists. The token is
// compared through its SHA-256, in constant time, so the time of the answer does not tell how
// much of a guess was right.

#include "dashboardfigures.h"
#include "releasestore.h"

#include <httplib.h>

#include <filesystem>
#include <string>

class Dashboard
{
public:
    // Tokens shorter than this are refused: the dashboard is on the same port as the public calls.
    static constexpr std::size_t MinTokenBytes = 16;

    explicit Dashboard(const ReleaseStore& store);
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    // Reads the token (the file's text without surrounding blanks and line ends) and opens the
    // database for reading. False with error naming the file and the cause.
    bool open(const std::filesystem::path& tokenFile, const std::string& database, std::string& error);

    // Whether request carries the token.
    bool allows(const httplib::Request& request) const;
    // Answers the page or the JSON; a 404 when the request lacks the token.
    void answer(const httplib::Request& request, httplib::Response& response, bool json);

private:
    const ReleaseStore& store;
    std::string tokenDigest;
    DashboardQuery query;
};
