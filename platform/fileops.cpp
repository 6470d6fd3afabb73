#include "fileops.h"

namespace platform {

std::string FileResult::describe() const
{
    if (!error) {
        return {};
    }
    std::string text = errorText(error);
    if (heldTooLong) {
        text += " (still held by another program after " + std::to_string(retries) + " retries)";
    }
    return text;
}

std::filesystem::path pathFromUtf8(std::string_view utf8)
{
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string pathToUtf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace platform
