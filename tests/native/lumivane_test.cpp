// lumivane's lit face rule, and the shipped module's DirectSound import.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "lumivane/lit_face.h"
#include "tests/cases/lumivane_lit_cases.h"
#include "pe_file.h"
#include "tests/support/dist.h"

namespace {

using cases::kLitCases;
using cases::LitCase;

TEST(LumivaneLitFace, OnlyTheHiddenBitFollowsTheRule) {
    for (const LitCase& c : kLitCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lumivane::litFaceShown(c.v753, c.v10), c.shown);
        // From the load value, from the bit already set, and with every
        // other bit set: the other bits stay as they were.
        for (uint32_t before : {0x7u, 0x40000007u, 0xFFFFFFFFu, 0xBFFFFFFFu}) {
            const uint32_t expected = c.shown ? before & ~0x40000000u : before | 0x40000000u;
            EXPECT_EQ(lumivane::litFaceFlags(before, c.v753, c.v10), expected) << std::hex << before;
        }
    }
}

TEST(LumivaneArtifact, DirectSoundCreateIsImportedByOrdinalOne) {
    const PeFile pe = readPe(dist::modulePath("lumivane"));
    ASSERT_TRUE(pe.ok) << pe.error;
    std::vector<PeImport> dsound;
    for (const PeImport& i : pe.imports) {
        std::string dll = i.dll;
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (dll == "dsound.dll") dsound.push_back(i);
        EXPECT_NE(i.name, "DirectSoundCreate") << "by name from " << i.dll;
    }
    ASSERT_EQ(dsound.size(), 1u);
    EXPECT_TRUE(dsound[0].byOrdinal);
    EXPECT_EQ(dsound[0].ordinal, 1u);

    // The player's other calls come by name from their system libraries.
    auto imported = [&](const char* name) {
        return std::any_of(pe.imports.begin(), pe.imports.end(), [&](const PeImport& i) { return i.name == name; });
    };
    for (const char* name : {"FindWindowA", "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey", "mmioOpenA",
                             "mmioDescend", "mmioRead", "mmioAscend", "mmioClose"})
        EXPECT_TRUE(imported(name)) << name;
}

}  // namespace
