// The shipped .gau files from the outside: PE32 i386 DLLs exporting exactly
// Linkage and ImportTable, importing only DLLs that ship with Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

INSTANTIATE_TEST_SUITE_P(Shipped, Artifact, ::testing::ValuesIn(std::vector<const char*>{GAUGE_SHIPPED_MODULES}),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
