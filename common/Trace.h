// Diagnostic trace lines shared by the daemon and the library.
#pragma once

#include <sstream>
#include <string>

namespace vel {

// Base name of a compile-time source path: the text after the last '/'.
constexpr const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

// Where trace lines go: the configuration key "trace".
enum class TraceOutput { kStdout, kStderr, kOff };

// "stdout", "stderr" or "off"; false (and *out unchanged) for any other text.
bool ParseTraceOutput(const std::string& text, TraceOutput* out);
// Standard output until set; may be changed at any time from any thread.
void SetTraceOutput(TraceOutput output);
bool TraceEnabled();
// The descriptor that trace lines go to, or -1 while they are off; async-signal-safe, for
// trace lines that a signal handler writes with write(2).
int TraceDescriptor();

// "<file:line>  text" on the trace output, flushed.
void TraceLine(const char* file, int line, const std::string& text);
// A plain line on standard error, flushed.
void ErrorLine(const std::string& text);

}  // namespace vel

// Trace with stream syntax: VTRACE("ret=" << r); nothing is formatted while traces are off.
// The macros take a stream expression, which cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VTRACE(expr)                                                \
    do {                                                            \
        if (::vel::TraceEnabled()) {                                \
            std::ostringstream vtrace_os_;                          \
            vtrace_os_ << expr;                                     \
            ::vel::TraceLine(__FILE__, __LINE__, vtrace_os_.str()); \
        }                                                           \
    } while (0)

// Error line on standard error with stream syntax, no prefix.
#define VERROR(expr)                        \
    do {                                    \
        std::ostringstream verror_os_;      \
        verror_os_ << expr;                 \
        ::vel::ErrorLine(verror_os_.str()); \
    } while (0)

// Error line on standard error carrying the trace prefix "<file:line>  ".
#define VERROR_AT(expr)                                                                     \
    do {                                                                                    \
        std::ostringstream verror_os_;                                                      \
        verror_os_ << "<" << ::vel::BaseName(__FILE__) << ":" << __LINE__ << ">  " << expr; \
        ::vel::ErrorLine(verror_os_.str());                                                 \
    } while (0)
// NOLINTEND(bugprone-macro-parentheses)
