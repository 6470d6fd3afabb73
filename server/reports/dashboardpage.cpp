#include "dashboardpage.h"

#include "reportstore.h"

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

namespace {

constexpr int Days = DashboardFigures::WindowDays;
constexpr int ChartWidth = 860;
constexpr int ChartHeight = 240;
constexpr int Left = 48;
constexpr int Top = 12;
constexpr int Bottom = 28;
constexpr const char* NewestColour = "#e8590c";
constexpr const char* OtherColour = "#ced4da";
constexpr std::array<const char*, 8> Palette
    = { "#1c7ed6", "#74c0fc", "#4263eb", "#91a7ff", "#0ca678", "#63e6be", "#7048e8", "#b197fc" };

std::string number(double value, int decimals)
{
    std::array<char, 32> text {};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    return text.data();
}

std::string dayText(std::int64_t day)
{
    std::array<char, 16> text {};
    const std::time_t t = std::time_t(day * 86400);
    std::tm utc {};
    gmtime_r(&t, &utc);
    std::strftime(text.data(), text.size(), "%Y-%m-%d", &utc);
    return text.data();
}

std::string versionLabel(const VersionSeries& series)
{
    return series.version.empty() && !series.newest ? "other versions" : series.version;
}

std::string seriesColour(const VersionSeries& series, std::size_t index)
{
    if (series.newest) {
        return NewestColour;
    }
    return series.version.empty() ? OtherColour : Palette[index % Palette.size()];
}

double x(int day)
{
    return Left + double(ChartWidth - Left - 12) * day / (Days - 1);
}

double y(std::int64_t value, std::int64_t top)
{
    return Top + double(ChartHeight - Top - Bottom) * (1.0 - double(value) / double(top));
}

// Axes with three value ticks and a date every week.
std::string axes(const DashboardFigures& figures, std::int64_t top)
{
    std::string svg;
    for (const std::int64_t tick : { std::int64_t(0), top / 2, top }) {
        const std::string ty = number(y(tick, top), 1);
        svg += "<line x1=\"" + number(Left, 0) + "\" x2=\"" + number(ChartWidth - 12, 0) + "\" y1=\"" + ty
            + "\" y2=\"" + ty + "\" class=\"grid\"/><text x=\"" + number(Left - 6, 0) + "\" y=\"" + ty
            + "\" class=\"ytick\">" + std::to_string(tick) + "</text>";
    }
    for (int day = 0; day < Days; day += 7) {
        const std::string text = figures.dayText(day).substr(5);
        svg += "<text x=\"" + number(x(day), 1) + "\" y=\"" + std::to_string(ChartHeight - 8) + "\" class=\"xtick\">"
            + text + "</text>";
    }
    return svg;
}

std::string svgOpen(const std::string& label)
{
    return "<svg viewBox=\"0 0 " + std::to_string(ChartWidth) + " " + std::to_string(ChartHeight)
        + "\" width=\"" + std::to_string(ChartWidth) + "\" height=\"" + std::to_string(ChartHeight)
        + "\" role=\"img\" aria-label=\"" + htmlEscaped(label) + "\">";
}

std::string adoptionChart(const DashboardFigures& figures)
{
    const std::int64_t peak = std::max<std::int64_t>(
        1, figures.activePerDay.empty() ? 0 : *std::max_element(figures.activePerDay.begin(), figures.activePerDay.end()));
    const std::int64_t top = peak + (peak % 2);
    std::string svg = svgOpen("Active installations by version, stacked, last 30 days") + axes(figures, top);
    std::vector<std::int64_t> below(Days, 0);
    std::string newestLine;
    for (std::size_t i = 0; i < figures.activeByVersion.size(); ++i) {
        const VersionSeries& series = figures.activeByVersion[i];
        std::string upper;
        std::string lower;
        std::vector<std::int64_t> above = below;
        for (int day = 0; day < Days; ++day) {
            above[std::size_t(day)] += series.installations[std::size_t(day)];
            upper += number(x(day), 1) + "," + number(y(above[std::size_t(day)], top), 1) + " ";
        }
        for (int day = Days - 1; day >= 0; --day) {
            lower += number(x(day), 1) + "," + number(y(below[std::size_t(day)], top), 1) + " ";
        }
        svg += "<polygon points=\"" + upper + lower + "\" fill=\"" + seriesColour(series, i) + "\""
            + (series.newest ? " class=\"newest\"" : "") + "><title>" + htmlEscaped(versionLabel(series))
            + "</title></polygon>";
        if (series.newest) {
            newestLine = "<polyline points=\"" + upper + "\" class=\"newest-edge\"/>";
        }
        below = above;
    }
    return svg + newestLine + "</svg>";
}

std::string stateChart(const DashboardFigures& figures)
{
    std::vector<std::int64_t> perDay(Days, 0);
    for (const StateSeries& series : figures.reportsByState) {
        for (int day = 0; day < Days; ++day) {
            perDay[std::size_t(day)] += series.reports[std::size_t(day)];
        }
    }
    const std::int64_t peak = std::max<std::int64_t>(1, *std::max_element(perDay.begin(), perDay.end()));
    const std::int64_t top = peak + (peak % 2);
    std::string svg = svgOpen("Reports per day by state, last 30 days") + axes(figures, top);
    const double barWidth = double(ChartWidth - Left - 12) / Days * 0.7;
    std::vector<std::int64_t> below(Days, 0);
    for (std::size_t i = 0; i < figures.reportsByState.size(); ++i) {
        const StateSeries& series = figures.reportsByState[i];
        for (int day = 0; day < Days; ++day) {
            const std::int64_t count = series.reports[std::size_t(day)];
            if (count == 0) {
                continue;
            }
            const double y0 = y(below[std::size_t(day)], top);
            const double y1 = y(below[std::size_t(day)] + count, top);
            svg += "<rect x=\"" + number(x(day) - barWidth / 2, 1) + "\" y=\"" + number(y1, 1) + "\" width=\""
                + number(barWidth, 1) + "\" height=\"" + number(y0 - y1, 1) + "\" fill=\""
                + Palette[i % Palette.size()] + "\"><title>state " + std::to_string(series.state) + ": "
                + std::to_string(count) + "</title></rect>";
            below[std::size_t(day)] += count;
        }
    }
    return svg + "</svg>";
}

std::string legend(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string html = "<ul class=\"legend\">";
    for (const auto& [colour, label] : entries) {
        html += "<li><span class=\"swatch\" style=\"background:" + colour + "\"></span>" + htmlEscaped(label) + "</li>";
    }
    return html + "</ul>";
}

std::string tile(const std::string& id, const std::string& label, const std::string& value, const std::string& note = {})
{
    return "<div class=\"tile\"><div class=\"label\">" + label + "</div><div class=\"value\" id=\"" + id + "\">"
        + htmlEscaped(value) + "</div>" + (note.empty() ? "" : "<div class=\"note\">" + htmlEscaped(note) + "</div>")
        + "</div>";
}

const char* const Style = R"css(
body{font:15px/1.4 system-ui,sans-serif;margin:24px 32px;color:#212529;background:#fff}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px}
.stamp{color:#495057;margin:0 0 16px}
.tiles{display:flex;flex-wrap:wrap;gap:12px}
.tile{border:1px solid #dee2e6;border-radius:6px;padding:10px 14px;min-width:150px}
.tile .label{font-size:13px;color:#495057}.tile .value{font-size:24px;font-weight:600}
.tile .note{font-size:13px;color:#495057}
#newest-share{color:#e8590c}#last-report{font-size:17px;padding-top:6px}
svg text{font-size:11px;fill:#495057}.ytick{text-anchor:end;dominant-baseline:middle}.xtick{text-anchor:middle}
.grid{stroke:#e9ecef}.newest-edge{fill:none;stroke:#a33a00;stroke-width:2.5}
.legend{list-style:none;padding:0;margin:6px 0;display:flex;flex-wrap:wrap;gap:14px;font-size:13px}
.swatch{display:inline-block;width:12px;height:12px;margin-right:5px;vertical-align:-1px;border-radius:2px}
table{border-collapse:collapse;font-size:13px}th,td{border-bottom:1px solid #e9ecef;padding:3px 10px;text-align:right}
th:first-child,td:first-child{text-align:left}tr.newest td{font-weight:600;color:#a33a00}
details{margin-top:8px}
)css";

} // namespace

std::string htmlEscaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string dashboardHtml(const DashboardFigures& f)
{
    const std::string share
        = f.activeInstallations == 0 ? "none active" : number(100.0 * double(f.onNewest) / double(f.activeInstallations), 1) + "%";
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width\"><title>Orbisnap usage</title><style>";
    html += Style;
    html += "</style></head><body>\n<h1>Installations and usage reports</h1>\n<p class=\"stamp\">As of <time id=\"generated\">"
        + utcTimeText(f.now) + "</time>; the charts cover " + f.dayText(0) + " to " + f.dayText(Days - 1)
        + " (UTC days).</p>\n<div class=\"tiles\">";
    html += tile("newest-release", "Newest release", f.newest.empty() ? "none" : f.newest);
    html += tile("newest-share", "On the newest release", share,
        std::to_string(f.onNewest) + " of " + std::to_string(f.activeInstallations) + " active installations");
    html += tile("active-installations", "Active installations (30 days)", std::to_string(f.activeInstallations));
    html += tile("total-installations", "Installations seen", std::to_string(f.totalInstallations));
    html += tile("total-reports", "Reports", std::to_string(f.totalReports), std::to_string(f.windowReports) + " in 30 days");
    html += tile("last-report", "Last report", f.lastReport ? utcTimeText(*f.lastReport) : "none");
    html += "</div>\n";

    html += "<h2>Active installations by version</h2>\n" + adoptionChart(f);
    std::vector<std::pair<std::string, std::string>> entries;
    for (std::size_t i = 0; i < f.activeByVersion.size(); ++i) {
        const VersionSeries& series = f.activeByVersion[i];
        entries.emplace_back(seriesColour(series, i), versionLabel(series) + (series.newest ? " (newest)" : ""));
    }
    html += legend(entries);
    html += "<details><summary>Active installations by day and version</summary><table id=\"active-by-version\"><tr><th>day</th>";
    for (const VersionSeries& series : f.activeByVersion) {
        html += "<th>" + htmlEscaped(versionLabel(series)) + "</th>";
    }
    html += "<th>all</th></tr>";
    for (int day = 0; day < Days; ++day) {
        html += "<tr><td>" + f.dayText(day) + "</td>";
        for (const VersionSeries& series : f.activeByVersion) {
            html += "<td>" + std::to_string(series.installations[std::size_t(day)]) + "</td>";
        }
        html += "<td>" + std::to_string(f.activePerDay[std::size_t(day)]) + "</td></tr>";
    }
    html += "</table></details>\n";

    html += "<h2>Uptake per release</h2>\n<table id=\"releases\"><tr><th>release</th><th>first reported</th>"
            "<th>days to half of the active installations</th></tr>";
    for (auto release = f.releases.rbegin(); release != f.releases.rend(); ++release) {
        const bool newest = release->version == f.newest;
        html += std::string("<tr") + (newest ? " class=\"newest\"" : "") + "><td>" + htmlEscaped(release->version)
            + "</td><td>" + (release->firstDay ? dayText(*release->firstDay) : "not yet") + "</td><td>"
            + (release->daysToHalf ? std::to_string(*release->daysToHalf) : "not yet") + "</td></tr>";
    }
    html += "</table>\n";

    html += "<h2>Returns per release</h2>\n<table id=\"returns\"><tr><th>release</th><th>took it</th>"
            "<th>confirmed it</th><th>returned from it</th><th>return rate</th><th>offer</th></tr>";
    for (auto release = f.releases.rbegin(); release != f.releases.rend(); ++release) {
        std::string offer;
        for (const auto& [channel, since] : release->halted) {
            offer += (offer.empty() ? "" : "; ") + std::string("halted automatically on ") + htmlEscaped(channel)
                + " at " + htmlEscaped(since);
        }
        html += std::string("<tr") + (release->halted.empty() ? "" : " class=\"halted\"") + "><td>"
            + htmlEscaped(release->version) + "</td><td>" + std::to_string(release->installations.took) + "</td><td>"
            + std::to_string(release->installations.confirmed) + "</td><td>"
            + std::to_string(release->installations.returned) + "</td><td>"
            + (release->returnRate ? number(100.0 * *release->returnRate, 1) + "%" : "none took it") + "</td><td>"
            + (offer.empty() ? "offered" : offer) + "</td></tr>";
    }
    html += "</table>\n";

    html += "<h2>Reports per day by state</h2>\n" + stateChart(f);
    entries.clear();
    for (std::size_t i = 0; i < f.reportsByState.size(); ++i) {
        entries.emplace_back(Palette[i % Palette.size()], "state " + std::to_string(f.reportsByState[i].state));
    }
    html += legend(entries);
    html += "<details><summary>Reports by day and state</summary><table id=\"reports-by-state\"><tr><th>day</th>";
    for (const StateSeries& series : f.reportsByState) {
        html += "<th>state " + std::to_string(series.state) + "</th>";
    }
    html += "</tr>";
    for (int day = 0; day < Days; ++day) {
        html += "<tr><td>" + f.dayText(day) + "</td>";
        for (const StateSeries& series : f.reportsByState) {
            html += "<td>" + std::to_string(series.reports[std::size_t(day)]) + "</td>";
        }
        html += "</tr>";
    }
    html += "</table></details>\n</body></html>\n";
    return html;
}

std::string dashboardJson(const DashboardFigures& f)
{
    Json::Value document(Json::objectValue);
    document["generated"] = utcTimeText(f.now);
    Json::Value& days = document["days"] = Json::Value(Json::arrayValue);
    for (int day = 0; day < Days; ++day) {
        days.append(f.dayText(day));
    }
    document["newest"] = f.newest;
    const auto counts = [](const std::vector<std::int64_t>& values) {
        Json::Value array(Json::arrayValue);
        for (const std::int64_t value : values) {
            array.append(Json::Int64(value));
        }
        return array;
    };
    Json::Value& byVersion = document["activeByVersion"] = Json::Value(Json::arrayValue);
    for (const VersionSeries& series : f.activeByVersion) {
        Json::Value entry(Json::objectValue);
        entry["version"] = series.version.empty() && !series.newest ? Json::Value() : Json::Value(series.version);
        entry["newest"] = series.newest;
        entry["installations"] = counts(series.installations);
        byVersion.append(entry);
    }
    document["activePerDay"] = counts(f.activePerDay);
    Json::Value& share = document["newestShare"] = Json::Value(Json::objectValue);
    share["installations"] = Json::Int64(f.onNewest);
    share["active"] = Json::Int64(f.activeInstallations);
    share["share"] = f.activeInstallations == 0 ? Json::Value() : Json::Value(double(f.onNewest) / double(f.activeInstallations));
    Json::Value& releases = document["releases"] = Json::Value(Json::arrayValue);
    for (const ReleaseUptake& release : f.releases) {
        Json::Value entry(Json::objectValue);
        entry["version"] = release.version;
        entry["firstDay"] = release.firstDay ? Json::Value(dayText(*release.firstDay)) : Json::Value();
        entry["daysToHalf"] = release.daysToHalf ? Json::Value(Json::Int64(*release.daysToHalf)) : Json::Value();
        entry["took"] = Json::Int64(release.installations.took);
        entry["confirmed"] = Json::Int64(release.installations.confirmed);
        entry["returned"] = Json::Int64(release.installations.returned);
        entry["returnRate"] = release.returnRate ? Json::Value(*release.returnRate) : Json::Value();
        Json::Value& halted = entry["halted"] = Json::Value(Json::arrayValue);
        for (const auto& [channel, since] : release.halted) {
            Json::Value halt(Json::objectValue);
            halt["channel"] = channel;
            halt["since"] = since;
            halted.append(halt);
        }
        releases.append(entry);
    }
    Json::Value& byState = document["reportsByState"] = Json::Value(Json::arrayValue);
    for (const StateSeries& series : f.reportsByState) {
        Json::Value entry(Json::objectValue);
        entry["state"] = series.state;
        entry["reports"] = counts(series.reports);
        byState.append(entry);
    }
    Json::Value& totals = document["totals"] = Json::Value(Json::objectValue);
    totals["reports"] = Json::Int64(f.totalReports);
    totals["installations"] = Json::Int64(f.totalInstallations);
    totals["reportsInWindow"] = Json::Int64(f.windowReports);
    totals["activeInWindow"] = Json::Int64(f.activeInstallations);
    document["lastReport"] = f.lastReport ? Json::Value(utcTimeText(*f.lastReport)) : Json::Value();

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, document);
}
