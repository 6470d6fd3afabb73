#pragma once

// The dashboard's two forms: a page that needs no script (HTML with inline SVG charts and the
// same figures in tables) and a JSON document for scripts:
//
//   {"generated": TIME, "days": ["2026-11-09", ... 30 days], "newest": VERSION,
//    "activeByVersion": [{"version": V | null for the other versions, "newest": BOOL,
//                         "installations": [30 counts]}],
//    "activePerDay": [30 counts],
//    "newestShare": {"installations": N, "active": M, "share": N / M | null},
//    "releases": [{"version": V, "firstDay": DAY | null, "daysToHalf": N | null}],
//    "reportsByState": [{"state": S, "reports": [30 counts]}],
//    "totals": {"reports": N, "installations": N, "reportsInWindow": N, "activeInWindow": N},
//    "lastReport": TIME | null}
//
// TIME is UTC ISO 8601 ("2026-12-08T10:00:00Z"), DAY a UTC date ("2026-12-08"). Every text in
// the page that came from a client (versions) is escaped.

#include "dashboardfigures.h"

#include <string>
#include <string_view>

std::string dashboardHtml(const DashboardFigures& figures);
std::string dashboardJson(const DashboardFigures& figures);

// Text for HTML content and attribute values: & < > " ' as entities.
std::string htmlEscaped(std::string_view text);
