#include "Trace.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace vel {

namespace {
std::atomic<TraceOutput> g_output{TraceOutput::kStdout};
// A lock-free load is what makes TraceDescriptor safe inside a signal handler.
static_assert(std::atomic<TraceOutput>::is_always_lock_free, "trace setting is lock-free");
}  // namespace

bool ParseTraceOutput(const std::string& text, TraceOutput* out) {
    if (text == "stdout") {
        *out = TraceOutput::kStdout;
    } else if (text == "stderr") {
        *out = TraceOutput::kStderr;
    } else if (text == "off") {
        *out = TraceOutput::kOff;
    } else {
        return false;
    }
    return true;
}

void SetTraceOutput(TraceOutput output) {
    g_output.store(output, std::memory_order_relaxed);
}

bool TraceEnabled() {
    return g_output.load(std::memory_order_relaxed) != TraceOutput::kOff;
}

int TraceDescriptor() {
    switch (g_output.load(std::memory_order_relaxed)) {
        case TraceOutput::kStdout:
            return STDOUT_FILENO;
        case TraceOutput::kStderr:
            return STDERR_FILENO;
        case TraceOutput::kOff:
            break;
    }
    return -1;
}

// stdio rather than iostreams: one fputs per line keeps lines of different threads whole.
void TraceLine(const char* file, int line, const std::string& text) {
    const TraceOutput output = g_output.load(std::memory_order_relaxed);
    if (output == TraceOutput::kOff) {
        return;
    }
    std::string out;
    out.reserve(text.size() + 32);
    out += '<';
    out += BaseName(file);
    out += ':';
    out += std::to_string(line);
    out += ">  ";
    out += text;
    out += '\n';
    std::FILE* stream = output == TraceOutput::kStderr ? stderr : stdout;
    std::fputs(out.c_str(), stream);
    std::fflush(stream);
}

void ErrorLine(const std::string& text) {
    std::string out = text;
    out += '\n';
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace vel
