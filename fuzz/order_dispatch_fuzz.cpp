// The daemon's handling of received order text, as the order server does it: the text up to
// the first NUL (at most one receive buffer) cut at "|", each order handed to the application
// object. One line is configured whose tty does not exist, so opens run a real worker that
// fails, and "port" and "compt" reach a real driver. Every result must be a word of the order
// vocabulary, and the field conversions must agree with a plain reference.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "FuzzSandbox.h"
#include "OrderWords.h"
#include "SettingDatas.h"
#include "TextUtil.h"
#include "dwmid.h"

namespace {

veldw485::dwmid* g_app = nullptr;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "order_dispatch_fuzz: %s\n", what.c_str());
        std::abort();
    }
}

// Base-10 from the start: C-locale blanks, optional sign, digits, the rest ignored.
int32_t ReferenceInt32(const std::string& field) {
    std::size_t i = 0;
    while (i < field.size() && std::strchr(" \t\n\v\f\r", field[i]) != nullptr &&
           field[i] != '\0') {
        ++i;
    }
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    if (i >= field.size() || field[i] < '0' || field[i] > '9') {
        return vel::text::kIntFailure;
    }
    int64_t value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) {
            return vel::text::kIntFailure;
        }
    }
    value = negative ? -value : value;
    if (value > INT32_MAX || value < INT32_MIN) {
        return vel::text::kIntFailure;
    }
    return static_cast<int32_t>(value);
}

void CheckConversions(const std::string& field) {
    const int32_t ref = ReferenceInt32(field);
    Check(vel::text::ToInt32(field) == ref, "ToInt32 differs for \"" + field + "\"");
    if (ref == vel::text::kIntFailure) {
        Check(vel::text::ToInt16(field) == vel::text::kShortFailure, "ToInt16 failure value");
        Check(vel::text::ToUint8(field) == vel::text::kByteFailure, "ToUint8 failure value");
    } else {
        Check(vel::text::ToInt16(field) == static_cast<int16_t>(static_cast<uint32_t>(ref)),
              "ToInt16 low bits");
        Check(vel::text::ToUint8(field) == static_cast<uint8_t>(static_cast<uint32_t>(ref)),
              "ToUint8 low bits");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rs485fuzz::RequireSandbox("order_dispatch_fuzz");
    rs485fuzz::WriteOrDie(
        veldw485::data::SettingDatas::kConfFile,
        rs485fuzz::Config("{\"device\": \"/var/local/sandbox/no-such-tty\", \"de_line\": "
                          "\"none\", \"baudrate\": 5, \"max_machine\": 15}",
                          "{\"ipc_key\": [\"a\", \"b\"], \"sh_id\": [1, 2], \"shmem_size\": "
                          "[8192, 256], \"sem_key\": [\"c\", \"d\"]}",
                          1000));
    rs485fuzz::SilenceTraces();
    veldw485::data::SettingDatas::create();
    g_app = new veldw485::dwmid();
    Check(g_app->Init() == 1, "Init failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::set<std::string> kWords = {
        vel::order::kOpSuc, vel::order::kOpAlr,  vel::order::kOpErr,  vel::order::kClSuc,
        vel::order::kClUse, vel::order::kClErr,  vel::order::kCpSuc,  vel::order::kCpErr,
        vel::order::kErr1,  vel::order::kFinish, vel::order::kNoReply};
    const char* text_data = reinterpret_cast<const char*>(data);
    const std::size_t n =
        size < vel::order::kReceiveBufferSize ? size : vel::order::kReceiveBufferSize;
    const std::string text(text_data, ::strnlen(text_data, n));
    for (const std::string& order : vel::text::Split(text, vel::order::kTerminator)) {
        Check(!order.empty(), "empty order piece");
        for (const std::string& field : vel::text::Split(order, vel::order::kFieldSeparator)) {
            Check(!field.empty(), "empty field");
            CheckConversions(field);
        }
        const std::string result = g_app->CallOrderFromLibrary(order);
        Check(kWords.count(result) == 1, "result outside the vocabulary: " + result);
    }
    return 0;
}
