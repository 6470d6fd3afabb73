#include "safepath.h"

namespace {

bool refuse(const char** reason, const char* why)
{
    if (reason) {
        *reason = why;
    }
    return false;
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
        if (path.substr(start, end - start) == "..") {
            return refuse(reason, "path has a \"..\" component");
        }
        start = end + 1;
    }
    return true;
}
