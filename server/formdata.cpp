#include "formdata.h"

#include <algorithm>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

bool percentDecode(std::string_view text, bool plusIsBlank, std::string& decoded)
{
    decoded.clear();
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsBlank) {
            decoded += ' ';
        } else {
            decoded += c;
        }
    }
    return true;
}

bool FormData::parse(std::string_view text, std::string& error)
{
    all.clear();
    std::vector<FormField> parsed;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) {
            continue;
        }
        const std::size_t equals = piece.find('=');
        FormField field;
        if (!percentDecode(piece.substr(0, equals), true, field.name)
            || (equals != std::string_view::npos
                && !percentDecode(piece.substr(equals + 1), true, field.value))) {
            error = "malformed percent-encoding in \"" + std::string(piece) + "\"";
            return false;
        }
        parsed.push_back(std::move(field));
    }
    all = std::move(parsed);
    return true;
}

std::optional<std::string> FormData::value(std::string_view name) const
{
    if (isRepeated(name)) {
        return std::nullopt;
    }
    const auto found
        = std::find_if(all.begin(), all.end(), [&](const FormField& field) { return field.name == name; });
    if (found == all.end()) {
        return std::nullopt;
    }
    return found->value;
}

bool FormData::isRepeated(std::string_view name) const
{
    return std::count_if(all.begin(), all.end(), [&](const FormField& field) { return field.name == name; })
        > 1;
}
