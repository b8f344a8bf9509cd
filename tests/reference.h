#ifndef XONSPAN_TESTS_REFERENCE_H
#define XONSPAN_TESTS_REFERENCE_H

#include <cstdio>
#include <string>

// The literal one-byte-at-a-time filter: the oracle every faster path must match.
inline void reference_extract(std::FILE* in, std::FILE* out)
{
    bool inside = false;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        if (c == 0x11)
            inside = true;
        else if (c == 0x13)
            inside = false;
        else if (inside)
            std::fputc(c, out);
    }
}

inline std::string reference_spans(const std::string& in, bool inside = false)
{
    std::string out;
    for (char ch : in) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == 0x11)
            inside = true;
        else if (c == 0x13)
            inside = false;
        else if (inside)
            out += ch;
    }
    return out;
}

#endif
