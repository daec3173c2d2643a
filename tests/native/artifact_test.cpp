// The shipped .gau files from the outside: PE32 i386 DLLs exporting exactly
// Linkage and ImportTable, importing only DLLs that ship with Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

#include "pe_file.h"
#include "tests/support/dist.h"

namespace {

const std::set<std::string> kSystemDlls = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "winmm.dll", "dsound.dll", "msvcrt.dll",
};

class Artifact : public ::testing::TestWithParam<const char*> {};

TEST_P(Artifact, IsAGaugeModule) {
    const PeFile pe = readPe(dist::modulePath(GetParam()));
    ASSERT_TRUE(pe.ok) << pe.error;
    EXPECT_EQ(pe.machine, 0x14C) << "i386";
    EXPECT_EQ(pe.optionalMagic, 0x10B) << "PE32";
    EXPECT_TRUE(pe.characteristics & 0x2000) << "a DLL";
    EXPECT_NE(pe.entryRva, 0u);

    std::vector<std::string> exports = pe.exports;
    std::sort(exports.begin(), exports.end());
    EXPECT_EQ(exports, (std::vector<std::string>{"ImportTable", "Linkage"}));

    for (std::string dll : pe.importDlls) {
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_TRUE(kSystemDlls.count(dll)) << GetParam() << " imports " << dll;
    }
}

// gaugehost.exe as the release carries it: a console program for Windows 7
// or later (its header says so, and Windows refuses to start a program whose
// header names a later version) that imports only DLLs every Windows has.
TEST(GaugehostProgram, ConsoleProgramForWindows7ImportingSystemDllsOnly) {
    const char* path = std::getenv("GAUGE_HOST_EXE");
    if (!path || !*path) GTEST_SKIP() << "GAUGE_HOST_EXE names no program (the win32 build's ctest sets it)";
    const PeFile pe = readPe(path);
    ASSERT_TRUE(pe.ok) << pe.error;
    EXPECT_EQ(pe.machine, 0x14C) << "i386";
    EXPECT_EQ(pe.subsystem, 3) << "a console program";
    EXPECT_EQ(pe.subsystemVersion, (std::pair<uint16_t, uint16_t>{6, 1})) << "Windows 7";
    EXPECT_EQ(pe.osVersion, (std::pair<uint16_t, uint16_t>{6, 1})) << "Windows 7";
    static const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll",
                                                  "shell32.dll", "msvcrt.dll", "ws2_32.dll", "mswsock.dll"};
    EXPECT_FALSE(pe.importDlls.empty());
    for (std::string dll : pe.importDlls) {
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_TRUE(allowed.count(dll)) << "gaugehost.exe imports " << dll;
    }
}

INSTANTIATE_TEST_SUITE_P(Shipped, Artifact, ::testing::ValuesIn(std::vector<const char*>{GAUGE_SHIPPED_MODULES}),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
