#pragma once

// Form data as the client sends it, in a POST body or a query
// (application/x-www-form-urlencoded):
//
//   form  = field *( "&" field )
//   field = name [ "=" value ]        ; only the first "=" separates, later ones belong to value
//   "+" stands for a blank and "%" HEX HEX for one byte, in names and values alike.
//
// Empty pieces between "&"s are skipped. A "%" not followed by two hex digits makes the whole
// form malformed: guessing would store a value the client never sent.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct FormField
{
    std::string name;
    std::string value;
};

class FormData
{
public:
    // False with error set when text is malformed; fields are then empty.
    bool parse(std::string_view text, std::string& error);

    // The value of the one field called name; nullopt when there is none. A name that occurs
    // more than once is ambiguous and counts as missing (see isRepeated).
    std::optional<std::string> value(std::string_view name) const;
    bool isRepeated(std::string_view name) const;

    const std::vector<FormField>& fields() const { return all; }

private:
    std::vector<FormField> all;
};

// Undoes percent-encoding (and "+" for blank when plusIsBlank). False on a malformed escape.
bool percentDecode(std::string_view text, bool plusIsBlank, std::string& decoded);
