#include "qrx/runtime/dynamic_lib.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/child_process.h"

using ::testing::HasSubstr;

namespace {

// A system library the test binary does not link, so its presence in the process shows
// whether the loader holds it.
const char* const kUnlinkedLib = "libz.so.1";

bool InProcess(const char* lib) {
    void* h = dlopen(lib, RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) {
        return false;
    }
    dlclose(h);
    return true;
}

bool KeepLoaded(CDynamicLib* lib, void* data) {
    *static_cast<CDynamicLib**>(data) = lib;
    return true;
}

}  // namespace

TEST(DynamicLibTest, shouldLoadALibraryAndCallItsFunction) {
    CDynamicLib lib;
    EXPECT_FALSE(lib.IsLoaded());
    ASSERT_TRUE(lib.Load("libm.so.6", false)) << lib.GetErrorString();
    EXPECT_TRUE(lib.IsLoaded());
    EXPECT_NE(lib.GetHandle(), nullptr);
    EXPECT_STREQ(lib.GetFilename(), "libm.so.6");
    EXPECT_STREQ(lib.GetErrorString(), "");

    typedef double (*CosFn)(double);
    CosFn cosine = reinterpret_cast<CosFn>(lib.GetFunctionPointer("cos"));
    ASSERT_NE(cosine, nullptr) << lib.GetErrorString();
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);

    EXPECT_EQ(lib.GetFunctionPointer("no_such_function_here"), nullptr);
    EXPECT_THAT(lib.GetErrorString(), HasSubstr("no_such_function_here"));
    EXPECT_EQ(lib.GetErrorNumber(), -1);

    // Loading again while loaded changes nothing.
    EXPECT_TRUE(lib.Load("/nonexistent/other.so", true));
    EXPECT_STREQ(lib.GetFilename(), "libm.so.6");

    EXPECT_TRUE(lib.Unload());
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(lib.GetHandle(), nullptr);
    EXPECT_TRUE(lib.Unload());
    EXPECT_EQ(lib.GetFunctionPointer("cos"), nullptr);
    EXPECT_STREQ(lib.GetErrorString(), "DLL is not loaded.");
}

TEST(DynamicLibTest, shouldReportALibraryThatCannotBeLoaded) {
    CDynamicLib lib;
    EXPECT_FALSE(lib.Load("/nonexistent/dir/libnothing.so", false));
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_THAT(lib.GetErrorString(), HasSubstr("/nonexistent/dir/libnothing.so"));
    EXPECT_EQ(lib.GetErrorNumber(), -1);
    EXPECT_EQ(lib.GetFunctionPointer("cos"), nullptr);

    EXPECT_FALSE(lib.Load(nullptr, false));
    EXPECT_FALSE(lib.Load("", false));

    // The system's error text is cut to the 255 characters the loader keeps.
    const std::string deep = "/nonexistent/" + std::string(900, 'd') + ".so";
    EXPECT_FALSE(lib.Load(deep.c_str(), false));
    EXPECT_EQ(std::strlen(lib.GetErrorString()), 255u);

    // A path that does not fit is refused, not cut into another path.
    const std::string tooLong = "/" + std::string(1100, 'p');
    EXPECT_FALSE(lib.Load(tooLong.c_str(), false));
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_LT(std::strlen(lib.GetFilename()), 1024u);
}

TEST(DynamicLibTest, shouldRefuseAPathThatIsNoRegularFileInsteadOfWaitingOnIt) {
    // Opening a named pipe for reading waits for a writer: the loader would
    // never come back from a module setting that names one.
    const ChildRun run = RunChildWithin(
        [] {
            char dir[] = "/tmp/qrx_dynlib_XXXXXX";
            if (mkdtemp(dir) == nullptr) {
                return 3;
            }
            const std::string fifo = std::string(dir) + "/module.so";
            fprintf(stderr, "FIFO=%s\n", fifo.c_str());
            if (mkfifo(fifo.c_str(), 0600) != 0) {
                return 3;
            }
            CDynamicLib lib;
            const bool loaded = lib.Load(fifo.c_str(), false);
            fprintf(stderr, "ERROR=%s\n", lib.GetErrorString());
            unlink(fifo.c_str());
            rmdir(dir);
            return loaded || lib.IsLoaded() || lib.GetErrorNumber() != -1 ? 1 : 0;
        },
        20);
    const size_t at = run.err.find("FIFO=");
    ASSERT_NE(at, std::string::npos) << run.err;
    const std::string fifo = run.err.substr(at + 5, run.err.find('\n', at) - at - 5);
    if (run.timedOut) {
        unlink(fifo.c_str());
        rmdir(fifo.substr(0, fifo.rfind('/')).c_str());
    }
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("ERROR=" + fifo));

    // Directories and devices are refused too.
    CDynamicLib lib;
    EXPECT_FALSE(lib.Load("/tmp", false));
    EXPECT_FALSE(lib.Load("/dev/null", false));
    EXPECT_THAT(lib.GetErrorString(), HasSubstr("/dev/null"));
}

TEST(DynamicLibTest, shouldUnloadWhenDestroyedUnlessToldNotTo) {
    if (InProcess(kUnlinkedLib)) {
        GTEST_SKIP() << kUnlinkedLib << " is already part of this process";
    }
    {
        CDynamicLib lib;
        if (!lib.Load(kUnlinkedLib, false)) {
            GTEST_SKIP() << "no " << kUnlinkedLib << ": " << lib.GetErrorString();
        }
        EXPECT_TRUE(InProcess(kUnlinkedLib));
    }
    EXPECT_FALSE(InProcess(kUnlinkedLib));

    void* handle = nullptr;
    {
        CDynamicLib lib;
        ASSERT_TRUE(lib.Load(kUnlinkedLib, false));
        lib.UnloadAutomatically(false);
        handle = lib.GetHandle();
    }
    EXPECT_TRUE(InProcess(kUnlinkedLib));
    dlclose(handle);
    EXPECT_FALSE(InProcess(kUnlinkedLib));
}

TEST(DynamicLibTest, shouldKeepTheLibraryWhenTheUnloadCallbackAsks) {
    CDynamicLib lib;
    ASSERT_TRUE(lib.Load("libm.so.6", false));
    CDynamicLib* seen = nullptr;
    lib.SetOnUnloadCallback(KeepLoaded, &seen);
    EXPECT_TRUE(lib.Unload());
    EXPECT_EQ(seen, &lib);
    EXPECT_TRUE(lib.IsLoaded());
    EXPECT_NE(lib.GetFunctionPointer("cos"), nullptr);

    lib.SetOnUnloadCallback(nullptr, nullptr);
    EXPECT_TRUE(lib.Unload());
    EXPECT_FALSE(lib.IsLoaded());
}

TEST(DynamicLibTest, shouldShareSymbolsWithTheProcessOnlyWhenLoadedGlobal) {
    if (InProcess(kUnlinkedLib)) {
        GTEST_SKIP() << kUnlinkedLib << " is already part of this process";
    }
    {
        CDynamicLib local;
        if (!local.Load(kUnlinkedLib, false)) {
            GTEST_SKIP() << "no " << kUnlinkedLib << ": " << local.GetErrorString();
        }
        EXPECT_NE(local.GetFunctionPointer("zlibVersion"), nullptr);
        EXPECT_EQ(dlsym(RTLD_DEFAULT, "zlibVersion"), nullptr);
    }
    {
        CDynamicLib global;
        ASSERT_TRUE(global.Load(kUnlinkedLib, true));
        EXPECT_NE(dlsym(RTLD_DEFAULT, "zlibVersion"), nullptr);
    }
}
