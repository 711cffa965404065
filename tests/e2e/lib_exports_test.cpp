// The shared library's dynamic interface: exactly the public functions and the facade
// pointer, under the right names, and the soname.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "TestSupport.h"

// Included as a C++ user who treats it as a C header would; every function must still link.
extern "C" {
#include "rs485.h"
}

namespace {

std::string Library() {
    return testsupport::Env("RS485_LIB_DIR") + "/librs485.so.1";
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

const std::set<std::string> kExported{"pxa_rs485_open",
                                      "pxa_rs485_close",
                                      "pxa_rs485_setPortParams",
                                      "pxa_rs485_setComFlags",
                                      "pxa_rs485_putOutputStream",
                                      "pxa_rs485_startCom",
                                      "pxa_rs485_getReceiveStream",
                                      "pxa_rs485_addEventListener",
                                      "pxa_rs485_removeEventListener",
                                      "pxa_rs485_getPortStatus",
                                      "pxa_rs485_putPortStatus",
                                      "pxa_rs485_verGet",
                                      "pxa_rs485_setReplyFraming",
                                      "_Z18pxa_rs485_shutdownv",
                                      "dw485if"};

TEST(LibExports, DynamicSymbolTableHoldsExactlyThePublicInterface) {
    const std::string out = Shell("nm -D --defined-only " + Library());
    ASSERT_FALSE(out.empty());
    std::set<std::string> names;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const auto blank = line.find_last_of(' ');
        names.insert(line.substr(blank + 1));
    }
    EXPECT_EQ(names, kExported) << out;
}

TEST(LibExports, SonameAndDevelopmentLink) {
    const std::string out = Shell("readelf -d " + Library());
    EXPECT_NE(out.find("Library soname: [librs485.so.1]"), std::string::npos) << out;
    const std::string link = testsupport::Env("RS485_LIB_DIR") + "/librs485.so";
    EXPECT_EQ(Shell("readlink " + link), "librs485.so.1\n");
}

TEST(LibExports, NamesResolveAsCallersDeclareThem) {
    void* h = dlopen(Library().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const std::string& name : kExported) {
        EXPECT_NE(dlsym(h, name.c_str()), nullptr) << name;
    }
    // Shutdown binds only under its C++ name; internals are not reachable.
    EXPECT_EQ(dlsym(h, "pxa_rs485_shutdown"), nullptr);
    EXPECT_EQ(dlsym(h, "_ZN8veldwlib8dw485_ifC1Ev"), nullptr);
    auto** facade = static_cast<void**>(dlsym(h, "dw485if"));
    ASSERT_NE(facade, nullptr);
    EXPECT_EQ(*facade, nullptr);  // no facade before the first open
    auto ver = reinterpret_cast<unsigned short (*)()>(dlsym(h, "pxa_rs485_verGet"));
    EXPECT_EQ(ver(), 0);
    dlclose(h);
}

TEST(LibExports, HeaderWrappedInExternCLinksAndNamesTheFormats) {
    static_assert(RS485_FMT_8N1 == 0x03 && RS485_FMT_7E1 == 0x12 && RS485_FMT_8O1 == 0x33 &&
                      RS485_FMT_8E2 == 0x1b && RS485_FMT_7N2 == 0x0a && RS485_DELIM_NONE == 1 &&
                      RS485_DELIM_ETX == 0x03 && RS485_DELIM_CR == 0x0d,
                  "the constants carry the driver's bits");
    pxa_rs485_shutdown();  // links under its C++ name; does nothing before the first open
    EXPECT_EQ(dw485if, nullptr);
    EXPECT_EQ(pxa_rs485_verGet(), 0);
}

}  // namespace
