// The library's order client against a tiny server that answers with fuzzed bytes: every
// order the client composes must arrive exactly as the wire format has it, and every reply
// (any bytes, NUL included, longer than one receive, or a closed connection) must map to the
// documented result of Open and SetComFlags.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSandbox.h"
#include "OrderWords.h"
#include "SerialLine.h"
#include "SettingLibDatas.h"

namespace {

int g_listen = -1;
int g_port = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "client_reply_fuzz: %s\n", what.c_str());
        std::abort();
    }
}

// Everything that has arrived on fd, without waiting for more than the order in flight.
std::string Drain(int fd, bool wait_first) {
    std::string got;
    char buf[4096];
    int flags = wait_first ? 0 : MSG_DONTWAIT;
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, flags);
        if (n <= 0) {
            return got;
        }
        got.append(buf, static_cast<std::size_t>(n));
        flags = MSG_DONTWAIT;
    }
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The text one receive of the client takes from a reply: one buffer, cut at the first NUL.
std::string FirstReceive(const std::string& reply) {
    const std::string piece = reply.substr(0, vel::order::kReceiveBufferSize);
    return piece.substr(0, ::strnlen(piece.c_str(), piece.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rs485fuzz::RequireSandbox("client_reply_fuzz");
    rs485fuzz::WriteOrDie(veldwlib::data::SettingLibDatas::kConfFile,
                          rs485fuzz::Config("", "", 1000));
    rs485fuzz::SilenceTraces();
    veldwlib::data::SettingLibDatas::create();
    g_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Check(::bind(g_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind");
    Check(::listen(g_listen, 4) == 0, "listen");
    socklen_t len = sizeof addr;
    ::getsockname(g_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    g_port = ntohs(addr.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int channel = in.ConsumeIntegral<int>();
    veldwlib::SerialLine line;
    Check(line.OpenLine("127.0.0.1", g_port, channel) == 0, "connect to the local server");
    const int server = ::accept(g_listen, nullptr, nullptr);
    Check(server >= 0, "accept");
    const std::string prefix = std::to_string(channel);
    bool closed = false;

    for (int exchange = 0; exchange < 3 && in.remaining_bytes() > 0; ++exchange) {
        const bool compt = in.ConsumeBool();
        const bool sniffer = in.ConsumeBool();
        const int value = in.ConsumeIntegral<int>();
        const std::string reply = in.ConsumeRandomLengthString(3000);
        if (reply.empty() && !closed) {
            ::close(server);
            closed = true;
        }
        if (!closed) {
            Check(SendAll(server, reply), "server send");
        }
        const int r = compt ? line.SetComFlags(value) : line.Open(sniffer, value);
        if (closed) {
            const bool transport =
                compt ? (r == -1 || r == -2 || r == -101) : (r == -3 || r == -4 || r == -5);
            Check(transport, "closed connection gave " + std::to_string(r));
            continue;
        }
        const std::string want_order = compt ? "compt," + prefix + "," + std::to_string(value) + "|"
                                             : "open," + prefix + "," + (sniffer ? "1" : "0") +
                                                   "," + std::to_string(value) + "|";
        Check(Drain(server, true) == want_order, "order text differs: " + want_order);
        const std::string text = FirstReceive(reply);
        int want;
        if (compt) {
            want = text == vel::order::kCpSuc ? 0 : -99;
        } else {
            want = text == vel::order::kOpSuc ? 0 : text == vel::order::kOpAlr ? 1 : -1;
        }
        Check(r == want, "result " + std::to_string(r) + " for reply \"" + text + "\"");
        // What the client left unread would be the next order's answer: take it away.
        Drain(line.Socket().getDescriptor(), false);
    }
    line.Close();
    if (!closed) {
        ::close(server);
    }
    return 0;
}
