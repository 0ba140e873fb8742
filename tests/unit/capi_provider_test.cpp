// Binding, release and unloading of the CAPI provider through the real Linux loader, with
// the stand-in library (its results chosen by environment variables) and a fake record.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "capi/provider_binding.h"
#include "capi/receive_thread.h"
#include "control/records/control_block.h"
#include "control/records/control_block_internal.h"
#include "output/trace_indication.h"
#include "platform/provider_library.h"
#include "platform/thread.h"
#include "support/stdout_capture.h"

namespace {

using capi::capiProvider;
using control::controlBlock;

// What a piece of the program showed: the console stream and the message boxes (which the
// headless platform writes to standard error).
struct Shown {
  int result = 0;
  std::string console;
  std::string box;
};

Shown Bind() {
  Shown shown;
  testing_support::StdoutCapture capture;
  shown.box = testing_support::CaptureStderr([&] { shown.result = capi::BindCapiProvider(); });
  shown.console = capture.Take();
  return shown;
}

// A library built beside the test programs, at the top of the build folder.
std::string BuiltLibrary(const char* name) {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
  path = path.substr(0, path.rfind('/'));  // build/tests
  path = path.substr(0, path.rfind('/'));  // build
  return path + "/" + name;
}

class Binding : public testing::Test {
 protected:
  void SetUp() override {
    control::ResetControlBlock();
    capiProvider = {};
    for (const char* v : {"FAKECAPI_INSTALLED", "FAKECAPI_REGISTER", "FAKECAPI_RELEASE"}) {
      unsetenv(v);
    }
    UseLibrary(BuiltLibrary("libfakecapi.so"));
  }
  void UseLibrary(const std::string& name) {
    library = name;
    setenv("LINKSPY_CAPI_LIBRARY", library.c_str(), 1);
  }
  std::string library;
};

TEST_F(Binding, MissingLibraryShowsNameAndHandleAndPrintsLoadFailure) {
  UseLibrary("/nonexistent/libcapi20.so");
  Shown shown = Bind();
  EXPECT_EQ(shown.result, -1);
  EXPECT_NE(shown.box.find("Cannot load /nonexistent/libcapi20.so (0)"), std::string::npos)
      << shown.box;
  EXPECT_EQ(shown.console, "LINKSPY: LoadLibrary (/nonexistent/libcapi20.so) failed\n");
  EXPECT_EQ(controlBlock.capiModule, 0u);
}

TEST_F(Binding, DefaultLibraryIsTheSoname) {
  unsetenv("LINKSPY_CAPI_LIBRARY");
  EXPECT_STREQ(platform::ProviderLibraryName(), "libcapi20.so.3");
  setenv("LINKSPY_CAPI_LIBRARY", "", 1);
  EXPECT_STREQ(platform::ProviderLibraryName(), "libcapi20.so.3");
}

TEST_F(Binding, LibraryWithoutTheCapiCallsIsRefusedBeforeAnyCall) {
  UseLibrary("libm.so.6");
  controlBlock.lastCapiError = 77;
  Shown shown = Bind();
  EXPECT_EQ(shown.result, -1);
  EXPECT_NE(shown.box.find("Cannot load libm.so.6: entry point capi20_register missing"),
            std::string::npos)
      << shown.box;
  EXPECT_EQ(shown.console, "LINKSPY: LoadLibrary (libm.so.6) failed\n");
  EXPECT_EQ(controlBlock.lastCapiError.load(), 77);
}

TEST_F(Binding, LibraryLackingOnlyPutIsRefused) {
  std::string partial = BuiltLibrary("libfakecapi_noput.so");
  if (access(partial.c_str(), R_OK) != 0) GTEST_SKIP() << "not built: " << partial;
  UseLibrary(partial);
  controlBlock.lastCapiError = 77;
  Shown shown = Bind();
  EXPECT_EQ(shown.result, -1);
  EXPECT_NE(shown.box.find("entry point capi20_put_message missing"), std::string::npos);
  EXPECT_EQ(shown.console, "LINKSPY: LoadLibrary (" + partial + ") failed\n");
  EXPECT_EQ(controlBlock.lastCapiError.load(), 77);
  EXPECT_EQ(capiProvider.CAPI_PUT_MESSAGE, nullptr);
  EXPECT_NE(capiProvider.CAPI_REGISTER, nullptr);
}

TEST_F(Binding, NotInstalledGivesOnlyTheMessageBox) {
  setenv("FAKECAPI_INSTALLED", "1009", 1);
  Shown shown = Bind();
  EXPECT_EQ(shown.result, -1);
  EXPECT_NE(shown.box.find("ZELM CAPI 2.0 not installed"), std::string::npos);
  EXPECT_EQ(shown.console, "");
  EXPECT_EQ(controlBlock.lastCapiError.load(), 0x1009);
}

TEST_F(Binding, RefusedRegistrationShowsTheCodeInLowerHex) {
  setenv("FAKECAPI_REGISTER", "1001", 1);
  Shown shown = Bind();
  EXPECT_EQ(shown.result, -1);
  EXPECT_NE(shown.box.find("Application not registered, Error: 1001"), std::string::npos);
  EXPECT_EQ(shown.console, "");
  EXPECT_EQ(controlBlock.lastCapiError.load(), 0x1001);

  setenv("FAKECAPI_REGISTER", "8000abcd", 1);
  shown = Bind();
  EXPECT_NE(shown.box.find("Application not registered, Error: 8000abcd"), std::string::npos);
}

TEST_F(Binding, SuccessFillsEveryEntryPointAndTheApplication) {
  Shown shown = Bind();
  EXPECT_EQ(shown.result, 0);
  EXPECT_EQ(shown.console, "");
  EXPECT_EQ(shown.box, "");
  EXPECT_GT(controlBlock.capiModule, 32u);
  EXPECT_EQ(capiProvider.applId, 1u);
  EXPECT_EQ(controlBlock.lastCapiError.load(), 0);
  EXPECT_NE(capiProvider.CAPI_GET_PROFILE, nullptr);
  EXPECT_NE(capiProvider.waitForSignalWithin, nullptr);
  // The stand-in's bounded wait runs out at once, as the library's does when time is up.
  EXPECT_EQ(capiProvider.waitForSignalWithin(1, 10), 0x1104u);
  EXPECT_STREQ(platform::ProviderExportName(capi::kEntryInstalled), "capi20_isinstalled");
}

uint32_t releaseResult = 0;
uint32_t releasedApplication = 0;
uint32_t FakeRelease(uint32_t applId) {
  releasedApplication = applId;
  return releaseResult;
}

TEST_F(Binding, ReleaseErrorIsShownAndShutdownGoesOn) {
  capiProvider.CAPI_RELEASE = FakeRelease;
  capiProvider.applId = 7;
  releaseResult = 0x1101;
  Shown shown;
  testing_support::StdoutCapture capture;
  shown.box = testing_support::CaptureStderr([] { capi::ReleaseApplication(); });
  shown.console = capture.Take();
  EXPECT_EQ(releasedApplication, 7u);
  EXPECT_NE(shown.box.find("Application not deregistered, Error: 1101"), std::string::npos);
  EXPECT_EQ(shown.console, "");
  EXPECT_EQ(controlBlock.lastCapiError.load(), 0x1101);

  releaseResult = 0;
  EXPECT_EQ(testing_support::CaptureStderr([] { capi::ReleaseApplication(); }), "");
  EXPECT_EQ(controlBlock.lastCapiError.load(), 0);
}

TEST_F(Binding, UnloadLeavesFailedHandlesAndABusyThreadAlone) {
  controlBlock.capiModule = 32;
  capi::receiveThreadInProvider = capi::kThreadOutsideProvider;
  capi::UnloadCapiProvider();  // would crash if it freed handle 32
  EXPECT_EQ(capi::receiveThreadInProvider.load(), capi::kThreadOutsideProvider);

  void* handle = dlopen(library.c_str(), RTLD_NOW);
  ASSERT_NE(handle, nullptr);
  controlBlock.capiModule = reinterpret_cast<uintptr_t>(handle);
  capi::receiveThreadInProvider = capi::kThreadInsideProvider;
  capi::UnloadCapiProvider();
  EXPECT_EQ(capi::receiveThreadInProvider.load(), capi::kThreadInsideProvider);
  EXPECT_EQ(controlBlock.capiModule, reinterpret_cast<uintptr_t>(handle));

  capi::receiveThreadInProvider = capi::kThreadOutsideProvider;
  capi::UnloadCapiProvider();
  EXPECT_EQ(capi::receiveThreadInProvider.load(), capi::kProviderUnloaded);
  capi::receiveThreadInProvider = capi::kThreadOutsideProvider;
}

}  // namespace
