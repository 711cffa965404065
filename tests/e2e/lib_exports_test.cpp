// The shared library's dynamic interface: exactly the public functions and the facade
// pointer, under the right names and version node, the soname, and the header's result
// names and version.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "LibE2e.h"
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
    std::set<std::string> versions;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const auto blank = line.find_last_of(' ');
        const std::string symbol = line.substr(blank + 1);
        const auto at = symbol.find("@@");
        // The version node itself is listed as an absolute symbol of its own name.
        if (at == std::string::npos) {
            versions.insert(symbol);
            continue;
        }
        EXPECT_EQ(symbol.substr(at + 2), "LIBRS485_1.0") << line;
        names.insert(symbol.substr(0, at));
    }
    EXPECT_EQ(names, kExported) << out;
    EXPECT_EQ(versions, std::set<std::string>{"LIBRS485_1.0"}) << out;
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

TEST(LibExports, HeaderNamesTheResults) {
    static_assert(RS485_OPEN_OK == 0 && RS485_OPEN_NOT_ATTACHED == -1 && RS485_OPEN_ALREADY == -2 &&
                      RS485_OPEN_FAILED == -3 && RS485_OK == 1 && RS485_FAILED == 0,
                  "the result names carry the library's numbers");
    // Before the first open (which the other tests here rely on not happening).
    EXPECT_EQ(pxa_rs485_setComFlags(1, 1), RS485_FAILED);
    EXPECT_EQ(pxa_rs485_startCom(1), RS485_FAILED);
}

TEST(LibExports, VersionMacrosNameTheLibraryFile) {
    static_assert(RS485_VERSION_MAJOR == 1, "the major version is the soname's");
    static_assert(RS485_VERSION ==
                      RS485_VERSION_MAJOR * 10000 + RS485_VERSION_MINOR * 100 + RS485_VERSION_PATCH,
                  "the combined version");
    const std::string file = "librs485.so." + std::to_string(RS485_VERSION_MAJOR) + "." +
                             std::to_string(RS485_VERSION_MINOR) + "." +
                             std::to_string(RS485_VERSION_PATCH) + "\n";
    EXPECT_EQ(Shell("readlink " + Library()), file);
}

TEST(LibExports, ProgramLinkedWithoutSymbolVersionsRunsWithTheLibrary) {
    // A library as it was before the version node, and a program linked against it alone.
    const std::string dir = "/var/local/sandbox/unversioned";
    const std::string stub =
        testsupport::Env("RS485_SOURCE_DIR") + "/tests/c/rs485_unversioned_stub.c";
    ASSERT_EQ(Shell("mkdir -p " + dir + " && " + testsupport::Env("RS485_CC", "/usr/bin/cc") +
                    " -shared -fPIC -Wl,-soname,librs485.so.1 -o " + dir + "/librs485.so.1 " +
                    stub + " 2>&1 && echo built"),
              "built\n");
    std::string log;
    const std::string program = testsupport::BuildCClient(&log, "rs485_compat_client", dir);
    ASSERT_FALSE(program.empty()) << log;
    EXPECT_EQ(Shell("readelf -V " + program + " | grep -c LIBRS485"), "0\n");
    testsupport::CClientRun run;
    ASSERT_TRUE(run.Start(program, {}));
    ASSERT_TRUE(run.Finish()) << run.Process().Stderr();
    // The real library answered, not the stub.
    EXPECT_EQ(run.Lines(), (std::vector<std::string>{"verGet 0", "setComFlags 0", "facade null"}));
}

}  // namespace
