#include "span_filter.h"

namespace {
const int XON = 0x11;
const int XOFF = 0x13;
}

void extract_spans(std::FILE* in, std::FILE* out)
{
    bool inside = false;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        if (c == XON)
            inside = true;
        else if (c == XOFF)
            inside = false;
        else if (inside && std::fputc(c, out) == EOF)
            return;
    }
}
