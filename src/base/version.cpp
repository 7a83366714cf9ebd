#include "base/version.h"

#include <cstring>
#include <string_view>

namespace {

// One component of a dotted version: its digits (leading zeros dropped) and
// whatever follows them up to the next dot.
struct version_part {
    std::string_view digits;
    std::string_view rest;
};

// Takes the component starting at `text`, moves `text` past it and its dot.
version_part next_part(const char *&text)
{
    while (*text == '0' && text[1] >= '0' && text[1] <= '9')
        ++text;
    const char *digits = text;
    while (*text >= '0' && *text <= '9')
        ++text;
    const char *rest = text;
    while (*text != '\0' && *text != '.')
        ++text;
    version_part part{{digits, static_cast<std::size_t>(rest - digits)}, {rest, static_cast<std::size_t>(text - rest)}};
    if (part.digits.empty())
        part.digits = "0";  // a component without digits counts as 0 with its rest
    if (*text == '.')
        ++text;
    return part;
}

int sign(int value) { return (value > 0) - (value < 0); }

// Controllers may report their version with a prefix ("V1.5.0"); the number
// starts at the first digit.
const char *skip_prefix(const char *text)
{
    const char *digit = text;
    while (*digit != '\0' && !(*digit >= '0' && *digit <= '9'))
        ++digit;
    return *digit != '\0' ? digit : text;
}

int compare_parts(const version_part &a, const version_part &b)
{
    // Without leading zeros the longer digit string is the larger number.
    if (a.digits.size() != b.digits.size())
        return a.digits.size() < b.digits.size() ? -1 : 1;
    if (int c = a.digits.compare(b.digits); c != 0)
        return sign(c);
    return sign(a.rest.compare(b.rest));
}

}  // namespace

int version_compare(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return (a != nullptr) - (b != nullptr);
    a = skip_prefix(a);
    b = skip_prefix(b);
    while (*a != '\0' || *b != '\0') {
        const version_part pa = next_part(a);
        const version_part pb = next_part(b);
        if (int c = compare_parts(pa, pb); c != 0)
            return c;
    }
    return 0;
}

bool version_has_number(const char *text)
{
    return text != nullptr && std::strpbrk(text, "0123456789") != nullptr;
}
