#pragma once

#include <charconv>
#include <cmath>
#include <string>

// The digits and the decimal exponent of a finite value's magnitude as std::to_chars writes it in
// scientific form with `precision` digits after the point: 123400 at precision 4 ("1.2340e+05")
// gives "12340" and 5.
struct ScientificDigits {
    std::string digits;
    int exponent = 0;
};

template <typename Float> ScientificDigits ToScientificDigits(Float value, int precision) {
    char buf[128];
    const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                 std::chars_format::scientific, precision);
    ScientificDigits out;
    const char* p = buf;
    for (; p != r.ptr && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9')
            out.digits += *p;
    if (p != r.ptr) {
        ++p;
        if (*p == '+')
            ++p;
        std::from_chars(p, r.ptr, out.exponent);
    }
    return out;
}
