#include "safepath.h"

#include <array>
#include <cctype>

namespace {

bool refuse(const char** reason, const char* why)
{
    if (reason) {
        *reason = why;
    }
    return false;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Windows opens a device for these names whatever follows the first dot.
bool isDeviceName(std::string_view component)
{
    const std::string_view stem = component.substr(0, component.find('.'));
    static constexpr std::array<std::string_view, 6> plain { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" };
    for (const std::string_view device : plain) {
        if (equalsIgnoringCase(stem, device)) {
            return true;
        }
    }
    return stem.size() == 4 && (equalsIgnoringCase(stem.substr(0, 3), "COM") || equalsIgnoringCase(stem.substr(0, 3), "LPT"))
        && stem[3] >= '1' && stem[3] <= '9';
}

// "~" followed by a digit is how Windows spells the short 8.3 alias of a long name.
bool looksLikeShortName(std::string_view component)
{
    for (std::size_t at = component.find('~'); at != std::string_view::npos; at = component.find('~', at + 1)) {
        if (at + 1 < component.size() && std::isdigit(static_cast<unsigned char>(component[at + 1]))) {
            return true;
        }
    }
    return false;
}

const char* componentProblem(std::string_view component)
{
    if (component == "..") {
        return "path has a \"..\" component";
    }
    if (component.empty() || component == ".") {
        return nullptr;
    }
    if (component.back() == '.') {
        return "path has a component ending in \".\"";
    }
    if (isDeviceName(component)) {
        return "path names a Windows device";
    }
    if (looksLikeShortName(component)) {
        return "path has a Windows short name (\"~\" and a digit)";
    }
    return nullptr;
}

} // namespace

bool isSafeRelativePath(std::string_view path, const char** reason)
{
    if (path.empty()) {
        return true;
    }
    if (path.front() == '/' || path.front() == '\\') {
        return refuse(reason, "absolute path");
    }
    if (path.find(':') != std::string_view::npos) {
        return refuse(reason, "path holds a colon");
    }
    if (path.find_first_of(" \t\r\n\v\f") != std::string_view::npos) {
        return refuse(reason, "path holds white space");
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (const char* problem = componentProblem(path.substr(start, end - start))) {
            return refuse(reason, problem);
        }
        start = end + 1;
    }
    return true;
}
