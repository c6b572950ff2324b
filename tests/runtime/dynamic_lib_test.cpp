#include "qrx/runtime/dynamic_lib.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
