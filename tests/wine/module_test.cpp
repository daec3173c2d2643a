// What every shipped module owes the loader before any gauge routine runs:
// an entry point that returns success and does nothing else, empty module
// start and stop routines, one gauge in the linkage, an import table the
// host can fill.
#include <gtest/gtest.h>

#include "support.h"

using namespace winetest;

namespace {

class EveryModule : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m = loadModule(GetParam());
        ASSERT_TRUE(m.complete());
    }
    void TearDown() override { unloadModule(m); }
    Module m;
};

TEST_P(EveryModule, EntryPointReturnsSuccessAndDoesNothingElse) {
    const uint8_t* entry = reinterpret_cast<const uint8_t*>(m.handle) + m.pe().headers().entryPoint;
    ASSERT_TRUE(m.inCode(addr(entry)));
    // mov eax, 1 ; ret 12: no runtime start-up code behind it.
    const uint8_t expected[8] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC2, 0x0C, 0x00};
    EXPECT_EQ(std::memcmp(entry, expected, sizeof expected), 0) << "entry point code";
    for (uint32_t reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH}) {
        EXPECT_EQ(expectCall("entry point, reason " + std::to_string(reason), entry, {m.imageBase, reason, 0}).eax, 1u);
    }
}

TEST_P(EveryModule, LinkageListsOneGaugeAndImportTableWaitsForTheHost) {
    EXPECT_EQ(u32(m.linkage, 0x00), 0x13u);
    EXPECT_TRUE(m.inCode(u32(m.linkage, 0x04))) << "module start routine";
    EXPECT_TRUE(m.inCode(u32(m.linkage, 0x08))) << "module stop routine";
    EXPECT_TRUE(m.inImage(u32(m.linkage, 0x18))) << "the one gauge header";
    EXPECT_EQ(u32(m.linkage, 0x1C), 0u) << "gauge list ends after one gauge";
    expectCall("module start routine", at(m.linkage, 0x04), {});
    expectCall("module stop routine", at(m.linkage, 0x08), {});
    EXPECT_EQ(u32(m.imports, 0x00), 0x0Fu);
    EXPECT_EQ(u32(m.imports, 0x04), 0u) << "service table pointer is the host's to fill";
    EXPECT_EQ(u32(m.imports, 0x08), 0u);
    EXPECT_EQ(u32(m.imports, 0x0C), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(at(m.gauge(), 0x04)), GetParam()) << "gauge named like its module";
}

INSTANTIATE_TEST_SUITE_P(Shipped, EveryModule, ::testing::ValuesIn(std::vector<const char*>{GAUGE_SHIPPED_MODULES}),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
