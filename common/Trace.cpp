#include "Trace.h"

#include <cstdio>

namespace vel {

// stdio rather than iostreams: one fputs per line keeps lines of different threads whole.
void TraceLine(const char* file, int line, const std::string& text) {
    std::string out;
    out.reserve(text.size() + 32);
    out += '<';
    out += BaseName(file);
    out += ':';
    out += std::to_string(line);
    out += ">  ";
    out += text;
    out += '\n';
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

void ErrorLine(const std::string& text) {
    std::string out = text;
    out += '\n';
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace vel
